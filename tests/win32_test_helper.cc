// A second Windows process for the end-to-end tests, which run the tool
// under Wine from Python and need things only a Win32 program can do:
//
//   hold exclusive PATH   open PATH with share mode 0, as another run would
//   hold nodelete PATH    open PATH so that it may be read and written but
//                         not deleted or replaced
//   debug PROGRAM [ARG]   run PROGRAM under this process as its debugger and
//                         print each debug string it sends, as hex
//   version PATH          print PATH's version record as Windows reads it
//
// "hold" prints "held" once it holds the file and lets go when its standard
// input ends.  Results go to standard output, one per line.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

namespace {

int Hold(const char* mode, const char* path) {
  const bool exclusive = strcmp(mode, "exclusive") == 0;
  HANDLE h = exclusive
                 ? CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr)
                 : CreateFileA(path, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
  fprintf(stderr,
          "usage: %s hold exclusive|nodelete PATH | debug PROGRAM [ARG] | "
          "version PATH\n",
          argv[0]);
  return 2;
}
