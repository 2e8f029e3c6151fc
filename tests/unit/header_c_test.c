/*
 * Compiles the public header as plain C (C99 or later) and binds a few exports to
 * function pointers of the exact type a C host would write for them. A wrong argument
 * list, a lost calling convention or C++ in the header fails this translation unit.
 * Built as an object only: nothing here runs.
 */
#include "QornRV270API.h"
#include "QornRV270API.h" /* the include guard allows a second inclusion */

typedef int (RV270_CALL *rv270_no_args_fn)(void);
typedef int (RV270_CALL *rv270_link_fn)(int port, int selector);
typedef int (RV270_CALL *rv270_exchange_fn)(int port, int selector, unsigned char *pRequest,
    unsigned char *pResponse, int iRequestLen, int *pResponseLen, int timeout);
typedef int (RV270_CALL *rv270_file_find_fn)(const char *filepath, int *pCount, int *pTotalSize);
typedef int (RV270_CALL *rv270_upload_fn)(int port, int selector, int iMode, const char *SavePath,
    int cFileType, const char *pFileName, int timeout, unsigned char *pDataBuf, int *pDataLen);
typedef int (RV270_CALL *rv270_sm4_ecb_fn)(const char *pKey, const char *pData, char *pOut);
typedef int (RV270_CALL *rv270_read_pin_fn)(int port, int selector, const char *TMKIndex,
    const char *accNo, const char *modex, int timeout, int iBlockType, int iOption, int iUnused,
    char *pLenText, char *pPinBlock, char *pTailData);
typedef int (RV270_CALL *rv270_operator_fn)(int port, int iBaud, int iOperatorNo,
    const char *pPassword, int timeout);

/* Declared first so that -Wmissing-prototypes stays quiet. */
int rv270_header_c_test(void);

int rv270_header_c_test(void)
{
    rv270_no_args_fn no_args[2];
    rv270_link_fn link[2];
    rv270_exchange_fn exchange = RV270Api_Communication;
    rv270_file_find_fn file_find = RV270Api_FileFind;
    rv270_upload_fn upload = RV270Api_UploadFilesToPc;
    rv270_sm4_ecb_fn sm4_ecb = sm4EN_ecb;
    rv270_read_pin_fn read_pin = RV270Api_ReadCustomerPin;
    rv270_operator_fn create_operator = CreatOperator;

    no_args[0] = RV270Api_GetErrorCode;
    no_args[1] = startSignature_GDNH;
    link[0] = RV270Api_GetWorkingStatus;
    link[1] = RV270Api_Break;

    return (no_args[0] != 0) + (no_args[1] != 0) + (link[0] != 0) + (link[1] != 0)
        + (exchange != 0) + (file_find != 0) + (upload != 0) + (sm4_ecb != 0)
        + (read_pin != 0) + (create_operator != 0);
}
