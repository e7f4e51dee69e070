// The scratch file: created by this run for this user alone, written, let
// go of for the replace, and removed when the run gives up.  Its record is
// |run.scratch|, by handle while the run holds it and by name and identity
// once let go of:
//
//   (none) --CreateScratch--> held --LetGo--> let go --ReplaceOnce--> target
//                              |                |
//              giving up: disposed    giving up (DropScratch, or the Run
//              of through its own     going): removed through a handle
//              handle, gone as it     opened on it and checked to be this
//              closes                 run's; tried again while another
//                                     process holds it, and said where it
//                                     stays.  Kept where the target's name
//                                     holds no whole file (kScratchStays)
//
// A file at the scratch name that an earlier run left is removed before
// the create, if it bears a run's mark (security-win32.cc); another
// program's file stays, and the run says so.
#include "platform/win32.h"

namespace platform {
namespace {

// Whether |h|, opened at |path| without following a link, is an ordinary
// file that no other name leads to.  Pipes, consoles and devices cannot be
// replaced by a file; only disk files are taken.
bool IsOwnFile(HANDLE h, const std::string& path, Error* err) {
  const Step step = Step::kCreateScratch;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    *err = Failed(step, WithoutPrefix(path), Why::kNotRegular);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!Sys("GetFileInformationByHandle", GetFileInformationByHandle, FALSE, h,
           &info)) {
    *err = SystemError(step, path, GetLastError());
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *err = SystemError(step, path, ERROR_DIRECTORY);
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      info.nNumberOfLinks > 1 || !LinkedFile(h, path).empty()) {
    *err = Failed(step, WithoutPrefix(path), Why::kLinked);
    return false;
  }
  return true;
}

// Removes a file an earlier run left at the scratch name |path|: an
// ordinary file of one name, which no other process has open, and which
// bears the run's mark.  A file another program put there may be all
// there is of someone's work: it stays, and the run says so.  A link is
// opened itself, not followed, and refused.
bool RemoveStale(const std::string& path, Error* err) {
  const Step step = Step::kCreateScratch;
  const Handle h(Sys(
      "CreateFileA", CreateFileA, INVALID_HANDLE_VALUE, path.c_str(),
      DELETE | FILE_READ_ATTRIBUTES | READ_CONTROL, 0, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)  // gone meanwhile
      return true;
    *err = SystemError(step, path, error);
    return false;
  }
  if (!IsOwnFile(h.get(), path, err))
    return false;
  bool marked = false;
  Clause why;
  if (!BearsMark(h.get(), &marked, &why)) {
    *err = StepFailed(step, path);
    err->clauses.push_back(why);
    return false;
  }
  if (!marked) {
    *err = Failed(step, WithoutPrefix(path), Why::kNotLeftByUs);
    return false;
  }
  if (!Dispose(h.get())) {
    *err = SystemError(step, path, GetLastError());
    return false;
  }
  return true;
}

}  // namespace

bool CreateScratch(const std::string& path, Run* run, Error* err) {
  // The scratch file must be one this run creates, for this user alone:
  // whoever could open it could keep a handle that reaches the target once
  // it is in place.  Whatever an earlier run left at the name is removed
  // first.
  const Step step = Step::kCreateScratch;
  LocalMemory descriptor(nullptr, &LocalFree);
  DWORD error = ERROR_SUCCESS;
  if (!ForThisUserOnly(&descriptor, &error)) {
    *err = SystemError(step, path, error);
    return false;
  }
  SECURITY_ATTRIBUTES security = {sizeof(security), descriptor.get(), FALSE};
  constexpr int kAttempts = 10;
  for (int attempt = 1;; ++attempt) {
    Handle h(Sys("CreateFileA", CreateFileA, INVALID_HANDLE_VALUE, path.c_str(),
                 GENERIC_WRITE | DELETE, 0, &security, CREATE_NEW,
                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.valid()) {
      Identity id;
      if (!IdentityOf(h.get(), &id)) {
        *err = SystemError(step, path, GetLastError());
        (void)Dispose(h.get());  // made by this very call, so ours to remove
        return false;
      }
      Hold(&run->scratch, std::move(h), path, id);
      return true;
    }
    error = GetLastError();
    if (error != ERROR_FILE_EXISTS || attempt == kAttempts) {
      *err = SystemError(step, path, error);
      return false;
    }
    if (!RemoveStale(path, err))
      return false;
  }
}

bool LetGo(File* scratch, Error* err) {
  if (!scratch->open->handle.Close()) {
    *err = SystemError(Step::kWrite, scratch->path, GetLastError());
    return false;
  }
  return true;
}

bool RemoveScratch(File* scratch, Clause* why) {
  bool removed = true;
  if (scratch->open->handle.valid()) {
    removed = Dispose(scratch->open->handle.get());
    if (!removed)
      *why = SystemClause(GetLastError());
  } else {
    removed = RemoveIfSame(scratch->path, scratch->open->id, why);
  }
  scratch->Close();
  return removed;
}

// A scanner may open a file the moment it has been written and hold it for
// seconds: the removal is tried again as long as a replace would be, and
// where the file stays, the message says where the new content is left.
// The next run removes it.
void DropScratch(File* scratch, Error* err) {
  Clause stays;
  if (RemoveScratch(scratch, &stays))
    return;
  stays.why = Why::kNewContentLeft;
  stays.path = WithoutPrefix(scratch->path);
  err->clauses.push_back(stays);
}

}  // namespace platform
