// The operating-system services the tool needs, behind one interface.
// services-linux.cc and services-win32.cc implement it, each with the files
// of its platform beside it; CMake builds one set.
//
// Every path, name and line is an 8-bit string, passed through unchanged.
// Functions that can fail return false (or a failed outcome) and say in an
// Error what failed: which step, which file, the system's own reason.  They
// form no sentences; app/messages.cc puts an Error into words.
//
// A run calls them in this order, and each relies on the calls before it:
//
//   IgnoreBrokenPipes, Startup, DetachConsole      once, before anything
//   OpenTarget(path, &run)        the target, held against other runs
//   CreateScratch(path, &run)     the scratch file beside it, for this run
//   UserName, Read and Write      the rewrite, from run.target to run.scratch
//   ReplaceTarget(&run)           the scratch file in the target's place
//
// A Run that goes out of scope before ReplaceTarget has succeeded removes
// its scratch file and leaves the target as it was.
#ifndef AUTHORSTAMP_PLATFORM_SERVICES_H_
#define AUTHORSTAMP_PLATFORM_SERVICES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

/// What the run was doing when something failed: the head of the message,
/// with the file it names (|Error::path|, and |Error::other| where a
/// second file belongs in the head).
enum class Step {
  kNone,                // nothing failed
  kOpenTarget,          // the target cannot be had: "Open file fail!"
  kCreateScratch,       // cannot create scratch file PATH
  kRead,                // cannot read PATH
  kWrite,               // cannot write PATH
  kSetOwner,            // cannot set the owner of PATH
  kSetMode,             // cannot set the permissions of PATH
  kReadAttributes,      // cannot read the attributes of PATH
  kSetAttributes,       // cannot set the attributes of PATH
  kListAttributes,      // cannot list the extended attributes of PATH
  kReadAttribute,       // cannot read (the attribute OTHER) of PATH
  kCopyAttribute,       // cannot copy (the attribute OTHER) to PATH
  kRemoveInheritedAcl,  // cannot remove the inherited access control list of
  kLook,                // cannot tell whether PATH was changed during the run
  kReplace,             // cannot replace PATH
  kReplaceWith,         // cannot replace PATH with OTHER
  kStamped,             // PATH is stamped, but its old content stays at OTHER
  kOldContentLeft,      // warning: the old content of PATH is left at OTHER
  kFindUser,            // cannot find the name of the user (user id PATH)
  kUseUser,             // cannot use the name of user id PATH
  kFindMachine,         // cannot find the name of this machine
  kUseMachine,          // cannot use the name of this machine
};

/// One clause of the message, after the head: why, or what was left where.
enum class Why {
  kSystem,            // the system's reason
  kNotRegular,        // not a regular file (a FIFO, a device)
  kHeld,              // held by another run
  kReplacedOpening,   // replaced while being opened, again and again
  kSymbolicLink,      // is a symbolic link
  kLinked,            // is a link to another file
  kCannotRemove,      // cannot remove the file already there: REASON
  kHoldsChange,       // the file there holds a change an earlier run put aside
  kNotLeftByUs,       // a file this program did not leave is there, and is kept
  kNoVolumeKind,      // cannot tell its volume's kind: REASON
  kNoSecurity,        // cannot read its security: REASON
  kChanged,           // it was changed during the run
  kMovedIn,           // another file took its place during the run
  kKept,              // ... and is kept
  kNotPutBack,        // the file that stood there is now at PATH and cannot be
                      // put back: REASON
  kMoveBack,          // ...; move it back by hand
  kMoveBackFirst,     // ...; move it back by hand before the next run, which
                      // would remove it
  kCannotPutBack,     // ... and cannot be put back: REASON
  kNoStreams,         // ..., and a rename cannot stand in: cannot list its
                      // streams: REASON
  kNoSecurityToGive,  // ..., and a rename cannot stand in: cannot read its
                      // security: REASON
  kSecurityNotGiven,  // ..., and a rename cannot stand in: cannot give its
                      // security to PATH: REASON
  kStreamsLost,       // ..., and a rename would lose its named streams
  kMisplaced,         // the replace did not leave the files where it should
  kNotUndone,         // ...; nor can it be finished or undone: REASON
  kNoFreeName,        // cannot look for a free name: PATH: REASON
  kNamesTaken,        // PATH and PATH1 to 9, the names for its old content,
                      // are all taken
  kHolds,             // ...; PATH holds CONTENT
  kIsAt,              // ...; CONTENT is at PATH
  kNewContentLeft,    // ...; the new content is left at PATH: REASON
  kBreaksLine,        // it holds a CR, LF or NUL byte
  kNoAccount,         // no such account
};

/// What a clause finds at a name after a replace that stopped half-way.
enum class Content { kNothing, kOld, kNew, kChanged, kOther, kUnknown };

struct Clause {
  Why why = Why::kSystem;
  std::string path;    // the file the clause names, where it names one
  std::string reason;  // the system's own words, where it gives them
  Content content = Content::kNothing;  // for kHolds and kIsAt
  int tries = 1;       // a step tried again while a file was in use ...
  double seconds = 0;  // ... for this long
};

/// What failed.  Paths are as the user would write them.
struct Error {
  Step step = Step::kNone;
  std::string path;
  std::string other;
  std::vector<Clause> clauses;

  /// Adds a clause; returns this error, for chaining.
  Error& Add(Why why, std::string reason = std::string(),
             std::string clause_path = std::string()) {
    Clause clause;
    clause.why = why;
    clause.reason = std::move(reason);
    clause.path = std::move(clause_path);
    clauses.push_back(std::move(clause));
    return *this;
  }
};

/// The error of |step| on |path|, |why| (the system's |reason|, where it
/// gives one).
inline Error Failed(Step step, const std::string& path, Why why,
                    const std::string& reason = std::string()) {
  Error error;
  error.step = step;
  error.path = path;
  error.Add(why, reason);
  return error;
}

/// "cannot replace PATH: WHY and is kept": the target changed during the
/// run (|why| kChanged), or another file took its place (kMovedIn).
inline Error KeptNewer(const std::string& path, Why why) {
  Error error = Failed(Step::kReplace, path, why);
  error.Add(Why::kKept);
  return error;
}

/// What a platform keeps for one open file: its handle and whatever else it
/// needs.  Each platform defines it.
struct OpenFile;

/// An open file and the path it was opened by.  Move-only: it closes its
/// file when it goes.
class File {
 public:
  File();
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;

  bool is_open() const { return open != nullptr; }
  void Close();  // closes the file, if open; its content no longer matters

  std::unique_ptr<OpenFile> open;
  std::string path;
};

/// What a platform keeps for a run besides its two files (on Linux the
/// directory they lie in, and the record the signal handler reads).  Each
/// platform defines it.
struct RunState;

/// One run's hold on its target and its scratch file.  Move-only.  When it
/// goes, it closes both files and removes the scratch file, unless the
/// scratch file has taken the target's place or ReplaceTarget said it must
/// stay.
class Run {
 public:
  Run();
  ~Run();
  Run(Run&& other) noexcept;
  Run& operator=(Run&& other) noexcept;

  File target;
  File scratch;
  std::unique_ptr<RunState> state;
};

/// Makes a write to a pipe whose reader has gone fail, as any other failed
/// write does, instead of ending the process.  Called before anything is
/// written.
bool IgnoreBrokenPipes();

/// Brings up the platform layer and finds the program file's own full path.
/// A failure here means the tool cannot run at all; it is not said why.
bool Startup(std::string* program_path);

/// Lets go of the console; on platforms without one, does nothing.
void DetachConsole();

/// Shows |text|, one line, to the user and returns once it has been seen.
/// The program file's name serves as the caption or the prefix.
void Alert(const std::string& text);

/// Sends a stamped line to the debugger channel: the system log, or a
/// debugger or debug-output monitor.  Each line waits until the listener
/// takes it, but a run waits 1 s at most in all; nothing happens when no
/// one listens.
void Trace(std::string_view line);

/// The running user's account name as DOMAIN\account.
bool UserName(std::string* name, Error* err);

/// Opens an existing regular file for reading and writing, held against
/// other runs, as |run->target|.  |run->target.path| becomes the name the
/// file really has (a symbolic link resolved; on Windows its own case and
/// long name): the scratch file goes beside it, and it is the name the new
/// content takes.  On failure |*err|, step kOpenTarget, names the path and
/// the reason where the platform's message says why (POSIX); nothing where
/// it has always said only "Open file fail!" (the Windows box).
bool OpenTarget(const std::string& path, Run* run, Error* err);

/// Creates |path| afresh for writing as |run->scratch|, for this run alone:
/// a file that an earlier run left at |path| is removed first.  Anything
/// else there (a link, a directory, a file another process holds, another
/// program's file) is refused.
bool CreateScratch(const std::string& path, Run* run, Error* err);

/// Reads up to |capacity| bytes; |*got| is 0 at the end of the file.
bool Read(File* file, char* buf, size_t capacity, size_t* got, Error* err);

/// The size of |file| in bytes; -1 where the system cannot tell.
int64_t FileSize(File* file);

/// Writes all |len| bytes.
bool Write(File* file, const char* data, size_t len, Error* err);

/// How a replace ended.
enum class Replaced {
  kDone,          // the new content is in place; both files are closed
  kFailed,        // the run failed; its scratch file goes when the Run does
  kScratchStays,  // the run failed, and the scratch file stays: it may hold
                  // the only copy of some content, or another program's
                  // file has its name now
};

/// Puts the content of |run->scratch| in place of the target in one step:
/// the scratch is made durable, given the target's permissions and
/// ownership, and takes the target's name.  A reader sees either the old
/// or the new content, never a mix.  A target changed during the run is
/// kept, and the replace fails.  On kDone, |*warning| may say what could
/// not be cleaned up (its step is then kOldContentLeft).
Replaced ReplaceTarget(Run* run, Error* err, Error* warning);

}  // namespace platform

#endif  // AUTHORSTAMP_PLATFORM_SERVICES_H_
