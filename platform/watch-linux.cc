// The looks at the target that decide whether another program changed it
// during the run.  Programs that take no lock (an editor, a redirection)
// are seen by an inotify watch, from before the run reads the target, and
// by its size and times, which each look asks of the file system itself:
// FUSE and network file systems keep attributes in a cache for up to a
// minute, and fstat() answers from it, so a write made on another machine,
// or through a FUSE mount's backing store, would not show.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux.h"

namespace platform {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// AT_STATX_FORCE_SYNC asks the file system itself; local file systems
// answer as fstat() does.  Where statx() is missing (a kernel before 4.11,
// or a sandbox that forbids it), fstat() is all there is.
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

void Watch::Remove() {
  if (watch >= 0)
    (void)inotify_rm_watch(instance.get(), watch);
  watch = -1;
}

// Where no watch can be had (no inotify in the kernel, or the user's
// instances or watches all taken), the run goes on without one rather than
// refuse a file it could open.
void StartWatch(OpenFile* file) {
  Fd instance(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!instance.valid())
    return;
  // The open file itself, whatever name it has or gets.
  const std::string self = "/proc/self/fd/" + std::to_string(file->fd.get());
  const int watch =
      inotify_add_watch(instance.get(), self.c_str(), IN_MODIFY | IN_ATTRIB);
  if (watch < 0)
    return;
  file->watch.instance = std::move(instance);
  file->watch.watch = watch;
}

bool Look(const File& target, uint32_t* events, struct stat* now, Error* err) {
  const auto failed = [&] {
    *err = SystemError(Step::kLook, target.path, errno);
    return false;
  };
  *events = 0;
  alignas(struct inotify_event) char buf[4096];
  for (const int watch = target.open->watch.instance.get(); watch >= 0;) {
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
  return QueryState(target.open->fd.get(), now) || failed();
}

// The size and modification time catch writers the watch cannot see, such
// as another machine's on a network file system, as far as the file
// system's clock can tell.
bool Written(const OpenFile& file, uint32_t events, const struct stat& now) {
  return (events & (IN_MODIFY | IN_Q_OVERFLOW)) != 0 ||
         now.st_size != file.opened.st_size ||
         !SameTime(now.st_mtim, file.opened.st_mtim);
}

// A rename over the target also changes the file the run holds, so the
// name decides.
Error WhyKept(const RunState& run, const File& target) {
  struct stat named;
  const bool gone = fstatat(run.dir.get(), target.open->name.c_str(), &named,
                            AT_SYMLINK_NOFOLLOW) != 0;
  const bool moved_in = (gone && errno == ENOENT) ||
                        (!gone && !SameFile(named, target.open->opened));
  return KeptNewer(target.path, moved_in ? Why::kMovedIn : Why::kChanged);
}

}  // namespace platform
