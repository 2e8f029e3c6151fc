/*
 * QornRV270API: host interface of the RV270 customer-facing counter terminal.
 *
 * Every function opens the link to the terminal (USB HID for port 0 or 1001, otherwise
 * the serial port of that number), exchanges one command, closes the link and returns a
 * small integer; failures are negative and leave a code for RV270Api_GetErrorCode().
 * Texts are zero-terminated 8-bit strings in the GBK code page. Buffers belong to the
 * caller; the library never keeps a pointer to them.
 *
 * Threading: one exchange at a time per process. The one overlap provided for is a
 * cancel (RV270Api_CancelCustomProcess, RV270Api_Break) from a second thread while a
 * first thread waits for the customer.
 */
#ifndef QORN_RV270_API_H
#define QORN_RV270_API_H

#if defined(_WIN32)
#  define RV270_CALL __stdcall
#  if defined(RV270_BUILDING) || defined(RV270_STATIC_CORE)
#    define RV270_API
#  else
#    define RV270_API __declspec(dllimport)
#  endif
#else
#  define RV270_CALL
#  if defined(RV270_BUILDING)
#    define RV270_API __attribute__((visibility("default")))
#  else
#    define RV270_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Call frame, log and module utilities ------------------------------------------ */

/* The result code of the latest device call (0: no error). Logs nothing. */
RV270_API int RV270_CALL RV270Api_GetErrorCode(void);
/* Copies the path of today's log file (no terminator; pass a zeroed buffer of 512 bytes). */
RV270_API int RV270_CALL RV270Api_GetLogPath(char *pLogPath);
/* Copies the version history text (no terminator; pass a zeroed buffer larger than it). */
RV270_API int RV270_CALL RV270Api_GetVersionDetail(char *pVersionDetail);
/* Writes length bytes as upper-case hexadecimal text; returns the text length. */
RV270_API int RV270_CALL RV270Api_Hex2Ascii(const unsigned char *pData, int length, char *pAscii);
/* Appends the host's own text to the library log. */
RV270_API int RV270_CALL RV270Api_CSharpPrint(const char *pText);

/* ---- Device search and command exchange --------------------------------------------- */

/* Finds the terminal among the HID devices: 1 found (4 characters each, no terminator),
 * 0 none, -2 the device list could not be read. Pass zeroed buffers of 5 bytes or more. */
RV270_API int RV270_CALL RV270Api_GetPidVid(char *pPid, char *pVid);
/* Exchanges one command. pResponse receives the answer payload (status bytes first);
 * answers longer than 4096 bytes are refused. timeout in milliseconds. */
RV270_API int RV270_CALL RV270Api_Communication(int port, int selector, unsigned char *pRequest,
    unsigned char *pResponse, int iRequestLen, int *pResponseLen, int timeout);
/* As RV270Api_Communication, but gets through while another thread's wait is broken off. */
RV270_API int RV270_CALL RV270Api_CommunicationCancel(int port, int selector, unsigned char *pRequest,
    unsigned char *pResponse, int iRequestLen, int *pResponseLen, int timeout);
/* Plain key input: keys until the enter key, edited for backspaces (mode 0: each removes
 * itself and the character before; other: keep what follows the last backspace). */
RV270_API int RV270_CALL RV270Api_Communication_ClearKey(int port, int selector, int mode,
    unsigned char *pStart, unsigned char *pText, int iStartLen, int *pTextLen,
    unsigned char *pEnd, int iEndLen, int timeout);
/* Framed key input: the text the terminal sends between 0x02 and 0x03. */
RV270_API int RV270_CALL RV270Api_Communication_23Key(int port, int selector, int mode, int iEditFlag,
    unsigned char *pStart, unsigned char *pText, int iStartLen, int *pTextLen,
    unsigned char *pEnd, int iEndLen, int timeout);
/* Breaks off the wait of another thread and tells the terminal to stop waiting. */
RV270_API int RV270_CALL RV270Api_CancelCustomProcess(int port, int selector);

/* ---- Device information and configuration ------------------------------------------ */

RV270_API int RV270_CALL RV270Api_GetWorkingStatus(int port, int selector);
RV270_API int RV270_CALL RV270Api_GetErrorMsg(int port, int selector, int size, char *pError);
RV270_API int RV270_CALL RV270Api_GetDeviceInfo(int port, int selector, int iLen, char *pDeviceInfo);
/* iToDevice 0: sets the rate every later serial open uses; otherwise sends it to the device. */
RV270_API int RV270_CALL RV270Api_SetBaud(int port, int selector, int iToDevice, int iBaud);
RV270_API int RV270_CALL RV270Api_SetBaudtest(int port, int selector, int iToDevice, int iBaud);
RV270_API int RV270_CALL RV270Api_GetBaud(int port, int selector);
RV270_API int RV270_CALL RV270Api_GetVernderId(int port, int selector, char *pVernderId);
RV270_API int RV270_CALL RV270Api_GetDeviceId(int port, int selector, char *pDeviceId);
RV270_API int RV270_CALL RV270Api_GetVersion(int port, int selector, char *pVersionInfo);
RV270_API int RV270_CALL RV270Api_ResetDevice(int port, int selector);
RV270_API int RV270_CALL RV270Api_SetVersionCtl(int port, int selector, int cVersionCtl);

/* ---- Customer screen ---------------------------------------------------------------- */
/* timeout arguments are in seconds; the library waits 3 s longer (1 s for ShowText). */

RV270_API int RV270_CALL RV270Api_ShowInfo(int port, int selector, int mode, const char *pInfo,
    int iVoiceFlag, const char *pVoice, int timeout);
RV270_API int RV270_CALL RV270Api_SetAdArea(int port, int selector, int iAreaValue1, int iAreaValue2,
    int iAreaValue3, int iAreaValue4);
RV270_API int RV270_CALL RV270Api_ShowInfoOrWaitSign(int port, int selector, int mode,
    const char *pStatusArea, const char *pMainArea, int iSignValue1, int iSignValue2,
    int iSignValue3, int iSignValue4, int iSignByte, const char *pVoice, int timeout, int iLen,
    int iReserved);
RV270_API int RV270_CALL RV270Api_ExcuteJs(int port, int selector, const char *pJs, const char *pVoice,
    int iLen, char *pResult);
RV270_API int RV270_CALL RV270Api_ClearMainScreen(int port, int selector);
RV270_API int RV270_CALL RV270Api_ShowWebOnly(int port, int selector, const char *pInfo,
    const char *pVoice, int timeout);
RV270_API int RV270_CALL RV270Api_ShowWebCompress(int port, int selector, const char *pWeb,
    const char *pVoice, int timeout);
RV270_API int RV270_CALL RV270Api_SetPosterType(int port, int selector, int iType);
RV270_API int RV270_CALL RV270Api_ShowWebAd(int port, int selector, const char *pInfo,
    const char *pVoice, int timeout);
RV270_API int RV270_CALL RV270Api_ShowText(int port, int selector, int mode, const char *pShowText,
    int iVoiceFlag, const char *pVoice, int timeout);
RV270_API int RV270_CALL RV270Api_SetWelCome(int port, int selector, const char *pWelCome);
RV270_API int RV270_CALL RV270Api_InitStatusBar(int port, int selector, const char *pOrginStatusBar);
RV270_API int RV270_CALL RV270Api_SetStatusBarInfo(int port, int selector, const char *pStatusBarInfo);
RV270_API int RV270_CALL RV270Api_ClearStatusBar(int port, int selector);

/* ---- Voice, video and playlists ----------------------------------------------------- */

RV270_API int RV270_CALL RV270Api_ReadVoice(int port, int selector, int type, const char *pVoice);
RV270_API int RV270_CALL RV270Api_PlayVideo(int port, int selector, const char *pVideo);
RV270_API int RV270_CALL RV270Api_SetVoiceVolume(int port, int selector, int type, int degree);
RV270_API int RV270_CALL RV270Api_GetVoiceVolume(int port, int selector, int type);
RV270_API int RV270_CALL RV270Api_SetPlayInterval(int port, int selector, int IntervalTime);
RV270_API int RV270_CALL RV270Api_PlayPicList(int port, int selector, const char *PicList);
RV270_API int RV270_CALL RV270Api_PlayVideoList(int port, int selector, const char *VideoList);

/* ==== Further families (file transfer, workflows, PIN pad, operators) ================= */
/* RV270_FURTHER_EXPORTS */

#ifdef __cplusplus
}
#endif

#endif /* QORN_RV270_API_H */
