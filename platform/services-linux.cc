// The services on Linux.  They stand on Linux's own calls (inotify, renameat2,
// syncfs, getauxval, the xattr calls) and on /proc, so this file builds for
// Linux only.
//
// Exclusive access stands on flock(): every run takes an exclusive lock on
// the target and on the scratch file and gives up when it cannot have it.
// Programs that take no lock (an editor, a redirection) are watched instead:
// inotify reports every write into the target and every change of its
// permissions from before the run reads it, each look asks the file system
// for the target's size and times past any cache, and a target changed
// during the run is never replaced.
// The scratch file is one this run creates itself, and it gets the target's
// owner, group, permissions and extended attributes (the ACL among them)
// before it takes the target's place in one step, so that a reader or a
// crash sees the old or the new file whole, with the same access.
// Every name is taken relative to the directory the target was opened in,
// which the run holds open to its end.
#include "platform/services.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

struct OpenFile {
  explicit OpenFile(int fd) : fd(fd) {}
  ~OpenFile() {
    StopWatching();
    if (watch >= 0)
      (void)close(watch);
    // The content that matters was made durable before, or does not matter.
    (void)close(fd);
  }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Closing an inotify instance waits until the kernel has retired its
  // watches, which takes milliseconds on a busy machine; a watch removed
  // some time before is retired meanwhile, in the background.
  void StopWatching() {
    if (watched >= 0)
      (void)inotify_rm_watch(watch, watched);
    watched = -1;
  }

  int fd;
  std::string name;       // in the run's directory
  struct stat opened {};  // identity, size, times and owner when opened
  int watch = -1;         // the target's inotify instance; -1 for none
  int watched = -1;       // the watch on the target in it
  size_t unflushed = 0;   // bytes written since writeback was last started
};

namespace {

// The program file's name: the caption of alerts and the syslog identity.
std::string g_program_name = "authorstamp";

std::string Reason(int error) { return strerror(error); }

// A name that goes into a line of the target must not end that line, nor,
// with a NUL byte, cut it short.
constexpr char kBreaksTheLine[] = "it holds a CR, LF or NUL byte";

bool FitsOnOneLine(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) ==
         std::string_view::npos;
}

// How a control byte shows in a message: as in C.
std::string Escaped(unsigned char c) {
  switch (c) {
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    default: {
      char octal[8];
      (void)snprintf(octal, sizeof(octal), "\\%03o", c);
      return octal;
    }
  }
}

// |text| with its control characters escaped, so that a message stays one
// line and a file name cannot send the terminal escape sequences.  Every
// other byte, UTF-8 text included, stays as it is.
std::string Printable(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // C1 controls, U+0080 to U+009F, come as C2 80 to C2 9F in UTF-8.
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
    if (c1) {
      out += Escaped(c) + Escaped(static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += Escaped(c);
    } else {
      out += text[i];
    }
  }
  return out;
}

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

// The state of the open file |fd| as its file system has it now.  FUSE and
// network file systems keep attributes in a cache for up to a minute, and
// fstat() answers from it: a write made on another machine, or through a
// FUSE mount's backing store, would not show.  AT_STATX_FORCE_SYNC asks the
// file system itself; local file systems answer as fstat() does.  Where
// statx() is missing (a kernel before 4.11, or a sandbox that forbids it),
// fstat() is all there is.
bool QueryState(int fd, struct stat* st) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_BASIC_STATS,
            &sx) != 0)
    return (errno == ENOSYS || errno == EPERM) && fstat(fd, st) == 0;
  *st = {};
  st->st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  st->st_ino = sx.stx_ino;
  st->st_mode = sx.stx_mode;
  st->st_nlink = sx.stx_nlink;
  st->st_uid = sx.stx_uid;
  st->st_gid = sx.stx_gid;
  st->st_size = static_cast<off_t>(sx.stx_size);
  st->st_mtim = {sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec};
  st->st_ctim = {sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec};
  st->st_atim = {sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec};
  return true;
}

// The directory that holds the target, opened with the target and held to
// the end of the process: every name the run makes, checks, exchanges or
// removes is taken relative to it, so that a directory renamed during the
// run, or swapped for a link, changes nothing of where the run works.  It
// is open for reading where the runner may read it, so that it can be
// flushed; a drop box that may only be written and searched is held by
// O_PATH.  Set before any signal is armed, and read by the signal handler.
struct Directory {
  int fd = -1;
  bool readable = false;
  std::string path;
  struct stat target {};  // the identity of the target in it
};
Directory g_dir;

// Marks a file that a run put aside at the scratch name and could not put
// back: it holds another program's change, and no later run may take it
// for a scratch file of its own and remove it.
constexpr char kKeptMark[] = "user.authorstamp.kept";

// The program file's identity: the one file the run must never rewrite,
// however it was started.
struct stat g_program {};

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
// of one an earlier attempt opened.
bool OpenDirectory(const std::string& target, std::string* err) {
  if (g_dir.fd >= 0)
    (void)close(g_dir.fd);
  g_dir.path = DirectoryOf(target);
  g_dir.readable = true;
  g_dir.fd = open(g_dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_dir.fd < 0 && errno == EACCES) {
    g_dir.readable = false;
    g_dir.fd = open(g_dir.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  }
  if (g_dir.fd < 0) {
    *err = Fail("", target, errno);
    return false;
  }
  return true;
}

// Checks that |file|, just opened by |path|, is a regular file that this
// process alone holds locked, and that its name in the run's directory
// still leads to it; fills in its state when opened.  When the name leads
// elsewhere, such as to the result another run renamed over it meanwhile,
// sets |*replaced| too.
bool LockOpened(OpenFile* file, const std::string& path, const char* what,
                bool* replaced, std::string* err) {
  *replaced = false;
  if (!QueryState(file->fd, &file->opened)) {
    *err = Fail(what, path, errno);
    return false;
  }
  if (!S_ISREG(file->opened.st_mode)) {
    *err = Subject(what, path) + ": not a regular file";
    return false;
  }
  if (flock(file->fd, LOCK_EX | LOCK_NB) != 0) {
    *err = errno == EWOULDBLOCK ? Subject(what, path) + ": held by another run"
                                : Fail(what, path, errno);
    return false;
  }
  struct stat named;
  if (fstatat(g_dir.fd, file->name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    *err = Fail(what, path, errno);
    return false;
  }
  if (!SameFile(file->opened, named)) {
    *err = Subject(what, path) + ": replaced while being opened";
    *replaced = true;
    return false;
  }
  return true;
}

// Has inotify report every write into |file| and every change of its
// permissions, owner or attributes, from now until it is closed.  Where no
// watch can be had (no inotify in the kernel, or the user's instances or
// watches all taken), the file's size and times are all there is to
// compare: the run goes on without the watch rather than refuse a file it
// could open.
void Watch(OpenFile* file) {
  file->watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (file->watch < 0)
    return;
  // The open file itself, whatever name it has or gets.
  const std::string self = "/proc/self/fd/" + std::to_string(file->fd);
  file->watched =
      inotify_add_watch(file->watch, self.c_str(), IN_MODIFY | IN_ATTRIB);
  if (file->watched < 0) {
    (void)close(file->watch);
    file->watch = -1;
  }
}

std::string ChangedDuringRun(const std::string& path) {
  return "cannot replace " + path +
         ": it was changed during the run and is kept";
}

std::string MovedIn(const std::string& path) {
  return "cannot replace " + path +
         ": another file took its place during the run and is kept";
}

// Why the run must not replace |target|, which it has seen changed: another
// file took its name (a rename over it also changes the file the run
// holds), or the file itself was changed.
std::string WhyKept(File* target) {
  struct stat named;
  const bool gone = fstatat(g_dir.fd, target->open->name.c_str(), &named,
                            AT_SYMLINK_NOFOLLOW) != 0;
  if ((gone && errno == ENOENT) ||
      (!gone && !SameFile(named, target->open->opened)))
    return MovedIn(target->path);
  return ChangedDuringRun(target->path);
}

// Looks at the target: |*events| gets what the watch has reported since
// the last look (the union of the event masks, IN_Q_OVERFLOW where some
// were lost), |*now| its state.  A look that fails fails the run: it can
// never pass a change.
bool Look(File* target, uint32_t* events, struct stat* now, std::string* err) {
  const auto failed = [&] {
    *err = "cannot tell whether " + target->path +
           " was changed during the run: " + Reason(errno);
    return false;
  };
  *events = 0;
  alignas(struct inotify_event) char buf[4096];
  for (int watch = target->open->watch; watch >= 0;) {
    const ssize_t n = read(watch, buf, sizeof(buf));
    if (n <= 0) {
      if (n < 0 && errno == EINTR)
        continue;
      if (n == 0 || errno == EAGAIN)
        break;
      return failed();
    }
    const auto got = static_cast<size_t>(n);
    for (size_t at = 0; at + sizeof(struct inotify_event) <= got;) {
      struct inotify_event event;
      memcpy(&event, buf + at, sizeof(event));
      *events |= event.mask;
      at += sizeof(event) + event.len;
    }
  }
  return QueryState(target->open->fd, now) || failed();
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether something wrote into |file| since it was opened, as the watch's
// |events| and its state |now| tell.  The size and modification time catch
// writers the watch cannot see, such as another machine's on a network
// file system, as far as the file system's clock can tell.
bool Written(const OpenFile& file, uint32_t events, const struct stat& now) {
  return (events & (IN_MODIFY | IN_Q_OVERFLOW)) != 0 ||
         now.st_size != file.opened.st_size ||
         !SameTime(now.st_mtim, file.opened.st_mtim);
}

// Where the tool's trace goes: the system log, when a log daemon listens.
// Each record waits until the daemon has room for it, as syslog(3) does,
// so that a daemon that reads gets every line.  The run holds its files
// locked all the while, so the waiting of the whole run is bounded: once a
// wait runs out, the daemon is taken for stalled and what it does not take
// at once is dropped from then on, as the system log itself drops records
// under load.
constexpr int64_t kTraceBudgetNs = 1000 * 1000 * 1000;  // 1 s

struct Log {
  int fd = -1;          // -1 when no daemon listens
  bool stream = false;  // a stream socket, whose records end with a NUL
  int64_t budget = kTraceBudgetNs;  // what is left of the waiting
};

int64_t MonotonicNs() {
  struct timespec now;
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Waits until |log| can take more, within what is left of its budget;
// false once the budget is spent or the daemon is gone.
bool WaitForRoom(Log* log) {
  while (log->budget > 0) {
    struct pollfd socket = {log->fd, POLLOUT, 0};
    const int64_t start = MonotonicNs();
    const int ready = poll(&socket, 1,
                           static_cast<int>((log->budget + 999999) / 1000000));
    log->budget -= MonotonicNs() - start;
    if (ready > 0)
      return (socket.revents & POLLOUT) != 0;
    if (ready == 0 || errno != EINTR)
      log->budget = 0;
  }
  return false;
}

// Sends one record whole, or drops it.
void Send(Log* log, std::string_view record) {
  size_t sent = 0;
  while (sent < record.size()) {
    const ssize_t n = send(log->fd, record.data() + sent, record.size() - sent,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0 && !log->stream)
      return;
    if (n >= 0)
      sent += static_cast<size_t>(n);
    else if (errno != EINTR && !(errno == EAGAIN && WaitForRoom(log)))
      break;
  }
  // A stream that took only part of a record would run it into the next
  // one: the rest of the run goes unlogged instead.
  if (log->stream && sent > 0 && sent < record.size()) {
    (void)close(log->fd);
    log->fd = -1;
  }
}

// Most daemons take datagrams; one that listens on a stream socket refuses
// them with EPROTOTYPE, and then, as the C library does, we connect again
// by stream.
Log OpenLog() {
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, _PATH_LOG, sizeof(addr.sun_path) - 1);
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    const int fd = socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
      return Log();
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) ==
        0)
      return Log{fd, type == SOCK_STREAM, kTraceBudgetNs};
    const int error = errno;
    close(fd);
    if (error != EPROTOTYPE)
      return Log();
  }
  return Log();
}

// The scratch file this run created, by its name in the run's directory and
// by identity: only that file may be removed when the run gives up,
// whatever has taken its name since.  Set while no signal is armed and only
// read by the signal handler, which uses nothing but async-signal-safe
// calls.
std::string g_scratch_name;
dev_t g_scratch_dev = 0;
ino_t g_scratch_ino = 0;
volatile sig_atomic_t g_scratch_armed = 0;

// The signals whose default action ends the process and that a handler can
// see: all but SIGKILL, and SIGPIPE and SIGXFSZ, which the run ignores so
// that the write fails and the run says why.  The real-time signals, which
// end the process too, are added by number.
constexpr int kFatalSignals[] = {
    SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,    SIGTRAP, SIGABRT,
    SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV,   SIGUSR2, SIGALRM,
    SIGTERM, SIGXCPU, SIGSYS,    SIGVTALRM, SIGPROF,
#ifdef __linux__  // elsewhere some of these are ignored by default
    SIGPOLL, SIGPWR,  SIGSTKFLT,
#endif
};

// Removes the scratch file if its name still leads to the file this run
// created.  Its result goes unused: a run that gives up reports its first
// failure, and a scratch file that stays is removed by the next run.
void RemoveOwnScratch() {
  struct stat st;
  if (fstatat(g_dir.fd, g_scratch_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
          0 &&
      st.st_dev == g_scratch_dev && st.st_ino == g_scratch_ino)
    (void)unlinkat(g_dir.fd, g_scratch_name.c_str(), 0);
}

// A run stopped by a signal (Ctrl-C, Ctrl-\, a hang-up, kill(1), a CPU time
// limit) takes its scratch file with it.
void RemoveScratchAndStop(int sig) {
  if (g_scratch_armed)
    RemoveOwnScratch();
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

void RememberScratch(const std::string& name, const struct stat& st) {
  g_scratch_name = name;
  g_scratch_dev = st.st_dev;
  g_scratch_ino = st.st_ino;
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

void ArmScratchRemoval() {
  g_scratch_armed = 1;
  for (const int sig : kFatalSignals)
    CatchFatal(sig);
#ifdef SIGRTMIN
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig)
    CatchFatal(sig);
#endif
}

// From here the scratch file is not ours to remove: it is about to become
// the target, or it is gone.
void DisarmScratchRemoval() { g_scratch_armed = 0; }

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

// Reads the text of the symbolic link |path|, which can be longer than
// PATH_MAX.
bool ReadLink(const char* path, std::string* text, std::string* err) {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t len = readlink(path, buf.data(), buf.size());
    if (len < 0) {
      *err = Fail("cannot read", path, errno);
      return false;
    }
    if (static_cast<size_t>(len) < buf.size()) {
      text->assign(buf.data(), len);
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

// Reads up to |capacity| bytes from |fd|, again when a signal interrupts.
bool ReadSome(int fd, const std::string& path, char* buf, size_t capacity,
              size_t* got, std::string* err) {
  for (;;) {
    const ssize_t n = read(fd, buf, capacity);
    if (n >= 0) {
      *got = static_cast<size_t>(n);
      return true;
    }
    if (errno != EINTR) {
      *err = Fail("cannot read", path, errno);
      return false;
    }
  }
}

// Reads a small file whole, such as one of /proc.
bool ReadWhole(const char* path, std::string* text, std::string* err) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *err = Fail("cannot open", path, errno);
    return false;
  }
  text->clear();
  char buf[16384];
  size_t got = 0;
  do {
    if (!ReadSome(fd, path, buf, sizeof(buf), &got, err)) {
      close(fd);
      return false;
    }
    text->append(buf, got);
  } while (got > 0);
  // Read to the end: what close() might say changes nothing.
  (void)close(fd);
  return true;
}

// The file that this program's own code is mapped from, as /proc/self/maps
// lists it: "start-end perms offset major:minor inode path".
struct Mapping {
  struct stat id = {};  // st_dev and st_ino only
  std::string path;
};

// Reads one line of /proc/self/maps; false for a line of another form.
bool ParseMapping(const char* line, uintptr_t* from, uintptr_t* to,
                  Mapping* mapping) {
  const auto skip_field = [](const char* p) {
    while (*p != '\0' && *p != ' ')
      ++p;
    while (*p == ' ')
      ++p;
    return p;
  };
  char* p = nullptr;
  *from = strtoull(line, &p, 16);
  if (*p != '-')
    return false;
  *to = strtoull(p + 1, &p, 16);
  const char* q = skip_field(skip_field(p + 1));  // the perms and the offset
  const unsigned long major_id = strtoul(q, &p, 16);
  if (*p != ':')
    return false;
  const unsigned long minor_id = strtoul(p + 1, &p, 16);
  const unsigned long long inode = strtoull(p, &p, 10);
  if (*p != ' ')
    return false;
  while (*p == ' ')
    ++p;
  mapping->id.st_dev = makedev(major_id, minor_id);
  mapping->id.st_ino = inode;
  mapping->path = p;
  return true;
}

bool FindOwnMapping(Mapping* own, std::string* err) {
  std::string maps;
  if (!ReadWhole("/proc/self/maps", &maps, err))
    return false;
  const auto here = reinterpret_cast<uintptr_t>(&FindOwnMapping);
  size_t next = 0;
  while (next < maps.size()) {
    size_t end = maps.find('\n', next);
    if (end == std::string::npos)
      end = maps.size();
    const std::string line = maps.substr(next, end - next);
    next = end + 1;
    uintptr_t from, to;
    if (ParseMapping(line.c_str(), &from, &to, own) && here >= from &&
        here < to)
      return true;
  }
  *err = "cannot find the program's own code in /proc/self/maps";
  return false;
}

// The kernel names a program file that was deleted while it runs
// "PATH (deleted)"; PATH is the name it was started by.
std::string WithoutDeletedMark(const std::string& path,
                               const struct stat& program) {
  constexpr std::string_view kDeleted = " (deleted)";
  struct stat st;
  if (!path.ends_with(kDeleted) ||
      (stat(path.c_str(), &st) == 0 && SameFile(st, program)))
    return path;
  return path.substr(0, path.size() - kDeleted.size());
}

// The program file's own full path and identity.  /proc/self/exe names it,
// except when the program was started through the dynamic loader (ld.so
// ./authorstamp, as on a file system mounted noexec): then it names the
// loader, and only the mapping of the program's own code tells where the
// program lies.
bool FindProgramPath(std::string* path, struct stat* id, std::string* err) {
  std::string exe;
  struct stat exe_id;
  Mapping own;
  if (!ReadLink("/proc/self/exe", &exe, err))
    return false;
  if (stat("/proc/self/exe", &exe_id) != 0) {
    *err = Fail("cannot read", "/proc/self/exe", errno);
    return false;
  }
  // The kernel names the loader's load address only when it loaded the
  // loader for this program, which it then ran itself.  Otherwise (the
  // loader run as a command, or a static program) the mapping decides.
  if (getauxval(AT_BASE) != 0) {
    *path = WithoutDeletedMark(exe, exe_id);
    *id = exe_id;
    return true;
  }
  if (!FindOwnMapping(&own, err))
    return false;
  if (SameFile(exe_id, own.id)) {
    *path = WithoutDeletedMark(exe, exe_id);
    *id = exe_id;
    return true;
  }
  // The mapping's path is taken only where it surely names the program:
  // absolute, and still leading to the file the code comes from.
  struct stat st;
  if (own.path.empty() || own.path[0] != '/' ||
      stat(own.path.c_str(), &st) != 0 || !SameFile(st, own.id)) {
    *err = "cannot tell where the program file lies: " + exe;
    return false;
  }
  *path = own.path;
  *id = st;
  return true;
}

// Removes what an earlier run left at the scratch name |name| (|path|): a
// regular file, which no other process holds locked.  Its other names, if
// it has any, keep their content; the target itself may be one of them, and
// then the lock on it is this run's own.  Anything else at the name is
// refused.
bool RemoveStale(const std::string& name, const std::string& path,
                 const char* what, std::string* err) {
  struct stat st;
  if (fstatat(g_dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT)  // gone meanwhile
      return true;
    *err = Fail(what, path, errno);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *err = Subject(what, path) + ": is a symbolic link";
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *err = Fail(what, path, EISDIR);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *err = Subject(what, path) + ": not a regular file";
    return false;
  }
  // A file we cannot open may still be one we may remove; the removal
  // decides.  O_NONBLOCK: a FIFO swapped in meanwhile must not stall us.
  const int probe =
      SameFile(st, g_dir.target)
          ? -1
          : openat(g_dir.fd, name.c_str(),
                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (probe >= 0) {
    const bool held =
        flock(probe, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    const bool kept = fgetxattr(probe, kKeptMark, nullptr, 0) >= 0;
    close(probe);
    if (held) {
      *err = Subject(what, path) + ": held by another run";
      return false;
    }
    if (kept) {
      *err = Subject(what, path) +
             ": it holds a change that another program made to the target "
             "during an earlier run; move it back by hand, or remove it";
      return false;
    }
  }
  if (unlinkat(g_dir.fd, name.c_str(), 0) != 0 && errno != ENOENT) {
    *err = Subject(what, path) +
           ": cannot remove the file already there: " + Reason(errno);
    return false;
  }
  return true;
}

bool NotSupported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

// Whether |error| says that the file system keeps no such thing as was to
// be set: FUSE file systems without owners or modes answer ENOSYS.
bool NotKept(int error) { return error == ENOSYS || NotSupported(error); }

// Gives the new file |fd|, which |has| describes, the owner and group in
// |want| where they differ.  Only root may give a file away; anyone else
// keeps it as their own, but may still give it a group they belong to.
// What the system refuses (EPERM), cannot express in this user namespace
// (EINVAL: an id without a mapping) or does not keep stays as it is.
bool CopyOwner(int fd, const struct stat& has, const struct stat& want,
               const std::string& path, std::string* err) {
  const auto stays = [] {
    return errno == EPERM || errno == EINVAL || NotKept(errno);
  };
  if (has.st_uid != want.st_uid) {
    if (fchown(fd, want.st_uid, want.st_gid) == 0)
      return true;
    if (!stays()) {
      *err = Fail("cannot set the owner of", path, errno);
      return false;
    }
  }
  if (has.st_gid == want.st_gid ||
      fchown(fd, static_cast<uid_t>(-1), want.st_gid) == 0 || stays())
    return true;
  *err = Fail("cannot set the owner of", path, errno);
  return false;
}

// Gives |fd| the permissions in |want| where it has others: setting an ACL
// may have changed them, and a change of owner clears the set-id bits.
bool CopyMode(int fd, const struct stat& want, const std::string& path,
              std::string* err) {
  struct stat has;
  if (fstat(fd, &has) != 0) {
    *err = Fail("cannot set the permissions of", path, errno);
    return false;
  }
  if ((has.st_mode & 07777) == (want.st_mode & 07777) ||
      fchmod(fd, want.st_mode & 07777) == 0 || NotKept(errno))
    return true;
  *err = Fail("cannot set the permissions of", path, errno);
  return false;
}

constexpr char kAccessAcl[] = "system.posix_acl_access";

std::string AttributeName(std::string_view name) {
  return name == kAccessAcl ? std::string("the access control list")
                            : "the extended attribute " + std::string(name);
}

// Fills |buf| with what |get| gives for a size it asks for first, asking
// again while the value grows in between.  False with errno set on failure.
template <typename Get>
bool GetSized(std::vector<char>* buf, Get get) {
  for (;;) {
    const ssize_t size = get(nullptr, 0);
    if (size < 0)
      return false;
    buf->resize(static_cast<size_t>(size));
    if (size == 0)
      return true;
    const ssize_t got = get(buf->data(), buf->size());
    if (got >= 0) {
      buf->resize(static_cast<size_t>(got));
      return true;
    }
    if (errno != ERANGE)
      return false;
  }
}

// Copies the extended attributes of |from| (the file at |from_path|) to |to|
// (at |to_path|), as `cp -a` keeps them: the ACL, user.*, and trusted.* and
// security.* where this user may set them; not security.capability, since a
// changed file keeps no capabilities, nor the mark of a put-aside file.  An attribute the file system cannot
// store is skipped.  Anything else that cannot be carried over fails the run:
// the new file would be open to more, or fewer, than the old one was.
bool CopyAttributes(int from, const std::string& from_path, int to,
                    const std::string& to_path, std::string* err) {
  std::vector<char> names, value;
  if (!GetSized(&names, [from](char* buf, size_t size) {
        return flistxattr(from, buf, size);
      })) {
    if (!NotSupported(errno)) {
      *err = Fail("cannot list the extended attributes of", from_path, errno);
      return false;
    }
    names.clear();
  }
  bool has_acl = false;
  for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
    const char* name = &names[at];
    const std::string_view n(name);
    has_acl = has_acl || n == kAccessAcl;
    // The mark of a put-aside file is gone once it is moved back and
    // stamped.
    if (n == "security.capability" || n == kKeptMark)
      continue;
    if (!GetSized(&value, [from, name](char* buf, size_t size) {
          return fgetxattr(from, name, buf, size);
        })) {
      if (errno == ENODATA)  // removed meanwhile
        continue;
      *err = Fail("cannot read " + AttributeName(n) + " of", from_path, errno);
      return false;
    }
    if (fsetxattr(to, name, value.data(), value.size(), 0) == 0)
      continue;
    const bool privileged =
        n.starts_with("trusted.") || n.starts_with("security.");
    if (NotSupported(errno) ||
        (privileged && (errno == EPERM || errno == EACCES)))
      continue;
    *err = Fail("cannot copy " + AttributeName(n) + " to", to_path, errno);
    return false;
  }
  // A default ACL of the directory gives a new file an ACL of its own; the
  // new file must grant exactly what the old one did.
  if (!has_acl && fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA &&
      !NotSupported(errno)) {
    *err = Fail("cannot remove the inherited access control list of", to_path,
                errno);
    return false;
  }
  return true;
}

// After the exchange: whether what came out at the scratch name is the
// target the run read, unchanged; a write that came in between the last
// look and the exchange shows now.  If not, |*why| says what happened.
bool CameOutUnchanged(File* scratch, File* target, std::string* why) {
  struct stat now;
  if (fstatat(g_dir.fd, scratch->open->name.c_str(), &now,
              AT_SYMLINK_NOFOLLOW) != 0) {
    *why =
        Fail("cannot replace " + target->path + " with", scratch->path, errno);
    return false;
  }
  if (!SameFile(now, target->open->opened)) {
    *why = MovedIn(target->path);
    return false;
  }
  // The exchange itself changed the file's st_ctim, not its attributes.
  uint32_t events;
  if (!Look(target, &events, &now, why))
    return false;
  if (Written(*target->open, events, now) || (events & IN_ATTRIB)) {
    *why = ChangedDuringRun(target->path);
    return false;
  }
  return true;
}

// Puts the scratch file in the place of |target| in one step, unless
// another file has taken the target's name meanwhile, or something changed
// the target: the other file, or the change, is newer and stays.  Where the
// file system can exchange two names, what comes out at the scratch name
// must be the file the run read, unchanged, or it is put back.  Elsewhere
// the target's name is checked just before an ordinary rename.
bool SwapIn(File* scratch, File* target, std::string* err) {
  const char* from = scratch->open->name.c_str();
  const char* to = target->open->name.c_str();
  const auto failed = [&](int error) {
    *err =
        Fail("cannot replace " + target->path + " with", scratch->path, error);
    return false;
  };
  struct stat now;
#ifdef RENAME_EXCHANGE
  if (renameat2(g_dir.fd, from, g_dir.fd, to, RENAME_EXCHANGE) == 0) {
    std::string why;
    if (CameOutUnchanged(scratch, target, &why)) {
      // The old content, now at the scratch name, is no longer needed.
      // Should it stay, the stamp still holds, and the next run removes it.
      if (unlinkat(g_dir.fd, from, 0) != 0 && errno != ENOENT)
        Alert("warning: the old content of " + target->path + " is left at " +
              scratch->path + ": " + Reason(errno));
      return true;
    }
    if (renameat2(g_dir.fd, from, g_dir.fd, to, RENAME_EXCHANGE) != 0) {
      const int error = errno;
      // The mark keeps later runs from removing the other program's file;
      // where it cannot be set, the message says that they would.
      const bool marked =
          fsetxattr(target->open->fd, kKeptMark, "", 0, 0) == 0;
      *err = "cannot replace " + target->path +
             ": the file that stood there is now at " + scratch->path +
             " and cannot be put back: " + Reason(error) + "; " +
             (marked ? "move it back by hand"
                     : "move it back by hand before the next run, which "
                       "would remove it");
      return false;
    }
    *err = why;
    return false;
  }
  // EINVAL: the file system cannot exchange; ENOSYS: nor can the kernel.
  if (errno != EINVAL && errno != ENOSYS)
    return failed(errno);
#endif
  const bool gone = fstatat(g_dir.fd, to, &now, AT_SYMLINK_NOFOLLOW) != 0;
  if (gone && errno != ENOENT)
    return failed(errno);
  if (gone || !SameFile(now, target->open->opened)) {
    *err = MovedIn(target->path);
    return false;
  }
  return renameat(g_dir.fd, from, g_dir.fd, to) == 0 || failed(errno);
}

// Has |sig|, called |name| in messages, ignored from here on.
bool Ignore(int sig, const char* name, std::string* err) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(sig, &ignore, nullptr) != 0) {
    *err = std::string("cannot ignore ") + name + ": " + Reason(errno);
    return false;
  }
  return true;
}

}  // namespace

bool IgnoreBrokenPipes(std::string* err) {
  return Ignore(SIGPIPE, "SIGPIPE", err);
}

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
  // Under a file-size limit (ulimit -f) a write past it would kill the run
  // and leave its scratch file behind; with the signal ignored the write
  // fails with EFBIG, and the run gives up cleanly and says why.
  if (!Ignore(SIGXFSZ, "SIGXFSZ", err))
    return false;
  if (!FindProgramPath(program_path, &g_program, err))
    return false;
  g_program_name = BaseName(*program_path);
  return true;
}

void DetachConsole() {}

void Alert(const std::string& text) {
  fprintf(stderr, "%s\n", Printable(g_program_name + ": " + text).c_str());
  fflush(stderr);
}

void Trace(std::string_view line) {
  static Log log = OpenLog();
  static std::string record;
  if (log.fd < 0)
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
  // What a debugger would show of the line: up to its first NUL byte.
  record += line.substr(0, line.find('\0'));
  if (log.stream)
    record += '\0';
  Send(&log, record);
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
  if (!FitsOnOneLine(account)) {
    *err = "cannot use the name of user id " + std::to_string(uid) + ": " +
           kBreaksTheLine;
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
    *err =
        std::string("cannot find the name of this machine: ") + Reason(errno);
    return false;
  }
  std::string machine(names.nodename, strcspn(names.nodename, "."));
  if (!FitsOnOneLine(machine)) {
    *err =
        std::string("cannot use the name of this machine: ") + kBreaksTheLine;
    return false;
  }
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
    auto held = std::make_unique<OpenFile>(fd);
    std::string real;
    bool replaced = false;
    if (!ResolveLink(path, &real, err) || !OpenDirectory(real, err))
      return false;
    held->name = BaseName(real);
    if (!LockOpened(held.get(), real, "", &replaced, err)) {
      if (replaced)
        continue;
      return false;
    }
    // Started through the dynamic loader, the program's file is not held
    // busy by the kernel; it is refused all the same.
    if (SameFile(held->opened, g_program)) {
      *err = Fail("", path, ETXTBSY);
      return false;
    }
    Watch(held.get());
    g_dir.target = held->opened;
    file->open = held.release();
    file->path = real;
    return true;
  }
  return false;
}

bool CreateScratch(const std::string& path, File* file, std::string* err) {
  const char* what = "cannot create scratch file";
  // The scratch file must be one this run creates: a file that no other
  // name and no other process's descriptor reaches, since whoever could
  // reach it could read or change the new content.  Whatever an earlier run
  // left at the name is removed, not reused.  It lies beside the target, in
  // the directory the run holds.
  const std::string name = BaseName(path);
  constexpr int kAttempts = 10;
  int fd = -1;
  for (int attempt = 1; fd < 0; ++attempt) {
    fd = openat(g_dir.fd, name.c_str(),
                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                0600);
    if (fd >= 0)
      break;
    if (errno != EEXIST || attempt == kAttempts) {
      *err = Fail(what, path, errno);
      return false;
    }
    if (!RemoveStale(name, path, what, err))
      return false;
  }
  auto held = std::make_unique<OpenFile>(fd);
  held->name = name;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *err = Fail(what, path, errno);
    // Made by this very call, so ours to remove.
    (void)unlinkat(g_dir.fd, name.c_str(), 0);
    return false;
  }
  RememberScratch(name, st);
  bool replaced;
  if (!LockOpened(held.get(), path, what, &replaced, err)) {
    // The name may lead elsewhere by now; only our own file goes.
    RemoveOwnScratch();
    return false;
  }
  file->open = held.release();
  file->path = path;
  ArmScratchRemoval();
  return true;
}

bool Read(File* file, char* buf, size_t capacity, size_t* got,
          std::string* err) {
  return ReadSome(file->open->fd, file->path, buf, capacity, got, err);
}

int64_t FileSize(File* file) {
  struct stat st;
  return fstat(file->open->fd, &st) == 0 ? st.st_size : -1;
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
  // A change of the target's permissions, owner or attributes made until
  // now is read here and reaches the new file; a write at any time since
  // the open fails the run, and so does any change from here on.
  uint32_t events;
  struct stat st;
  if (!Look(target, &events, &st, err))
    return false;
  // Without a watch, a write within one tick of the file system's clock
  // that keeps the size shows only in the change time, which nothing of
  // the run's own has moved yet; a change of permissions shows there too,
  // and is taken for a write.
  const bool unwatched_change =
      target->open->watch < 0 &&
      !SameTime(st.st_ctim, target->open->opened.st_ctim);
  if (Written(*target->open, events, st) || unwatched_change) {
    *err = WhyKept(target);
    return false;
  }
  const int fd = scratch->open->fd;
  // Owner and group first: changing them clears the set-user-ID and
  // set-group-ID bits, which the mode then restores.  The mode goes last
  // because setting an ACL may change it.
  if (!CopyOwner(fd, scratch->open->opened, st, scratch->path, err) ||
      !CopyAttributes(target->open->fd, target->path, fd, scratch->path, err) ||
      !CopyMode(fd, st, scratch->path, err))
    return false;
  if (fsync(fd) != 0) {
    *err = Fail("cannot write", scratch->path, errno);
    return false;
  }
  struct stat now;
  if (!Look(target, &events, &now, err))
    return false;
  if (Written(*target->open, events, now) || (events & IN_ATTRIB) ||
      !SameTime(now.st_ctim, st.st_ctim)) {
    *err = WhyKept(target);
    return false;
  }
  // Both files stay open, and locked, until the new content is in place and
  // the old one gone: another run that opens the new target meanwhile finds
  // it held, as it would the old one.
  DisarmScratchRemoval();
  if (!SwapIn(scratch, target, err))
    return false;
  // The last look is done: the watch goes while the directory is flushed.
  target->open->StopWatching();
  // Flushing the directory makes the replace itself durable.  A directory
  // the runner may not read cannot be flushed alone; its file system is.
  // If that fails the file is still whole, old or new, so there is nothing
  // to report.
  if (g_dir.readable)
    (void)fsync(g_dir.fd);
  else
    (void)syncfs(fd);
  // The content was made durable before the swap; closing cannot lose it.
  Close(scratch);
  Close(target);
  return true;
}

void Close(File* file) {
  delete file->open;
  file->open = nullptr;
}

void RemoveScratch(File* scratch) {
  DisarmScratchRemoval();
  Close(scratch);
  RemoveOwnScratch();
}

}  // namespace platform
