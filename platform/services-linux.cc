// The services on Linux.  They stand on Linux's own calls (inotify, statx,
// renameat2, syncfs, getauxval, the xattr calls) and on /proc, so these
// files build for Linux only; linux.h says which file does what.
//
// Exclusive access stands on flock(): every run takes an exclusive lock on
// the target and on the scratch file and gives up when it cannot have it.
// Programs that take no lock are watched instead (watch-linux.cc), and a
// target changed during the run is never replaced.  The scratch file is one
// this run creates itself, and it gets the target's owner, group,
// permissions and extended attributes before it takes the target's place
// in one step, so that a reader or a crash sees the old or the new file
// whole, with the same access.
#include "platform/services.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/linux.h"

namespace platform {

void Fd::Reset() {
  if (fd_ >= 0)
    (void)close(fd_);
  fd_ = -1;
}

std::string Reason(int error) { return strerror(error); }

Error SystemError(Step step, const std::string& path, int error) {
  return Failed(step, path, Why::kSystem, Reason(error));
}

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
// to main() (out of memory).  The lock on the scratch file goes first.
Run::~Run() {
  if (!state)
    return;
  DisarmScratch(state.get());
  if (scratch.is_open() && !state->scratch_stays) {
    scratch.Close();
    RemoveOwnScratch(state->scratch);
  }
}

namespace {

// The program file's identity: the one file the run must never rewrite,
// however it was started.
struct stat g_program {};

// A name that goes into a line of the target must not end that line, nor,
// with a NUL byte, cut it short.
bool FitsOnOneLine(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) ==
         std::string_view::npos;
}

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Opens the directory that holds |target| as the run's directory, in place
// of one an earlier attempt opened.  It is open for reading where the
// runner may read it, so that it can be flushed; a drop box that may only
// be written and searched is held by O_PATH.  A directory renamed during
// the run, or swapped for a link, changes nothing of where the run works.
bool OpenDirectory(const std::string& target, RunState* run, Error* err) {
  run->dir_path = DirectoryOf(target);
  run->readable = true;
  run->dir =
      Fd(open(run->dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!run->dir.valid() && errno == EACCES) {
    run->readable = false;
    run->dir =
        Fd(open(run->dir_path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  if (!run->dir.valid()) {
    *err = SystemError(Step::kOpenTarget, target, errno);
    return false;
  }
  return true;
}

// The path to work on for |path|: a symbolic link is resolved, so that the
// scratch file lies beside the file that gets the content, on its file
// system, and the rename replaces that file rather than the link.
bool ResolveLink(const std::string& path, std::string* real, Error* err) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    *real = path;
    return true;
  }
  std::unique_ptr<char, decltype(&free)> resolved(
      realpath(path.c_str(), nullptr), &free);
  if (!resolved) {
    *err = SystemError(Step::kOpenTarget, path, errno);
    return false;
  }
  *real = resolved.get();
  return true;
}

// Checks that |file|, just opened by |path| for |step|, is a regular file
// that this process alone holds locked, and that its name in the run's
// directory still leads to it; fills in its state when opened.  When the
// name leads elsewhere, such as to the result another run renamed over it
// meanwhile, sets |*replaced| too.
bool LockOpened(const RunState& run, OpenFile* file, const std::string& path,
                Step step, bool* replaced, Error* err) {
  *replaced = false;
  const auto refused = [&](Why why) {
    *err = Failed(step, path, why);
    return false;
  };
  if (!QueryState(file->fd.get(), &file->opened)) {
    *err = SystemError(step, path, errno);
    return false;
  }
  if (!S_ISREG(file->opened.st_mode))
    return refused(Why::kNotRegular);
  if (flock(file->fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return refused(Why::kHeld);
    *err = SystemError(step, path, errno);
    return false;
  }
  struct stat named;
  if (fstatat(run.dir.get(), file->name.c_str(), &named, AT_SYMLINK_NOFOLLOW) !=
      0) {
    *err = SystemError(step, path, errno);
    return false;
  }
  if (!SameFile(file->opened, named)) {
    *replaced = true;
    return refused(Why::kReplacedOpening);
  }
  return true;
}

// Has |sig| ignored from here on.
bool Ignore(int sig) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return sigaction(sig, &ignore, nullptr) == 0;
}

}  // namespace

bool IgnoreBrokenPipes() { return Ignore(SIGPIPE); }

bool Startup(std::string* program_path) {
  // Started with a standard stream closed, the first file we open would take
  // its number, and a message meant for standard error could land in the
  // target.  Keep the three numbers taken.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
        open("/dev/null", O_RDWR) < 0)
      return false;
  }
  // Under a file-size limit (ulimit -f) a write past it would kill the run
  // and leave its scratch file behind; with the signal ignored the write
  // fails with EFBIG, and the run gives up cleanly and says why.
  if (!Ignore(SIGXFSZ) || !FindProgramPath(program_path, &g_program))
    return false;
  SetProgramName(BaseName(*program_path));
  return true;
}

void DetachConsole() {}

void Alert(const std::string& text) {
  fprintf(stderr, "%s: %s\n", ProgramName().c_str(), text.c_str());
  fflush(stderr);
}

bool UserName(std::string* name, Error* err) {
  const uid_t uid = getuid();
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? size : 16384);
  struct passwd pwd;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &pwd, buf.data(), buf.size(), &found)) == ERANGE)
    buf.resize(buf.size() * 2);
  const std::string id = std::to_string(uid);
  if (!found) {
    *err = rc == 0 ? Failed(Step::kFindUser, id, Why::kNoAccount)
                   : SystemError(Step::kFindUser, id, rc);
    return false;
  }
  const std::string account = pwd.pw_name;
  if (!FitsOnOneLine(account)) {
    *err = Failed(Step::kUseUser, id, Why::kBreaksLine);
    return false;
  }
  // Accounts of directory-joined machines are named DOMAIN\user already.
  if (account.find('\\') != std::string::npos) {
    *name = account;
    return true;
  }
  // uname() always has room for the longest host name the system allows.
  struct utsname names;
  if (uname(&names) != 0) {
    *err = SystemError(Step::kFindMachine, std::string(), errno);
    return false;
  }
  std::string machine(names.nodename, strcspn(names.nodename, "."));
  if (!FitsOnOneLine(machine)) {
    *err = Failed(Step::kUseMachine, std::string(), Why::kBreaksLine);
    return false;
  }
  for (char& c : machine)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  *name = machine + "\\" + account;
  return true;
}

bool OpenTarget(const std::string& path, Run* run, Error* err) {
  run->state = std::make_unique<RunState>();
  // Another run may rename its result over the target between our open and
  // our lock; then the file we hold is the old one and we open again.
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto held = std::make_unique<OpenFile>();
    held->fd = Fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
    if (!held->fd.valid()) {
      *err = SystemError(Step::kOpenTarget, path, errno);
      return false;
    }
    std::string real;
    bool replaced = false;
    if (!ResolveLink(path, &real, err) ||
        !OpenDirectory(real, run->state.get(), err))
      return false;
    held->name = BaseName(real);
    if (!LockOpened(*run->state, held.get(), real, Step::kOpenTarget, &replaced,
                    err)) {
      if (replaced)
        continue;
      return false;
    }
    // Started through the dynamic loader, the program's file is not held
    // busy by the kernel; it is refused all the same.
    if (SameFile(held->opened, g_program)) {
      *err = SystemError(Step::kOpenTarget, path, ETXTBSY);
      return false;
    }
    StartWatch(held.get());
    run->target.open = std::move(held);
    run->target.path = real;
    return true;
  }
  return false;
}

bool CreateScratch(const std::string& path, Run* run, Error* err) {
  // The scratch file must be one this run creates: a file that no other
  // name and no other process's descriptor reaches, since whoever could
  // reach it could read or change the new content.  Whatever an earlier run
  // left at the name is removed, not reused.  It lies beside the target, in
  // the directory the run holds.
  RunState* state = run->state.get();
  const std::string name = BaseName(path);
  constexpr int kAttempts = 10;
  auto held = std::make_unique<OpenFile>();
  held->name = name;
  for (int attempt = 1; !held->fd.valid(); ++attempt) {
    held->fd = Fd(openat(
        state->dir.get(), name.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (held->fd.valid())
      break;
    if (errno != EEXIST || attempt == kAttempts) {
      *err = SystemError(Step::kCreateScratch, path, errno);
      return false;
    }
    if (!RemoveStale(*state, run->target.open->opened, name, path, err))
      return false;
  }
  struct stat st;
  if (fstat(held->fd.get(), &st) != 0) {
    *err = SystemError(Step::kCreateScratch, path, errno);
    // Made by this very call, so ours to remove.
    (void)unlinkat(state->dir.get(), name.c_str(), 0);
    return false;
  }
  run->scratch.open = std::move(held);
  run->scratch.path = path;
  ArmScratch(state, name, st);
  bool replaced;
  return LockOpened(*state, run->scratch.open.get(), path, Step::kCreateScratch,
                    &replaced, err);
}

bool Read(File* file, char* buf, size_t capacity, size_t* got, Error* err) {
  for (;;) {
    const ssize_t n = read(file->open->fd.get(), buf, capacity);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      *err = SystemError(Step::kRead, file->path, errno);
      return false;
    }
  }
}

int64_t FileSize(File* file) {
  struct stat st;
  return fstat(file->open->fd.get(), &st) == 0 ? st.st_size : -1;
}

bool Write(File* file, const char* data, size_t len, Error* err) {
  OpenFile& open = *file->open;
  while (len > 0) {
    const ssize_t n = write(open.fd.get(), data, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      *err = SystemError(Step::kWrite, file->path, errno);
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
    open.unflushed += static_cast<size_t>(n);
  }
  // Left to the final fsync, all the writing to disk would start only when
  // the rewrite is over; started every few MiB, it overlaps the rewrite.
  // It is only a hint: the fsync still makes the file durable, so its
  // failure changes nothing.
  constexpr size_t kWritebackEvery = 8 << 20;
  if (open.unflushed >= kWritebackEvery) {
    (void)sync_file_range(open.fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    open.unflushed = 0;
  }
  return true;
}

Replaced ReplaceTarget(Run* run, Error* err, Error* warning) {
  File& target = run->target;
  File& scratch = run->scratch;
  RunState& state = *run->state;
  // A change of the target's permissions, owner or attributes made until
  // now is read here and reaches the new file; a write at any time since
  // the open fails the run, and so does any change from here on.
  uint32_t events;
  struct stat st;
  if (!Look(target, &events, &st, err))
    return Replaced::kFailed;
  // Without a watch, a write within one tick of the file system's clock
  // that keeps the size shows only in the change time, which nothing of
  // the run's own has moved yet; a change of permissions shows there too,
  // and is taken for a write.
  const bool unwatched_change =
      !target.open->watch.on() &&
      !SameTime(st.st_ctim, target.open->opened.st_ctim);
  if (Written(*target.open, events, st) || unwatched_change) {
    *err = WhyKept(state, target);
    return Replaced::kFailed;
  }
  if (!CarryAccess(target, st, scratch, err))
    return Replaced::kFailed;
  if (fsync(scratch.open->fd.get()) != 0) {
    *err = SystemError(Step::kWrite, scratch.path, errno);
    return Replaced::kFailed;
  }
  struct stat now;
  if (!Look(target, &events, &now, err))
    return Replaced::kFailed;
  if (Written(*target.open, events, now) || (events & IN_ATTRIB) ||
      !SameTime(now.st_ctim, st.st_ctim)) {
    *err = WhyKept(state, target);
    return Replaced::kFailed;
  }
  // Both files stay open, and locked, until the new content is in place and
  // the old one gone: another run that opens the new target meanwhile finds
  // it held, as it would the old one.
  DisarmScratch(&state);
  const Replaced replaced = SwapIn(run, err, warning);
  state.scratch_stays = replaced == Replaced::kScratchStays;
  if (replaced != Replaced::kDone)
    return replaced;
  // The last look is done: the watch goes while the directory is flushed.
  target.open->watch.Remove();
  // Flushing the directory makes the replace itself durable.  A directory
  // the runner may not read cannot be flushed alone; its file system is.
  // If that fails the file is still whole, old or new, so there is nothing
  // to report.
  if (state.readable)
    (void)fsync(state.dir.get());
  else
    (void)syncfs(scratch.open->fd.get());
  // The content was made durable before the swap; closing cannot lose it.
  scratch.Close();
  target.Close();
  return Replaced::kDone;
}

}  // namespace platform
