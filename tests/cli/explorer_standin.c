/* Stands in for Explorer when a test starts scanfw.exe as a double-click
 * would: a process whose image is explorer.exe that starts the program named
 * by its arguments on its own console, waits for it and ends with its exit
 * status. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char **argv) {
  char line[4096] = "";
  for (int i = 1; i < argc; ++i) {
    if (strlen(line) + strlen(argv[i]) + 4 >= sizeof line) return 125;
    strcat(line, i > 1 ? " \"" : "\"");
    strcat(line, argv[i]);
    strcat(line, "\"");
  }
  STARTUPINFOA start;
  memset(&start, 0, sizeof start);
  start.cb = sizeof start;
  PROCESS_INFORMATION process;
  if (argc < 2 || !CreateProcessA(NULL, line, NULL, NULL, TRUE, 0, NULL, NULL,
                                  &start, &process)) {
    fprintf(stderr, "explorer stand-in: cannot start %s (%lu)\n", line,
            GetLastError());
    return 126;
  }
  DWORD status = 127;
  WaitForSingleObject(process.hProcess, INFINITE);
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return (int)status;
}
