// The long waits of the file transfers. Test builds (RV270_TEST_SEAMS) scale them by
// the percentage in RV270_TEST_TRANSFER_WAITS (for example "5"), so that fault tests do
// not sit out the real seconds; the shipped library always waits the full time.
#pragma once

namespace transfer {

constexpr int kFeedbackWaitMs = 2000;     // a block's feedback; the device-access lock
constexpr int kReportWaitMs = 1000;       // one data report of an upload
constexpr int kPackageWaitMs = 15000;     // one serial upload package
constexpr int kSerialAnswerMs = 20000;    // serial handshake and rate-switch answers
constexpr int kPackageAnswerMs = 600000;  // a serial download package's answer

// The wait to use for `ms`.
int Wait(int ms);

}  // namespace transfer
