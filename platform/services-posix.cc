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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <vector>

namespace platform {
namespace {

// The program file's name: the caption of alerts and the syslog identity.
std::string g_program_name = "authorstamp";

std::string Reason(int error) { return strerror(error); }

std::string Fail(const std::string& what, const std::string& path,
                 int error) {
  return what + " " + path + ": " + Reason(error);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

int CloseRetainingErrno(int fd) {
  const int saved = errno;
  close(fd);
  errno = saved;
  return -1;
}

// Opens |path| with |flags|, then makes sure it is a regular file that this
// process alone holds locked.  Returns the descriptor, or -1 with |*err|.
// |*replaced| is set when the path no longer names the file that was locked:
// another run renamed its result over it in the meantime.
int OpenLocked(const std::string& path, int flags, const char* what,
               bool* replaced, std::string* err) {
  *replaced = false;
  const int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    const int error = errno;
    *err = error == ELOOP && (flags & O_NOFOLLOW)
               ? std::string(what) + " " + path + ": is a symbolic link"
               : Fail(what, path, error);
    return -1;
  }
  struct stat opened;
  if (fstat(fd, &opened) != 0) {
    *err = Fail(what, path, errno);
    return CloseRetainingErrno(fd);
  }
  if (!S_ISREG(opened.st_mode)) {
    *err = std::string(what) + " " + path + ": not a regular file";
    return CloseRetainingErrno(fd);
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *err = errno == EWOULDBLOCK
               ? std::string(what) + " " + path + ": in use by another process"
               : Fail(what, path, errno);
    return CloseRetainingErrno(fd);
  }
  struct stat named;
  const int rc = (flags & O_NOFOLLOW) ? lstat(path.c_str(), &named)
                                      : stat(path.c_str(), &named);
  if (rc != 0 || !SameFile(opened, named)) {
    *replaced = true;
    *err = std::string(what) + " " + path + ": replaced while being opened";
    return CloseRetainingErrno(fd);
  }
  return fd;
}

// Where the tool's trace goes: the system log, when a log daemon listens.
// Without one, syslog() would try to connect again for every line, so that
// case is found out once.
bool LogDaemonListens() {
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return false;
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, _PATH_LOG, sizeof(addr.sun_path) - 1);
  const bool ok =
      connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool File::is_open() const { return fd >= 0; }

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
  static const bool listening = [] {
    if (!LogDaemonListens())
      return false;
    openlog(g_program_name.c_str(), LOG_NDELAY, LOG_USER);
    return true;
  }();
  if (listening)
    syslog(LOG_DEBUG, "%.*s", static_cast<int>(line.size()), line.data());
}

bool UserName(std::string* name, std::string* err) {
  const uid_t uid = getuid();
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(size > 0 ? size : 16384);
  struct passwd pwd;
  struct passwd* found = nullptr;
  int rc;
  while ((rc = getpwuid_r(uid, &pwd, buf.data(), buf.size(), &found)) ==
         ERANGE)
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
    *err = std::string("cannot find the name of this machine: ") +
           Reason(errno);
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
  for (int attempt = 0; attempt < 100; ++attempt) {
    bool replaced;
    const int fd = OpenLocked(path, O_RDWR, "cannot open", &replaced, err);
    if (fd >= 0) {
      file->fd = fd;
      file->path = path;
      return true;
    }
    if (!replaced)
      return false;
  }
  return false;
}

bool CreateScratch(const std::string& path, File* file, std::string* err) {
  // O_NONBLOCK keeps a FIFO planted at the path from stalling the open; it
  // means nothing for the regular file we insist on.  No O_TRUNC: the file
  // may be truncated only once it is known to be ours.
  bool replaced;
  const int fd =
      OpenLocked(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK,
                 "cannot create scratch file", &replaced, err);
  if (fd < 0)
    return false;
  if (ftruncate(fd, 0) != 0) {
    *err = Fail("cannot create scratch file", path, errno);
    close(fd);
    return false;
  }
  file->fd = fd;
  file->path = path;
  return true;
}

bool Read(File* file, char* buf, size_t capacity, size_t* got,
          std::string* err) {
  for (;;) {
    const ssize_t n = read(file->fd, buf, capacity);
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
    const ssize_t n = write(file->fd, data, len);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      *err = Fail("cannot write", file->path, errno);
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplaceTarget(File* scratch, File* target, std::string* err) {
  struct stat st;
  if (fstat(target->fd, &st) != 0) {
    *err = Fail("cannot read the permissions of", target->path, errno);
    return false;
  }
  // Owner first: changing it clears the set-user-ID and set-group-ID bits,
  // which the mode then restores.  Only root may give a file away; anyone
  // else keeps the new file as their own, as any editor would.
  if (fchown(scratch->fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    *err = Fail("cannot set the owner of", scratch->path, errno);
    return false;
  }
  if (fchmod(scratch->fd, st.st_mode & 07777) != 0) {
    *err = Fail("cannot set the permissions of", scratch->path, errno);
    return false;
  }
  if (fsync(scratch->fd) != 0) {
    *err = Fail("cannot write", scratch->path, errno);
    return false;
  }
  const int fd = scratch->fd;
  scratch->fd = -1;
  if (close(fd) != 0) {
    *err = Fail("cannot write", scratch->path, errno);
    return false;
  }

  // A symbolic link stays a link: the file it points to gets the content.
  std::string dest = target->path;
  struct stat link;
  if (lstat(dest.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    std::unique_ptr<char, decltype(&free)> real(
        realpath(dest.c_str(), nullptr), &free);
    if (!real) {
      *err = Fail("cannot follow the link", dest, errno);
      return false;
    }
    dest = real.get();
  }
  if (rename(scratch->path.c_str(), dest.c_str()) != 0) {
    *err = "cannot replace " + dest + " with " + scratch->path + ": " +
           Reason(errno);
    return false;
  }

  // The new content is in place.  Syncing the directory makes the rename
  // itself durable; if that fails the file is still whole, old or new, so
  // there is nothing to report.
  const int dir = open(DirectoryOf(dest).c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  Close(target);
  return true;
}

void Close(File* file) {
  if (file->fd >= 0)
    close(file->fd);
  file->fd = -1;
}

void RemoveScratch(File* scratch) {
  Close(scratch);
  unlink(scratch->path.c_str());
}

}  // namespace platform
