// The services on Linux and other POSIX systems.
//
// Exclusive access stands on flock(): every run takes an exclusive lock on
// the target and on the scratch file and gives up when it cannot have it.
// The content is replaced by renaming the finished scratch file over the
// target, so that a reader or a crash sees the old or the new file whole.
#include "platform/services.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <vector>

namespace platform {

struct OpenFile {
  int fd;
  size_t unflushed = 0;  // bytes written since writeback was last started
};

namespace {

// The program file's name: the caption of alerts and the syslog identity.
std::string g_program_name = "authorstamp";

std::string Reason(int error) { return strerror(error); }

// "what path", or the path alone where the caller says what went wrong.
std::string Subject(const std::string& what, const std::string& path) {
  return what.empty() ? path : what + " " + path;
}

std::string Fail(const std::string& what, const std::string& path, int error) {
  return Subject(what, path) + ": " + Reason(error);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Checks that |fd|, just opened by |path|, is a regular file that this
// process alone holds locked, and that |path| still names it (|follow|: as
// resolved through symbolic links).  When the path names another file, such
// as the result another run renamed over it meanwhile, sets |*replaced| too.
bool LockOpened(int fd, const std::string& path, bool follow, const char* what,
                bool* replaced, std::string* err) {
  *replaced = false;
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    *err = Fail(what, path, errno);
    return false;
  }
  if (!S_ISREG(opened.st_mode)) {
    *err = Subject(what, path) + ": not a regular file";
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *err = errno == EWOULDBLOCK ? Subject(what, path) + ": held by another run"
                                : Fail(what, path, errno);
    return false;
  }
  struct stat named;
  if ((follow ? stat(path.c_str(), &named) : lstat(path.c_str(), &named)) !=
      0) {
    *err = Fail(what, path, errno);
    return false;
  }
  if (!SameFile(opened, named)) {
    *err = Subject(what, path) + ": replaced while being opened";
    *replaced = true;
    return false;
  }
  return true;
}

// Where the tool's trace goes: the system log, when a log daemon listens.
// The socket is our own and never blocks: a daemon that stops reading must
// not hold up the run, which holds its files locked all the while.  Records
// that do not fit are dropped, as the system log itself would under load.
int OpenLog() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, _PATH_LOG, sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) !=
      0) {
    close(fd);
    return -1;
  }
  return fd;
}

// A run stopped by Ctrl-C, a hang-up or kill(1) takes its scratch file with
// it.  The path is copied while no signal is armed and only read by the
// handler, which uses nothing but async-signal-safe calls.
std::string g_scratch_path;
volatile sig_atomic_t g_scratch_armed = 0;
constexpr int kStopSignals[] = {SIGHUP, SIGINT, SIGTERM};

void RemoveScratchAndStop(int sig) {
  if (g_scratch_armed)
    unlink(g_scratch_path.c_str());
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

void ArmScratchRemoval(const std::string& path) {
  g_scratch_path = path;
  g_scratch_armed = 1;
  for (const int sig : kStopSignals) {
    struct sigaction action = {};
    struct sigaction old = {};
    action.sa_handler = RemoveScratchAndStop;
    sigemptyset(&action.sa_mask);
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (sigaction(sig, &action, &old) == 0 && old.sa_handler == SIG_IGN)
      sigaction(sig, &old, nullptr);
  }
}

// From here the scratch file is not ours to remove: it is about to become
// the target, or it is gone.
void DisarmScratchRemoval() { g_scratch_armed = 0; }

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The path to work on for |path|: a symbolic link is resolved, so that the
// scratch file lies beside the file that gets the content, on its file
// system, and the rename replaces that file rather than the link.
bool ResolveLink(const std::string& path, std::string* real, std::string* err) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
    *real = path;
    return true;
  }
  std::unique_ptr<char, decltype(&free)> resolved(
      realpath(path.c_str(), nullptr), &free);
  if (!resolved) {
    *err = Fail("", path, errno);
    return false;
  }
  *real = resolved.get();
  return true;
}

// Takes over |fd| as the open file |file|.
void Hold(File* file, int fd, const std::string& path) {
  file->open = new OpenFile{fd};
  file->path = path;
}

// Lets go of |file|'s state and returns its descriptor, still open.
int Release(File* file) {
  const int fd = file->open->fd;
  delete file->open;
  file->open = nullptr;
  return fd;
}

}  // namespace

bool Startup(std::string* program_path, std::string* err) {
  // Started with a standard stream closed, the first file we open would take
  // its number, and a message meant for standard error could land in the
  // target.  Keep the three numbers taken.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
        open("/dev/null", O_RDWR) < 0) {
      *err = Fail("cannot open", "/dev/null", errno);
      return false;
    }
  }
  // The link's target can be longer than PATH_MAX; grow until it fits.
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t len = readlink("/proc/self/exe", buf.data(), buf.size());
    if (len < 0) {
      *err = Fail("cannot find", "/proc/self/exe", errno);
      return false;
    }
    if (static_cast<size_t>(len) < buf.size()) {
      program_path->assign(buf.data(), len);
      break;
    }
    buf.resize(buf.size() * 2);
  }
  g_program_name = program_path->substr(program_path->rfind('/') + 1);
  return true;
}

void DetachConsole() {}

void Alert(const std::string& text) {
  fprintf(stderr, "%s: %s\n", g_program_name.c_str(), text.c_str());
  fflush(stderr);
}

void Trace(std::string_view line) {
  static const int log = OpenLog();
  static std::string record;
  if (log < 0)
    return;
  // The classic format: <facility and priority>time identity: text.
  const time_t now = time(nullptr);
  struct tm local;
  char stamp[32] = "";
  if (localtime_r(&now, &local))
    (void)strftime(stamp, sizeof(stamp), "%b %e %H:%M:%S", &local);
  char head[64];
  const int len =
      snprintf(head, sizeof(head), "<%d>%s ", LOG_USER | LOG_DEBUG, stamp);
  record.assign(head, len > 0 ? static_cast<size_t>(len) : 0);
  record += g_program_name;
  record += ": ";
  record += line;
  send(log, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

bool UserName(std::string* name, std::string* err) {
  const uid_t uid = getuid();
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? size : 16384);
  struct passwd pwd;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &pwd, buf.data(), buf.size(), &found)) == ERANGE)
    buf.resize(buf.size() * 2);
  if (!found) {
    *err = "cannot find the name of user id " + std::to_string(uid) + ": " +
           (rc == 0 ? "no such account" : Reason(rc));
    return false;
  }
  const std::string account = pwd.pw_name;
  // Accounts of directory-joined machines are named DOMAIN\user already.
  if (account.find('\\') != std::string::npos) {
    *name = account;
    return true;
  }
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) {
    *err =
        std::string("cannot find the name of this machine: ") + Reason(errno);
    return false;
  }
  std::string machine(host, strcspn(host, "."));
  for (char& c : machine)
    c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  *name = machine + "\\" + account;
  return true;
}

bool OpenTarget(const std::string& path, File* file, std::string* err) {
  // Another run may rename its result over the target between our open and
  // our lock; then the file we hold is the old one and we open again.
  // The messages are "path: reason": the caller says what failed.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      *err = Fail("", path, errno);
      return false;
    }
    std::string real;
    bool replaced = false;
    if (ResolveLink(path, &real, err) &&
        LockOpened(fd, real, true, "", &replaced, err)) {
      Hold(file, fd, real);
      return true;
    }
    close(fd);
    if (!replaced)
      return false;
  }
  return false;
}

bool CreateScratch(const std::string& path, File* file, std::string* err) {
  const char* what = "cannot create scratch file";
  // Only a file this run created may be deleted when it cannot be used: an
  // existing one may belong to someone else.  O_NONBLOCK keeps a FIFO
  // planted at the path from stalling the open; it means nothing for the
  // regular file we insist on.  No O_TRUNC: a file is truncated only once
  // it is known to be ours.
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  bool created = true;
  int fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = open(path.c_str(), flags);
  }
  if (fd < 0) {
    *err = errno == ELOOP
               ? std::string(what) + " " + path + ": is a symbolic link"
               : Fail(what, path, errno);
    return false;
  }
  bool replaced;
  bool ok = LockOpened(fd, path, false, what, &replaced, err);
  if (ok && ftruncate(fd, 0) != 0) {
    *err = Fail(what, path, errno);
    ok = false;
  }
  if (!ok) {
    close(fd);
    if (created && !replaced)
      unlink(path.c_str());
    return false;
  }
  Hold(file, fd, path);
  ArmScratchRemoval(path);
  return true;
}

bool Read(File* file, char* buf, size_t capacity, size_t* got,
          std::string* err) {
  for (;;) {
    const ssize_t n = read(file->open->fd, buf, capacity);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      *err = Fail("cannot read", file->path, errno);
      return false;
    }
  }
}

bool Write(File* file, const char* data, size_t len, std::string* err) {
  while (len > 0) {
    const ssize_t n = write(file->open->fd, data, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      *err = Fail("cannot write", file->path, errno);
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
    file->open->unflushed += static_cast<size_t>(n);
  }
#ifdef __linux__
  // Left to the final fsync, all the writing to disk would start only when
  // the rewrite is over; started every few MiB, it overlaps the rewrite.
  // It is only a hint: the fsync still makes the file durable, so its
  // failure changes nothing.
  constexpr size_t kWritebackEvery = 8 << 20;
  if (file->open->unflushed >= kWritebackEvery) {
    (void)sync_file_range(file->open->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    file->open->unflushed = 0;
  }
#endif
  return true;
}

bool ReplaceTarget(File* scratch, File* target, std::string* err) {
  struct stat st;
  if (fstat(target->open->fd, &st) != 0) {
    *err = Fail("cannot read the permissions of", target->path, errno);
    return false;
  }
  // Owner first: changing it clears the set-user-ID and set-group-ID bits,
  // which the mode then restores.  Only root may give a file away; anyone
  // else keeps the new file as their own, as any editor would.
  const int fd = scratch->open->fd;
  if (fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    *err = Fail("cannot set the owner of", scratch->path, errno);
    return false;
  }
  if (fchmod(fd, st.st_mode & 07777) != 0) {
    *err = Fail("cannot set the permissions of", scratch->path, errno);
    return false;
  }
  if (fsync(fd) != 0) {
    *err = Fail("cannot write", scratch->path, errno);
    return false;
  }
  if (close(Release(scratch)) != 0) {
    *err = Fail("cannot write", scratch->path, errno);
    return false;
  }

  const std::string& dest = target->path;
  DisarmScratchRemoval();
  if (rename(scratch->path.c_str(), dest.c_str()) != 0) {
    *err = "cannot replace " + dest + " with " + scratch->path + ": " +
           Reason(errno);
    return false;
  }

  // The new content is in place.  Syncing the directory makes the rename
  // itself durable; if that fails the file is still whole, old or new, so
  // there is nothing to report.
  const int dir =
      open(DirectoryOf(dest).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  Close(target);
  return true;
}

void Close(File* file) {
  if (file->open)
    close(Release(file));
}

void RemoveScratch(File* scratch) {
  DisarmScratchRemoval();
  Close(scratch);
  unlink(scratch->path.c_str());
}

}  // namespace platform
