/* A stand-in for the still-image service "STISVC" that really runs and
 * appends each start and stop, with the system time (100 ns units since
 * 1601), to the .log beside its executable. Its options, in
 * HKLM\Software\scanfw-e2e\stisvc and read whenever it reports: WaitHint
 * (ms), RefuseStop (it does not accept the stop), Paused (once started). */
#include <stdio.h>
#include <string.h>
#include <windows.h>

/* A user-defined control: read the options again and report them. */
#define STANDIN_CONTROL_REREAD 200

static SERVICE_STATUS_HANDLE status_handle;
static SERVICE_STATUS status;
static HANDLE stop_event;
static char log_path[MAX_PATH];

static DWORD option(const char *name) {
  DWORD value = 0, size = sizeof(value);
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\scanfw-e2e\\stisvc", 0,
                    KEY_READ, &key))
    return 0;
  if (RegQueryValueExA(key, name, NULL, NULL, (BYTE *)&value, &size)) value = 0;
  RegCloseKey(key);
  return value;
}

static void log_event(const char *what) {
  FILETIME now;
  ULARGE_INTEGER t;
  FILE *log = fopen(log_path, "a");
  if (!log) return;
  GetSystemTimeAsFileTime(&now);
  t.LowPart = now.dwLowDateTime;
  t.HighPart = now.dwHighDateTime;
  fprintf(log, "%s %llu\n", what, (unsigned long long)t.QuadPart);
  fclose(log);
}

static void report(DWORD state) {
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  /* A service that refuses the stop still accepts other controls, so
   * that it counts as active. */
  status.dwControlsAccepted = 0;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED)
    status.dwControlsAccepted =
        SERVICE_ACCEPT_PAUSE_CONTINUE |
        (option("RefuseStop") ? 0 : SERVICE_ACCEPT_STOP);
  status.dwWin32ExitCode = NO_ERROR;
  status.dwWaitHint = (state == SERVICE_STOPPED) ? 0 : option("WaitHint");
  SetServiceStatus(status_handle, &status);
}

static DWORD WINAPI handler(DWORD control, DWORD type, void *data,
                            void *context) {
  (void)type;
  (void)data;
  (void)context;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      if (option("RefuseStop")) return ERROR_INVALID_SERVICE_CONTROL;
      report(SERVICE_STOP_PENDING);
      SetEvent(stop_event);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      report(SERVICE_PAUSED);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      report(SERVICE_RUNNING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      SetServiceStatus(status_handle, &status);
      return NO_ERROR;
    case STANDIN_CONTROL_REREAD:
      report(status.dwCurrentState);
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

static void WINAPI service_main(DWORD argc, char **argv) {
  (void)argc;
  (void)argv;
  status_handle = RegisterServiceCtrlHandlerExA("STISVC", handler, NULL);
  if (!status_handle) return;
  stop_event = CreateEventA(NULL, TRUE, FALSE, NULL);
  report(SERVICE_START_PENDING);
  log_event("start");
  report(option("Paused") ? SERVICE_PAUSED : SERVICE_RUNNING);
  WaitForSingleObject(stop_event, INFINITE);
  /* The stop is logged before the manager can see the stopped state, so a
   * client that waited for it finds the stop already in the log. */
  log_event("stop");
  report(SERVICE_STOPPED);
}

int main(void) {
  static SERVICE_TABLE_ENTRYA table[] = {{(char *)"STISVC", service_main},
                                         {NULL, NULL}};
  char *dot;
  GetModuleFileNameA(NULL, log_path, sizeof(log_path) - 5);
  dot = strrchr(log_path, '.');
  if (dot) strcpy(dot, ".log");
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
