// The test build's side of Sys() (platform/win32.h), linked into
// authorstamp_faults.exe only.
//
// AUTHORSTAMP_FAULTS lists calls to fail, separated by blanks: "CALL=ERROR"
// fails every invocation of CALL with the Windows error ERROR, "CALL#N=ERROR"
// the Nth only.  ERROR "pause" instead holds the run before the call: it
// creates the file that AUTHORSTAMP_PAUSE names and waits until it is gone.
// AUTHORSTAMP_CALLS names a file that gets the name of every call, a line
// each.  ReplaceFileA failing with 1177 first moves the target aside, as
// Windows documents for that error.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace platform {
namespace {

struct Fault {
  std::string call;
  int nth = 0;  // every invocation when 0
  DWORD error = 0;
  bool pause = false;
};

std::vector<Fault> ReadFaults() {
  std::vector<Fault> faults;
  const char* list = getenv("AUTHORSTAMP_FAULTS");
  std::string_view rest = list ? list : "";
  while (!rest.empty()) {
    const size_t end = std::min(rest.find(' '), rest.size());
    const std::string item(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t eq = item.find('=');
    if (eq == std::string::npos)
      continue;
    Fault fault;
    fault.call = item.substr(0, eq);
    const size_t hash = fault.call.find('#');
    if (hash != std::string::npos) {
      fault.nth = atoi(fault.call.c_str() + hash + 1);
      fault.call.resize(hash);
    }
    const std::string value = item.substr(eq + 1);
    fault.pause = value == "pause";
    fault.error = static_cast<DWORD>(strtoul(value.c_str(), nullptr, 10));
    faults.push_back(fault);
  }
  return faults;
}

// Holds the run until the test removes the flag file.  Where the flag
// cannot be made the run goes on, and the test sees it end unpaused.
void Pause() {
  const char* flag = getenv("AUTHORSTAMP_PAUSE");
  if (!flag)
    return;
  if (!Handle(CreateFileA(flag, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr))
           .valid())
    return;
  while (GetFileAttributesA(flag) != INVALID_FILE_ATTRIBUTES)
    Sleep(10);
}

// Adds |call| to the log the test reads, if it asked for one.
void Log(const char* call) {
  const char* log = getenv("AUTHORSTAMP_CALLS");
  if (!log)
    return;
  if (FILE* f = fopen(log, "a")) {
    (void)fprintf(f, "%s\n", call);
    (void)fclose(f);
  }
}

}  // namespace

void LeaveAsDocumented(DWORD error, const std::string& target,
                       const std::string& aside) {
  // A real 1177 has moved the target already, and this move fails.
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
    (void)MoveFileExA(target.c_str(), aside.c_str(), 0);
}

bool Fails(const char* call) {
  static const std::vector<Fault> faults = ReadFaults();
  static std::vector<std::pair<std::string, int>> counts;
  auto count = std::find_if(counts.begin(), counts.end(),
                            [&](const auto& c) { return c.first == call; });
  if (count == counts.end())
    count = counts.insert(counts.end(), {call, 0});
  const int n = ++count->second;
  Log(call);
  for (const Fault& fault : faults) {
    if (fault.call != call || (fault.nth != 0 && fault.nth != n))
      continue;
    if (fault.pause) {
      Pause();
      continue;
    }
    SetLastError(fault.error);
    return true;
  }
  return false;
}

}  // namespace platform
