// What the new file keeps of the target: owner and group where the system
// lets the runner give them, the extended attributes (the ACL among them)
// exactly, and the mode, so that the new file is open to the same users as
// the old one was.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "platform/linux.h"

namespace platform {

const char kKeptMark[] = "user.authorstamp.kept";

namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

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
               const std::string& path, Error* err) {
  const auto stays = [] {
    return errno == EPERM || errno == EINVAL || NotKept(errno);
  };
  if (has.st_uid != want.st_uid) {
    if (fchown(fd, want.st_uid, want.st_gid) == 0)
      return true;
    if (!stays()) {
      *err = SystemError(Step::kSetOwner, path, errno);
      return false;
    }
  }
  if (has.st_gid == want.st_gid ||
      fchown(fd, static_cast<uid_t>(-1), want.st_gid) == 0 || stays())
    return true;
  *err = SystemError(Step::kSetOwner, path, errno);
  return false;
}

// Gives |fd| the permissions in |want| where it has others: setting an ACL
// may have changed them, and a change of owner clears the set-id bits.
bool CopyMode(int fd, const struct stat& want, const std::string& path,
              Error* err) {
  struct stat has;
  if (fstat(fd, &has) != 0) {
    *err = SystemError(Step::kSetMode, path, errno);
    return false;
  }
  if ((has.st_mode & 07777) == (want.st_mode & 07777) ||
      fchmod(fd, want.st_mode & 07777) == 0 || NotKept(errno))
    return true;
  *err = SystemError(Step::kSetMode, path, errno);
  return false;
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
// changed file keeps no capabilities, nor the mark of a put-aside file,
// which is gone once it is moved back and stamped.  An attribute the file
// system cannot store is skipped.  Anything else that cannot be carried
// over fails the run: the new file would be open to more, or fewer, than
// the old one was.
bool CopyAttributes(int from, const std::string& from_path, int to,
                    const std::string& to_path, Error* err) {
  std::vector<char> names, value;
  if (!GetSized(&names, [from](char* buf, size_t size) {
        return flistxattr(from, buf, size);
      })) {
    if (!NotSupported(errno)) {
      *err = SystemError(Step::kListAttributes, from_path, errno);
      return false;
    }
    names.clear();
  }
  bool has_acl = false;
  for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
    const char* name = &names[at];
    const std::string_view n(name);
    has_acl = has_acl || n == kAccessAcl;
    if (n == "security.capability" || n == kKeptMark)
      continue;
    if (!GetSized(&value, [from, name](char* buf, size_t size) {
          return fgetxattr(from, name, buf, size);
        })) {
      if (errno == ENODATA)  // removed meanwhile
        continue;
      *err = SystemError(Step::kReadAttribute, from_path, errno);
      err->other = name;
      return false;
    }
    if (fsetxattr(to, name, value.data(), value.size(), 0) == 0)
      continue;
    const bool privileged =
        n.starts_with("trusted.") || n.starts_with("security.");
    if (NotSupported(errno) ||
        (privileged && (errno == EPERM || errno == EACCES)))
      continue;
    *err = SystemError(Step::kCopyAttribute, to_path, errno);
    err->other = name;
    return false;
  }
  // A default ACL of the directory gives a new file an ACL of its own; the
  // new file must grant exactly what the old one did.
  if (!has_acl && fremovexattr(to, kAccessAcl) != 0 && errno != ENODATA &&
      !NotSupported(errno)) {
    *err = SystemError(Step::kRemoveInheritedAcl, to_path, errno);
    return false;
  }
  return true;
}

}  // namespace

// Owner and group first: changing them clears the set-user-ID and
// set-group-ID bits, which the mode then restores.  The mode goes last
// because setting an ACL may change it.
bool CarryAccess(const File& target, const struct stat& target_state,
                 const File& scratch, Error* err) {
  const int fd = scratch.open->fd.get();
  return CopyOwner(fd, scratch.open->opened, target_state, scratch.path, err) &&
         CopyAttributes(target.open->fd.get(), target.path, fd, scratch.path,
                        err) &&
         CopyMode(fd, target_state, scratch.path, err);
}

}  // namespace platform
