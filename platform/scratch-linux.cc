// The scratch file's record, and the removal of scratch files: this run's
// when it gives up or a signal ends it, an earlier run's when this one
// needs the name.
//
// A run keeps one record for its scratch file, read by the signal handler,
// which uses nothing but async-signal-safe calls:
//
//   (none) --ArmScratch--> armed --DisarmScratch--> disarmed
//                            |                          |
//          a fatal signal: removed if its     the exchange: the scratch file
//          name still leads to it; the Run    is the target now, or, undone,
//          going: likewise                    the Run going removes it as
//                                             before, unless the replace
//                                             said it stays
//
// Removal goes by name in the run's directory and by identity: only the file
// this run created may go, whatever has taken its name since.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/linux.h"

namespace platform {
namespace {

// The record of the run's scratch file while the signals may remove it.
ScratchRecord* volatile g_armed = nullptr;

// The signals whose default action ends the process and that a handler can
// see: all but SIGKILL, and SIGPIPE and SIGXFSZ, which the run ignores so
// that the write fails and the run says why.  The real-time signals, which
// end the process too, are added by number.
constexpr int kFatalSignals[] = {
    SIGHUP, SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,
    SIGFPE, SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM, SIGTERM,   SIGXCPU,
    SIGSYS, SIGVTALRM, SIGPROF, SIGPOLL, SIGPWR,  SIGSTKFLT,
};

// A run stopped by a signal (Ctrl-C, Ctrl-\, a hang-up, kill(1), a CPU time
// limit) takes its scratch file with it.
void RemoveScratchAndStop(int sig) {
  const ScratchRecord* record = g_armed;
  if (record && record->armed)
    RemoveOwnScratch(*record);
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

// Lets |sig| remove the scratch file before it ends the run.  A signal the
// caller chose to ignore (nohup) stays ignored, and one that has a handler
// already (a sanitizer's runtime) keeps it.
void CatchFatal(int sig) {
  struct sigaction action = {};
  struct sigaction old = {};
  action.sa_handler = RemoveScratchAndStop;
  sigemptyset(&action.sa_mask);
  if (sigaction(sig, &action, &old) == 0 && old.sa_handler != SIG_DFL)
    sigaction(sig, &old, nullptr);
}

}  // namespace

void ArmScratch(RunState* run, const std::string& name, const struct stat& st) {
  ScratchRecord& record = run->scratch;
  record.dir = run->dir.get();
  record.name = name;
  record.dev = st.st_dev;
  record.ino = st.st_ino;
  record.armed = 1;
  g_armed = &record;
  for (const int sig : kFatalSignals)
    CatchFatal(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
    CatchFatal(sig);
}

void DisarmScratch(RunState* run) {
  run->scratch.armed = 0;
  if (g_armed == &run->scratch)
    g_armed = nullptr;
}

// Its result goes unused: a run that gives up reports its first failure,
// and a scratch file that stays is removed by the next run.
void RemoveOwnScratch(const ScratchRecord& record) {
  struct stat st;
  if (fstatat(record.dir, record.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      st.st_dev == record.dev && st.st_ino == record.ino)
    (void)unlinkat(record.dir, record.name.c_str(), 0);
}

// What may go: a regular file, which no other process holds locked and
// which no earlier run marked as another program's put-aside file.  Its
// other names, if it has any, keep their content; the target itself may be
// one of them, and then the lock on it is this run's own.  Anything else at
// the name is refused.
bool RemoveStale(const RunState& run, const struct stat& target,
                 const std::string& name, const std::string& path, Error* err) {
  const auto refused = [&](Why why, const std::string& reason = std::string()) {
    *err = Failed(Step::kCreateScratch, path, why, reason);
    return false;
  };
  struct stat st;
  if (fstatat(run.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)  // gone meanwhile
      return true;
    return refused(Why::kSystem, Reason(errno));
  }
  if (S_ISLNK(st.st_mode))
    return refused(Why::kSymbolicLink);
  if (S_ISDIR(st.st_mode))
    return refused(Why::kSystem, Reason(EISDIR));
  if (!S_ISREG(st.st_mode))
    return refused(Why::kNotRegular);
  // A file we cannot open may still be one we may remove; the removal
  // decides.  O_NONBLOCK: a FIFO swapped in meanwhile must not stall us.
  const Fd probe(
      SameFile(st, target)
          ? -1
          : openat(run.dir.get(), name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (probe.valid()) {
    if (flock(probe.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
      return refused(Why::kHeld);
    if (fgetxattr(probe.get(), kKeptMark, nullptr, 0) >= 0)
      return refused(Why::kHoldsChange);
  }
  if (unlinkat(run.dir.get(), name.c_str(), 0) != 0 && errno != ENOENT)
    return refused(Why::kCannotRemove, Reason(errno));
  return true;
}

}  // namespace platform
