// What the user and a debugger see: the alert, a message box captioned
// with the program's name or, where none can be shown, a line on standard
// error; and the debugger channel, which gets every stamped line.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "platform/win32.h"

namespace platform {
namespace {

// The program file's name without extension: the caption of alerts.
std::string g_program_name = "authorstamp";

// A service's window station is invisible: a box shown there waits for ever
// for a click that no one can give.
bool CanShowBox() {
  USEROBJECTFLAGS flags = {};
  HWINSTA station = GetProcessWindowStation();
  return station != nullptr &&
         GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof(flags),
                                   nullptr) != FALSE &&
         (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The receiving end of the debugger channel where no debugger is attached:
// a debug-output monitor (DebugView and the like) offers a 4 KiB buffer for
// the sender's process id and one line, an event that is set while the
// buffer is free, and one to set once it holds a line.
constexpr size_t kMonitorBuffer = 4096;

// How long a run may wait, in all, for a monitor to free its buffer.  A
// monitor that reads gets every line, each in its turn; one that stalls
// costs the run this much once, and after that gets only what it is ready
// for at the moment a line comes.  The target is held all the while.
constexpr std::chrono::milliseconds kTraceBudget{1000};

// A view of the monitor's buffer, unmapped when it goes.
struct Unmap {
  void operator()(char* view) const { (void)UnmapViewOfFile(view); }
};
using View = std::unique_ptr<char, Unmap>;

struct Monitor {
  Handle buffer_ready;
  Handle data_ready;
  View buffer;  // none where no monitor listens, or it cannot be told
  std::chrono::steady_clock::duration left = kTraceBudget;
};

Monitor FindMonitor() {
  Monitor monitor;
  View view;
  {
    const Handle mapping(
        OpenFileMappingA(FILE_MAP_WRITE, FALSE, "DBWIN_BUFFER"));
    if (!mapping.valid())
      return monitor;
    view.reset(static_cast<char*>(
        MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, kMonitorBuffer)));
  }  // the view keeps the buffer
  Handle buffer_ready(OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY"));
  Handle data_ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, "DBWIN_DATA_READY"));
  if (view && buffer_ready.valid() && data_ready.valid()) {
    monitor.buffer_ready = std::move(buffer_ready);
    monitor.data_ready = std::move(data_ready);
    monitor.buffer = std::move(view);
  }
  return monitor;
}

// Waits for |monitor|'s buffer to be free, as OutputDebugStringA does, but
// within what is left of the run's budget.  A wait that runs out spends
// the budget: from then on the buffer is only looked at.
bool BufferFree(Monitor* monitor) {
  using std::chrono::steady_clock;
  const auto left = std::max(monitor->left, steady_clock::duration::zero());
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  const steady_clock::time_point start = steady_clock::now();
  const bool free =
      WaitForSingleObject(monitor->buffer_ready.get(),
                          static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
  monitor->left = free ? left - (steady_clock::now() - start)
                       : steady_clock::duration::zero();
  return free;
}

}  // namespace

void SetProgramName(const std::string& name) { g_program_name = name; }

void Alert(const std::string& text) {
  // Where no box can be shown (a service, a session without a desktop),
  // standard error, if redirected, still carries the text.
  if (!CanShowBox() || MessageBoxA(nullptr, text.c_str(),
                                   g_program_name.c_str(), MB_OK) != IDOK) {
    fprintf(stderr, "%s: %s\n", g_program_name.c_str(), text.c_str());
    fflush(stderr);
  }
}

void Trace(std::string_view line) {
  // What OutputDebugStringA would show: the text up to its first NUL byte.
  line = line.substr(0, line.find('\0'));
  // A debugger takes every line from OutputDebugStringA at once.  Without
  // one, OutputDebugStringA waits up to 10 s a line for a monitor to free
  // its buffer; the run waits as it does, but within one budget for the
  // whole run (kTraceBudget).
  if (IsDebuggerPresent()) {
    OutputDebugStringA(std::string(line).c_str());
    return;
  }
  static Monitor monitor = FindMonitor();
  if (!monitor.buffer || !BufferFree(&monitor))
    return;
  char* buffer = monitor.buffer.get();
  const DWORD pid = GetCurrentProcessId();
  const size_t len = std::min(line.size(), kMonitorBuffer - sizeof(pid) - 1);
  memcpy(buffer, &pid, sizeof(pid));
  memcpy(buffer + sizeof(pid), line.data(), len);
  buffer[sizeof(pid) + len] = '\0';
  // A monitor that cannot be told gets nothing more.
  if (!SetEvent(monitor.data_ready.get()))
    monitor.buffer.reset();
}

}  // namespace platform
