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
/* The identity texts are copied without a terminator, at most 256 bytes: pass a zeroed
 * buffer of 257 bytes or more. RV270Api_GetDeviceInfo copies at most iLen - 1 bytes. */
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

/* ---- File download and firmware installation ---------------------------------------- */
/* The selector is not used: files go over USB (port 0 or 1001) or the serial port. */

/* iFileType 0: filepath is one media file; 1: every media file under the folder filepath. */
RV270_API int RV270_CALL RV270Api_SaveFile(int port, int selector, int iFileType, const char *filepath);
/* iFileType: file category 1 to 9; bNewName non-zero stores the file as pNewName (at most
 * 63 bytes over USB, 24 over a serial port). Returns 0, -1001 (busy) or -114. */
RV270_API int RV270_CALL RV270Api_SaveFileSingle(int port, int selector, int bNewName,
    const char *pNewName, int iFileType, const char *filepath);
/* timeout: seconds to wait for the installation result; CompareName: required start of
 * the upper-cased file name, empty for no check. */
RV270_API int RV270_CALL RV270Api_SetupApp(int port, int selector, const char *filepath, int timeout,
    const char *CompareName);
/* Counts the media files under a folder. pCount and pTotalSize (bytes) are in/out: set
 * both to 0 before the first call; the search adds to them. Folders whose names begin
 * with '.' and links to folders are not searched. Returns 0, or -1 for a null argument. */
RV270_API int RV270_CALL RV270Api_FileFind(const char *filepath, int *pCount, int *pTotalSize);

/* ---- Upload from the terminal to the host -------------------------------------------- */

/* iMode 0 writes the file SavePath (received into SavePath + ".part" and renamed when
 * complete: a failed upload leaves no file at SavePath). Other values copy into
 * pDataBuf: on entry *pDataLen holds the capacity of pDataBuf in bytes (a positive
 * number; without it the call returns -2 and asks for nothing); on return it holds the
 * bytes stored. A file larger than the capacity is refused (-2), nothing is written past
 * it. cFileType: category code (low byte sent); timeout in seconds. Returns 0, or a
 * negative or positive failure code (the last error is not set). */
RV270_API int RV270_CALL RV270Api_UploadFilesToPc(int port, int selector, int iMode,
    const char *SavePath, int cFileType, const char *pFileName, int timeout,
    unsigned char *pDataBuf, int *pDataLen);

/* ---- Files on the terminal ------------------------------------------------------------ */

/* iLen: size of fileList (out). */
RV270_API int RV270_CALL RV270Api_GetFileList(int port, int selector, int iFileType, int iLen,
    char *fileList);
RV270_API int RV270_CALL RV270Api_DeleteRcFile(int port, int selector, const char *fileName);
RV270_API int RV270_CALL RV270Api_DeleteAllFile(int port, int selector, int iFileType);

/* ---- Factory tests and serial number --------------------------------------------------- */

/* pserialnumber: at most 255 bytes. */
RV270_API int RV270_CALL RV270Api_SETserialnumber(int port, int selector, const char *pserialnumber);
/* pserialnumber (out): up to 255 bytes, no terminator added: give a zeroed buffer of 256. */
RV270_API int RV270_CALL RV270Api_GETserialnumber(int port, int selector, char *pserialnumber);
RV270_API int RV270_CALL RV270Api_CLEARserialnumber(int port, int selector);
RV270_API int RV270_CALL RV270Api_Linearitytest(int port, int selector);
RV270_API int RV270_CALL RV270Api_Pressuresensitivetest(int port, int selector);
/* timeout in seconds, 0 to 255 (the terminal receives one byte); testtype 1 or 2. */
RV270_API int RV270_CALL RV270Api_Keytest(int port, int selector, int timeout, int testtype);
RV270_API int RV270_CALL RV270Api_Touchcalibration(int port, int selector);
/* The voucher signing of RV270Api_ShowInfoOrWaitSignFZ (same arguments and results), with
 * a pause of one second before the image is fetched: pPdfPath is the host voucher,
 * SavePath the host file that receives the signature image; timeout in seconds. */
RV270_API int RV270_CALL RV270Api_Signaturetest(int port, int selector, int mode, int iSignValue1,
    int iSignValue2, int iSignValue3, int iSignValue4, int iSignByte, const char *pVoice,
    int timeout, int iLen, int iReserved, const char *SavePath, const char *pPdfPath);
/* filepath: a host video file, downloaded as an advertising video; then poster type 1 for
 * about ten seconds, every advertising video deleted, poster type 0. Returns 0, -114 when
 * the download failed (-1001 busy), or the failing step's own result. Takes 13 s or more. */
RV270_API int RV270_CALL RV270Api_Stresstest(int port, int selector, const char *filepath);

/* ---- National-cipher services of the terminal (USB only, no port argument) ------------ */
/* Keys are hexadecimal texts: SM2 public key 128 characters, private key 64, SM4 key and
 * initial vector 32; a shorter text is sent padded with zero bytes. pOut receives the
 * terminal's answer data without a terminator: give room for 4094 bytes, or 65533 for
 * sm2EN, sm4EN_cbc, sm4EN_ecb, sm4DE_cbc and sm4DE_ecb. getsm2key fills exactly 128 and
 * 64 bytes. Data longer than 255 bytes is sent whole with the low 8 bits of its length
 * where the request has a length byte. A null text, or data that does not fit the request
 * (10240 bytes with the fields; 204800 for the five services above) is refused: -2. */

RV270_API int RV270_CALL getsm2key(char *pPubKey, char *pPriKey);
RV270_API int RV270_CALL sm2EN(const char *pPubKey, const char *pPriKey, const char *pData, char *pOut);
RV270_API int RV270_CALL sm2DE(const char *pPubKey, const char *pPriKey, const char *pData, char *pOut);
/* pExtra: 64 characters. */
RV270_API int RV270_CALL sm2encrypt(const char *pPubKey, const char *pPriKey, const char *pExtra,
    const char *pData, char *pOut);
RV270_API int RV270_CALL sm2encrypt_af(const char *pPubKey, const char *pPriKey, const char *pData,
    char *pOut);
/* pExtra: 32 characters. */
RV270_API int RV270_CALL sm3Calc(const char *pPubKey, const char *pPriKey, const char *pExtra,
    const char *pData, char *pOut);
RV270_API int RV270_CALL sm3Calc_nID(const char *pData, char *pOut);
RV270_API int RV270_CALL sm4mac(const char *pKey, const char *pIV, const char *pData, char *pOut);
RV270_API int RV270_CALL sm4EN_cbc(const char *pKey, const char *pIV, const char *pData, char *pOut);
RV270_API int RV270_CALL sm4EN_ecb(const char *pKey, const char *pData, char *pOut);
RV270_API int RV270_CALL sm4DE_cbc(const char *pKey, const char *pIV, const char *pData, char *pOut);
RV270_API int RV270_CALL sm4DE_ecb(const char *pKey, const char *pData, char *pOut);
/* pReserved is not used. pFileName, a plain file name (no path separators, ':' or ".."),
 * names the terminal's result file, uploaded under the same name into the folder beside
 * the library named "performance" in Chinese (GBK bytes D0 D4 C4 DC on Windows, its UTF-8
 * spelling elsewhere), made when missing. Returns 0, -2 for a refused name, the usual
 * failures of the services, or the upload's own non-zero result. */
RV270_API int RV270_CALL getranddata(const char *pReserved, const char *pFileName);

/* ---- Teller information and evaluation ------------------------------------------------ */
/* timeout arguments are in seconds: 0 to 255 (the terminal receives one byte), 0 to 65535
 * for RV270Api_ReadEvaluate; others are refused with -2. RV270Api_CustomerEvaluate and
 * RV270Api_ReadEvaluate return the customer's rating (0 to 255) on success,
 * RV270Api_StartCounterElecBadge the answer's byte 2; failures are negative. */

/* headFile: the photo's name on the terminal, may be empty. The card text
 * "tellerNo#tellerName#nStarLevel#headFile" holds at most 510 bytes. */
RV270_API int RV270_CALL RV270Api_DownLoadCounterInfo(int port, int selector, const char *tellerName,
    const char *tellerNo, int nStarLevel, const char *headFile);
/* pHtml: the evaluation page's name, at most 509 bytes. */
RV270_API int RV270_CALL RV270Api_SetCounterEvaluateSurface(int port, int selector, const char *pHtml);
RV270_API int RV270_CALL RV270Api_CustomerEvaluate(int port, int selector, int timeout, int iEvaluateMode);
RV270_API int RV270_CALL RV270Api_StartCounterElecBadge(int port, int selector, int timeout);
/* VocFlag: decimal text. */
RV270_API int RV270_CALL RV270Api_ReadEvaluate(int port, int selector, const char *VocFlag, int timeout);
/* USB only (selector 0x39); pHeadPath: host photo file, downloaded unless iEvaluateMode is 1,
 * stored on the terminal as tellerNo "." and the extension of the file's name (tellerNo
 * alone when the name has none); tellerNo must then be a plain file name. Loads the card,
 * then returns the rating; -114 when the photo download failed (no card is sent). */
RV270_API int RV270_CALL Evaluate_BJZW(const char *tellerName, const char *tellerNo, int nStarLevel,
    const char *pHeadPath, int iEvaluateMode, int timeout);
/* As Evaluate_BJZW with evaluation mode 0: the photo (when given) over USB, the card and
 * the evaluation over port and selector. */
RV270_API int RV270_CALL RV270Api_EvaluateFZ(int port, int selector, const char *tellerName,
    const char *tellerNo, int nStarLevel, const char *pHeadPath, int timeout);

/* ---- Signature and paperless workflows ------------------------------------------------ */
/* timeout arguments are in seconds. pBase64 (out) receives the signature image as Base64
 * text followed by a terminator, *pBase64Len the text's length (a multiple of 4). The image
 * is at most 102400 bytes for Paperless and DLpaperlessFZ (give pBase64 room for 136537
 * characters, terminator included) and 204800 bytes for papeless_BJZW (273069 characters);
 * a larger image fails the call. After any failure pBase64 holds an empty text and
 * *pBase64Len 0. Results 1 to 4 are the customer's outcomes (1 cancelled where the terminal
 * reports it so); a failed fetch of the image is negative with last error 115 (-115 where
 * the fetch itself failed with a positive value). A null SavePath, pBase64 or pBase64Len
 * is refused (-2) before anything is shown; an older image at SavePath is removed first. */

/* pPdfPath: host voucher file; SavePath: host file that receives the signature image. */
RV270_API int RV270_CALL RV270Api_ShowInfoOrWaitSignFZ(int port, int selector, int mode,
    int iSignValue1, int iSignValue2, int iSignValue3, int iSignValue4, int iSignByte,
    const char *pVoice, int timeout, int iLen, int iReserved, const char *SavePath,
    const char *pPdfPath);
/* USB only. */
RV270_API int RV270_CALL DLpaperlessFZ(int iSignValue1, int iSignValue2, int iSignValue3,
    int iSignValue4, int iSignByte, int timeout, char *pBase64, const char *pPdfPath,
    int *pBase64Len);
/* USB only; pPaperText may be empty; timeout 0 to 65535 (sent in two bytes). */
RV270_API int RV270_CALL Paperless(int timeout, const char *pPaperText, char *pBase64, int *pBase64Len);
/* USB only; pTimeoutText: decimal text, seconds. pBase64: room for 273069 characters;
 * no length is returned (the text is terminated). */
RV270_API int RV270_CALL papeless_BJZW(const char *pField3, const char *pField4, const char *pField6,
    const char *pTimeoutText, char *pBase64);
/* The signature pad over USB: opened (waits up to 999 s for the customer), cleared, the
 * main screen cleared, and the image fetched into SavePath. */
RV270_API int RV270_CALL startSignature_GDNH(void);
RV270_API int RV270_CALL clearSignature_GDNH(void);
RV270_API int RV270_CALL endSign_GDNH(void);
/* SavePath: host file that receives the signature image. */
RV270_API int RV270_CALL getSignature_GDNH(const char *SavePath);
/* iFileType 1: advertising picture, 2: advertising video; over USB. */
RV270_API int RV270_CALL RV270Api_SaveFileSingleFZ(int iFileType, const char *filepath);
/* Firmware over USB, waiting up to 999 s for the installation result. */
RV270_API int RV270_CALL RV270Api_SetupAppFZ(const char *filepath);

/* ---- Password pad and screen keyboard keys and entry ------------------------------------ */
/* iLen of the key loads: number of key characters sent; iLen of the readers and iMemLen:
 * size of the caller's out buffer, never written past. An answer larger than that buffer
 * copies nothing (last error 122). Key texts are never written to the log in clear.
 * timeout in seconds. */

RV270_API int RV270_CALL RV270Api_GenerateKeyFromPw(int port, int selector, int iLen, char *pubkey);
RV270_API int RV270_CALL RV270Api_SetPwMkey(int port, int selector, int iMkeyIndex, const char *pwMkey,
    int iLen);
RV270_API int RV270_CALL RV270Api_SetPwWkey(int port, int selector, int iMkeyIndex, int iWkeyIndex,
    const char *pwWkey, int iLen);
/* pCheckValue (out): 8 bytes and a terminator (iLen at least 9). */
RV270_API int RV270_CALL RV270Api_GetPwCheckValue(int port, int selector, int iType, int iLen,
    char *pCheckValue);
/* pStatusArea, pTipInfo and pVoice may be null (voice and status area at most 255 bytes);
 * password (out) receives the 32-byte password block (iMemLen at least 32). */
RV270_API int RV270_CALL RV270Api_InputPassword(int port, int selector, int timeout,
    const char *pStatusArea, const char *pTipInfo, const char *pVoice, int ipwLen, int iMemLen,
    char *password);
RV270_API int RV270_CALL RV270Api_SetPassword(int port, int selector, int timeout,
    const char *pStatusArea, const char *pTipInfo, const char *pVoice, int ipwLen, int iMemLen,
    char *password);
RV270_API int RV270_CALL RV270Api_GenerateKeyFromScreen(int port, int selector, int iLen, char *pubkey);
RV270_API int RV270_CALL RV270Api_SetScreenMkey(int port, int selector, int iMkeyIndex, const char *pMkey,
    int iLen);
RV270_API int RV270_CALL RV270Api_SetScreenWkey(int port, int selector, int iMkeyIndex, int iWkeyIndex,
    const char *pWkey, int iLen);
/* pCheckValue (out): 8 bytes, no terminator (iLen at least 8). */
RV270_API int RV270_CALL RV270Api_GetScreenCheckValue(int port, int selector, int iType, int iLen,
    char *pCheckValue);

/* ---- Master, work and public keys ------------------------------------------------------ */
/* Indices, lengths and keys are texts (lengths in decimal); iFlag's low byte is sent.
 * pOutData (out) receives the answer data without a terminator: at most 255 bytes, or
 * at most 2048 bytes for the public-key commands (DownLoadSM2Public, GetRSAPublicKey,
 * DownLoadRSAPublic); a longer answer copies nothing (last error 122). A null pOutData is
 * not written. Requests over 512 bytes, or texts over a one-byte length field, are refused
 * (return -2, last error 100). */

RV270_API int RV270_CALL RV270Api_InputTMK(int port, int selector, const char *TMKIndex,
    const char *Tmk1, const char *Tmk2, char *pOutData, int iFlag);
RV270_API int RV270_CALL RV270Api_LoadTMK(int port, int selector, const char *OldTMKIndex,
    const char *NewKEYLen, const char *TMKIndex, const char *NewTMKByOldTMK, char *pOutData,
    int iFlag);
RV270_API int RV270_CALL RV270Api_InputKEY(int port, int selector, const char *TMKIndex,
    const char *KEYIndex, const char *KeyLen, const char *keyByTMK, const char *KeyValue, int iFlag);
RV270_API int RV270_CALL Nb_InputWKey(int port, int selector, const char *pWkeyData);
RV270_API int RV270_CALL RV270Api_ActiveWKey(int port, int selector, const char *TMKIndex,
    const char *KEYIndex);
/* iUnused is not used. */
RV270_API int RV270_CALL RV270Api_CheckKEY(int port, int selector, const char *TMKIndex,
    const char *KEYIndex, int iUnused, char *pOutData, int iFlag);
RV270_API int RV270_CALL RV270Api_CryptData(int port, int selector, const char *TMKIndex,
    const char *KEYIndex, const char *DataLen, const char *Data, char *pOutData, int iFlag);
RV270_API int RV270_CALL RV270Api_GetMKeyValue(int port, int selector, const char *TMKIndex,
    char *pOutData, int iFlag);
RV270_API int RV270_CALL RV270Api_DownLoadSM2Public(int port, int selector, const char *PubKeyIndex,
    const char *pSm2, char *pOutData);
RV270_API int RV270_CALL RV270Api_GetRSAPublicKey(int port, int selector, int PublicLen, char *pOutData);
RV270_API int RV270_CALL RV270Api_DownLoadRSAPublic(int port, int selector, const char *PubKeyIndex,
    const char *pRsa, char *pOutData);
/* pOutData1, pOutData2 (out): texts of at most 511 characters and a terminator (512 bytes). */
RV270_API int RV270_CALL RV270Api_EncBySm2_PK(int port, int selector, const char *ranKeyLen,
    const char *pk, char *pOutData1, char *pOutData2);
RV270_API int RV270_CALL RV270Api_WriteKeyWithDesCiper(int port, int selector, const char *keyIndex,
    const char *newKeyLen, const char *newKeyByOldKey, char *pOutData);
RV270_API int RV270_CALL RV270Api_WriteKeyWithSM4Ciper(int port, int selector, const char *keyIndex,
    const char *newKeyLen, const char *newKeyByOldKey, char *pOutData);
RV270_API int RV270_CALL RV270Api_WriteWorkKeyWithMainkey(int port, int selector,
    const char *mainkeyIndex, const char *workkeyIndex, const char *newKeyLen,
    const char *newKeyByOldKey, char *pOutData);
RV270_API int RV270_CALL RV270Api_CleanSessionKey(int port, int selector);

/* ---- PIN and keypad entry ------------------------------------------------------------- */
/* timeout arguments are in seconds; modex, lengths and flags given as texts are decimal.
 * Out buffers receive the answer data without a terminator unless noted, at most
 * 2048 bytes where no other bound is given; a longer answer copies nothing (last error
 * 122). Card numbers are logged with their last four digits only. */

/* iUnused is not used; pLenText (out) receives the PIN length as decimal text (4 bytes
 * with its terminator); pPinBlock (out) 16 bytes, 32 with iBlockType 1; pTailData (out)
 * at most 2048 bytes. accNo: the 12-character account field, or empty. */
RV270_API int RV270_CALL RV270Api_ReadCustomerPin(int port, int selector, const char *TMKIndex,
    const char *accNo, const char *modex, int timeout, int iBlockType, int iOption, int iUnused,
    char *pLenText, char *pPinBlock, char *pTailData);
/* pOutData (out): at most 255 bytes. */
RV270_API int RV270_CALL RV270Api_GuomiPin(int port, int selector, const char *flag,
    const char *KeyIndex, const char *keytype, const char *accNo, const char *modex, int timeout,
    const char *MinPinlen, const char *MaxPinlen, char *pOutData);
/* pPinBlock (out): 16 bytes. */
RV270_API int RV270_CALL Nb_ReadCustomerPin_new(int port, int selector, int timeout, int iByte4,
    int iByte5, char *pPinBlock, int iByte8, const char *pTailText);
RV270_API int RV270_CALL RV270Api_NumKeyboard(int port, int selector, int inputtype, int timeout,
    int mode, int length, char *pOutData);
RV270_API int RV270_CALL RV270Api_SetKeyBoardLen(int port, int selector, int KeyBoardMinLen,
    int KeyBoardMaxLen);
RV270_API int RV270_CALL RV270Api_GetAnsi98Account(int port, int selector, const char *AccNo,
    char *pOutData);
/* pOutData (out): the random bytes (at most 255) as hexadecimal text with a terminator:
 * at most 511 bytes. */
RV270_API int RV270_CALL RV270Api_GetRand(int port, int selector, const char *randlen, char *pOutData);
/* Breaks off an entry that another thread waits for. */
RV270_API int RV270_CALL RV270Api_Break(int port, int selector);
/* Plain key input: pOutData (out) receives the typed characters, at most 127, without a
 * terminator. */
RV270_API int RV270_CALL RV270Api_InnputClearKey1(int port, int selector, int flag, int timeout,
    char *pOutData);
RV270_API int RV270_CALL RV270Api_InnputClearKey2(int port, int selector, int flag, int timeout,
    char *pOutData);
RV270_API int RV270_CALL RV270Api_InnputClearKey3(int port, int selector, int flag, int timeout,
    char *pOutData);
RV270_API int RV270_CALL RV270Api_InnputClearKey4(int port, int selector, int flag, int timeout,
    char *pOutData);
/* iLen: the entry length, set as both minimum and maximum before the key input. */
RV270_API int RV270_CALL RV270Api_InnputClearKeyFZ(int port, int selector, int iLen, int flag,
    int timeout, char *pOutData);

/* ---- Keypad identity ------------------------------------------------------------------ */

RV270_API int RV270_CALL RV270Api_SetAppNum(int port, int selector, const char *pAppNum);
/* Texts of the setters: at most 255 characters (RV270Api_SetKeyboardInfo: 508). The
 * getters copy without a terminator: pAppNum at most 255 bytes, pKeyBoardSn at most 2048. */
RV270_API int RV270_CALL RV270Api_GetAppNum(int port, int selector, char *pAppNum);
RV270_API int RV270_CALL RV270Api_SetKeyBoardSN(int port, int selector, const char *pKeyBoardSn);
RV270_API int RV270_CALL RV270Api_GetKeyBoardSN(int port, int selector, char *pKeyBoardSn);
RV270_API int RV270_CALL RV270Api_InitKeyBoard(int port, int selector);
RV270_API int RV270_CALL RV270Api_SetKeyboardInfo(int port, int selector, const char *pKeyBoardInfo);

/* ---- Operator management --------------------------------------------------------------- */
/* The second argument is the serial rate (it replaces the library serial rate), not a
 * selector. timeout in seconds; iOperatorNo 0 to 63; pOperatorKey is hexadecimal text. */

/* Passwords of at most 16 characters, operator keys of at most 96 hexadecimal characters
 * (the first 32 are the key), ciphertexts of at most 507 characters; longer ones are
 * refused (return -2, last error 100). */
/* pSm2PubKey (out): at most 2048 bytes, no terminator; iUnused is not used. */
RV270_API int RV270_CALL ApplySM2Key(int port, int iBaud, char *pSm2PubKey, int iUnused, int timeout);
RV270_API int RV270_CALL SendCiphertext(int port, int iBaud, const char *pCiphertext, int timeout);
RV270_API int RV270_CALL AdministratorSignOut(int port, int iBaud, int timeout);
RV270_API int RV270_CALL CreatOperator(int port, int iBaud, int iOperatorNo, const char *pPassword,
    int timeout);
RV270_API int RV270_CALL SetOperatorKey(int port, int iBaud, const char *pOperatorKey, int timeout);
/* iPower: the low 6 bits are sent. */
RV270_API int RV270_CALL SetOperatorPower(int port, int iBaud, int iOperatorNo, int iPower, int timeout);
RV270_API int RV270_CALL DelOperator(int port, int iBaud, int iOperatorNo, int timeout);
RV270_API int RV270_CALL DelAllOperator(int port, int iBaud, int timeout);
RV270_API int RV270_CALL OperatorSignIn(int port, int iBaud, int iOperatorNo, const char *pOperatorKey,
    const char *pPassword, int timeout);
/* iUnused is not used. */
RV270_API int RV270_CALL CiphertextSignOut(int port, int iBaud, int iUnused, int timeout);

#ifdef __cplusplus
}
#endif

#endif /* QORN_RV270_API_H */
