/* The harness's hands inside the Wine prefix: installs the simulated scanner
 * driver and the still-image service stand-in, sets both up for a compiled
 * scenario, and reads back what they recorded (see the usage in main). The
 * service manager is changed only through its API: the running service
 * manager does not see registry edits made behind its back. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include "tests/sim/scanner_model.h"

#define STANDIN_KEY "Software\\scanfw-e2e\\stisvc"
#define STANDIN_TITLE "Still image service (scanfw stand-in)"
#define STI_SERVICE "STISVC"
/* CTL_CODE(0x8001, 0x900 and 0x901, buffered, any) */
#define IOCTL_SIM_APPLY 0x80012400u
#define IOCTL_SIM_RECORD 0x80012404u
/* The stand-in reads its options again. */
#define STANDIN_CONTROL_REREAD 200

static SC_HANDLE manager;

static int fail(const char *what) {
  printf("e2ectl: %s failed (%lu)\n", what, (unsigned long)GetLastError());
  return 1;
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

/* The service `name` running path, made if need be: an existing entry (for
 * STISVC, Wine's own, which runs in a shared host that does nothing) is
 * pointed at path. Then started into state `wanted` unless that is 0, and
 * given its start type (after: a disabled service cannot be started). */
static int install(const char *name, const char *title, DWORD type,
                   const char *path, DWORD wanted, DWORD start_type) {
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
  int status = 0;
  if (!service)
    service = CreateServiceA(manager, name, title, SERVICE_ALL_ACCESS, type,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                             NULL, NULL, "", NULL, NULL);
  else if (!ChangeServiceConfigA(service, type, SERVICE_DEMAND_START,
                                 SERVICE_ERROR_NORMAL, path, NULL, NULL, "",
                                 NULL, NULL, title))
    status = fail("ChangeServiceConfigA");
  if (!service) return fail("CreateServiceA");
  if (!status && wanted) status = start(service, wanted, "starting it");
  if (!status && !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, start_type,
                                       SERVICE_NO_CHANGE, NULL, NULL, NULL,
                                       NULL, NULL, NULL, NULL))
    status = fail("ChangeServiceConfigA(start type)");
  CloseServiceHandle(service);
  return status;
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
  const DWORD wanted = paused                               ? SERVICE_PAUSED
                       : want->state == SCN_SERVICE_RUNNING ? SERVICE_RUNNING
                                                            : 0;
  SC_HANDLE service = OpenServiceA(manager, STI_SERVICE, SERVICE_ALL_ACCESS);
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
  return install(STI_SERVICE, STANDIN_TITLE, SERVICE_WIN32_OWN_PROCESS,
                 standin_path, wanted, want->start);
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
    status = install(argv[2], argv[2], SERVICE_KERNEL_DRIVER, argv[3],
                     SERVICE_RUNNING, SERVICE_DEMAND_START);
  else if (argc == 3 && !strcmp(argv[1], "install-service"))
    status = install(STI_SERVICE, STANDIN_TITLE, SERVICE_WIN32_OWN_PROCESS,
                     argv[2], 0, SERVICE_DEMAND_START);
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
