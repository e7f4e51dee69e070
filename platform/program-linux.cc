// Where the program file lies, and which file it is: the target is named
// relative to its directory, and the program never rewrites its own file.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/linux.h"

namespace platform {
namespace {

std::string g_program_name = "authorstamp";

// Reads the text of the symbolic link |path|, which can be longer than
// PATH_MAX.
bool ReadLink(const char* path, std::string* text) {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    const ssize_t len = readlink(path, buf.data(), buf.size());
    if (len < 0)
      return false;
    if (static_cast<size_t>(len) < buf.size()) {
      text->assign(buf.data(), len);
      return true;
    }
    buf.resize(buf.size() * 2);
  }
}

// Reads a small file whole, such as one of /proc.
bool ReadWhole(const char* path, std::string* text) {
  const Fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid())
    return false;
  text->clear();
  char buf[16384];
  for (;;) {
    const ssize_t n = read(fd.get(), buf, sizeof(buf));
    if (n == 0)
      return true;
    if (n < 0 && errno != EINTR)
      return false;
    if (n > 0)
      text->append(buf, static_cast<size_t>(n));
  }
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

bool FindOwnMapping(Mapping* own) {
  std::string maps;
  if (!ReadWhole("/proc/self/maps", &maps))
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

}  // namespace

const std::string& ProgramName() { return g_program_name; }

void SetProgramName(const std::string& name) { g_program_name = name; }

// /proc/self/exe names the program file, except when the program was
// started through the dynamic loader (ld.so ./authorstamp, as on a file
// system mounted noexec): then it names the loader, and only the mapping of
// the program's own code tells where the program lies.
bool FindProgramPath(std::string* path, struct stat* id) {
  std::string exe;
  struct stat exe_id;
  Mapping own;
  if (!ReadLink("/proc/self/exe", &exe) || stat("/proc/self/exe", &exe_id) != 0)
    return false;
  // The kernel names the loader's load address only when it loaded the
  // loader for this program, which it then ran itself.  Otherwise (the
  // loader run as a command, or a static program) the mapping decides.
  if (getauxval(AT_BASE) != 0) {
    *path = WithoutDeletedMark(exe, exe_id);
    *id = exe_id;
    return true;
  }
  if (!FindOwnMapping(&own))
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
      stat(own.path.c_str(), &st) != 0 || !SameFile(st, own.id))
    return false;
  *path = own.path;
  *id = st;
  return true;
}

}  // namespace platform
