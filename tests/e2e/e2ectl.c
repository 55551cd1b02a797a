/* The harness's hands inside the Wine prefix: installs the simulated scanner
 * driver and the still-image service stand-in, sets both up for a compiled
 * scenario, and reads back what they recorded.
 *
 *   e2ectl install-driver NAME C:\path\to\driver.sys
 *   e2ectl install-service C:\path\to\stisvc_standin.exe
 *   e2ectl scenario NAME.rec IMAGE_LENGTH IMAGE_CRC32
 * C:\path\to\stisvc_standin.exe e2ectl record             (driver record and
 * service state on stdout)
 *
 * The service manager is changed only through its API: the running service
 * manager does not see registry edits made behind its back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tests/sim/scanner_model.h"

#define STANDIN_KEY "Software\\scanfw-e2e\\stisvc"
#define STANDIN_TITLE "Still image service (scanfw stand-in)"
#define STI_SERVICE "STISVC"
#define IOCTL_SIM_APPLY                                 \
  0x80012400u /* CTL_CODE(0x8001, 0x900, buffered, any) \
               */
#define IOCTL_SIM_RECORD \
  0x80012404u                      /* CTL_CODE(0x8001, 0x901, buffered, any) */
#define STANDIN_CONTROL_REREAD 200 /* the stand-in reads its options again */

static SC_HANDLE manager;

static int fail(const char *what) {
  printf("e2ectl: %s failed (%lu)\n", what, (unsigned long)GetLastError());
  return 1;
}

static SC_HANDLE open_sti(void) {
  return OpenServiceA(manager, STI_SERVICE, SERVICE_ALL_ACCESS);
}

static int wait_state(SC_HANDLE service, DWORD wanted) {
  SERVICE_STATUS status;
  int i;
  for (i = 0; i < 200; i++) {
    if (!QueryServiceStatus(service, &status)) return 0;
    if (status.dwCurrentState == wanted) return 1;
    Sleep(50);
  }
  return 0;
}

/* Starts the service unless it is already in state `wanted`, and waits for
 * that state. */
static int start(SC_HANDLE service, DWORD wanted, const char *what) {
  SERVICE_STATUS status;
  if (!QueryServiceStatus(service, &status)) return fail(what);
  if (status.dwCurrentState == wanted) return 0;
  if (!StartServiceA(service, 0, NULL) &&
      GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return fail(what);
  return wait_state(service, wanted) ? 0 : fail(what);
}

static int install_driver(const char *name, const char *path) {
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  int status;
  if (!service)
    service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS,
                             SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                             SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL, NULL,
                             NULL);
  if (!service) return fail("CreateServiceA(driver)");
  status = start(service, SERVICE_RUNNING, "starting the driver");
  CloseServiceHandle(service);
  return status;
}

static int install_service(const char *path) {
  SC_HANDLE service = open_sti();
  if (service) {
    /* Wine's own entry runs in a shared host that does nothing: point it at
     * the stand-in instead. */
    if (!ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                              NULL, NULL, "", NULL, NULL, STANDIN_TITLE))
      return fail("ChangeServiceConfigA(STISVC)");
  } else {
    service =
        CreateServiceA(manager, STI_SERVICE, STANDIN_TITLE, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                       SERVICE_ERROR_NORMAL, path, NULL, NULL, "", NULL, NULL);
    if (!service) return fail("CreateServiceA(STISVC)");
  }
  CloseServiceHandle(service);
  return 0;
}

static int set_standin_options(DWORD hint, DWORD refuse_stop, DWORD paused) {
  static const char *const names[3] = {"WaitHint", "RefuseStop", "Paused"};
  const DWORD values[3] = {hint, refuse_stop, paused};
  HKEY key;
  int i;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STANDIN_KEY, 0, NULL, 0,
                      KEY_ALL_ACCESS, NULL, &key, NULL))
    return fail("RegCreateKeyExA(stand-in)");
  for (i = 0; i < 3; i++)
    RegSetValueExA(key, names[i], 0, REG_DWORD, (const BYTE *)&values[i],
                   sizeof(DWORD));
  RegCloseKey(key);
  return 0;
}

/* Brings the stand-in to the scenario's state and start type; absent
 * deletes it. */
static int set_service(const scn_service *want, const char *standin_path) {
  const int paused = want->state == SCN_SERVICE_PAUSED;
  SC_HANDLE service = open_sti();
  SERVICE_STATUS status;

  if (service && !QueryServiceStatus(service, &status))
    return fail("QueryServiceStatus(STISVC)");
  /* Always start from a stopped service, so that a paused or refusing one of
   * the last scenario does not linger. */
  if (service && status.dwCurrentState != SERVICE_STOPPED) {
    set_standin_options(0, 0, 0);
    ControlService(service, STANDIN_CONTROL_REREAD, &status);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status) ||
        !wait_state(service, SERVICE_STOPPED))
      return fail("stopping STISVC");
  }
  if (set_standin_options(want->wait_hint,
                          (want->flags & SCN_SERVICE_STOP_REFUSED) != 0,
                          paused))
    return 1;
  if (service && want->state == SCN_SERVICE_ABSENT && !DeleteService(service))
    return fail("DeleteService(STISVC)");
  if (service) CloseServiceHandle(service);
  if (want->state == SCN_SERVICE_ABSENT) return 0;
  /* Whatever ran under the name before (Wine's own entry, or a service
   * deleted by the last scenario), the stand-in runs under it now. */
  if (install_service(standin_path)) return 1;
  service = open_sti();
  if (!service) return fail("OpenServiceA(STISVC)");
  if ((want->state == SCN_SERVICE_RUNNING || paused) &&
      start(service, paused ? SERVICE_PAUSED : SERVICE_RUNNING,
            "starting STISVC"))
    return 1;
  if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, want->start,
                            SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL,
                            NULL, NULL))
    return fail("ChangeServiceConfigA(STISVC start type)");
  CloseServiceHandle(service);
  return 0;
}

/* One request to the driver's control device. */
static int sim_ioctl(DWORD code, void *in, DWORD in_size, void *out,
                     DWORD out_size, DWORD *bytes) {
  HANDLE control =
      CreateFileA("\\\\.\\scanfwsimctl", GENERIC_READ | GENERIC_WRITE, 3, NULL,
                  OPEN_EXISTING, 0, NULL);
  if (control == INVALID_HANDLE_VALUE) return fail("CreateFileA(scanfwsimctl)");
  if (!DeviceIoControl(control, code, in, in_size, out, out_size, bytes, NULL))
    return fail("DeviceIoControl(scanfwsimctl)");
  CloseHandle(control);
  return 0;
}

/* The compiled scenario and the image it must receive go to the driver. */
static int scenario(const char *file, const char *length, const char *crc,
                    const char *standin_path) {
  static struct {
    scn_record record;
    DWORD image[2];
  } apply;
  DWORD bytes = 0;
  FILE *in = fopen(file, "rb");
  size_t got = in ? fread(&apply.record, 1, sizeof(apply.record), in) : 0;

  if (in) fclose(in);
  if (!scn_record_valid(&apply.record, (uint32_t)got) ||
      !(apply.record.harnesses & SCN_HARNESS_WINE)) {
    printf("e2ectl: %s is not a compiled scenario that Wine can run\n", file);
    return 1;
  }
  apply.image[0] = strtoul(length, NULL, 10);
  apply.image[1] = strtoul(crc, NULL, 10);
  if (sim_ioctl(IOCTL_SIM_APPLY, &apply, sizeof(apply), NULL, 0, &bytes))
    return 1;
  return set_service(&apply.record.service, standin_path);
}

/* The driver's report, then "service running auto" or "service absent". */
static int print_record(void) {
  /* The service manager's state numbers, as the scenarios name them. */
  static const uint32_t states[] = {0,
                                    SCN_SERVICE_STOPPED,
                                    SCN_SERVICE_START_PENDING,
                                    SCN_SERVICE_STOP_PENDING,
                                    SCN_SERVICE_RUNNING,
                                    SCN_SERVICE_CONTINUE_PENDING,
                                    SCN_SERVICE_PAUSE_PENDING,
                                    SCN_SERVICE_PAUSED};
  static char record[256 * 1024 + 1];
  static union {
    QUERY_SERVICE_CONFIGA config;
    char bytes[8192]; /* the most the query can need */
  } config;
  SERVICE_STATUS status;
  DWORD bytes = 0;
  SC_HANDLE service;

  if (sim_ioctl(IOCTL_SIM_RECORD, NULL, 0, record, sizeof(record) - 1, &bytes))
    return 1;
  record[bytes] = 0;
  fputs(record, stdout);
  service = OpenServiceA(manager, STI_SERVICE,
                         SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
  if (!service) {
    printf("service absent\n");
    return 0;
  }
  if (!QueryServiceStatus(service, &status) ||
      !QueryServiceConfigA(service, &config.config, sizeof(config), &bytes))
    return fail("querying STISVC");
  printf("service %s %s\n",
         scn_state_name(
             status.dwCurrentState < 8 ? states[status.dwCurrentState] : 0),
         scn_start_name(config.config.dwStartType));
  CloseServiceHandle(service);
  return 0;
}

int main(int argc, char **argv) {
  int status = 2;
  manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
  if (!manager) return fail("OpenSCManagerA");
  if (argc == 4 && !strcmp(argv[1], "install-driver"))
    status = install_driver(argv[2], argv[3]);
  else if (argc == 3 && !strcmp(argv[1], "install-service"))
    status = install_service(argv[2]);
  else if (argc == 6 && !strcmp(argv[1], "scenario"))
    status = scenario(argv[2], argv[3], argv[4], argv[5]);
  else if (argc == 2 && !strcmp(argv[1], "record"))
    status = print_record();
  else
    printf(
        "usage: e2ectl install-driver NAME PATH | install-service PATH | "
        "scenario RECORD LENGTH CRC STANDIN_PATH | record\n");
  CloseServiceHandle(manager);
  fflush(stdout);
  return status;
}
