/* The harness's hands inside the Wine prefix: installs the simulated scanner
 * driver and the still-image service stand-in, sets both up for a compiled
 * scenario, and reads back what they recorded.
 *
 *   e2ectl install-driver NAME C:\path\to\driver.sys
 *   e2ectl install-service C:\path\to\stisvc_standin.exe
 *   e2ectl scenario NAME.rec IMAGE_LENGTH IMAGE_CRC32 C:\path\to\stisvc_standin.exe
 *   e2ectl record             (driver record and service state on stdout)
 *   e2ectl service            (the service's state and start type on stdout)
 *
 * The service manager is changed only through its API: the running service
 * manager does not see registry edits made behind its back. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tests/sim/scanner_model.h"

#define SIM_SERVICE "scanfwsim"
#define SIM_KEY "System\\CurrentControlSet\\Services\\" SIM_SERVICE
#define STANDIN_KEY "Software\\scanfw-e2e\\stisvc"
#define STI_SERVICE "STISVC"
#define IOCTL_SIM_APPLY 0x80012400u  /* CTL_CODE(0x8001, 0x900, buffered, any) */
#define IOCTL_SIM_RECORD 0x80012404u /* CTL_CODE(0x8001, 0x901, buffered, any) */
#define STANDIN_CONTROL_REREAD 200 /* the stand-in reads its options again */

static int fail(const char *what)
{
    printf("e2ectl: %s failed (%lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

static int wait_state(SC_HANDLE service, DWORD wanted)
{
    SERVICE_STATUS status;
    int i;
    for (i = 0; i < 200; i++) {
        if (!QueryServiceStatus(service, &status))
            return 0;
        if (status.dwCurrentState == wanted)
            return 1;
        Sleep(50);
    }
    return 0;
}

static int install_driver(const char *name, const char *path)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    SERVICE_STATUS status;
    if (!manager)
        return fail("OpenSCManagerA");
    service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (!service) {
        service = CreateServiceA(manager, name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL, NULL,
                                 NULL, NULL);
        if (!service)
            return fail("CreateServiceA(driver)");
    }
    if (!QueryServiceStatus(service, &status))
        return fail("QueryServiceStatus(driver)");
    if (status.dwCurrentState != SERVICE_RUNNING) {
        if (!StartServiceA(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
            return fail("StartServiceA(driver)");
        if (!wait_state(service, SERVICE_RUNNING))
            return fail("driver start");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

static int install_service(const char *path)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    if (!manager)
        return fail("OpenSCManagerA");
    service = OpenServiceA(manager, STI_SERVICE, SERVICE_ALL_ACCESS);
    if (service) {
        /* Wine's own entry runs in a shared host that does nothing: point it at
         * the stand-in instead. */
        if (!ChangeServiceConfigA(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                  SERVICE_ERROR_NORMAL, path, NULL, NULL, "", NULL, NULL,
                                  "Still image service (scanfw stand-in)"))
            return fail("ChangeServiceConfigA(STISVC)");
    } else {
        service = CreateServiceA(manager, STI_SERVICE, "Still image service (scanfw stand-in)",
                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path, NULL, NULL,
                                 "", NULL, NULL);
        if (!service)
            return fail("CreateServiceA(STISVC)");
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

static int set_standin_options(DWORD hint, DWORD refuse_stop, DWORD paused)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STANDIN_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL))
        return fail("RegCreateKeyExA(stand-in)");
    RegSetValueExA(key, "WaitHint", 0, REG_DWORD, (const BYTE *)&hint, sizeof(hint));
    RegSetValueExA(key, "RefuseStop", 0, REG_DWORD, (const BYTE *)&refuse_stop,
                   sizeof(refuse_stop));
    RegSetValueExA(key, "Paused", 0, REG_DWORD, (const BYTE *)&paused, sizeof(paused));
    RegCloseKey(key);
    return 0;
}

/* Brings the stand-in to the scenario's state and start type; absent
 * deletes it. */
static int set_service(const scn_service *want, const char *standin_path)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    SERVICE_STATUS status;
    const int paused = want->state == SCN_SERVICE_PAUSED;
    const int want_running = want->state == SCN_SERVICE_RUNNING || paused;

    if (!manager)
        return fail("OpenSCManagerA");
    service = OpenServiceA(manager, STI_SERVICE, SERVICE_ALL_ACCESS);
    if (service) {
        if (!QueryServiceStatus(service, &status))
            return fail("QueryServiceStatus(STISVC)");
        /* Always start from a stopped service, so that a paused or refusing
         * one of the last scenario does not linger. */
        if (status.dwCurrentState != SERVICE_STOPPED) {
            set_standin_options(0, 0, 0);
            ControlService(service, STANDIN_CONTROL_REREAD, &status);
            if (!ControlService(service, SERVICE_CONTROL_STOP, &status))
                return fail("ControlService(STISVC stop)");
            if (!wait_state(service, SERVICE_STOPPED))
                return fail("STISVC stop");
        }
    }
    if (set_standin_options(want->wait_hint, (want->flags & SCN_SERVICE_STOP_REFUSED) != 0, paused))
        return 1;
    if (want->state == SCN_SERVICE_ABSENT) {
        if (service && !DeleteService(service))
            return fail("DeleteService(STISVC)");
        if (service)
            CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 0;
    }
    /* Whatever ran under the name before (Wine's own entry, or a service
     * deleted by the last scenario), the stand-in runs under it now. */
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (install_service(standin_path))
        return 1;
    manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    service = manager ? OpenServiceA(manager, STI_SERVICE, SERVICE_ALL_ACCESS) : NULL;
    if (!service)
        return fail("OpenServiceA(STISVC)");
    if (want_running) {
        if (!StartServiceA(service, 0, NULL))
            return fail("StartServiceA(STISVC)");
        if (!wait_state(service, paused ? SERVICE_PAUSED : SERVICE_RUNNING))
            return fail("STISVC start");
    }
    if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, want->start,
                              SERVICE_NO_CHANGE, NULL, NULL, NULL, NULL, NULL, NULL, NULL))
        return fail("ChangeServiceConfigA(STISVC start type)");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

/* The compiled scenario and the image it must receive go to the driver's
 * service key, which IOCTL_SIM_APPLY makes it read. */
static int scenario(const char *file, const char *length, const char *crc, const char *standin_path)
{
    static scn_record record;
    DWORD image[2], bytes = 0;
    HKEY key;
    HANDLE control;
    FILE *in = fopen(file, "rb");
    size_t got = in ? fread(&record, 1, sizeof(record), in) : 0;

    if (in)
        fclose(in);
    if (!scn_record_valid(&record, (uint32_t)got) || !(record.harnesses & SCN_HARNESS_WINE)) {
        printf("e2ectl: %s is not a compiled scenario that Wine can run\n", file);
        return 1;
    }
    image[0] = strtoul(length, NULL, 10);
    image[1] = strtoul(crc, NULL, 10);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SIM_KEY, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL))
        return fail("RegCreateKeyExA(driver)");
    RegSetValueExA(key, "SimRecord", 0, REG_BINARY, (const BYTE *)&record, sizeof(record));
    RegSetValueExA(key, "SimImage", 0, REG_BINARY, (const BYTE *)image, sizeof(image));
    RegCloseKey(key);

    control = CreateFileA("\\\\.\\scanfwsimctl", GENERIC_READ | GENERIC_WRITE, 3, NULL,
                          OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE)
        return fail("CreateFileA(scanfwsimctl)");
    if (!DeviceIoControl(control, IOCTL_SIM_APPLY, NULL, 0, NULL, 0, &bytes, NULL))
        return fail("DeviceIoControl(apply)");
    CloseHandle(control);
    return set_service(&record.service, standin_path);
}

static const char *state_name(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_START_PENDING: return "start-pending";
    case SERVICE_STOP_PENDING: return "stop-pending";
    case SERVICE_RUNNING: return "running";
    case SERVICE_CONTINUE_PENDING: return "continue-pending";
    case SERVICE_PAUSE_PENDING: return "pause-pending";
    case SERVICE_PAUSED: return "paused";
    default: return "unknown";
    }
}

static const char *start_name(DWORD start)
{
    switch (start) {
    case SERVICE_BOOT_START: return "boot";
    case SERVICE_SYSTEM_START: return "system";
    case SERVICE_AUTO_START: return "auto";
    case SERVICE_DEMAND_START: return "demand";
    case SERVICE_DISABLED: return "disabled";
    default: return "unknown";
    }
}

/* "service running auto", or "service absent". */
static int print_service(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service;
    SERVICE_STATUS status;
    QUERY_SERVICE_CONFIGA *config;
    DWORD needed = 0;

    if (!manager)
        return fail("OpenSCManagerA");
    service = OpenServiceA(manager, STI_SERVICE, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    if (!service) {
        printf("service absent\n");
        CloseServiceHandle(manager);
        return 0;
    }
    if (!QueryServiceStatus(service, &status))
        return fail("QueryServiceStatus(STISVC)");
    QueryServiceConfigA(service, NULL, 0, &needed);
    config = malloc(needed ? needed : 1);
    if (!config || !QueryServiceConfigA(service, config, needed, &needed))
        return fail("QueryServiceConfigA(STISVC)");
    printf("service %s %s\n", state_name(status.dwCurrentState), start_name(config->dwStartType));
    free(config);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

static int print_record(void)
{
    static char record[256 * 1024 + 1];
    DWORD bytes = 0;
    HANDLE control = CreateFileA("\\\\.\\scanfwsimctl", GENERIC_READ | GENERIC_WRITE, 3, NULL,
                                 OPEN_EXISTING, 0, NULL);
    if (control == INVALID_HANDLE_VALUE)
        return fail("CreateFileA(scanfwsimctl)");
    if (!DeviceIoControl(control, IOCTL_SIM_RECORD, NULL, 0, record, sizeof(record) - 1, &bytes,
                         NULL))
        return fail("DeviceIoControl(record)");
    CloseHandle(control);
    record[bytes < sizeof(record) ? bytes : sizeof(record) - 1] = 0;
    fputs(record, stdout);
    return print_service();
}

int main(int argc, char **argv)
{
    int status = 2;
    if (argc == 4 && !strcmp(argv[1], "install-driver"))
        status = install_driver(argv[2], argv[3]);
    else if (argc == 3 && !strcmp(argv[1], "install-service"))
        status = install_service(argv[2]);
    else if (argc == 6 && !strcmp(argv[1], "scenario"))
        status = scenario(argv[2], argv[3], argv[4], argv[5]);
    else if (argc == 2 && !strcmp(argv[1], "record"))
        status = print_record();
    else if (argc == 2 && !strcmp(argv[1], "service"))
        status = print_service();
    else
        printf("usage: e2ectl install-driver NAME PATH | install-service PATH | "
               "scenario RECORD LENGTH CRC STANDIN_PATH | record | service\n");
    fflush(stdout);
    return status;
}
