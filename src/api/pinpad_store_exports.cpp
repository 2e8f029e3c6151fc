// Master and work keys of the PIN pad's key store: master keys from components or
// under an old master key, work keys under a master key, activation, check data, data
// encryption under a stored key, SM2 and RSA public keys, a random key wrapped under an
// SM2 public key, keys written under an old key with DES or SM4, and the session key.
//
// Key values, key components, keys under another key and plaintext for encryption never
// reach the log in clear: their lines keep their text with each character as '*'.
// Indices, lengths and public keys are not secret and are logged as given.
//
// Choices where the request and the caller's buffers set limits:
// - A request that does not fit its 512 bytes or a one-byte length field (a key
//   component or SM2 public key for RV270Api_EncBySm2_PK over 255 characters) is
//   refused before sending: "<export> <what> too long!" (E), last error 100, return -2,
//   the result this family gives a bad argument.
// - Raw index fields take the first three characters of the text; a shorter text is
//   followed by zero bytes (nothing is read past its terminator).
// - Answer data counted by its length byte holds at most 255 bytes; the public-key
//   commands copy at most kAnswerCopyMax (2048) bytes and refuse a longer answer with
//   last error 122 and -4, nothing copied. RV270Api_EncBySm2_PK writes each part as a
//   text of at most 511 characters and its terminator. A null output buffer is not
//   written.
// - A successful answer shorter than the data it announces copies nothing: last error
//   103, return -4.
#include <cstdio>
#include <cstring>

#include "QornRV270API.h"
#include "api/frame.h"
#include "api/pinpad_common.h"
#include "api/secret_text.h"
#include "crypto/wipe.h"

using namespace api;
using namespace pinpad;

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kRefused = -2;
constexpr int kFailed = -4;
constexpr size_t kPartScratch = 512;

// Where the answer data of a command stands.
enum class Reply {
  kNone,     // no data
  kCounted,  // byte 2: n, then n bytes
  kFrom2,    // the whole answer after the status bytes
  kFrom4,    // the whole answer after the status bytes and two more
};

struct Lines {
  const char* busy = nullptr;  // nullptr: "<export> error for usb being busying!"
  const char* link = "RV270Api_Communication return %d!";
  const char* ok = "RV270Api_Communication return ok!";
  const char* other = "RV270Api_Communication return error!";
};

bool ReplyData(const Answer& answer, Reply reply, const uint8_t** data, size_t* length) {
  if (reply == Reply::kCounted) return CountedData(answer, data, length);
  const size_t skip = reply == Reply::kFrom4 ? 4 : 2;
  if (answer.length < static_cast<int>(skip)) return false;
  *data = answer.response + skip;
  *length = static_cast<size_t>(answer.length) - skip;
  return true;
}

// Exchanges the request and, on success, copies the answer data to `out`.
int Exchange(CallFrame& frame, int port, int selector, Request& request, Reply reply, char* out, const char* what,
             const Lines& lines = {}) {
  const Outcome rows[] = {
      Busy(lines.busy),
      LinkFailure(-3, lines.link),
      OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', lines.ok),
      Otherwise(kFailed, kReceivedDataError, 'E', lines.other),
  };
  Answer answer;
  int refused = 0;
  if (!frame.Transact(port, selector, request, kTimeoutMs, answer, {kRefused, what}, &refused)) return refused;
  if (!Done(answer) || reply == Reply::kNone) return frame.Map(rows, answer);
  const uint8_t* data = nullptr;
  size_t length = 0;
  if (!ReplyData(answer, reply, &data, &length)) return ShortAnswer(frame, kFailed);
  if (length > kAnswerCopyMax) return AnswerTooLong(frame, kFailed, length, kAnswerCopyMax);
  if (out && length) memcpy(out, data, length);
  return frame.Map(rows, answer);
}

// A text sent after a one-byte length; false (and the refusal logged) when it is longer.
bool ByteCounted(CallFrame& frame, Request& request, const char* text, const char* what, int* refused) {
  const size_t length = TextLength(text);
  if (length > kByteLengthMax) {
    *refused = frame.TooLong(kRefused, what);
    return false;
  }
  request.U8(static_cast<int>(length)).Bytes(text, length);
  return true;
}

// The public-key loads: index, two-byte length, key; the whole answer returned.
int LoadPublicKey(const char* name, const char* keyName, uint8_t command, int port, int selector,
                  const char* PubKeyIndex, const char* key, char* pOutData) {
  CallFrame frame(name);
  if (Empty(key)) return frame.ArgError(kRefused, "%s %s is empty!", name, keyName);
  const size_t length = strlen(key);
  Request request(kRequestSize, 0x50, command);
  PaddedIndex(request, PubKeyIndex, 3);
  request.U16(static_cast<int>(length > 0xFFFF ? 0xFFFF : length)).Bytes(key, length);
  WriteLog('I', "%s %s:[%s]", name, keyName, key);
  return Exchange(frame, port, selector, request, Reply::kFrom2, pOutData, keyName);
}

// Writes a key under an old key (DES or SM4): raw index, length, key; answer data back.
int WriteUnderOldKey(const char* name, uint8_t command, int port, int selector, const char* keyIndex,
                     const char* newKeyLen, const char* newKeyByOldKey, char* pOutData) {
  CallFrame frame(name);
  WriteLog('I', "%s keyIndex=%s,newKeyLen=%s,newKeyByOldKey=%s", name, Shown(keyIndex), Shown(newKeyLen),
           Masked(newKeyByOldKey).c_str());
  Request request(kRequestSize, 0x50, command);
  RawField(request, keyIndex, 3);
  request.U8(LengthFromText(newKeyLen)).Text(newKeyByOldKey);
  return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "newKeyByOldKey");
}

// One part of the RV270Api_EncBySm2_PK answer: its data, as a text, into `out`.
void CopyPart(const uint8_t* data, size_t length, char* out) {
  char scratch[kPartScratch] = {0};
  memcpy(scratch, data, length < kPartScratch ? length : kPartScratch - 1);
  if (out) {
    const size_t text = strnlen(scratch, kPartScratch - 1);
    memcpy(out, scratch, text);
    out[text] = '\0';
  }
  SecureWipe(scratch, sizeof(scratch));  // part 1 is a wrapped session key
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL RV270Api_InputTMK(int port, int selector, const char* TMKIndex, const char* Tmk1,
                                           const char* Tmk2, char* pOutData, int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_InputTMK");
    WriteLog('I', "RV270Api_InputTMK TMKIndex=%s,Tmk1=%s,Tmk2=%s", Shown(TMKIndex), Masked(Tmk1).c_str(),
             Masked(Tmk2).c_str());
    Request request(kRequestSize, 0x50, 0x54);
    PaddedIndex(request, TMKIndex, 3);
    int refused = 0;
    if (!ByteCounted(frame, request, Tmk1, "Tmk1", &refused) || !ByteCounted(frame, request, Tmk2, "Tmk2", &refused)) {
      return refused;
    }
    request.U8(iFlag);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "key components");
  });
}

RV270_API int RV270_CALL RV270Api_LoadTMK(int port, int selector, const char* OldTMKIndex, const char* NewKEYLen,
                                          const char* TMKIndex, const char* NewTMKByOldTMK, char* pOutData,
                                          int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_LoadTMK");
    WriteLog('I', "RV270Api_LoadTMK OldTMKIndex=%s NewKEYLen=%s,TMKIndex=%s,NewTMKByOldTMK=%s", Shown(OldTMKIndex),
             Shown(NewKEYLen), Shown(TMKIndex), Masked(NewTMKByOldTMK).c_str());
    Request request(kRequestSize, 0x50, 0x55);
    PaddedIndex(request, TMKIndex, 3);
    request.U8(LengthFromText(NewKEYLen)).Text(NewTMKByOldTMK).U8(iFlag);
    PaddedIndex(request, OldTMKIndex, 3);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "NewTMKByOldTMK");
  });
}

RV270_API int RV270_CALL RV270Api_InputKEY(int port, int selector, const char* TMKIndex, const char* KEYIndex,
                                           const char* KeyLen, const char* keyByTMK, const char* KeyValue, int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_InputKEY");
    WriteLog('I', "RV270Api_InputKEY TMKIndex=%s,KEYIndex=%s,KeyLen=%s,keyByTMK=%s,KeyValue=%s", Shown(TMKIndex),
             Shown(KEYIndex), Shown(KeyLen), Masked(keyByTMK).c_str(), Masked(KeyValue).c_str());
    Request request(kRequestSize, 0x50, 0x56);
    PaddedIndex(request, TMKIndex, 3);
    PaddedIndex(request, KEYIndex, 2);
    request.U8(LengthFromText(KeyLen)).Text(keyByTMK).Text(KeyValue).U8(iFlag);
    return Exchange(frame, port, selector, request, Reply::kNone, nullptr, "key");
  });
}

RV270_API int RV270_CALL Nb_InputWKey(int port, int selector, const char* pWkeyData) {
  return GuardExport(-3, [&] {
    CallFrame frame("Nb_InputWKey");
    Request request(kRequestSize, 0x10, 0x17);
    request.U16(0).Text(pWkeyData);
    Lines lines;
    lines.link = "Nb_InputWKey return %d!";
    lines.ok = "Nb_InputWKey return ok!";
    lines.other = "Nb_InputWKey return error!";
    return Exchange(frame, port, selector, request, Reply::kNone, nullptr, "pWkeyData", lines);
  });
}

RV270_API int RV270_CALL RV270Api_ActiveWKey(int port, int selector, const char* TMKIndex, const char* KEYIndex) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_ActiveWKey");
    WriteLog('I', "RV270Api_ActiveWKey TMKIndex=%s,KEYIndex=%s,", Shown(TMKIndex), Shown(KEYIndex));
    Request request(kRequestSize, 0x50, 0x68);
    PaddedIndex(request, TMKIndex, 3);
    PaddedIndex(request, KEYIndex, 2);
    Lines lines;
    lines.busy = "RV270Api_Communication error for usb being busying!";
    lines.link = "RV270Api_ActiveWKey return %d!";
    return Exchange(frame, port, selector, request, Reply::kNone, nullptr, "request", lines);
  });
}

RV270_API int RV270_CALL RV270Api_CheckKEY(int port, int selector, const char* TMKIndex, const char* KEYIndex,
                                           int /*iUnused*/, char* pOutData, int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_CheckKEY");
    WriteLog('I', "RV270Api_CheckKEY TMKIndex=%s,KEYIndex=%s", Shown(TMKIndex), Shown(KEYIndex));
    Request request(kRequestSize, 0x50, 0x57);
    PaddedIndex(request, TMKIndex, 3);
    PaddedIndex(request, KEYIndex, 2);
    request.U8(iFlag);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "request");
  });
}

RV270_API int RV270_CALL RV270Api_CryptData(int port, int selector, const char* TMKIndex, const char* KEYIndex,
                                            const char* DataLen, const char* Data, char* pOutData, int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_CryptData");
    WriteLog('I', "RV270Api_CryptData TMKIndex=%s,KEYIndex=%s,DataLen=%s,Data=%s", Shown(TMKIndex),
             Shown(KEYIndex), Shown(DataLen), Masked(Data).c_str());
    Request request(kRequestSize, 0x50, 0x58);
    PaddedIndex(request, TMKIndex, 3);
    PaddedIndex(request, KEYIndex, 2);
    request.U8(LengthFromText(DataLen)).Text(Data).U8(iFlag);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "Data");
  });
}

RV270_API int RV270_CALL RV270Api_GetMKeyValue(int port, int selector, const char* TMKIndex, char* pOutData,
                                               int iFlag) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_GetMKeyValue");
    WriteLog('I', "RV270Api_GetMKeyValue TMKIndex=%s", Shown(TMKIndex));
    Request request(kRequestSize, 0x50, 0x59);
    PaddedIndex(request, TMKIndex, 3);
    request.U8(iFlag);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "request");
  });
}

RV270_API int RV270_CALL RV270Api_DownLoadSM2Public(int port, int selector, const char* PubKeyIndex,
                                                    const char* pSm2, char* pOutData) {
  return GuardExport(-3, [&] {
    return LoadPublicKey("RV270Api_DownLoadSM2Public", "pSm2", 0x36, port, selector, PubKeyIndex, pSm2, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_DownLoadRSAPublic(int port, int selector, const char* PubKeyIndex,
                                                    const char* pRsa, char* pOutData) {
  return GuardExport(-3, [&] {
    return LoadPublicKey("RV270Api_DownLoadRSAPublic", "pRsa", 0x38, port, selector, PubKeyIndex, pRsa, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_GetRSAPublicKey(int port, int selector, int PublicLen, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_GetRSAPublicKey");
    WriteLog('I', "RV270Api_GetRSAPublicKey PublicLen=%d", PublicLen);
    char text[16] = {0};
    snprintf(text, sizeof(text), "%d", PublicLen);
    Request request(kRequestSize, 0x50, 0x37);
    request.Text(text);
    return Exchange(frame, port, selector, request, Reply::kFrom4, pOutData, "request");
  });
}

RV270_API int RV270_CALL RV270Api_EncBySm2_PK(int port, int selector, const char* ranKeyLen, const char* pk,
                                              char* pOutData1, char* pOutData2) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_EncBySm2_PK");
    WriteLog('I', "RV270Api_EncBySm2_PK ranKeyLen=%s,pk=%s", Shown(ranKeyLen), Shown(pk));
    Request request(kRequestSize, 0x50, 0x5E);
    request.U8(LengthFromText(ranKeyLen));
    int refused = 0;
    if (!ByteCounted(frame, request, pk, "pk", &refused)) return refused;
    Answer answer;
    if (!frame.Transact(port, selector, request, kTimeoutMs, answer, {kRefused, "pk"}, &refused)) return refused;
    const Outcome rows[] = {
        Busy(),
        LinkFailure(-3),
        OnStatus(0x00, 0x00, kAny, 0, kOk, 'I', "RV270Api_Communication return ok!"),
        Otherwise(kFailed, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
    };
    if (!Done(answer)) return frame.Map(rows, answer);
    // Each part: two length bytes whose sum is its length, then its data. Bytes past
    // the answer read as the zeroes of the cleared response buffer; announced data must
    // lie within the answer.
    const uint8_t* r = answer.response;
    const size_t total = static_cast<size_t>(answer.length);
    const size_t a = static_cast<size_t>(r[2]) + r[3];
    const size_t b = 6 + a <= Answer::kCapacity ? static_cast<size_t>(r[4 + a]) + r[5 + a] : 0;
    if (4 + a > total || (b > 0 && 6 + a + b > total)) return ShortAnswer(frame, kFailed);
    CopyPart(r + 4, a, pOutData1);
    CopyPart(r + 6 + a, b, pOutData2);
    return frame.Map(rows, answer);
  });
}

RV270_API int RV270_CALL RV270Api_WriteKeyWithDesCiper(int port, int selector, const char* keyIndex,
                                                       const char* newKeyLen, const char* newKeyByOldKey,
                                                       char* pOutData) {
  return GuardExport(-3, [&] {
    return WriteUnderOldKey("RV270Api_WriteKeyWithDesCiper", 0x5F, port, selector, keyIndex, newKeyLen,
                            newKeyByOldKey, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_WriteKeyWithSM4Ciper(int port, int selector, const char* keyIndex,
                                                       const char* newKeyLen, const char* newKeyByOldKey,
                                                       char* pOutData) {
  return GuardExport(-3, [&] {
    return WriteUnderOldKey("RV270Api_WriteKeyWithSM4Ciper", 0x60, port, selector, keyIndex, newKeyLen,
                            newKeyByOldKey, pOutData);
  });
}

RV270_API int RV270_CALL RV270Api_WriteWorkKeyWithMainkey(int port, int selector, const char* mainkeyIndex,
                                                          const char* workkeyIndex, const char* newKeyLen,
                                                          const char* newKeyByOldKey, char* pOutData) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_WriteWorkKeyWithMainkey");
    WriteLog('I', "RV270Api_WriteWorkKeyWithMainkey mainkeyIndex=%s,workkeyIndex=%s,newKeyLen=%s,newKeyByOldKey=%s",
             Shown(mainkeyIndex), Shown(workkeyIndex), Shown(newKeyLen), Masked(newKeyByOldKey).c_str());
    Request request(kRequestSize, 0x50, 0x61);
    RawField(request, mainkeyIndex, 3);
    RawField(request, workkeyIndex, 3);
    request.U8(LengthFromText(newKeyLen)).Text(newKeyByOldKey);
    return Exchange(frame, port, selector, request, Reply::kCounted, pOutData, "newKeyByOldKey");
  });
}

RV270_API int RV270_CALL RV270Api_CleanSessionKey(int port, int selector) {
  return GuardExport(-3, [&] {
    CallFrame frame("RV270Api_CleanSessionKey");
    Request request(kRequestSize, 0x50, 0x62);
    return Exchange(frame, port, selector, request, Reply::kNone, nullptr, "request");
  });
}

}  // extern "C"
