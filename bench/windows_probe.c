/* The Windows bench's view of a service, from inside Windows (or Wine), through the Service
 * Control Manager and the process's own counters:
 *   windows_probe start <service>    starts it; prints the milliseconds until SERVICE_RUNNING
 *   windows_probe stop <service>     stops it; prints the milliseconds until SERVICE_STOPPED
 *   windows_probe memory <service>   prints "pid working_set peak_working_set private pagefile",
 *                                    in KiB, of its process (GetProcessMemoryInfo)
 * Exit 1 with a message when the service cannot be reached or does not get there in 60 s. */
#include <windows.h>

#include <psapi.h> /* after windows.h, which it needs */
#include <stdio.h>
#include <wchar.h>

static double now_ms(void) {
  static LARGE_INTEGER freq;
  LARGE_INTEGER t;
  if (!freq.QuadPart) QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t);
  return 1000.0 * (double)t.QuadPart / (double)freq.QuadPart;
}

static int fail(const char* what) {
  fprintf(stderr, "windows_probe: %s (error %lu)\n", what, GetLastError());
  return 1;
}

static BOOL query(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
  DWORD needed = 0;
  return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)status, sizeof *status, &needed);
}

/* Polls every millisecond until the service is in `wanted`; prints the time since `start`. */
static int await_state(SC_HANDLE service, DWORD wanted, double start) {
  SERVICE_STATUS_PROCESS status;
  while (now_ms() - start < 60000) {
    if (!query(service, &status)) return fail("QueryServiceStatusEx");
    if (status.dwCurrentState == wanted) {
      printf("%.1f\n", now_ms() - start);
      return 0;
    }
    if (wanted == SERVICE_RUNNING && status.dwCurrentState == SERVICE_STOPPED && now_ms() - start > 1000) {
      fprintf(stderr, "windows_probe: the service stopped (exit code %lu)\n", status.dwWin32ExitCode);
      return 1;
    }
    Sleep(1);
  }
  fprintf(stderr, "windows_probe: timed out\n");
  return 1;
}

static int memory(SC_HANDLE service) {
  SERVICE_STATUS_PROCESS status;
  if (!query(service, &status) || !status.dwProcessId) return fail("no process for the service");
  HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, status.dwProcessId);
  if (!process) return fail("OpenProcess");
  PROCESS_MEMORY_COUNTERS_EX counters = {sizeof counters};
  if (!GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&counters, sizeof counters))
    return fail("GetProcessMemoryInfo");
  printf("%lu %llu %llu %llu %llu\n", status.dwProcessId, (unsigned long long)counters.WorkingSetSize / 1024,
         (unsigned long long)counters.PeakWorkingSetSize / 1024,
         (unsigned long long)counters.PrivateUsage / 1024, (unsigned long long)counters.PagefileUsage / 1024);
  CloseHandle(process);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fputs("usage: windows_probe start|stop|memory <service>\n", stderr);
    return 2;
  }
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) return fail("OpenSCManagerW");
  SC_HANDLE service = OpenServiceW(manager, argv[2], SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
  if (!service) return fail("OpenServiceW");
  double start = now_ms();
  if (!wcscmp(argv[1], L"start")) {
    if (!StartServiceW(service, 0, NULL)) return fail("StartServiceW");
    return await_state(service, SERVICE_RUNNING, start);
  }
  if (!wcscmp(argv[1], L"stop")) {
    SERVICE_STATUS status;
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) return fail("ControlService");
    return await_state(service, SERVICE_STOPPED, start);
  }
  if (!wcscmp(argv[1], L"memory")) return memory(service);
  fputs("usage: windows_probe start|stop|memory <service>\n", stderr);
  return 2;
}
