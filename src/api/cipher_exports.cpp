// The terminal's national-cipher engine: SM2 key pairs, SM2 encryption and decryption,
// SM3 digests, SM4 MAC, encryption and decryption in CBC and ECB mode. Each service is
// one exchange over the USB link; the library does no cryptography here: keys and data
// pass through as text and the answer comes back unchanged. Nothing of either is logged.
//
// Choices where the caller's texts and the terminal's answers set limits:
// - Key fields have a fixed size (SM2 public key 128 characters, private key 64, SM4 key
//   and initial vector 32, the extra fields 64 or 32). A field is read up to the text's
//   terminator and never past it: a shorter text is sent padded with zero bytes.
// - A null text is refused before anything is sent ("<service> <argument> is null!", E,
//   last error 100, -2), and so is data that does not fit the request buffer
//   ("<service> pData too long!").
// - The services with a length byte send the low 8 bits of the data length, as the
//   terminal reads it, with all the data after it.
// - pOut receives the answer data without a terminator, at most as much as the service's
//   response buffer holds: 4094 bytes, or 65533 bytes (the most one answer carries) for
//   sm2EN and the four SM4 cipher services. The header gives these sizes.
// - A success answer without data, or a key pair answer shorter than its 192 characters,
//   is a failure (-4, last error 103): nothing is copied.
// - getranddata: the terminal writes its random data into a file that is then uploaded
//   into the folder "性能" beside the library (created when missing). pFileName must be
//   a plain file name: null, empty, or holding a backslash, '/', ':' or ".." it is refused before
//   the job starts ("getranddata pFileName is empty!" / "... is not a file name!", E, 100,
//   -2), so the upload cannot land outside that folder. On Linux the folder's name is the
//   UTF-8 spelling (host paths are UTF-8 there); on Windows the GBK one.
#include <cstring>
#include <initializer_list>
#include <vector>

#include "QornRV270API.h"
#include "api/frame.h"
#include "crypto/wipe.h"
#include "platform/fs.h"
#include "platform/module.h"
#include "protocol/exchange.h"
#include "protocol/link_session.h"
#include "transfer/host_file.h"
#include "transfer/upload.h"

using namespace api;

namespace {

constexpr int kRefused = -2;

constexpr size_t kPubKeySize = 128;
constexpr size_t kPriKeySize = 64;
constexpr size_t kSm4KeySize = 32;

// Buffers of the services: the short jobs, and the bulk ciphers that take long data.
struct Buffers {
  size_t request;
  size_t response;
};
constexpr Buffers kKeyPairBuffers{512, 4096};
constexpr Buffers kShortBuffers{10240, 4096};
constexpr Buffers kBulkBuffers{204800, 204800};
constexpr Buffers kRandomBuffers{1024, 4096};

constexpr int kShortMs = 5000;
constexpr int kBulkMs = 10000;
constexpr int kRandomMs = 99000;

// The random data's upload: signature-image category, 30 s.
constexpr int kRandomCategory = 9;
constexpr int kRandomUploadS = 30;
#ifdef _WIN32
constexpr const char* kRandomFolder = "性能";
#else
constexpr const char* kRandomFolder = "\xE6\x80\xA7\xE8\x83\xBD";  // UTF-8
#endif

// Busy, link failure, done (no end line, the last error left as it was), refusal.
constexpr Outcome kServiceTable[] = {
    Busy(),
    LinkFailure(-3),
    OnStatus(0x00, 0x00, kAny, 0, kKeep, 'I', "RV270Api_Communication return ok!"),
    Otherwise(-4, kReceivedDataError, 'E', "RV270Api_Communication return error!"),
};
constexpr const Outcome& kDone = kServiceTable[2];
constexpr const Outcome& kRefusedAnswer = kServiceTable[3];

// A fixed-size field: the caller's text up to its terminator, zero-padded to `size`.
struct Fixed {
  const char* text;
  size_t size;
  const char* argument;
};

// The answer of one service, in a buffer of the service's size; wiped when it goes, as it
// may carry a private key or decrypted data.
class Reply {
 public:
  explicit Reply(size_t capacity) : response_(capacity, 0) {}
  ~Reply() { SecureWipe(response_.data(), response_.size()); }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  uint8_t* Buffer() { return response_.data(); }
  const uint8_t* Response() const { return response_.data(); }
  size_t Capacity() const { return response_.size(); }
  const uint8_t* Data() const { return response_.data() + 2; }
  size_t DataLength() const { return length > 2 ? static_cast<size_t>(length) - 2 : 0; }

  int result = 0;
  int length = 0;

 private:
  std::vector<uint8_t> response_;
};

// The status bytes of a reply as the outcome table reads them.
void StatusOf(const Reply& reply, Answer& status) {
  status.result = reply.result;
  status.length = reply.length < 3 ? reply.length : 3;
  if (status.length > 0) memcpy(status.response, reply.Response(), static_cast<size_t>(status.length));
}

// Runs a service's exchange and maps its answer. True when the terminal answered done
// with at least `minData` bytes of data; otherwise *result holds the export's result.
bool Perform(CallFrame& frame, Request& request, int timeoutMs, size_t minData, Reply& reply, int* result,
             const char* what = "pData") {
  if (request.Overflowed()) {
    *result = frame.TooLong(kRefused, what);
    return false;
  }
  frame.MarkWaiting();
  reply.length = 0;
  reply.result = Communicate(0, 0, request.Data(), request.Length(), reply.Buffer(), reply.Capacity(),
                             &reply.length, timeoutMs);
  Answer status;
  StatusOf(reply, status);
  const Outcome& row = CallFrame::Classify(kServiceTable, status);
  if (&row == &kDone && reply.DataLength() < minData) {
    *result = frame.Conclude(kRefusedAnswer, status);
    return false;
  }
  *result = frame.Conclude(row, status);
  if (&row != &kDone) return false;
  frame.NoEndLine();
  return true;
}

// The request header: class 0x60, two zero bytes, the service number.
void Header(Request& request, uint8_t service) { request.U8(0x00).U8(service); }

// A service of key fields, data and one output: the answer data goes to pOut.
struct Service {
  const char* name;
  uint8_t number;
  Buffers buffers;
  int timeoutMs;
  bool lengthByte;  // the low byte of the data length comes before the data
  bool announced;   // a line marks the start of the exchange
};

int RunService(const Service& service, std::initializer_list<Fixed> fields, const char* pData, char* pOut) {
  CallFrame frame(service.name);
  for (const Fixed& field : fields) {
    if (!field.text) return frame.ArgError(kRefused, "%s %s is null!", service.name, field.argument);
  }
  if (!pData) return frame.ArgError(kRefused, "%s pData is null!", service.name);
  if (!pOut) return frame.ArgError(kRefused, "%s pOut is null!", service.name);

  static const uint8_t kZeros[kPubKeySize] = {0};
  Request request(service.buffers.request, 0x60, 0x00);
  Header(request, service.number);
  for (const Fixed& field : fields) {
    const size_t given = strnlen(field.text, field.size);
    request.Bytes(field.text, given).Bytes(kZeros, field.size - given);
  }
  const size_t n = strlen(pData);
  if (service.lengthByte) request.U8(static_cast<int>(n & 0xFF));
  request.Bytes(pData, n);

  if (service.announced) WriteLog('I', "****************%s RV270Api_Communication start****************", service.name);
  Reply reply(service.buffers.response);
  int result = 0;
  if (!Perform(frame, request, service.timeoutMs, 1, reply, &result)) return result;
  BoundedCopy(pOut, reply.Capacity() - 2, reply.Data(), reply.DataLength());
  return result;
}

constexpr Service kSm2En{"sm2EN", 0x02, kBulkBuffers, kBulkMs, false, true};
constexpr Service kSm2De{"sm2DE", 0x03, kShortBuffers, kShortMs, true, false};
constexpr Service kSm2Encrypt{"sm2encrypt", 0x04, kShortBuffers, kShortMs, true, false};
constexpr Service kSm2EncryptAf{"sm2encrypt_af", 0x05, kShortBuffers, kShortMs, true, false};
constexpr Service kSm3Calc{"sm3Calc", 0x06, kShortBuffers, kShortMs, true, false};
constexpr Service kSm3CalcNid{"sm3Calc_nID", 0x07, kShortBuffers, kShortMs, true, false};
constexpr Service kSm4Mac{"sm4mac", 0x08, kShortBuffers, kShortMs, true, false};
constexpr Service kSm4EnCbc{"sm4EN_cbc", 0x09, kBulkBuffers, kBulkMs, false, false};
constexpr Service kSm4EnEcb{"sm4EN_ecb", 0x10, kBulkBuffers, kBulkMs, false, false};
constexpr Service kSm4DeCbc{"sm4DE_cbc", 0x11, kBulkBuffers, kBulkMs, false, false};
constexpr Service kSm4DeEcb{"sm4DE_ecb", 0x12, kBulkBuffers, kBulkMs, false, false};

// The SM2 key pair fields, and the SM4 key and initial vector.
int Sm2Service(const Service& service, const char* pPubKey, const char* pPriKey, const char* pData, char* pOut) {
  return RunService(service, {{pPubKey, kPubKeySize, "pPubKey"}, {pPriKey, kPriKeySize, "pPriKey"}}, pData, pOut);
}
// The key pair with an extra field of `extraSize` characters.
int Sm2ExtraService(const Service& service, const char* pPubKey, const char* pPriKey, const char* pExtra,
                    size_t extraSize, const char* pData, char* pOut) {
  return RunService(
      service, {{pPubKey, kPubKeySize, "pPubKey"}, {pPriKey, kPriKeySize, "pPriKey"}, {pExtra, extraSize, "pExtra"}},
      pData, pOut);
}
int Sm4Service(const Service& service, const char* pKey, const char* pIV, const char* pData, char* pOut) {
  return RunService(service, {{pKey, kSm4KeySize, "pKey"}, {pIV, kSm4KeySize, "pIV"}}, pData, pOut);
}
int Sm4EcbService(const Service& service, const char* pKey, const char* pData, char* pOut) {
  return RunService(service, {{pKey, kSm4KeySize, "pKey"}}, pData, pOut);
}

// Uploads the terminal's result file `name` into the random-data folder beside the
// library; the upload's result (0 stored).
int UploadRandomData(const char* name) {
  const char sep = platform::PathSeparator();
  const std::string folder = platform::ModuleFolder() + sep + kRandomFolder;
  if (!platform::IsDirectory(folder)) platform::MakeDirectory(folder);  // a failure shows in the upload
  const std::string path = folder + sep + name;
  WriteLog('I', "****************RV270Api_UploadFilesToPc start****************");
  WriteLog('I', "RV270Api_UploadFilesToPc Port:[%d],iMode:[%d],SavePath:[%s],timeout:[%d]", 0, 0, path.c_str(),
           kRandomUploadS);
  g_bKeepWaiting.store(1);
  int length = 9999;
  transfer::UploadDestination to;
  to.savePath = path.c_str();
  to.dataLength = &length;
  int rc = 0;
  {
    const auto dialogue = HoldExchanges();
    rc = transfer::Receive1M(to, kRandomCategory, name, kRandomUploadS);
  }
  WriteLog('I', "****************RV270Api_UploadFilesToPc end,rc=%d****************", rc);
  return rc;
}

}  // namespace

extern "C" {

RV270_API int RV270_CALL getsm2key(char* pPubKey, char* pPriKey) {
  return GuardExport(kRefused, [&] {
    CallFrame frame("getsm2key");
    if (!pPubKey) return frame.ArgError(kRefused, "getsm2key pPubKey is null!");
    if (!pPriKey) return frame.ArgError(kRefused, "getsm2key pPriKey is null!");
    Request request(kKeyPairBuffers.request, 0x60, 0x00);
    Header(request, 0x01);
    Reply reply(kKeyPairBuffers.response);
    int result = 0;
    if (!Perform(frame, request, kShortMs, kPubKeySize + kPriKeySize, reply, &result)) return result;
    memcpy(pPubKey, reply.Data(), kPubKeySize);
    memcpy(pPriKey, reply.Data() + kPubKeySize, kPriKeySize);
    return result;
  });
}

RV270_API int RV270_CALL sm2EN(const char* pPubKey, const char* pPriKey, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm2Service(kSm2En, pPubKey, pPriKey, pData, pOut); });
}

RV270_API int RV270_CALL sm2DE(const char* pPubKey, const char* pPriKey, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm2Service(kSm2De, pPubKey, pPriKey, pData, pOut); });
}

RV270_API int RV270_CALL sm2encrypt(const char* pPubKey, const char* pPriKey, const char* pExtra, const char* pData,
                                    char* pOut) {
  return GuardExport(kRefused,
                     [&] { return Sm2ExtraService(kSm2Encrypt, pPubKey, pPriKey, pExtra, 64, pData, pOut); });
}

RV270_API int RV270_CALL sm2encrypt_af(const char* pPubKey, const char* pPriKey, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm2Service(kSm2EncryptAf, pPubKey, pPriKey, pData, pOut); });
}

RV270_API int RV270_CALL sm3Calc(const char* pPubKey, const char* pPriKey, const char* pExtra, const char* pData,
                                 char* pOut) {
  return GuardExport(kRefused, [&] { return Sm2ExtraService(kSm3Calc, pPubKey, pPriKey, pExtra, 32, pData, pOut); });
}

RV270_API int RV270_CALL sm3Calc_nID(const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return RunService(kSm3CalcNid, {}, pData, pOut); });
}

RV270_API int RV270_CALL sm4mac(const char* pKey, const char* pIV, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm4Service(kSm4Mac, pKey, pIV, pData, pOut); });
}

RV270_API int RV270_CALL sm4EN_cbc(const char* pKey, const char* pIV, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm4Service(kSm4EnCbc, pKey, pIV, pData, pOut); });
}

RV270_API int RV270_CALL sm4EN_ecb(const char* pKey, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm4EcbService(kSm4EnEcb, pKey, pData, pOut); });
}

RV270_API int RV270_CALL sm4DE_cbc(const char* pKey, const char* pIV, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm4Service(kSm4DeCbc, pKey, pIV, pData, pOut); });
}

RV270_API int RV270_CALL sm4DE_ecb(const char* pKey, const char* pData, char* pOut) {
  return GuardExport(kRefused, [&] { return Sm4EcbService(kSm4DeEcb, pKey, pData, pOut); });
}

RV270_API int RV270_CALL getranddata(const char* pReserved, const char* pFileName) {
  (void)pReserved;
  return GuardExport(kRefused, [&] {
    CallFrame frame("getranddata");
    if (Empty(pFileName)) return frame.ArgError(kRefused, "getranddata pFileName is empty!");
    if (!transfer::IsPlainFileName(pFileName)) {
      return frame.ArgError(kRefused, "getranddata pFileName is not a file name!");
    }
    Request request(kRandomBuffers.request, 0x60, 0x00);
    Header(request, 0x13);
    request.Text(pFileName);
    Reply reply(kRandomBuffers.response);
    int result = 0;
    if (!Perform(frame, request, kRandomMs, 0, reply, &result, "pFileName")) return result;
    return UploadRandomData(pFileName);
  });
}

}  // extern "C"
