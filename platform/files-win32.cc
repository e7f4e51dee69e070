// Handles and the files they are open on: which file a handle is on, the
// name it really has, and its removal through a handle, so that only the
// file a run means goes, whatever else has taken its name.  Other processes
// (scanners, indexers) open a file that has just been written or renamed
// for a moment: the steps they stand in the way of are tried again, with
// Patience.
#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/win32.h"

namespace platform {
namespace {

// How long a step is tried again while another process has a file open.
// Build tools wait a few seconds too.
constexpr ULONGLONG kPatienceMs = 2000;

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

}  // namespace

bool Handle::Close() {
  return Sys("CloseHandle", CloseHandle, FALSE, Release());
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

// The archive attribute does not count: the system sets it of its own
// accord, on some file systems for a rename too, and the replace renames
// the target.
bool Unchanged(const Identity& a, const Identity& b) {
  constexpr DWORD kCounted = ~static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE);
  return a.size == b.size && a.written == b.written &&
         (a.attributes & kCounted) == (b.attributes & kCounted);
}

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

// Symbolic links show as reparse points on Windows; Wine shows Unix links
// as the files they point to, which only the final path gives away.  The
// whole path counts: a link may well have the same name as its target in
// another directory.
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

Handle OpenAsIs(const std::string& path, DWORD access) {
  return Handle(
      Sys("CreateFileA", CreateFileA, INVALID_HANDLE_VALUE, path.c_str(),
          access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
          nullptr, OPEN_EXISTING,
          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool Dispose(HANDLE h) {
  FILE_DISPOSITION_INFO remove = {TRUE};
  return Sys("SetFileInformationByHandle", SetFileInformationByHandle, FALSE, h,
             FileDispositionInfo, &remove, sizeof(remove));
}

// ReplaceFileA says the same with 1175 and 1176, after which both files
// keep their names.  Access denied is not among them: it is a refusal that
// waiting does not change (a read-only file, an access list), and is
// reported at once.
bool InUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_UNABLE_TO_REMOVE_REPLACED ||
         error == ERROR_UNABLE_TO_MOVE_REPLACEMENT;
}

bool NotSupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION;
}

bool Patience::Again(DWORD error) {
  if (!InUse(error) || GetTickCount64() - start >= kPatienceMs)
    return false;
  Sleep(pause_ms);
  pause_ms = std::min<DWORD>(pause_ms * 2, 250);
  ++attempts;
  return true;
}

void Patience::Tell(Clause* clause) const {
  clause->tries = attempts;
  clause->seconds = static_cast<double>(GetTickCount64() - start) / 1000;
}

bool RemoveIfSame(const std::string& path, const Identity& id, Clause* why) {
  Patience patience;
  for (;;) {
    DWORD error = ERROR_SUCCESS;
    {
      const Handle h = OpenAsIs(path, DELETE | FILE_READ_ATTRIBUTES);
      if (!h.valid() && GetLastError() == ERROR_FILE_NOT_FOUND)
        return true;
      Identity found;
      if (h.valid() && IdentityOf(h.get(), &found) &&
          (!SameFile(found, id) || Dispose(h.get())))
        return true;
      error = GetLastError();
    }  // the handle is closed before the wait
    if (!patience.Again(error)) {
      *why = SystemClause(error);
      patience.Tell(why);
      return false;
    }
  }
}

}  // namespace platform
