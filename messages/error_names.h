// The symbolic names of the error codes scanfw can meet, for the diagnostic
// log. Each Windows row carries the value the platform documents; the build
// checks it against the platform's own header (messages/diagnostics.cpp).
#pragma once

#include <cstdint>

// clang-format off
#define SCANFW_WINDOWS_ERRORS(X)                                             \
  X(ERROR_SUCCESS, 0) X(ERROR_FILE_NOT_FOUND, 2) X(ERROR_PATH_NOT_FOUND, 3)   \
  X(ERROR_TOO_MANY_OPEN_FILES, 4) X(ERROR_ACCESS_DENIED, 5)                  \
  X(ERROR_INVALID_HANDLE, 6) X(ERROR_NOT_ENOUGH_MEMORY, 8)                   \
  X(ERROR_NOT_READY, 21) X(ERROR_BAD_COMMAND, 22) X(ERROR_GEN_FAILURE, 31)   \
  X(ERROR_SHARING_VIOLATION, 32) X(ERROR_NOT_SUPPORTED, 50)                  \
  X(ERROR_DEV_NOT_EXIST, 55) X(ERROR_INVALID_PARAMETER, 87)                  \
  X(ERROR_CALL_NOT_IMPLEMENTED, 120) X(ERROR_SEM_TIMEOUT, 121)               \
  X(ERROR_INSUFFICIENT_BUFFER, 122) X(ERROR_BUSY, 170) X(WAIT_TIMEOUT, 258)  \
  X(ERROR_MR_MID_NOT_FOUND, 317) X(ERROR_OPERATION_ABORTED, 995)             \
  X(ERROR_IO_INCOMPLETE, 996) X(ERROR_IO_PENDING, 997)                       \
  X(ERROR_DEPENDENT_SERVICES_RUNNING, 1051)                                  \
  X(ERROR_INVALID_SERVICE_CONTROL, 1052)                                     \
  X(ERROR_SERVICE_REQUEST_TIMEOUT, 1053) X(ERROR_SERVICE_NO_THREAD, 1054)    \
  X(ERROR_SERVICE_DATABASE_LOCKED, 1055)                                     \
  X(ERROR_SERVICE_ALREADY_RUNNING, 1056) X(ERROR_SERVICE_DISABLED, 1058)     \
  X(ERROR_SERVICE_DOES_NOT_EXIST, 1060)                                      \
  X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061)                                  \
  X(ERROR_SERVICE_NOT_ACTIVE, 1062) X(ERROR_SERVICE_DEPENDENCY_FAIL, 1068)   \
  X(ERROR_SERVICE_LOGON_FAILED, 1069)                                        \
  X(ERROR_SERVICE_MARKED_FOR_DELETE, 1072)                                   \
  X(ERROR_SHUTDOWN_IN_PROGRESS, 1115) X(ERROR_IO_DEVICE, 1117)               \
  X(ERROR_DEVICE_NOT_CONNECTED, 1167)                                        \
  X(ERROR_RESOURCE_DATA_NOT_FOUND, 1812)                                     \
  X(ERROR_RESOURCE_TYPE_NOT_FOUND, 1813)                                     \
  X(ERROR_RESOURCE_NAME_NOT_FOUND, 1814)                                     \
  X(ERROR_RESOURCE_LANG_NOT_FOUND, 1815)
// clang-format on

struct ErrorName {
  uint32_t code;
  const char *name;
};

// The Windows error rows above, in their order.
const ErrorName *WindowsErrorNames(int *count);

// The symbolic name of a Windows error code, or nullptr.
const char *WindowsErrorName(uint32_t code);
