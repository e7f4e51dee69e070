// The replace: ReplaceFileA moves the target T to a free name of the run's
// own, TOld, and the scratch file TNew to T's name, which gives it T's
// attributes, security and named streams.  The run then looks at what lies
// where: the file moved aside must be the very file it read, unchanged, and
// is removed; where ReplaceFileA stopped half-way, the run finishes the job
// or puts the old file back.  Files are removed only through a handle
// opened on them and checked to be the run's own.  docs/windows.md goes
// through every step; what each failure leaves (every one exits 1 and says
// why):
//
//   What fails                           T             Left beside it
//   -----------------------------------  ------------  -------------------
//   a file at TNew without the run's     old           TNew as it was
//   mark, or held, or a link
//   creating TNew, its security, the     old           nothing
//   rewrite, the attributes, the flush,
//   the close (LetGo)
//   all ten TOld names taken (FreeName)  old           nothing
//   another file took T's place during   the other     nothing
//   the run (LastLook)                   file
//   T changed during the run (its        old, as       nothing
//   times, size or attributes)           changed
//   ReplaceFileA refused (access         old           nothing
//   denied), said at once
//   ReplaceFileA with nothing moved,     old           nothing
//   another error, or in use for 2 s
//   1177, and TNew cannot be renamed to  old (put      nothing
//   T (FinishHalfWay)                    back)
//   1177, and neither rename can be      missing       TOld (old), TNew
//   made                                               (new)
//   another file moved aside, and it     new           TOld (the other
//   cannot be put back (MakeWay)                       file)
//   not supported, and the security or   old           nothing
//   the streams stand in the way of a
//   rename (RenameInstead)
//   removing TOld after the replace      new           TOld (old)
//   (RemoveOldContent)
//   any failure after LetGo, with TNew   as in its     TNew (new), which
//   held by another process for over     row           the next run
//   2 s                                                removes
//
// Only when both renames of a half-way replace are refused does T end up
// missing; the message then names where both contents are.
#include <utility>
#include <vector>

#include "platform/win32.h"

namespace platform {
namespace {

// What the old content's name is made of: TARGETOld, or TARGETOld1 …
// TARGETOld9 where that is taken.
const char kAsideSuffix[] = "Old";

// The attributes a user gives a file, which the new file keeps (ReplaceFileA
// carries them on Windows, Wine's does not).  Read-only targets are refused
// when they are opened.
constexpr DWORD kKeptAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// How the replace went, as the run last looked: the error of its last
// attempt (ERROR_SUCCESS where ReplaceFileA, or the renames, said it was
// done), what the message says of it, and what lies at the target's name
// and at the aside name.
struct Attempt {
  std::string aside;
  DWORD error = ERROR_SUCCESS;
  std::vector<Clause> why;
  Content at_target = Content::kOld;
  Content at_aside = Content::kNothing;
};

// A clause without a system reason: why, or what is at |path|.
Clause Saying(Why why, const std::string& path = std::string(),
              Content content = Content::kNothing) {
  Clause clause;
  clause.why = why;
  clause.path = path;
  clause.content = content;
  return clause;
}

// Whether a file found is one the run must keep at the target's name: the
// file it read, changed since, or another file.
bool Newer(Content found) {
  return found == Content::kChanged || found == Content::kOther;
}

Why NewerWhy(Content found) {
  return found == Content::kChanged ? Why::kChanged : Why::kMovedIn;
}

// The error of a replace that found |found|, a newer file, at the target's
// name, and keeps it.
Error Kept(const std::string& target, Content found) {
  return KeptNewer(WithoutPrefix(target), NewerWhy(found));
}

// The file the run holds open, with its index asked anew: FAT derives it
// from where the file's name is, and a rename to a longer name, such as the
// replace's to TARGETOld, changes it.  A rename keeps the volume.
Identity IdentityNow(const File& file) {
  Identity held = file.open->id, now;
  if (IdentityOf(file.open->handle.get(), &now))
    held.index = now.index;
  return held;
}

// The identity of the file at |path|, a link not followed; |*error| says
// why there is none.
bool IdentityAt(const std::string& path, Identity* id, DWORD* error) {
  const Handle h = OpenAsIs(path, FILE_READ_ATTRIBUTES);
  const bool known = h.valid() && IdentityOf(h.get(), id);
  *error = known ? ERROR_SUCCESS : GetLastError();
  return known;
}

// What the run finds at |path|: nothing, the file it read (unchanged, or
// changed since: its size, times or attributes), the scratch file it wrote,
// some other file, or what it cannot look at.  A look that fails is taken
// again: what the run does next depends on it.
Content WhatIsAt(const std::string& path, const Run& run,
                 DWORD* error = nullptr) {
  constexpr int kLooks = 3;
  Identity id;
  DWORD why = ERROR_SUCCESS;
  for (int look = 1; !IdentityAt(path, &id, &why); ++look) {
    if (error)
      *error = why;
    if (why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND)
      return Content::kNothing;
    if (look == kLooks)
      return Content::kUnknown;
    Sleep(10);
  }
  if (error)
    *error = ERROR_SUCCESS;
  if (SameFile(id, IdentityNow(run.target)))
    return Unchanged(id, run.target.open->id) ? Content::kOld
                                              : Content::kChanged;
  return SameFile(id, run.scratch.open->id) ? Content::kNew : Content::kOther;
}

// Renames |from| to |to|, which must be free: never replaces a file.
// Tried again while a file is in use; |*why| says why it failed.
bool Rename(const std::string& from, const std::string& to, Clause* why) {
  Patience patience;
  for (;;) {
    if (Sys("MoveFileExA", MoveFileExA, FALSE, from.c_str(), to.c_str(),
            MOVEFILE_WRITE_THROUGH))
      return true;
    const DWORD error = GetLastError();
    if (!patience.Again(error)) {
      why->reason = Reason(error);
      patience.Tell(why);
      return false;
    }
  }
}

// --- The steps before the replace --------------------------------------------

// Makes the scratch file ready to replace the target: the target's
// attributes, and the content on disk.
bool Prepare(const Run& run, Error* err) {
  Identity now;
  if (!IdentityOf(run.target.open->handle.get(), &now)) {
    *err = SystemError(Step::kReadAttributes, run.target.path, GetLastError());
    return false;
  }
  HANDLE scratch = run.scratch.open->handle.get();
  FILE_BASIC_INFO basic = {};  // times left at zero stay as they are
  basic.FileAttributes = now.attributes & kKeptAttributes;
  if (basic.FileAttributes == 0)
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  if (!Sys("SetFileInformationByHandle", SetFileInformationByHandle, FALSE,
           scratch, FileBasicInfo, &basic, sizeof(basic))) {
    *err = SystemError(Step::kSetAttributes, run.scratch.path, GetLastError());
    return false;
  }
  // ReplaceFileA's REPLACEFILE_WRITE_THROUGH is documented as unsupported:
  // the content is made durable here.
  if (!Sys("FlushFileBuffers", FlushFileBuffers, FALSE, scratch)) {
    *err = SystemError(Step::kWrite, run.scratch.path, GetLastError());
    return false;
  }
  return true;
}

// A free name for the old content beside |target|.  ReplaceFileA would
// replace a file standing at it.
bool FreeName(const std::string& target, std::string* name, Error* err) {
  const std::string base = target + kAsideSuffix;
  for (int n = 0; n < 10; ++n) {
    *name = n == 0 ? base : base + std::to_string(n);
    if (Sys("GetFileAttributesA", GetFileAttributesA, INVALID_FILE_ATTRIBUTES,
            name->c_str()) != INVALID_FILE_ATTRIBUTES)
      continue;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
      return true;
    *err = StepFailed(Step::kReplace, target);
    err->Add(Why::kNoFreeName, Reason(error), WithoutPrefix(*name));
    return false;
  }
  *err = StepFailed(Step::kReplace, target);
  err->Add(Why::kNamesTaken, std::string(), WithoutPrefix(base));
  return false;
}

// Another file may have taken the target's name during the run (an editor
// that saves by renaming), or another program changed the file (its times,
// its attributes): what is there now is newer and stays.
bool LastLook(const Run& run, Error* err) {
  const std::string& target = run.target.path;
  DWORD error = ERROR_SUCCESS;
  switch (const Content found = WhatIsAt(target, run, &error)) {
    case Content::kOld:
      return true;
    case Content::kChanged:
    case Content::kOther:
    case Content::kNew:
      *err = Kept(target, found == Content::kNew ? Content::kOther : found);
      return false;
    case Content::kNothing:
    case Content::kUnknown:
      break;
  }
  *err = SystemError(Step::kReplace, target, error);
  return false;
}

// --- The replace itself ------------------------------------------------------

// Whether the target |h| is open on has streams besides its data:
// ReplaceFileA carries them to the new file, a rename of the scratch file
// cannot.
bool HasNamedStreams(HANDLE h, bool* has, Clause* why) {
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
    *why = SystemClause(error);
    why->why = Why::kNoStreams;
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

// Where the file system cannot replace (|error|), the run moves the two
// files itself, once it has given the scratch file what ReplaceFileA would.
// Returns ERROR_SUCCESS, or the error with |*why| saying what failed.
DWORD RenameInstead(const Run& run, const std::string& aside, DWORD error,
                    std::vector<Clause>* why) {
  bool streams = false;
  Clause carry;
  if (!HasNamedStreams(run.target.open->handle.get(), &streams, &carry) ||
      !CarrySecurity(run, &carry)) {
    why->push_back(carry);
    return error;
  }
  if (streams) {
    why->push_back(Saying(Why::kStreamsLost));
    return error;
  }
  for (const auto& [from, to] : {std::pair(run.target.path, aside),
                                 std::pair(run.scratch.path, run.target.path)})
    if (!Sys("MoveFileExA", MoveFileExA, FALSE, from.c_str(), to.c_str(),
             MOVEFILE_WRITE_THROUGH)) {
      const DWORD move_error = GetLastError();
      *why = {SystemClause(move_error)};
      return move_error;
    }
  return ERROR_SUCCESS;
}

// One attempt at putting the scratch file in the target's place, the old
// file going to |aside|.  Returns ERROR_SUCCESS, or the error with |*why|
// saying what failed.
DWORD ReplaceOnce(const Run& run, const std::string& aside,
                  std::vector<Clause>* why) {
  const std::string& target = run.target.path;
  if (Sys("ReplaceFileA", ReplaceFileA, FALSE, target.c_str(),
          run.scratch.path.c_str(), aside.c_str(), 0, nullptr, nullptr))
    return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  LeaveAsDocumented(error, target, aside);
  *why = {SystemClause(error)};
  if (!NotSupported(error))
    return error;
  return RenameInstead(run, aside, error, why);
}

// Replaces, and tries again while nothing has moved and a file is in use;
// then |*a| says where the two contents are.
void ReplaceWhileInUse(const Run& run, Attempt* a) {
  Patience patience;
  for (;;) {
    a->error = ReplaceOnce(run, a->aside, &a->why);
    a->at_target = WhatIsAt(run.target.path, run);
    a->at_aside = WhatIsAt(a->aside, run);
    if (a->error == ERROR_SUCCESS || a->at_target != Content::kOld ||
        a->at_aside != Content::kNothing || !patience.Again(a->error))
      break;
  }
  if (a->error == ERROR_SUCCESS)  // but the look says otherwise
    a->why = {Saying(Why::kMisplaced)};
  else
    patience.Tell(&a->why.back());
}

// --- What the replace may leave to mend --------------------------------------

// Stopped half-way (ReplaceFileA's 1177): the old file is aside and the
// target's name free.  The job is finished, or else the old file put back;
// a newer file that went aside only goes back.
void FinishHalfWay(const Run& run, Attempt* a) {
  if (a->at_target != Content::kNothing ||
      (a->at_aside != Content::kOld && !Newer(a->at_aside)))
    return;
  Clause not_finished = Saying(Why::kNotUndone);
  if (a->at_aside == Content::kOld &&
      WhatIsAt(run.scratch.path, run) == Content::kNew &&
      Rename(run.scratch.path, run.target.path, &not_finished)) {
    a->at_target = Content::kNew;
  } else if (Rename(a->aside, run.target.path, &not_finished)) {
    a->at_target = a->at_aside;
    a->at_aside = Content::kNothing;
  } else {
    a->why.push_back(not_finished);
  }
}

// A file that took the target's name, or the target changed, just before
// the replace went aside: the new content makes way for it again.
void MakeWay(const Run& run, Attempt* a) {
  if (a->at_target != Content::kNew || !Newer(a->at_aside))
    return;
  const std::string& target = run.target.path;
  Clause not_undone = Saying(Why::kCannotPutBack);
  Clause ignored;
  const bool made_way = Rename(target, run.scratch.path, &not_undone);
  if (made_way && !Rename(a->aside, target, &not_undone))
    (void)Rename(run.scratch.path, target, &ignored);  // not nothing there
  a->why = {Saying(NewerWhy(a->at_aside)), not_undone};
  a->at_target = WhatIsAt(target, run);
}

// Done: the file moved aside is the one read, unchanged, and goes.  Should
// it stay, the target is stamped all the same, but the run says where the
// old content is, and fails.
Replaced RemoveOldContent(Run* run, const std::string& aside, Error* err) {
  Clause stays;
  const bool removed = RemoveIfSame(aside, IdentityNow(run->target), &stays);
  run->scratch.Close();  // the target now
  run->target.Close();
  if (removed)
    return Replaced::kDone;
  *err = StepFailed(Step::kStamped, run->target.path);
  err->other = WithoutPrefix(aside);
  err->clauses.push_back(stays);
  return Replaced::kFailed;
}

// Adds where the old and the new content are when a run stops half-way.
void SayWhereabouts(const Run& run, const Attempt& a, bool scratch_stays,
                    Error* err) {
  if (a.at_target != Content::kOld && !Newer(a.at_target))
    err->clauses.push_back(
        Saying(Why::kHolds, WithoutPrefix(run.target.path), a.at_target));
  const auto say_is_at = [&](const std::string& path) {
    const Content found = WhatIsAt(path, run);
    if (found != Content::kNothing)
      err->clauses.push_back(Saying(Why::kIsAt, WithoutPrefix(path), found));
  };
  say_is_at(a.aside);
  if (scratch_stays)
    say_is_at(run.scratch.path);
}

// The run gives up.  The scratch file is removed only where the target's
// name holds a whole file, the old one or a newer; otherwise it may be all
// there is.  A replace that failed on a file changed meanwhile (made
// read-only) gives the system's reason for it.
Replaced GiveUp(Run* run, const Attempt& a, Error* err) {
  const bool scratch_stays =
      a.at_target != Content::kOld && !Newer(a.at_target);
  if (a.at_target == Content::kOther ||
      (a.at_target == Content::kChanged && a.error == ERROR_SUCCESS)) {
    *err = Kept(run->target.path, a.at_target);
  } else {
    *err = StepFailed(Step::kReplaceWith, run->target.path);
    err->other = WithoutPrefix(run->scratch.path);
    err->clauses = a.why;
  }
  SayWhereabouts(*run, a, scratch_stays, err);
  if (scratch_stays)
    return Replaced::kScratchStays;
  DropScratch(&run->scratch, err);
  return Replaced::kFailed;
}

}  // namespace

// Old content that cannot be removed fails the run (step kStamped), as it
// always has on Windows: there is nothing to warn of.
Replaced ReplaceTarget(Run* run, Error* err, Error* /*warning*/) {
  Attempt attempt;
  if (!Prepare(*run, err) || !FreeName(run->target.path, &attempt.aside, err) ||
      !LastLook(*run, err))
    return Replaced::kFailed;
  if (!LetGo(&run->scratch, err)) {
    DropScratch(&run->scratch, err);
    return Replaced::kFailed;
  }
  ReplaceWhileInUse(*run, &attempt);
  FinishHalfWay(*run, &attempt);
  MakeWay(*run, &attempt);
  if (attempt.at_target == Content::kNew && attempt.at_aside == Content::kOld)
    return RemoveOldContent(run, attempt.aside, err);
  const Replaced replaced = GiveUp(run, attempt, err);
  run->state->scratch_stays = replaced == Replaced::kScratchStays;
  return replaced;
}

}  // namespace platform
