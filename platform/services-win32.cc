// The services on Windows, from plain Win32 in its 8-bit ("A") forms.
//
// Exclusive access stands on share modes.  A run holds the target open for
// reading, writing and deletion and shares only reading and deletion: no
// other run and no writer can open it until the run ends, while
// ReplaceFileA, which asks for no more than reading and deletion, can still
// move it.  The scratch file is created for this user alone and held with
// share mode 0 until the replace.
//
// The replace: ReplaceFileA moves the target to a free name of the run's
// own and the scratch file to the target's name, which gives it the
// target's attributes, security and named streams.  The run then looks at
// what lies where: the file moved aside must be the very file it read,
// unchanged, and is removed; where ReplaceFileA stopped half-way, the run
// finishes the job or puts the old file back.  Files are removed only
// through a handle opened on them and checked to be the run's own.
// docs/windows.md goes through every step and what each failure leaves.
//
// The executable's manifest makes UTF-8 the 8-bit code page, so names, paths
// and messages pass through here as UTF-8 bytes without any conversion.
#include "platform/services.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define SECURITY_WIN32
#include <aclapi.h>
#include <sddl.h>
#include <security.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace platform {

/// Which file a handle is open on, and the state of its content: the volume
/// and the file index name the file; size and last write time change with
/// every write.
struct Identity {
  DWORD volume = 0;
  ULONGLONG index = 0;
  ULONGLONG size = 0;
  ULONGLONG written = 0;
  DWORD attributes = 0;
};

struct OpenFile {
  HANDLE handle;  // INVALID_HANDLE_VALUE once let go of for the replace
  Identity id;    // the file as it was when opened
};

namespace {

// --- The Windows calls of the replace --------------------------------------
//
// Each goes through Fails(), so that the test build (AUTHORSTAMP_FAULTS, see
// the end of this file) can make any invocation of any of them fail, and
// an injected ReplaceFileA error leaves the files as Windows documents for
// it.  In the program itself both do nothing and the compiler drops them.
#ifdef AUTHORSTAMP_FAULTS
bool Fails(const char* call);
void LeaveAsDocumented(DWORD error, const std::string& target,
                       const std::string& aside);
#else
constexpr bool Fails(const char* /*call*/) { return false; }
void LeaveAsDocumented(DWORD /*error*/, const std::string& /*target*/,
                       const std::string& /*aside*/) {}
#endif

// Calls |fn| with |args|; where the test build fails the call |name|, the
// error is set and |failed| returned instead.
template <typename R, typename... Params, typename... Args>
R Sys(const char* name, R(WINAPI* fn)(Params...), R failed, Args... args) {
  return Fails(name) ? failed : fn(args...);
}

// --- Messages ----------------------------------------------------------------

// The program file's name without extension: the caption of alerts.
std::string g_program_name = "authorstamp";

// The system's own text for |error|, without the line end it comes with.
std::string Reason(DWORD error) {
  char* text = nullptr;
  const DWORD len = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string reason = len > 0 ? std::string(text, len) : std::string();
  LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.'))
    reason.pop_back();
  if (reason.empty())
    reason = "error " + std::to_string(error);
  return reason;
}

// A "\\?\" path in its ordinary form: "\\?\C:\x" is C:\x,
// "\\?\UNC\host\share" is \\host\share.  The target's real name comes in
// the "\\?\" form, which works for every call and any length; messages
// show every path in the ordinary form, as the user would write it.
std::string WithoutPrefix(const std::string& path) {
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kLocal = "\\\\?\\";
  if (std::string_view(path).starts_with(kUnc))
    return "\\\\" + path.substr(kUnc.size());
  if (std::string_view(path).starts_with(kLocal))
    return path.substr(kLocal.size());
  return path;
}

std::string Fail(const std::string& what, const std::string& path,
                 DWORD error) {
  return what + " " + WithoutPrefix(path) + ": " + Reason(error);
}

HANDLE Handle(const File* file) { return file->open->handle; }

// Takes over |h| as the open file |file|, opened as |id|.
void Hold(File* file, HANDLE h, const std::string& path, const Identity& id) {
  file->open = new OpenFile{h, id};
  file->path = path;
}

// Forgets |file|, leaving its file where and as it is.
void Forget(File* file) {
  if (file->open && file->open->handle != INVALID_HANDLE_VALUE)
    CloseHandle(file->open->handle);
  delete file->open;
  file->open = nullptr;
}

bool IdentityOf(HANDLE h, Identity* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!Sys("GetFileInformationByHandle", GetFileInformationByHandle, FALSE, h,
           &info))
    return false;
  const auto join = [](DWORD high, DWORD low) {
    return (static_cast<ULONGLONG>(high) << 32) | low;
  };
  id->volume = info.dwVolumeSerialNumber;
  id->index = join(info.nFileIndexHigh, info.nFileIndexLow);
  id->size = join(info.nFileSizeHigh, info.nFileSizeLow);
  id->written = join(info.ftLastWriteTime.dwHighDateTime,
                     info.ftLastWriteTime.dwLowDateTime);
  id->attributes = info.dwFileAttributes;
  return true;
}

bool SameFile(const Identity& a, const Identity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// Whether a file is as it was: the same size, last write time and
// attributes.  The archive attribute does not count: the system sets it of
// its own accord, on some file systems for a rename too, and the replace
// renames the target.
bool Unchanged(const Identity& a, const Identity& b) {
  constexpr DWORD kCounted = ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
  return a.size == b.size && a.written == b.written &&
         (a.attributes & kCounted) == (b.attributes & kCounted);
}

// Pipes, consoles and devices (a target named NUL or CON names a device in
// any directory) cannot be replaced by a file; only disk files are taken.
bool IsDiskFile(HANDLE h, const char* what, const std::string& path,
                std::string* err) {
  const bool disk = GetFileType(h) == FILE_TYPE_DISK;
  if (!disk)
    *err =
        std::string(what) + " " + WithoutPrefix(path) + ": not a regular file";
  return disk;
}

// The full path of the file that |h| is open on, links resolved, in the
// "\\?\" form; empty where the file system cannot tell.
std::string FinalPath(HANDLE h) {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buf.size());
    const DWORD len =
        GetFinalPathNameByHandleA(h, buf.data(), size, FILE_NAME_NORMALIZED);
    if (len == 0)
      return std::string();
    if (len < size)
      return std::string(buf.data(), len);
    buf.resize(len + 1);
  }
}

// |path| as the final path gives it, but without the "\\?\" prefix:
// absolute, with long names and backslashes.  Empty where it cannot be had.
std::string FullPath(const std::string& path) {
  std::string full(MAX_PATH, '\0');
  for (;;) {
    const DWORD len = GetFullPathNameA(
        path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (len == 0)
      return std::string();
    if (len < full.size()) {
      full.resize(len);
      break;
    }
    full.resize(len);
  }
  // Short (8.3) names are spelled out; a path that cannot be, stays.
  std::string long_path(full.size() + MAX_PATH, '\0');
  const DWORD len = GetLongPathNameA(full.c_str(), long_path.data(),
                                     static_cast<DWORD>(long_path.size()));
  if (len > 0 && len < long_path.size()) {
    long_path.resize(len);
    full = long_path;
  }
  return WithoutPrefix(full);
}

// File names on Windows compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char x, char y) { return lower(x) == lower(y); });
}

// The file that |path|, open as |h|, really is when |path| is a link to it;
// empty when |path| names the file itself.  Symbolic links show as reparse
// points on Windows; Wine shows Unix links as the files they point to, which
// only the final path gives away.  The whole path counts: a link may well
// have the same name as its target in another directory.
std::string LinkedFile(HANDLE h, const std::string& path) {
  std::string final_path = FinalPath(h);
  if (final_path.empty())
    return std::string();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  const bool reparse = attributes != INVALID_FILE_ATTRIBUTES &&
                       (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (reparse || !SameName(WithoutPrefix(final_path), FullPath(path)))
    return final_path;
  return std::string();
}

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

struct Monitor {
  HANDLE buffer_ready = nullptr;
  HANDLE data_ready = nullptr;
  char* buffer = nullptr;
  std::chrono::steady_clock::duration left = kTraceBudget;
};

Monitor FindMonitor() {
  Monitor monitor;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, "DBWIN_BUFFER");
  if (!mapping)
    return monitor;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kMonitorBuffer);
  CloseHandle(mapping);  // the view keeps the buffer
  HANDLE buffer_ready = OpenEventA(SYNCHRONIZE, FALSE, "DBWIN_BUFFER_READY");
  HANDLE data_ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, "DBWIN_DATA_READY");
  if (view && buffer_ready && data_ready) {
    monitor.buffer_ready = buffer_ready;
    monitor.data_ready = data_ready;
    monitor.buffer = static_cast<char*>(view);
    return monitor;
  }
  if (view)
    UnmapViewOfFile(view);
  if (buffer_ready)
    CloseHandle(buffer_ready);
  if (data_ready)
    CloseHandle(data_ready);
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
      WaitForSingleObject(monitor->buffer_ready, static_cast<DWORD>(ms)) ==
      WAIT_OBJECT_0;
  monitor->left = free ? left - (steady_clock::now() - start)
                       : steady_clock::duration::zero();
  return free;
}

// A security descriptor that lets in the user this process runs as, and no
// one else: no inherited entries, no group, no administrators by name.
using LocalMemory = std::unique_ptr<void, decltype(&LocalFree)>;

// The user this process runs as: |*user| holds its TOKEN_USER.
bool ThisUser(std::vector<char>* user, std::string* why) {
  HANDLE token = nullptr;
  if (!Sys("OpenProcessToken", OpenProcessToken, FALSE, GetCurrentProcess(),
           TOKEN_QUERY, &token)) {
    *why = Reason(GetLastError());
    return false;
  }
  user->resize(256);
  DWORD size = 0;
  bool ok;
  while (!(ok = Sys("GetTokenInformation", GetTokenInformation, FALSE, token,
                    TokenUser, user->data(), user->size(), &size)) &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    user->resize(size);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!ok)
    *why = Reason(error);
  return ok;
}

PSID SidOf(const std::vector<char>& user) {
  return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

bool ForThisUserOnly(LocalMemory* descriptor, std::string* why) {
  std::vector<char> user;
  if (!ThisUser(&user, why))
    return false;
  char* sid = nullptr;
  if (!Sys("ConvertSidToStringSidA", ConvertSidToStringSidA, FALSE, SidOf(user),
           &sid)) {
    *why = Reason(GetLastError());
    return false;
  }
  // P: protected, nothing inherited from the directory; FA: all access.
  const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!Sys("ConvertStringSecurityDescriptorToSecurityDescriptorA",
           ConvertStringSecurityDescriptorToSecurityDescriptorA, FALSE,
           sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
    *why = Reason(GetLastError());
    return false;
  }
  descriptor->reset(sd);
  return true;
}

// Marks the file |h| is open on for deletion when its last handle closes.
bool Dispose(HANDLE h) {
  FILE_DISPOSITION_INFO remove = {TRUE};
  return Sys("SetFileInformationByHandle", SetFileInformationByHandle, FALSE, h,
             FileDispositionInfo, &remove, sizeof(remove));
}

// Opens |path| itself, a link not followed, for |access|, in the way of no
// one: every kind of sharing is allowed.
HANDLE OpenAsIs(const std::string& path, DWORD access) {
  return Sys("CreateFileA", CreateFileA, INVALID_HANDLE_VALUE, path.c_str(),
             access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
             nullptr, OPEN_EXISTING,
             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
             nullptr);
}

}  // namespace

// Windows has no signal for a pipe whose reader has gone: the write fails.
bool IgnoreBrokenPipes(std::string* /*err*/) { return true; }

bool Startup(std::string* program_path, std::string* err) {
  // These two are what the program's framework start needs; either being
  // absent means the process is broken beyond running.
  if (!GetModuleHandleA(nullptr) || !GetCommandLineA()) {
    *err = "cannot find the program's own module: " + Reason(GetLastError());
    return false;
  }
  // The buffer is grown until the path fits: a path longer than MAX_PATH
  // fills it exactly and, on some systems, without a terminating zero.
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buf.size());
    const DWORD len = GetModuleFileNameA(nullptr, buf.data(), size);
    if (len == 0) {
      *err = "cannot find the program's own path: " + Reason(GetLastError());
      return false;
    }
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
  g_program_name = name;
  return true;
}

void DetachConsole() { FreeConsole(); }

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
  const DWORD pid = GetCurrentProcessId();
  const size_t len = std::min(line.size(), kMonitorBuffer - sizeof(pid) - 1);
  memcpy(monitor.buffer, &pid, sizeof(pid));
  memcpy(monitor.buffer + sizeof(pid), line.data(), len);
  monitor.buffer[sizeof(pid) + len] = '\0';
  // A monitor that cannot be told gets nothing more.
  if (!SetEvent(monitor.data_ready))
    monitor.buffer = nullptr;
}

bool UserName(std::string* name, std::string* err) {
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
      *err = "cannot find the name of the user: " + Reason(error);
      return false;
    }
    buf.resize(std::max<size_t>(size, buf.size() * 2));
  }
}

bool OpenTarget(const std::string& path, File* file, std::string* err) {
  // Another run asks for writing too, which this handle does not share, so
  // it cannot have the target until this run ends; nor can any writer.
  // Deletion is shared for the replace, which moves the file aside; the
  // run checks that it is still the file read when the replace is done.
  // A failure leaves |*err| empty: the box says "Open file fail!" and
  // nothing more, as it always has.
  (void)err;
  HANDLE h = CreateFileA(path.c_str(),
                         GENERIC_READ | GENERIC_WRITE | DELETE | READ_CONTROL,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  // Pipes, consoles and devices (NUL, CON) cannot be replaced by a file.
  // Windows refuses writers to a read-only file, but lets some through
  // elsewhere (Wine run as root); the attribute is honoured either way.
  Identity id;
  const bool ok = GetFileType(h) == FILE_TYPE_DISK && IdentityOf(h, &id) &&
                  (id.attributes & FILE_ATTRIBUTE_READONLY) == 0;
  if (!ok) {
    CloseHandle(h);
    return false;
  }
  // The replace goes to the name the file really has, as the system gives
  // it for this handle: its own case, its long name, and where |path| is a
  // link, the file it points to, beside which the scratch file goes.  The
  // name as given would become the file's name ("setup.xml" for
  // Setup.xml, an 8.3 short name for the long one), and a link to the old
  // name would dangle.  A file system that cannot tell keeps the name given.
  const std::string real = FinalPath(h);
  Hold(file, h, real.empty() ? path : real, id);
  return true;
}

namespace {

// Whether |h|, opened at |path| without following a link, is an ordinary
// file that no other name leads to.
bool IsOwnFile(HANDLE h, const char* what, const std::string& path,
               std::string* err) {
  if (!IsDiskFile(h, what, path, err))
    return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!Sys("GetFileInformationByHandle", GetFileInformationByHandle, FALSE, h,
           &info)) {
    *err = Fail(what, path, GetLastError());
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *err = Fail(what, path, ERROR_DIRECTORY);
    return false;
  }
  const bool linked =
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      info.nNumberOfLinks > 1 || !LinkedFile(h, path).empty();
  if (linked)
    *err = std::string(what) + " " + WithoutPrefix(path) +
           ": is a link to another file";
  return !linked;
}

// Whether the file |h| is open on bears the mark of a run's scratch file:
// the access list CreateScratch gives it, which lets in this user alone.
// Other programs' files inherit their directory's list, which lets in
// others too (administrators, the machine's users).  Wine derives the list
// from the Unix mode, and names the system beside the user.  A volume that
// keeps no access lists (FAT) has no mark to show: there a file at the
// scratch name is taken for a run's own.
bool BearsMark(HANDLE h, bool* marked, std::string* why) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags,
                                     nullptr, 0)) {
    *why = "cannot tell its volume's kind: " + Reason(GetLastError());
    return false;
  }
  *marked = (flags & FILE_PERSISTENT_ACLS) == 0;
  if (*marked)
    return true;
  std::vector<char> user;
  if (!ThisUser(&user, why))
    return false;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD error =
      GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                      nullptr, &dacl, nullptr, &sd);
  if (error != ERROR_SUCCESS) {
    *why = "cannot read its security: " + Reason(error);
    return false;
  }
  const LocalMemory hold(sd, &LocalFree);
  // No list at all lets in everyone; a denying entry is none of the run's.
  bool mine = false, others = dacl == nullptr;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      *why = "cannot read its security: " + Reason(GetLastError());
      return false;
    }
    if (static_cast<const ACE_HEADER*>(ace)->AceType !=
        ACCESS_ALLOWED_ACE_TYPE) {
      others = true;
      continue;
    }
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (EqualSid(sid, SidOf(user)))
      mine = true;
    else if (!IsWellKnownSid(sid, WinLocalSystemSid))
      others = true;
  }
  *marked = mine && !others;
  return true;
}

// Removes a file an earlier run left at the scratch name |path|: an
// ordinary file of one name, which no other process has open, and which
// bears the run's mark.  A file another program put there may be all
// there is of someone's work: it stays, and the run says so.  A link is
// opened itself, not followed, and refused.
bool RemoveStale(const std::string& path, const char* what, std::string* err) {
  HANDLE h = Sys(
      "CreateFileA", CreateFileA, INVALID_HANDLE_VALUE, path.c_str(),
      DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)  // gone meanwhile
      return true;
    *err = Fail(what, path, error);
    return false;
  }
  bool ok = IsOwnFile(h, what, path, err);
  bool marked = false;
  std::string why;
  if (ok && !BearsMark(h, &marked, &why)) {
    *err = std::string(what) + " " + WithoutPrefix(path) + ": " + why;
    ok = false;
  } else if (ok && !marked) {
    *err = std::string(what) + " " + WithoutPrefix(path) +
           ": a file this program did not leave is there, and is kept";
    ok = false;
  }
  if (ok && !Dispose(h)) {
    *err = Fail(what, path, GetLastError());
    ok = false;
  }
  CloseHandle(h);
  return ok;
}

}  // namespace

bool CreateScratch(const std::string& path, File* file, std::string* err) {
  // The scratch file must be one this run creates, for this user alone:
  // whoever could open it (a shared project folder may let them) could
  // keep a handle that reaches the target once it is in place.  Whatever
  // an earlier run left at the name is removed first.
  const char* what = "cannot create scratch file";
  LocalMemory descriptor(nullptr, &LocalFree);
  std::string why;
  if (!ForThisUserOnly(&descriptor, &why)) {
    *err = std::string(what) + " " + WithoutPrefix(path) + ": " + why;
    return false;
  }
  SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.get(), FALSE};
  constexpr int kAttempts = 10;
  for (int attempt = 1;; ++attempt) {
    HANDLE h = Sys("CreateFileA", CreateFileA, INVALID_HANDLE_VALUE,
                   path.c_str(), GENERIC_WRITE | DELETE, 0, &security,
                   CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      Identity id;
      if (!IdentityOf(h, &id)) {
        *err = Fail(what, path, GetLastError());
        Dispose(h);  // made by this very call, so ours to remove
        CloseHandle(h);
        return false;
      }
      Hold(file, h, path, id);
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt == kAttempts) {
      *err = Fail(what, path, error);
      return false;
    }
    if (!RemoveStale(path, what, err))
      return false;
  }
}

bool Read(File* file, char* buf, size_t capacity, size_t* got,
          std::string* err) {
  const DWORD want = static_cast<DWORD>(std::min<size_t>(capacity, MAXDWORD));
  DWORD n = 0;
  if (!ReadFile(Handle(file), buf, want, &n, nullptr)) {
    *err = Fail("cannot read", file->path, GetLastError());
    return false;
  }
  *got = n;
  return true;
}

int64_t FileSize(File* file) {
  LARGE_INTEGER size;
  return GetFileSizeEx(Handle(file), &size) ? size.QuadPart : -1;
}

bool Write(File* file, const char* data, size_t len, std::string* err) {
  while (len > 0) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(len, MAXDWORD));
    DWORD n = 0;
    if (!WriteFile(Handle(file), data, want, &n, nullptr)) {
      *err = Fail("cannot write", file->path, GetLastError());
      return false;
    }
    data += n;
    len -= n;
  }
  return true;
}

namespace {

// --- The replace -------------------------------------------------------------

// What the old content's name is made of: TARGETOld, or TARGETOld1 …
// TARGETOld9 where that is taken.
const char kAsideSuffix[] = "Old";

// How long a step is tried again while another process has a file open:
// virus scanners and the search indexer open a file that has just been
// written or renamed for a moment.  Build tools wait a few seconds too.
constexpr ULONGLONG kPatienceMs = 2000;

// Errors that another process's open handle causes, and that go away when
// it lets go.  ReplaceFileA says the same with 1175 and 1176, after which
// both files keep their names.  Access denied is not among them: it is a
// refusal that waiting does not change (a read-only file, an access list),
// and is reported at once.
bool InUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

// The answers of a file system that cannot do what was asked.
bool NotSupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

// Counts the attempts at one step, and waits a little longer before each.
struct Patience {
  ULONGLONG start = GetTickCount64();
  int attempts = 1;
  DWORD pause_ms = 5;

  // Whether to try again after |error|; waits before saying yes.
  bool Again(DWORD error) {
    if (!InUse(error) || GetTickCount64() - start >= kPatienceMs)
      return false;
    Sleep(pause_ms);
    pause_ms = std::min<DWORD>(pause_ms * 2, 250);
    ++attempts;
    return true;
  }

  // What a message adds once the step has been tried more than once.
  std::string Said() const {
    if (attempts == 1)
      return std::string();
    char text[64];
    (void)snprintf(text, sizeof(text), " (tried %d times in %.1f s)", attempts,
                   static_cast<double>(GetTickCount64() - start) / 1000);
    return text;
  }
};

// What a run finds at a name: nothing, the file it read (unchanged, or
// changed since: its size, times or attributes), the scratch file it
// wrote, some other file, or what it cannot look at.
enum class Found { kNothing, kOld, kChanged, kNew, kOther, kUnknown };

// Whether the file found is one the run must keep at the target's name.
bool Newer(Found found) {
  return found == Found::kChanged || found == Found::kOther;
}

// What a message says of a newer file at the target's name.
std::string NewerSaid(Found found) {
  return found == Found::kChanged
             ? "it was changed during the run"
             : "another file took its place during the run";
}

// The file the run holds open, with its index asked anew: FAT derives it
// from where the file's name is, and a rename to a longer name, such as the
// replace's to TARGETOld, changes it.  A rename keeps the volume.
Identity Held(const File* file) {
  Identity held = file->open->id, now;
  if (IdentityOf(Handle(file), &now))
    held.index = now.index;
  return held;
}

// A look that fails is taken again: what the run does next depends on it.
Found Look(const std::string& path, const File* target, const File* scratch,
           DWORD* error = nullptr) {
  constexpr int kLooks = 3;
  Identity id;
  for (int look = 1;; ++look) {
    HANDLE h = OpenAsIs(path, FILE_READ_ATTRIBUTES);
    const bool known = h != INVALID_HANDLE_VALUE && IdentityOf(h, &id);
    const DWORD why = known ? ERROR_SUCCESS : GetLastError();
    if (h != INVALID_HANDLE_VALUE)
      CloseHandle(h);
    if (error)
      *error = why;
    if (known)
      break;
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
      return Found::kNothing;
    if (look == kLooks)
      return Found::kUnknown;
    Sleep(10);
  }
  if (SameFile(id, Held(target)))
    return Unchanged(id, target->open->id) ? Found::kOld : Found::kChanged;
  return SameFile(id, scratch->open->id) ? Found::kNew : Found::kOther;
}

// Renames |from| to |to|, which must be free: never replaces a file.
// Tried again while a file is in use.
bool Rename(const std::string& from, const std::string& to, std::string* why) {
  Patience patience;
  for (;;) {
    if (Sys("MoveFileExA", MoveFileExA, FALSE, from.c_str(), to.c_str(),
            MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if (!patience.Again(error)) {
      *why = Reason(error) + patience.Said();
      return false;
    }
  }
}

// Removes the file at |path| if it is the file |id|, through a handle opened
// on it: whatever else stands at the name stays.
bool RemoveIfSame(const std::string& path, const Identity& id,
                  std::string* why) {
  Patience patience;
  for (;;) {
    HANDLE h = OpenAsIs(path, DELETE | FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND)
        return true;
      if (patience.Again(error))
        continue;
      *why = Reason(error) + patience.Said();
      return false;
    }
    Identity found;
    const bool ok =
        IdentityOf(h, &found) && (!SameFile(found, id) || Dispose(h));
    const DWORD error = GetLastError();
    CloseHandle(h);
    if (ok)
      return true;
    if (!patience.Again(error)) {
      *why = Reason(error) + patience.Said();
      return false;
    }
  }
}

// A free name for the old content beside |target|.  ReplaceFileA would
// replace a file standing at it.
bool FreeName(const std::string& target, std::string* name, std::string* err) {
  const std::string base = target + kAsideSuffix;
  for (int n = 0; n < 10; ++n) {
    *name = n == 0 ? base : base + std::to_string(n);
    if (Sys("GetFileAttributesA", GetFileAttributesA, INVALID_FILE_ATTRIBUTES,
            name->c_str()) != INVALID_FILE_ATTRIBUTES)
      continue;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return true;
    *err = "cannot replace " + WithoutPrefix(target) +
           ": cannot look for a free name: " + WithoutPrefix(*name) + ": " +
           Reason(error);
    return false;
  }
  const std::string shown = WithoutPrefix(base);
  *err = "cannot replace " + WithoutPrefix(target) + ": " + shown + " and " +
         shown + "1 to 9, the names for its old content, are all taken";
  return false;
}

// The attributes a user gives a file, which the new file keeps (ReplaceFileA
// carries them on Windows, Wine's does not).  Read-only targets are refused
// when they are opened.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// Makes the scratch file ready to replace the target: the target's
// attributes, the content on disk, and the handle let go of, since
// ReplaceFileA opens the file for itself alone.
bool Prepare(const File* target, File* scratch, std::string* err) {
  Identity now;
  if (!IdentityOf(Handle(target), &now)) {
    *err = Fail("cannot read the attributes of", target->path, GetLastError());
    return false;
  }
  FILE_BASIC_INFO basic = {};  // times left at zero stay as they are
  basic.FileAttributes = now.attributes & kKeptAttributes;
  if (basic.FileAttributes == 0)
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!Sys("SetFileInformationByHandle", SetFileInformationByHandle, FALSE,
           Handle(scratch), FileBasicInfo, &basic, sizeof(basic))) {
    *err = Fail("cannot set the attributes of", scratch->path, GetLastError());
    return false;
  }
  // ReplaceFileA's REPLACEFILE_WRITE_THROUGH is documented as unsupported:
  // the content is made durable here.
  if (!Sys("FlushFileBuffers", FlushFileBuffers, FALSE, Handle(scratch))) {
    *err = Fail("cannot write", scratch->path, GetLastError());
    return false;
  }
  return true;
}

bool LetGo(File* scratch, std::string* err) {
  HANDLE h = Handle(scratch);
  scratch->open->handle = INVALID_HANDLE_VALUE;
  if (!Sys("CloseHandle", CloseHandle, FALSE, h)) {
    *err = Fail("cannot write", scratch->path, GetLastError());
    return false;
  }
  return true;
}

// Whether |h|'s file has streams besides its data: ReplaceFileA carries
// them to the new file, a rename of the scratch file cannot.
bool HasNamedStreams(HANDLE h, bool* has, std::string* why) {
  std::vector<LONGLONG> buf(512);  // FILE_STREAM_INFO is 8-byte aligned
  for (;;) {
    const DWORD size = static_cast<DWORD>(buf.size() * sizeof(buf[0]));
    if (Sys("GetFileInformationByHandleEx", GetFileInformationByHandleEx, FALSE,
            h, FileStreamInfo, buf.data(), size))
      break;
    const DWORD error = GetLastError();
    if (error == ERROR_MORE_DATA) {
      buf.resize(buf.size() * 2);
      continue;
    }
    // File systems without streams answer so.
    *has = false;
    if (NotSupported(error) || error == ERROR_INVALID_PARAMETER ||
        error == ERROR_HANDLE_EOF)
      return true;
    *why = "cannot list its streams: " + Reason(error);
    return false;
  }
  *has = false;
  const char* at = reinterpret_cast<const char*>(buf.data());
  for (;;) {
    const auto* info = reinterpret_cast<const FILE_STREAM_INFO*>(at);
    const std::wstring_view name(info->StreamName,
                                 info->StreamNameLength / sizeof(WCHAR));
    *has = *has || name != L"::$DATA";
    if (info->NextEntryOffset == 0)
      return true;
    at += info->NextEntryOffset;
  }
}

// Gives the scratch file the target's security, as ReplaceFileA would:
// the access control list exactly, and the owner and group where the
// system lets this user give them (an administrator may; others keep the
// file as their own, as on Linux).
bool CarrySecurity(const File* target, const File* scratch, std::string* why) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  PSID owner = nullptr, group = nullptr;
  PACL dacl = nullptr;
  const DWORD read_error =
      Fails("GetSecurityInfo")
          ? GetLastError()
          : GetSecurityInfo(Handle(target), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION |
                                GROUP_SECURITY_INFORMATION |
                                DACL_SECURITY_INFORMATION,
                            &owner, &group, &dacl, nullptr, &sd);
  if (NotSupported(read_error))  // no security on this file system
    return true;
  if (read_error != ERROR_SUCCESS) {
    *why = "cannot read its security: " + Reason(read_error);
    return false;
  }
  const LocalMemory hold(sd, &LocalFree);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(sd, &control, &revision);
  const SECURITY_INFORMATION dacl_info =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                     : UNPROTECTED_DACL_SECURITY_INFORMATION);
  // Setting a list that inherits entries reads the one there first.
  HANDLE h = OpenAsIs(scratch->path, READ_CONTROL | WRITE_DAC | WRITE_OWNER |
                                         FILE_READ_ATTRIBUTES);
  Identity id;
  DWORD error = h == INVALID_HANDLE_VALUE || !IdentityOf(h, &id)
                    ? GetLastError()
                    : ERROR_SUCCESS;
  if (error == ERROR_SUCCESS && !SameFile(id, scratch->open->id))
    error = ERROR_FILE_NOT_FOUND;  // not ours any more
  const auto set = [&](SECURITY_INFORMATION info) {
    return Fails("SetSecurityInfo")
               ? GetLastError()
               : SetSecurityInfo(h, SE_FILE_OBJECT, info, owner, group, dacl,
                                 nullptr);
  };
  const auto refused = [](DWORD e) {
    return e == ERROR_INVALID_OWNER || e == ERROR_PRIVILEGE_NOT_HELD ||
           e == ERROR_ACCESS_DENIED;
  };
  if (error == ERROR_SUCCESS)
    error = set(dacl_info);
  if (error == ERROR_SUCCESS) {
    error = set(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION);
    if (refused(error)) {
      error = set(GROUP_SECURITY_INFORMATION);
      if (refused(error))
        error = ERROR_SUCCESS;
    }
  }
  if (h != INVALID_HANDLE_VALUE)
    CloseHandle(h);
  if (error != ERROR_SUCCESS)
    *why = "cannot give its security to " + WithoutPrefix(scratch->path) +
           ": " + Reason(error);
  return error == ERROR_SUCCESS;
}

// One attempt at putting the scratch file in the target's place, the old
// file going to |aside|.  Returns 0, or the error with |*why| saying what
// failed.  Where the file system cannot replace, the run moves the two
// files itself, once it has given the scratch file what ReplaceFileA would.
DWORD SwapIn(const File* target, const File* scratch, const std::string& aside,
             std::string* why) {
  if (Sys("ReplaceFileA", ReplaceFileA, FALSE, target->path.c_str(),
          scratch->path.c_str(), aside.c_str(), 0, nullptr, nullptr))
    return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  LeaveAsDocumented(error, target->path, aside);
  *why = Reason(error);
  if (!NotSupported(error))
    return error;
  bool streams = false;
  std::string carry;
  if (!HasNamedStreams(Handle(target), &streams, &carry) ||
      !CarrySecurity(target, scratch, &carry)) {
    *why += ", and a rename cannot stand in: " + carry;
    return error;
  }
  if (streams) {
    *why += ", and a rename would lose its named streams";
    return error;
  }
  for (const auto& [from, to] :
       {std::pair(target->path, aside), std::pair(scratch->path, target->path)})
    if (!Sys("MoveFileExA", MoveFileExA, FALSE, from.c_str(), to.c_str(),
             MOVEFILE_WRITE_THROUGH)) {
      const DWORD move_error = GetLastError();
      *why = Reason(move_error);
      return move_error;
    }
  return ERROR_SUCCESS;
}

// Where the old and the new content are when a run stops half-way.
std::string Whereabouts(const std::string& target, Found at_target,
                        const std::string& aside, const File* target_file,
                        const File* scratch, bool scratch_stays) {
  const auto what = [](Found found) -> std::string {
    switch (found) {
      case Found::kNothing:
        return "nothing";
      case Found::kOld:
        return "the old content";
      case Found::kNew:
        return "the new content";
      case Found::kChanged:
        return "the old file, changed during the run,";
      case Found::kOther:
        return "another file";
      case Found::kUnknown:
        break;
    }
    return "a file that cannot be looked at";
  };
  std::string where;
  if (at_target != Found::kOld && !Newer(at_target))
    where += "; " + WithoutPrefix(target) + " holds " + what(at_target);
  for (const std::string& path : {aside, scratch->path}) {
    if (path == scratch->path && !scratch_stays)
      continue;
    const Found found = Look(path, target_file, scratch);
    if (found != Found::kNothing)
      where += "; " + what(found) + " is at " + WithoutPrefix(path);
  }
  return where;
}

// Removes the scratch file the run has let go of, as it gives up.  A
// scanner may open a file the moment it has been written and hold it for
// seconds: the removal is tried again as long as a replace would be, and
// where the file stays, the message says where the new content is left.
// The next run removes it.
void DropScratch(File* scratch, std::string* err) {
  std::string stays;
  if (!RemoveIfSame(scratch->path, scratch->open->id, &stays))
    *err += "; the new content is left at " + WithoutPrefix(scratch->path) +
            ": " + stays;
  Forget(scratch);
}

}  // namespace

bool ReplaceTarget(File* scratch, File* target, std::string* err) {
  const std::string& dest = target->path;
  std::string aside;
  if (!Prepare(target, scratch, err) || !FreeName(dest, &aside, err))
    return false;
  // Another file may have taken the target's name during the run (an
  // editor that saves by renaming), or another program changed the file
  // (its times, its attributes): what is there now is newer and stays.
  DWORD error = ERROR_SUCCESS;
  switch (const Found found = Look(dest, target, scratch, &error)) {
    case Found::kOld:
      break;
    case Found::kChanged:
    case Found::kOther:
    case Found::kNew:
      *err = "cannot replace " + WithoutPrefix(dest) + ": " +
             NewerSaid(found == Found::kNew ? Found::kOther : found) +
             " and is kept";
      return false;
    case Found::kNothing:
    case Found::kUnknown:
      *err = Fail("cannot replace", dest, error);
      return false;
  }
  if (!LetGo(scratch, err)) {
    DropScratch(scratch, err);
    return false;
  }

  // Tried again while nothing has moved and a file is in use.
  Patience patience;
  std::string why;
  Found at_dest, at_aside;
  for (;;) {
    error = SwapIn(target, scratch, aside, &why);
    at_dest = Look(dest, target, scratch);
    at_aside = Look(aside, target, scratch);
    if (error == ERROR_SUCCESS || at_dest != Found::kOld ||
        at_aside != Found::kNothing || !patience.Again(error))
      break;
  }
  why += patience.Said();
  if (error == ERROR_SUCCESS)
    why = "the replace did not leave the files where it should";

  // Stopped half-way (ReplaceFileA's 1177): the old file is aside and the
  // target's name free.  The job is finished, or else the old file put
  // back; a newer file that went aside only goes back.
  if (at_dest == Found::kNothing &&
      (at_aside == Found::kOld || Newer(at_aside))) {
    std::string not_finished;
    if (at_aside == Found::kOld &&
        Look(scratch->path, target, scratch) == Found::kNew &&
        Rename(scratch->path, dest, &not_finished)) {
      at_dest = Found::kNew;
    } else if (Rename(aside, dest, &not_finished)) {
      at_dest = at_aside;
      at_aside = Found::kNothing;
    } else {
      why += "; nor can it be finished or undone: " + not_finished;
    }
  }

  // A file that took the target's name, or the target changed, just before
  // the replace went aside: the new content makes way for it again.
  if (at_dest == Found::kNew && Newer(at_aside)) {
    std::string not_undone, ignored;
    const bool made_way = Rename(dest, scratch->path, &not_undone);
    if (made_way && !Rename(aside, dest, &not_undone))
      Rename(scratch->path, dest, &ignored);  // the new content, not nothing
    why = NewerSaid(at_aside) + " and cannot be put back: " + not_undone;
    at_dest = Look(dest, target, scratch);
  }

  if (at_dest == Found::kNew && at_aside == Found::kOld) {
    // Done: the file moved aside is the one read, unchanged, and goes.
    std::string stays;
    const bool removed = RemoveIfSame(aside, Held(target), &stays);
    Forget(scratch);  // the target now
    Close(target);
    if (!removed)
      *err = WithoutPrefix(dest) +
             " is stamped, but its old content stays at " +
             WithoutPrefix(aside) + ": " + stays;
    return removed;
  }

  // The scratch file is removed only where the target's name holds a whole
  // file, the old one or a newer; otherwise it may be all there is.  A
  // replace that failed on a file changed meanwhile (made read-only) gives
  // the system's reason for it.
  const bool scratch_stays = at_dest != Found::kOld && !Newer(at_dest);
  if (at_dest == Found::kOther ||
      (at_dest == Found::kChanged && error == ERROR_SUCCESS))
    *err = "cannot replace " + WithoutPrefix(dest) + ": " + NewerSaid(at_dest) +
           " and is kept";
  else
    *err = "cannot replace " + WithoutPrefix(dest) + " with " +
           WithoutPrefix(scratch->path) + ": " + why;
  *err += Whereabouts(dest, at_dest, aside, target, scratch, scratch_stays);
  if (scratch_stays)
    Forget(scratch);
  else
    DropScratch(scratch, err);
  return false;
}

void Close(File* file) { Forget(file); }

void RemoveScratch(File* scratch) {
  if (!scratch->open)
    return;
  std::string ignored;
  if (Handle(scratch) != INVALID_HANDLE_VALUE)
    Dispose(Handle(scratch));
  else
    RemoveIfSame(scratch->path, scratch->open->id, &ignored);
  Forget(scratch);
}

#ifdef AUTHORSTAMP_FAULTS
// --- The test build ----------------------------------------------------------
//
// AUTHORSTAMP_FAULTS lists calls to fail, separated by blanks: "CALL=ERROR"
// fails every invocation of CALL with the Windows error ERROR, "CALL#N=ERROR"
// the Nth only.  ERROR "pause" instead holds the run before the call: it
// creates the file that AUTHORSTAMP_PAUSE names and waits until it is gone.
// AUTHORSTAMP_CALLS names a file that gets the name of every call, a line
// each.  ReplaceFileA failing with 1177 first moves the target aside, as
// Windows documents for that error.
namespace {

struct Fault {
  std::string call;
  int nth = 0;  // every invocation when 0
  DWORD error = 0;
  bool pause = false;
};

std::vector<Fault> ReadFaults() {
  std::vector<Fault> faults;
  const char* spec = getenv("AUTHORSTAMP_FAULTS");
  std::string_view rest = spec ? spec : "";
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

void Pause() {
  const char* flag = getenv("AUTHORSTAMP_PAUSE");
  if (!flag)
    return;
  CloseHandle(CreateFileA(flag, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  while (GetFileAttributesA(flag) != INVALID_FILE_ATTRIBUTES)
    Sleep(10);
}

void LeaveAsDocumented(DWORD error, const std::string& target,
                       const std::string& aside) {
  // A real 1177 has moved the target already, and this move fails.
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
    MoveFileExA(target.c_str(), aside.c_str(), 0);
}

bool Fails(const char* call) {
  static const std::vector<Fault> faults = ReadFaults();
  static std::vector<std::pair<std::string, int>> counts;
  auto count = std::find_if(counts.begin(), counts.end(),
                            [&](const auto& c) { return c.first == call; });
  if (count == counts.end())
    count = counts.insert(counts.end(), {call, 0});
  const int n = ++count->second;
  if (const char* log = getenv("AUTHORSTAMP_CALLS")) {
    if (FILE* f = fopen(log, "a")) {
      (void)fprintf(f, "%s\n", call);
      (void)fclose(f);
    }
  }
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

}  // namespace
#endif

}  // namespace platform
