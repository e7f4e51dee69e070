// The scratch file takes the target's place in one step, unless another
// file has taken the target's name meanwhile, or something changed the
// target: the other file, or the change, is newer and stays.  Where the
// file system can exchange two names, what comes out at the scratch name
// must be the file the run read, unchanged, or it is put back.  Elsewhere
// the target's name is checked just before an ordinary rename.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/linux.h"

namespace platform {
namespace {

// "cannot replace PATH with SCRATCH: REASON".
Error NotReplaced(const Run& run, int error) {
  Error err = SystemError(Step::kReplaceWith, run.target.path, error);
  err.other = run.scratch.path;
  return err;
}

// After the exchange: whether what came out at the scratch name is the
// target the run read, unchanged; a write that came in between the last
// look and the exchange shows now.  If not, |*why| says what happened.
bool CameOutUnchanged(const Run& run, Error* why) {
  const File& target = run.target;
  struct stat now;
  if (fstatat(run.state->dir.get(), run.scratch.open->name.c_str(), &now,
              AT_SYMLINK_NOFOLLOW) != 0) {
    *why = NotReplaced(run, errno);
    return false;
  }
  if (!SameFile(now, target.open->opened)) {
    *why = KeptNewer(target.path, Why::kMovedIn);
    return false;
  }
  // The exchange itself changed the file's st_ctim, not its attributes.
  uint32_t events;
  if (!Look(target, &events, &now, why))
    return false;
  if (Written(*target.open, events, now) || (events & IN_ATTRIB)) {
    *why = KeptNewer(target.path, Why::kChanged);
    return false;
  }
  return true;
}

// The exchange came out wrong and cannot be undone: the file that stood at
// the target's name, changed or another file moved in, is at the scratch
// name now.  The mark keeps later runs from removing it; where it cannot be
// set, the message says that they would.
Error NotPutBack(const Run& run, int error) {
  const Fd there(
      openat(run.state->dir.get(), run.scratch.open->name.c_str(),
             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  const bool marked =
      there.valid() && fsetxattr(there.get(), kKeptMark, "", 0, 0) == 0;
  Error err;
  err.step = Step::kReplace;
  err.path = run.target.path;
  err.Add(Why::kNotPutBack, Reason(error), run.scratch.path)
      .Add(marked ? Why::kMoveBack : Why::kMoveBackFirst);
  return err;
}

}  // namespace

Replaced SwapIn(Run* run, Error* err, Error* warning) {
  const int dir = run->state->dir.get();
  const char* from = run->scratch.open->name.c_str();
  const char* to = run->target.open->name.c_str();
  const auto failed = [&](int error) {
    *err = NotReplaced(*run, error);
    return Replaced::kFailed;
  };
  if (renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0) {
    if (!CameOutUnchanged(*run, err)) {
      if (renameat2(dir, from, dir, to, RENAME_EXCHANGE) == 0)
        return Replaced::kFailed;
      *err = NotPutBack(*run, errno);
      return Replaced::kScratchStays;
    }
    // The old content, now at the scratch name, is no longer needed.
    // Should it stay, the stamp still holds, and the next run removes it.
    if (unlinkat(dir, from, 0) != 0 && errno != ENOENT) {
      *warning = SystemError(Step::kOldContentLeft, run->target.path, errno);
      warning->other = run->scratch.path;
    }
    return Replaced::kDone;
  }
  // EINVAL: the file system cannot exchange; ENOSYS: nor can the kernel.
  if (errno != EINVAL && errno != ENOSYS)
    return failed(errno);
  struct stat now;
  const bool gone = fstatat(dir, to, &now, AT_SYMLINK_NOFOLLOW) != 0;
  if (gone && errno != ENOENT)
    return failed(errno);
  if (gone || !SameFile(now, run->target.open->opened)) {
    *err = KeptNewer(run->target.path, Why::kMovedIn);
    return Replaced::kFailed;
  }
  return renameat(dir, from, dir, to) == 0 ? Replaced::kDone : failed(errno);
}

}  // namespace platform
