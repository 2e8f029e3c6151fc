/*
 * A host program built against an installed QornRV270API, once through the CMake package
 * and once through pkg-config, and run against the simulator (RV270_SIM for USB,
 * RV270_COM7 for serial port 7). It checks that the installed library loads, answers
 * over both links, reports a failure with its last error code, and logs beside itself.
 *
 * usage: consumer LIBDIR   (the installed library's folder: the log must be below it)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <QornRV270API.h>

static int failures = 0;

static void check(const char *what, int result, int expected, int expected_error) {
  int error = RV270Api_GetErrorCode();
  int ok = result == expected && error == expected_error;
  printf("%-40s %5d (last error %3d)  %s\n", what, result, error, ok ? "ok" : "FAILED");
  if (!ok) failures++;
}

int main(int argc, char **argv) {
  char info[512] = {0};
  char log_path[513] = {0};
  int serial = getenv("RV270_COM7") != NULL && getenv("RV270_COM7")[0] != '\0';

  if (argc != 2) {
    fprintf(stderr, "usage: %s LIBDIR\n", argv[0]);
    return 2;
  }
  check("error code after loading", RV270Api_GetErrorCode(), 0, 0);
  check("device information over USB", RV270Api_GetDeviceInfo(0, 0, (int)sizeof info, info), 0, 0);
  printf("    %s\n", info);
  if (info[0] == '\0') {
    printf("device information is empty  FAILED\n");
    failures++;
  }
  check("welcome text over USB", RV270Api_SetWelCome(0, 0, "Welcome"), 0, 0);
  if (serial) {
    memset(info, 0, sizeof info);
    check("device information over serial port 7", RV270Api_GetDeviceInfo(7, 0, (int)sizeof info, info), 0, 0);
  }
  /* Port 9 names a device that does not exist: a link failure. */
  check("working status on a missing port", RV270Api_GetWorkingStatus(9, 0), -2, 102);
  check("device information with iLen 0", RV270Api_GetDeviceInfo(0, 0, 0, info), -1, 100);

  RV270Api_GetLogPath(log_path);
  printf("log file: %s\n", log_path);
  if (strncmp(log_path, argv[1], strlen(argv[1])) != 0 || strstr(log_path, "LogOfRV270") == NULL) {
    printf("the log file is not in LogOfRV270 beside the installed library  FAILED\n");
    failures++;
  }
  printf("%s\n", failures == 0 ? "consumer: all checks passed" : "consumer: some checks FAILED");
  return failures == 0 ? 0 : 1;
}
