// The exchange waits of the signature exports, as test builds record them: the waits
// run to many minutes (the signature pad waits 999 s), far too long to sit out in a
// test, so tests read the wait the export asked for instead.
#pragma once

#ifdef RV270_TEST_SEAMS
namespace api {

// The wait in ms of the latest exchange a signature export made; -1 before any.
int LastSignatureWaitMs();

}  // namespace api
#endif
