// The services on Windows, from plain Win32 in its 8-bit ("A") forms;
// win32.h says which file does what.
//
// Exclusive access stands on share modes.  A run holds the target open for
// reading, writing and deletion and shares only reading and deletion: no
// other run and no writer can open it until the run ends, while
// ReplaceFileA, which asks for no more than reading and deletion, can still
// move it.  The scratch file is created for this user alone and held with
// share mode 0 until the replace (scratch-win32.cc), which replace-win32.cc
// goes through step by step.
//
// The executable's manifest makes UTF-8 the 8-bit code page, so names, paths
// and messages pass through here as UTF-8 bytes without any conversion.
#include "platform/services.h"

#include <string.h>

#include <algorithm>
#include <vector>

#include "platform/win32.h"
// After windows.h, which win32.h brings: security.h needs its types.
#define SECURITY_WIN32
#include <security.h>

namespace platform {

File::File() = default;
File::~File() = default;
File::File(File&& other) noexcept = default;
File& File::operator=(File&& other) noexcept = default;

void File::Close() { open.reset(); }

Run::Run() = default;
Run::Run(Run&& other) noexcept = default;
Run& Run::operator=(Run&& other) noexcept = default;

// A run that leaves before the scratch file has taken the target's place
// takes the scratch file away: it gives up, or an exception is on its way
// to main() (out of memory).  A removal that fails is not said: the run
// has its own failure to report, and the next run removes what is left.
Run::~Run() {
  if (!state || !scratch.is_open() || state->scratch_stays)
    return;
  Clause ignored;
  (void)RemoveScratch(&scratch, &ignored);
}

std::string Reason(DWORD error) {
  char* text = nullptr;
  const DWORD len = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  const LocalMemory hold(text, &LocalFree);
  std::string reason = len > 0 ? std::string(text, len) : std::string();
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.'))
    reason.pop_back();
  if (reason.empty())
    reason = "error " + std::to_string(error);
  return reason;
}

std::string WithoutPrefix(const std::string& path) {
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kLocal = "\\\\?\\";
  if (std::string_view(path).starts_with(kUnc))
    return "\\\\" + path.substr(kUnc.size());
  if (std::string_view(path).starts_with(kLocal))
    return path.substr(kLocal.size());
  return path;
}

Error StepFailed(Step step, const std::string& path) {
  Error error;
  error.step = step;
  error.path = WithoutPrefix(path);
  return error;
}

Error SystemError(Step step, const std::string& path, DWORD error) {
  return Failed(step, WithoutPrefix(path), Why::kSystem, Reason(error));
}

Clause SystemClause(DWORD error) {
  Clause clause;
  clause.reason = Reason(error);
  return clause;
}

void Hold(File* file, Handle handle, const std::string& path,
          const Identity& id) {
  file->open = std::make_unique<OpenFile>();
  file->open->handle = std::move(handle);
  file->open->id = id;
  file->path = path;
}

// Windows has no signal for a pipe whose reader has gone: the write fails.
bool IgnoreBrokenPipes() { return true; }

bool Startup(std::string* program_path) {
  // These two are what the program's framework start needs; either being
  // absent means the process is broken beyond running.
  if (!GetModuleHandleA(nullptr) || !GetCommandLineA())
    return false;
  // The buffer is grown until the path fits: a path longer than MAX_PATH
  // fills it exactly and, on some systems, without a terminating zero.
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buf.size());
    const DWORD len = GetModuleFileNameA(nullptr, buf.data(), size);
    if (len == 0)
      return false;
    if (len < size) {
      program_path->assign(buf.data(), len);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  std::string name = program_path->substr(program_path->rfind('\\') + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0)
    name.resize(dot);
  SetProgramName(name);
  return true;
}

// A process started without a console has none to let go of, and the run
// goes on either way.
void DetachConsole() { (void)FreeConsole(); }

bool UserName(std::string* name, Error* err) {
  // Most names fit the customary 100 bytes; a longer one is asked for again
  // with the size the system reports.  That size counts characters, and in
  // UTF-8 a character can take several bytes, so the buffer at least doubles.
  std::vector<char> buf(100);
  for (;;) {
    ULONG size = static_cast<ULONG>(buf.size());
    if (GetUserNameExA(NameSamCompatible, buf.data(), &size)) {
      name->assign(buf.data(), strnlen(buf.data(), buf.size()));
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_MORE_DATA) {
      *err = SystemError(Step::kFindUser, std::string(), error);
      return false;
    }
    buf.resize(std::max<size_t>(size, buf.size() * 2));
  }
}

bool OpenTarget(const std::string& path, Run* run, Error* err) {
  run->state = std::make_unique<RunState>();
  // A failure says no more than "Open file fail!", as it always has.
  const auto failed = [err] {
    *err = StepFailed(Step::kOpenTarget, std::string());
    return false;
  };
  // Another run asks for writing too, which this handle does not share, so
  // it cannot have the target until this run ends; nor can any writer.
  // Deletion is shared for the replace, which moves the file aside; the
  // run checks that it is still the file read when the replace is done.
  Handle h(CreateFileA(path.c_str(),
                       GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid())
    return failed();
  // Pipes, consoles and devices (NUL, CON) cannot be replaced by a file.
  // Windows refuses writers to a read-only file, but lets some through
  // elsewhere (Wine run as root); the attribute is honoured either way.
  Identity id;
  if (GetFileType(h.get()) != FILE_TYPE_DISK || !IdentityOf(h.get(), &id) ||
      (id.attributes & FILE_ATTRIBUTE_READONLY) != 0)
    return failed();
  // The replace goes to the name the file really has, as the system gives
  // it for this handle: its own case, its long name, and where |path| is a
  // link, the file it points to, beside which the scratch file goes.  The
  // name as given would become the file's name ("setup.xml" for
  // Setup.xml, an 8.3 short name for the long one), and a link to the old
  // name would dangle.  A file system that cannot tell keeps the name given.
  const std::string real = FinalPath(h.get());
  Hold(&run->target, std::move(h), real.empty() ? path : real, id);
  return true;
}

bool Read(File* file, char* buf, size_t capacity, size_t* got, Error* err) {
  const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, MAXDWORD));
  DWORD n = 0;
  if (!ReadFile(file->open->handle.get(), buf, want, &n, nullptr)) {
    *err = SystemError(Step::kRead, file->path, GetLastError());
    return false;
  }
  *got = n;
  return true;
}

int64_t FileSize(File* file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(file->open->handle.get(), &size) ? size.QuadPart : -1;
}

bool Write(File* file, const char* data, size_t len, Error* err) {
  while (len > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(len, MAXDWORD));
    DWORD n = 0;
    if (!WriteFile(file->open->handle.get(), data, want, &n, nullptr)) {
      *err = SystemError(Step::kWrite, file->path, GetLastError());
      return false;
    }
    data += n;
    len -= n;
  }
  return true;
}

}  // namespace platform
