// A second Windows process for the end-to-end tests, which run the tool
// under Wine from Python and need things only a Win32 program can do:
//
//   hold exclusive PATH   open PATH with share mode 0, as another run would
//   hold nodelete PATH    open PATH for reading, as a reader that lets
//                         others read and write but not delete or replace
//   debug PROGRAM [ARG]   run PROGRAM under this process as its debugger and
//                         print each debug string it sends, as hex
//   version PATH          print PATH's version record as Windows reads it
//   monitor N             be a debug-output monitor (DebugView and the
//                         like) that takes N lines, then never frees its
//                         buffer again; prints each line taken, as hex
//   attrib PATH [HEX]     set PATH's attributes to HEX, then print them
//   short PATH            print PATH with its 8.3 short name, if it has one
//
// "hold" prints "held", "monitor" "ready", once in place; both let go when
// their standard input ends.  Results go to standard output, one per line.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

int Hold(const char* mode, const char* path) {
  const bool exclusive = strcmp(mode, "exclusive") == 0;
  HANDLE h =
      exclusive
          ? CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr)
          : CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    printf("cannot open %s: error %lu\n", path, GetLastError());
    return 2;
  }
  printf("held\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  CloseHandle(h);
  return 0;
}

int Debug(const char* program, const char* arg) {
  std::string command = std::string("\"") + program + "\"";
  if (arg)
    command += std::string(" \"") + arg + "\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE,
                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup,
                      &process)) {
    printf("cannot start %s: error %lu\n", program, GetLastError());
    return 2;
  }
  for (;;) {
    DEBUG_EVENT event;
    if (!WaitForDebugEvent(&event, INFINITE)) {
      printf("lost the program: error %lu\n", GetLastError());
      return 2;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::vector<unsigned char> text(info.nDebugStringLength);
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, text.data(),
                          text.size(), &got);
        // The length counts the terminating zero.
        if (got > 0 && text[got - 1] == 0)
          --got;
        printf("debug ");
        for (SIZE_T i = 0; i < got; ++i)
          printf("%02x", text[i]);
        printf("\n");
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The loader's initial breakpoint is ours to swallow; everything
        // else belongs to the program.
        if (event.u.Exception.ExceptionRecord.ExceptionCode !=
            EXCEPTION_BREAKPOINT)
          status = DBG_EXCEPTION_NOT_HANDLED;
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        printf("exit %lu\n", event.u.ExitProcess.dwExitCode);
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return 0;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
}

// The other end of the debugger channel where no debugger is attached: a
// 4 KiB buffer for the sender's process id and the text, an event that
// says the buffer is free and one that says it holds a line.
struct Taken {
  CRITICAL_SECTION lock;
  std::vector<std::string> lines;
  int wanted = 0;
  HANDLE buffer_ready = nullptr, data_ready = nullptr;
  const char* buffer = nullptr;
};

DWORD WINAPI TakeLines(void* arg) {
  auto* taken = static_cast<Taken*>(arg);
  for (int i = 0; i < taken->wanted; ++i) {
    SetEvent(taken->buffer_ready);
    WaitForSingleObject(taken->data_ready, INFINITE);
    EnterCriticalSection(&taken->lock);
    taken->lines.emplace_back(taken->buffer + sizeof(DWORD));
    LeaveCriticalSection(&taken->lock);
  }
  return 0;
}

int Monitor(int wanted) {
  Taken taken;
  InitializeCriticalSection(&taken.lock);
  taken.wanted = wanted;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr,
                                      PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
  if (!mapping || GetLastError() == ERROR_ALREADY_EXISTS) {
    printf("cannot be a monitor: error %lu\n", GetLastError());
    return 2;
  }
  taken.buffer_ready =
      CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
  taken.data_ready = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
  // Wine's OutputDebugStringA writes only where this one exists.
  CreateMutexA(nullptr, FALSE, "DBWinMutex");
  taken.buffer = static_cast<const char*>(
      MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096));
  if (!taken.buffer || !taken.buffer_ready || !taken.data_ready) {
    printf("cannot be a monitor: error %lu\n", GetLastError());
    return 2;
  }
  CreateThread(nullptr, 0, TakeLines, &taken, 0, nullptr);
  printf("ready\n");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  EnterCriticalSection(&taken.lock);
  for (const std::string& line : taken.lines) {
    printf("debug ");
    for (const char c : line)
      printf("%02x", static_cast<unsigned char>(c));
    printf("\n");
  }
  fflush(stdout);
  // The taking thread may still wait for a line: end the process with it.
  ExitProcess(0);
}

int Attributes(const char* path, const char* value) {
  if (value && !SetFileAttributesA(path, strtoul(value, nullptr, 16))) {
    printf("cannot set the attributes of %s: error %lu\n", path,
           GetLastError());
    return 2;
  }
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    printf("cannot read the attributes of %s: error %lu\n", path,
           GetLastError());
    return 2;
  }
  printf("%lx\n", attributes);
  return 0;
}

int ShortName(const char* path) {
  char buf[MAX_PATH];
  const DWORD len = GetShortPathNameA(path, buf, sizeof(buf));
  if (len == 0 || len >= sizeof(buf)) {
    printf("no short name for %s: error %lu\n", path, GetLastError());
    return 2;
  }
  printf("%s\n", buf);
  return 0;
}

bool QueryString(std::vector<char>& data, const char* name,
                 std::string* value) {
  void* p = nullptr;
  UINT len = 0;
  const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueA(data.data(), key.c_str(), &p, &len) || len == 0)
    return false;
  *value = static_cast<const char*>(p);
  return true;
}

int Version(const char* path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  std::vector<char> data(size);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  if (size == 0 || !GetFileVersionInfoA(path, 0, size, data.data()) ||
      !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed),
                      &len)) {
    printf("no version record in %s: error %lu\n", path, GetLastError());
    return 2;
  }
  const auto print = [](const char* name, DWORD ms, DWORD ls) {
    printf("%s %u.%u.%u.%u\n", name, unsigned{HIWORD(ms)}, unsigned{LOWORD(ms)},
           unsigned{HIWORD(ls)}, unsigned{LOWORD(ls)});
  };
  print("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  print("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  for (const char* name : {"FileVersion", "ProductVersion", "ProductName"}) {
    std::string value;
    if (QueryString(data, name, &value))
      printf("%s %s\n", name, value.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "hold") == 0)
    return Hold(argv[2], argv[3]);
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "debug") == 0)
    return Debug(argv[2], argc == 4 ? argv[3] : nullptr);
  if (argc == 3 && strcmp(argv[1], "version") == 0)
    return Version(argv[2]);
  if (argc == 3 && strcmp(argv[1], "monitor") == 0)
    return Monitor(atoi(argv[2]));
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "attrib") == 0)
    return Attributes(argv[2], argc == 4 ? argv[3] : nullptr);
  if (argc == 3 && strcmp(argv[1], "short") == 0)
    return ShortName(argv[2]);
  fprintf(stderr,
          "usage: %s hold exclusive|nodelete PATH | debug PROGRAM [ARG] | "
          "version PATH | monitor N | attrib PATH [HEX] | short PATH\n",
          argv[0]);
  return 2;
}
