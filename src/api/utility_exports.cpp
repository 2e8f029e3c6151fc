// Exports that do not talk to the terminal: last error, log path, version history,
// hexadecimal text, host log lines.
#include <cstdio>
#include <cstring>
#include <string>

#include "QornRV270API.h"
#include "api/frame.h"
#include "platform/module.h"

extern "C" {

RV270_API int RV270_CALL RV270Api_GetErrorCode(void) { return g_nLastError.load(); }

RV270_API int RV270_CALL RV270Api_GetLogPath(char* pLogPath) {
  return GuardExport(0, [&] {
    WriteLog('I', "****************RV270Api_GetLogPath start****************");
    if (pLogPath) {
      size_t n = 0;
      CopyLogPath(pLogPath, sizeof(g_szLogFile), &n);
    }
    return 0;
  });
}

RV270_API int RV270_CALL RV270Api_GetVersionDetail(char* pVersionDetail) {
  return GuardExport(0, [&] {
    WriteLog('I', "****************RV270Api_GetVersionDetail start****************");
    std::string text;
    platform::ModuleHistoryText(text);
    WriteLog('I', "len:%d", static_cast<int>(text.size()));
    if (pVersionDetail && !text.empty()) memcpy(pVersionDetail, text.data(), text.size());
    return 0;
  });
}

RV270_API int RV270_CALL RV270Api_Hex2Ascii(const unsigned char* pData, int length, char* pAscii) {
  return GuardExport(0, [&] {
    if (length <= 0 || !pData || !pAscii) return pAscii ? static_cast<int>(strlen(pAscii)) : 0;
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < length; ++i) {
      pAscii[2 * i] = kDigits[pData[i] >> 4];
      pAscii[2 * i + 1] = kDigits[pData[i] & 0x0F];
      pAscii[2 * i + 2] = '\0';
    }
    return 2 * length;
  });
}

RV270_API int RV270_CALL RV270Api_CSharpPrint(const char* pText) {
  return GuardExport(0, [&] {
    WriteLogAlways('C', "%s", pText ? pText : "");
    return 0;
  });
}

}  // extern "C"
