// The services on Windows, from plain Win32 in its 8-bit ("A") forms.
//
// Exclusive access stands on share mode 0: while a run holds the target or
// the scratch file, every other open of it fails.  The content is replaced
// with ReplaceFileA, which keeps the target's attributes and security and
// never leaves a half-written file behind.
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
#include <security.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace platform {

struct OpenFile {
  HANDLE handle;
};

namespace {

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

std::string Fail(const std::string& what, const std::string& path,
                 DWORD error) {
  return what + " " + path + ": " + Reason(error);
}

HANDLE Handle(const File* file) { return file->open->handle; }

// Takes over |h| as the open file |file|.
void Hold(File* file, HANDLE h, const std::string& path) {
  file->open = new OpenFile{h};
  file->path = path;
}

// Lets go of |file|'s state and returns its handle, still open.
HANDLE Release(File* file) {
  HANDLE h = file->open->handle;
  delete file->open;
  file->open = nullptr;
  return h;
}

// Pipes, consoles and devices (a target named NUL or CON names a device in
// any directory) cannot be replaced by a file; only disk files are taken.
bool IsDiskFile(HANDLE h, const char* what, const std::string& path,
                std::string* err) {
  const bool disk = GetFileType(h) == FILE_TYPE_DISK;
  if (!disk)
    *err = std::string(what) + " " + path + ": not a regular file";
  return disk;
}

// A "\\?\" path in its ordinary form: "\\?\C:\x" is C:\x,
// "\\?\UNC\host\share" is \\host\share.
std::string WithoutPrefix(const std::string& path) {
  constexpr std::string_view kUnc = "\\\\?\\UNC\\";
  constexpr std::string_view kLocal = "\\\\?\\";
  if (std::string_view(path).starts_with(kUnc))
    return "\\\\" + path.substr(kUnc.size());
  if (std::string_view(path).starts_with(kLocal))
    return path.substr(kLocal.size());
  return path;
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
  OutputDebugStringA(std::string(line).c_str());
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
  // Share mode 0 stands for the exclusive open: a target that anyone else
  // holds open, another run included, cannot be had.  A failure leaves
  // |*err| empty: the box says "Open file fail!" and nothing more, as it
  // always has.
  (void)err;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return false;
  // Pipes, consoles and devices (NUL, CON) cannot be replaced by a file.
  // Windows refuses writers to a read-only file, but lets some through
  // elsewhere (Wine run as root); the attribute is honoured either way.
  BY_HANDLE_FILE_INFORMATION info;
  const bool ok = GetFileType(h) == FILE_TYPE_DISK &&
                  !(GetFileInformationByHandle(h, &info) &&
                    (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY));
  if (!ok) {
    CloseHandle(h);
    return false;
  }
  // A link stays a link: the scratch file goes beside the file it points
  // to, which is the one replaced.
  const std::string linked = LinkedFile(h, path);
  Hold(file, h, linked.empty() ? path : linked);
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
  if (!GetFileInformationByHandle(h, &info)) {
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
    *err = std::string(what) + " " + path + ": is a link to another file";
  return !linked;
}

// Removes a file an earlier run left at the scratch name |path|: an
// ordinary file of one name, which no other process has open.  A link is
// opened itself, not followed, and refused.
bool RemoveStale(const std::string& path, const char* what, std::string* err) {
  HANDLE h = CreateFileA(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)  // gone meanwhile
      return true;
    *err = Fail(what, path, error);
    return false;
  }
  bool ok = IsOwnFile(h, what, path, err);
  FILE_DISPOSITION_INFO remove = {TRUE};
  if (ok && !SetFileInformationByHandle(h, FileDispositionInfo, &remove,
                                        sizeof(remove))) {
    *err = Fail(what, path, GetLastError());
    ok = false;
  }
  CloseHandle(h);
  return ok;
}

}  // namespace

bool CreateScratch(const std::string& path, File* file, std::string* err) {
  // The scratch file must be one this run creates: whoever could open a
  // file that was there before (its security may let them) could read or
  // change the new content before it replaces the target.  Whatever an
  // earlier run left at the name is removed first.
  const char* what = "cannot create scratch file";
  constexpr int kAttempts = 10;
  for (int attempt = 1;; ++attempt) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      Hold(file, h, path);
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

bool ReplaceTarget(File* scratch, File* target, std::string* err) {
  if (!FlushFileBuffers(Handle(scratch))) {
    *err = Fail("cannot write", scratch->path, GetLastError());
    return false;
  }
  if (!CloseHandle(Release(scratch))) {
    *err = Fail("cannot write", scratch->path, GetLastError());
    return false;
  }
  const std::string& dest = target->path;
  // Both must be closed: the unshared handles would stand in the way of
  // the replacement.
  Close(target);

  if (ReplaceFileA(dest.c_str(), scratch->path.c_str(), nullptr,
                   REPLACEFILE_WRITE_THROUGH, nullptr, nullptr))
    return true;
  const DWORD error = GetLastError();
  // Some file systems (network shares, FAT) cannot serve ReplaceFileA; a
  // rename over the target still replaces it in one step.  It also finishes
  // the job if ReplaceFileA gave up after removing the target.
  const bool moved =
      MoveFileExA(scratch->path.c_str(), dest.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
  if (!moved)
    *err = "cannot replace " + dest + " with " + scratch->path + ": " +
           Reason(error);
  return moved;
}

void Close(File* file) {
  if (file->open)
    CloseHandle(Release(file));
}

void RemoveScratch(File* scratch) {
  Close(scratch);
  DeleteFileA(scratch->path.c_str());
}

}  // namespace platform
