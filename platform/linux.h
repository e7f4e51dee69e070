// What the Linux services' files share.  services-linux.cc holds the calls
// of services.h and the run's files; beside it:
//
//   program-linux.cc     where the program file lies, and which file it is
//   watch-linux.cc       the looks at the target: was it changed?
//   attributes-linux.cc  owner, group, mode and extended attributes carried
//                        to the new file
//   scratch-linux.cc     the scratch file's record, which the signal
//                        handler reads, and its removal
//   replace-linux.cc     the exchange of the two names
//   log-linux.cc         the system log, where stamped lines go
//
// Every name a run makes, checks, exchanges or removes is taken relative to
// the directory the target was opened in, which the run holds open to its
// end.
#ifndef AUTHORSTAMP_PLATFORM_LINUX_H_
#define AUTHORSTAMP_PLATFORM_LINUX_H_

#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>

#include "platform/services.h"

namespace platform {

/// An open descriptor, closed when it goes.  What close() might say is not
/// looked at: content that matters is made durable before, with fsync.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

/// The inotify watch on an open target: every write into it and every
/// change of its permissions, owner or attributes, from when it starts.
/// Where no watch can be had it is off, and the file's size and times are
/// all there is to compare.
struct Watch {
  Fd instance;     // the inotify instance; invalid when off
  int watch = -1;  // the watch on the target in it

  ~Watch() { Remove(); }

  bool on() const { return instance.valid(); }
  /// Ends the watch ahead of the close: closing an instance waits until the
  /// kernel has retired its watches, which takes milliseconds on a busy
  /// machine; a watch removed a little before is retired meanwhile.
  void Remove();
};

struct OpenFile {
  Fd fd;
  std::string name;       // in the run's directory
  struct stat opened {};  // identity, size, times and owner when opened
  Watch watch;            // on the target only
  size_t unflushed = 0;   // bytes written since writeback was last started
};

/// The scratch file, by its name in the run's directory and by identity:
/// only that file may be removed when the run gives up, whatever has taken
/// its name since.  scratch-linux.cc has its states.
struct ScratchRecord {
  int dir = -1;  // the run's directory, which RunState owns
  std::string name;
  dev_t dev = 0;
  ino_t ino = 0;
  volatile sig_atomic_t armed = 0;  // a fatal signal removes it
};

struct RunState {
  Fd dir;  // the directory that holds the target
  // Whether |dir| was opened for reading and can be flushed; a drop box
  // that may only be written and searched is held by O_PATH.
  bool readable = false;
  std::string dir_path;
  ScratchRecord scratch;
  bool scratch_stays = false;  // ReplaceTarget said so
};

// --- Messages ---------------------------------------------------------------

std::string Reason(int error);

/// The error of |step| on |path| for the system's error |error|.
Error SystemError(Step step, const std::string& path, int error);

// --- The program (program-linux.cc) -----------------------------------------

/// The program file's own full path and identity.
bool FindProgramPath(std::string* path, struct stat* id);

/// The program file's name: the prefix of messages and the syslog identity.
const std::string& ProgramName();
void SetProgramName(const std::string& name);

// --- Looks at the target (watch-linux.cc) -----------------------------------

bool SameFile(const struct stat& a, const struct stat& b);
bool SameTime(const struct timespec& a, const struct timespec& b);

/// The state of the open file |fd| as its file system has it now, past any
/// cache of attributes.
bool QueryState(int fd, struct stat* st);

/// Starts the watch on |file|, where one can be had.
void StartWatch(OpenFile* file);

/// What the watch on |target| has reported since the last look (the union
/// of the event masks, IN_Q_OVERFLOW where some were lost) in |*events|,
/// and its state now in |*now|.  A look that fails fails the run: it can
/// never pass a change.
bool Look(const File& target, uint32_t* events, struct stat* now, Error* err);

/// Whether something wrote into |file| since it was opened, as the watch's
/// |events| and its state |now| tell.
bool Written(const OpenFile& file, uint32_t events, const struct stat& now);

/// Why the run must not replace |target|, which it has seen changed:
/// another file took its name, or the file itself was changed.
Error WhyKept(const RunState& run, const File& target);

// --- What the new file keeps (attributes-linux.cc) --------------------------

/// Marks a file that a run put aside at the scratch name and could not put
/// back: it holds another program's change, and no later run may take it
/// for a scratch file of its own and remove it.
extern const char kKeptMark[];

/// Gives the new file |scratch| the owner, group, extended attributes (the
/// ACL among them) and mode of the target, whose state |target_state| the
/// run read last.
bool CarryAccess(const File& target, const struct stat& target_state,
                 const File& scratch, Error* err);

// --- The scratch file's record (scratch-linux.cc) ---------------------------

/// Records |name|, as |st| identifies it, as this run's scratch file, and
/// lets the fatal signals remove it from now on.
void ArmScratch(RunState* run, const std::string& name, const struct stat& st);

/// From here the scratch file is not the signals' to remove: it is about to
/// become the target, or it is gone.
void DisarmScratch(RunState* run);

/// Removes the scratch file if its name still leads to the file this run
/// created.  Async-signal-safe.
void RemoveOwnScratch(const ScratchRecord& record);

/// Removes what an earlier run left at the scratch name |name| (|path|),
/// where it may: see scratch-linux.cc.
bool RemoveStale(const RunState& run, const struct stat& target,
                 const std::string& name, const std::string& path, Error* err);

// --- The exchange (replace-linux.cc) ----------------------------------------

/// Puts the scratch file in the place of the target in one step, unless
/// another file or a change has come meanwhile: that stays.
Replaced SwapIn(Run* run, Error* err, Error* warning);

}  // namespace platform

#endif  // AUTHORSTAMP_PLATFORM_LINUX_H_
