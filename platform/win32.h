// What the Windows services' files share.  services-win32.cc holds the
// calls of services.h and the run's files; beside it:
//
//   files-win32.cc     handles, which file a handle is open on and the name
//                      it really has, removal through a handle, and the
//                      patience with files that others hold for a moment
//   security-win32.cc  the access lists: the scratch file's, which is also
//                      the mark of a run's own, and the target's, which a
//                      rename must give the new file
//   scratch-win32.cc   the scratch file: created for this run alone, let go
//                      of for the replace, removed when the run gives up
//   replace-win32.cc   ReplaceTarget: the scratch file in the target's place,
//                      and what each failure leaves where
//   channel-win32.cc   the alert box and the debugger channel
//
// The test build (AUTHORSTAMP_FAULTS) adds tests/faults-win32.cc, which can
// make any Windows call of the replace fail; see Sys() below.
#ifndef AUTHORSTAMP_PLATFORM_WIN32_H_
#define AUTHORSTAMP_PLATFORM_WIN32_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <memory>
#include <string>

#include "platform/services.h"

namespace platform {

// --- The test build's hook ---------------------------------------------------
//
// Each Windows call of the replace goes through Sys(), so that the test
// build can make any invocation of any of them fail, and an injected
// ReplaceFileA error leave the files as Windows documents for it
// (tests/faults-win32.cc).  In the program both do nothing and the
// compiler drops them.
#ifdef AUTHORSTAMP_FAULTS
bool Fails(const char* call);
void LeaveAsDocumented(DWORD error, const std::string& target,
                       const std::string& aside);
#else
constexpr bool Fails(const char* /*call*/) { return false; }
inline void LeaveAsDocumented(DWORD /*error*/, const std::string& /*target*/,
                              const std::string& /*aside*/) {}
#endif

/// Calls |fn| with |args|; where the test build fails the call |name|, the
/// error is set and |failed| returned instead.
template <typename R, typename... Params, typename... Args>
R Sys(const char* name, R(WINAPI* fn)(Params...), R failed, Args... args) {
  return Fails(name) ? failed : fn(args...);
}

// --- What a run holds --------------------------------------------------------

/// An open handle, closed when it goes.  Both of Windows' values for no
/// handle count as none: CreateFileA gives INVALID_HANDLE_VALUE, the other
/// calls NULL.  What the close says is not looked at: content that matters
/// is flushed before, and the one close whose answer counts is Close().
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { Reset(); }
  Handle(Handle&& other) noexcept : h_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      Reset();
      h_ = other.Release();
    }
    return *this;
  }

  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void Reset() {
    if (valid())
      (void)CloseHandle(h_);
    h_ = nullptr;
  }
  /// Lets go of the handle and says whether the system closed it; the
  /// test build can make it fail (then the handle is lost, as it would be).
  bool Close();

 private:
  HANDLE h_ = nullptr;
};

/// Memory the system allocated with LocalAlloc, freed when it goes.
using LocalMemory = std::unique_ptr<void, decltype(&LocalFree)>;

/// Which file a handle is open on, and the state of its content: the volume
/// and the file index name the file; size and last write time change with
/// every write.
struct Identity {
  DWORD volume = 0;
  ULONGLONG index = 0;
  ULONGLONG size = 0;
  ULONGLONG written = 0;
  DWORD attributes = 0;
};

struct OpenFile {
  Handle handle;  // none once the scratch file is let go of for the replace
  Identity id;    // the file as it was when opened
};

struct RunState {
  bool scratch_stays = false;  // ReplaceTarget said so
};

// --- Messages (services-win32.cc) --------------------------------------------

/// The system's own text for |error|, without the line end it comes with.
std::string Reason(DWORD error);

/// A "\\?\" path in its ordinary form: "\\?\C:\x" is C:\x,
/// "\\?\UNC\host\share" is \\host\share.  The target's real name comes in
/// the "\\?\" form, which works for every call and any length; messages
/// show every path in the ordinary form, as the user would write it.
std::string WithoutPrefix(const std::string& path);

/// The error of |step| on |path|, its clauses still to come.
Error StepFailed(Step step, const std::string& path);

/// The error of |step| on |path| for the system's error |error|.
Error SystemError(Step step, const std::string& path, DWORD error);

/// The clause that gives the system's reason for |error|.
Clause SystemClause(DWORD error);

/// Takes over |handle| as the open file |file|, opened by |path| as |id|.
void Hold(File* file, Handle handle, const std::string& path,
          const Identity& id);

// --- Handles and names (files-win32.cc) --------------------------------------

bool IdentityOf(HANDLE h, Identity* id);
bool SameFile(const Identity& a, const Identity& b);

/// Whether a file is as it was: the same size, last write time and
/// attributes (but archive, which the system sets of its own accord).
bool Unchanged(const Identity& a, const Identity& b);

/// The full path of the file that |h| is open on, links resolved, in the
/// "\\?\" form; empty where the file system cannot tell.
std::string FinalPath(HANDLE h);

/// The file that |path|, open as |h|, really is when |path| is a link to
/// it; empty when |path| names the file itself.
std::string LinkedFile(HANDLE h, const std::string& path);

/// Opens |path| itself, a link not followed, for |access|, in the way of
/// no one: every kind of sharing is allowed.
Handle OpenAsIs(const std::string& path, DWORD access);

/// Marks the file |h| is open on for deletion when its last handle closes.
bool Dispose(HANDLE h);

/// Errors that another process's open handle causes, and that go away
/// when it lets go.
bool InUse(DWORD error);

/// The answers of a file system that cannot do what was asked.
bool NotSupported(DWORD error);

/// Counts the attempts at one step, and waits a little longer before each,
/// while another process has a file open: virus scanners and the search
/// indexer open a file that has just been written or renamed for a moment.
struct Patience {
  ULONGLONG start = GetTickCount64();
  int attempts = 1;
  DWORD pause_ms = 5;

  /// Whether to try again after |error|; waits before saying yes.
  bool Again(DWORD error);
  /// Puts into |clause| how often the step was tried, and for how long.
  void Tell(Clause* clause) const;
};

/// Removes the file at |path| if it is the file |id|, through a handle
/// opened on it: whatever else stands at the name stays.  Tried again while
/// a file is in use; |*why| says why it stays.
bool RemoveIfSame(const std::string& path, const Identity& id, Clause* why);

// --- Access lists (security-win32.cc) ----------------------------------------

/// A security descriptor that lets in the user this process runs as, and
/// no one else: the scratch file's, and the mark of a run's own.
bool ForThisUserOnly(LocalMemory* descriptor, DWORD* error);

/// Whether the file |h| is open on bears the mark of a run's scratch file.
bool BearsMark(HANDLE h, bool* marked, Clause* why);

/// Gives the scratch file the target's security, as ReplaceFileA would.
bool CarrySecurity(const Run& run, Clause* why);

// --- The scratch file (scratch-win32.cc) -------------------------------------

/// Lets go of the scratch file for the replace: ReplaceFileA opens it for
/// itself alone.
bool LetGo(File* scratch, Error* err);

/// Removes the scratch file, held or let go of, and closes it; |*why|
/// says why it stays.
bool RemoveScratch(File* scratch, Clause* why);

/// Removes the scratch file as the run gives up; where it stays, |*err|
/// says where the new content is left.
void DropScratch(File* scratch, Error* err);

// --- The alert and the debugger channel (channel-win32.cc) -------------------

/// The caption of alerts: the program file's name without extension.
void SetProgramName(const std::string& name);

}  // namespace platform

#endif  // AUTHORSTAMP_PLATFORM_WIN32_H_
