// The symbolic names of the error codes scanfw can meet, for the diagnostic
// log; their values are the platform header's.
#pragma once

#include <cstdint>

// clang-format off
#define SCANFW_WINDOWS_ERRORS(X)                                             \
  X(ERROR_SUCCESS) X(ERROR_FILE_NOT_FOUND) X(ERROR_PATH_NOT_FOUND)            \
  X(ERROR_TOO_MANY_OPEN_FILES) X(ERROR_ACCESS_DENIED) X(ERROR_INVALID_HANDLE) \
  X(ERROR_NOT_ENOUGH_MEMORY) X(ERROR_NOT_READY) X(ERROR_BAD_COMMAND)          \
  X(ERROR_GEN_FAILURE) X(ERROR_SHARING_VIOLATION) X(ERROR_NOT_SUPPORTED)      \
  X(ERROR_DEV_NOT_EXIST) X(ERROR_INVALID_PARAMETER)                           \
  X(ERROR_CALL_NOT_IMPLEMENTED) X(ERROR_SEM_TIMEOUT)                          \
  X(ERROR_INSUFFICIENT_BUFFER) X(ERROR_BUSY) X(WAIT_TIMEOUT)                  \
  X(ERROR_MR_MID_NOT_FOUND) X(ERROR_OPERATION_ABORTED)                        \
  X(ERROR_IO_INCOMPLETE) X(ERROR_IO_PENDING)                                  \
  X(ERROR_DEPENDENT_SERVICES_RUNNING) X(ERROR_INVALID_SERVICE_CONTROL)        \
  X(ERROR_SERVICE_REQUEST_TIMEOUT) X(ERROR_SERVICE_NO_THREAD)                 \
  X(ERROR_SERVICE_DATABASE_LOCKED) X(ERROR_SERVICE_ALREADY_RUNNING)           \
  X(ERROR_SERVICE_DISABLED) X(ERROR_SERVICE_DOES_NOT_EXIST)                   \
  X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL) X(ERROR_SERVICE_NOT_ACTIVE)             \
  X(ERROR_SERVICE_DEPENDENCY_FAIL) X(ERROR_SERVICE_LOGON_FAILED)              \
  X(ERROR_SERVICE_MARKED_FOR_DELETE) X(ERROR_SHUTDOWN_IN_PROGRESS)            \
  X(ERROR_IO_DEVICE) X(ERROR_DEVICE_NOT_CONNECTED)                            \
  X(ERROR_RESOURCE_DATA_NOT_FOUND) X(ERROR_RESOURCE_TYPE_NOT_FOUND)           \
  X(ERROR_RESOURCE_NAME_NOT_FOUND) X(ERROR_RESOURCE_LANG_NOT_FOUND)
// clang-format on

struct ErrorName {
  uint32_t code;
  const char *name;
};

// The Windows error rows above, in their order.
const ErrorName *WindowsErrorNames(int *count);

// The symbolic name of a Windows error code, or nullptr.
const char *WindowsErrorName(uint32_t code);
