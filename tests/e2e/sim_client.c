/* Talks to the simulated scanner the way scanfw's transport does, and prints
 * what each step gave, so the simulator itself can be checked without scanfw:
 *
 *   sim_client INDEX STEP...
 *     open             CreateFileA of \\.\usbscanINDEX (synchronous handle)
 *     descriptor       DeviceIoControl 0x80002018, 8 bytes in and out
 *     exchange HEX     16-byte write then 32-byte read, each with an
 *                      OVERLAPPED and an event, as the transport makes them
 *     bulk N           one write of N bytes (byte i = i * 7 + 3 mod 256)
 *
 * One line per step: "open ok", "descriptor ok 3a7c 4e21 0100 0000 bytes=8",
 * "exchange ok status=6", "exchange write-fails", "bulk ok count=N", ... */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* One request as the transport makes it; returns a word for the outcome. */
static const char *transfer(HANDLE device, int write, void *buffer, DWORD length, DWORD *count)
{
    OVERLAPPED overlapped;
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    BOOL ok;
    const char *outcome = "ok";

    memset(&overlapped, 0, sizeof(overlapped));
    overlapped.hEvent = event;
    *count = 0;
    ok = write ? WriteFile(device, buffer, length, count, &overlapped)
               : ReadFile(device, buffer, length, count, &overlapped);
    if (!ok)
        outcome = write ? "write-fails" : "read-fails";
    else if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0)
        outcome = "timeout";
    else if (!GetOverlappedResult(device, &overlapped, count, TRUE))
        outcome = "overlapped-fails";
    CloseHandle(event);
    return outcome;
}

int main(int argc, char **argv)
{
    char name[32];
    HANDLE device = INVALID_HANDLE_VALUE;
    int i;

    if (argc < 3) {
        printf("usage: sim_client INDEX open|descriptor|exchange HEX|bulk N ...\n");
        return 2;
    }
    snprintf(name, sizeof(name), "\\\\.\\usbscan%d", atoi(argv[1]));
    for (i = 2; i < argc; i++) {
        if (!strcmp(argv[i], "open")) {
            device = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 3, NULL, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_SYSTEM, NULL);
            printf("open %s\n", device == INVALID_HANDLE_VALUE ? "fails" : "ok");
        } else if (!strcmp(argv[i], "descriptor")) {
            USHORT record[4] = {0, 0, 0, 0};
            DWORD bytes = 0;
            if (DeviceIoControl(device, 0x80002018, record, 8, record, 8, &bytes, NULL))
                printf("descriptor ok %04x %04x %04x %04x bytes=%lu\n", record[0], record[1],
                       record[2], record[3], (unsigned long)bytes);
            else
                printf("descriptor fails\n");
        } else if (!strcmp(argv[i], "exchange") && i + 1 < argc) {
            unsigned char command[16], response[32];
            DWORD count;
            const char *outcome;
            int k;
            memset(command, 0, sizeof(command));
            memset(response, 0xEE, sizeof(response));
            for (k = 0; k < 16 && argv[i + 1][2 * k] && argv[i + 1][2 * k + 1]; k++) {
                char two[3] = {argv[i + 1][2 * k], argv[i + 1][2 * k + 1], 0};
                command[k] = (unsigned char)strtoul(two, NULL, 16);
            }
            i++;
            outcome = transfer(device, 1, command, 16, &count);
            if (strcmp(outcome, "ok") || count != 16) {
                printf("exchange write-%s count=%lu\n", outcome, (unsigned long)count);
                continue;
            }
            outcome = transfer(device, 0, response, 32, &count);
            if (strcmp(outcome, "ok") || count != 32) {
                printf("exchange read-%s count=%lu\n", outcome, (unsigned long)count);
                continue;
            }
            printf("exchange ok status=%u\n", response[4] | (response[5] << 8));
        } else if (!strcmp(argv[i], "bulk") && i + 1 < argc) {
            DWORD length = strtoul(argv[++i], NULL, 10), count, k;
            unsigned char *data = malloc(length ? length : 1);
            const char *outcome;
            for (k = 0; k < length; k++)
                data[k] = (unsigned char)(k * 7 + 3);
            outcome = transfer(device, 1, data, length, &count);
            printf("bulk %s count=%lu\n", outcome, (unsigned long)count);
            free(data);
        } else {
            printf("unknown step %s\n", argv[i]);
            return 2;
        }
    }
    fflush(stdout);
    return 0;
}
