// The operating-system services the tool needs, behind one interface.
// services-linux.cc and services-win32.cc implement it; CMake builds one.
//
// Every path, name and line is an 8-bit string, passed through unchanged.
// Functions that can fail return false and put a message in |*err| that
// names the file and gives the system's own reason.
#ifndef AUTHORSTAMP_PLATFORM_SERVICES_H_
#define AUTHORSTAMP_PLATFORM_SERVICES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

/// What a platform keeps for one open file: its handle and whatever else it
/// needs.  Each implementation file defines it.
struct OpenFile;

/// An open file and the path it was opened by.
struct File {
  OpenFile* open = nullptr;  // nullptr when closed
  std::string path;
};

/// Makes a write to a pipe whose reader has gone fail, as any other failed
/// write does, instead of ending the process.  Called before anything is
/// written.
bool IgnoreBrokenPipes(std::string* err);

/// Brings up the platform layer and finds the program file's own full path.
/// A failure here means the tool cannot run at all.
bool Startup(std::string* program_path, std::string* err);

/// Lets go of the console; on platforms without one, does nothing.
void DetachConsole();

/// Shows |text| to the user and returns once it has been seen.  The program
/// file's name, without extension, serves as the caption.
void Alert(const std::string& text);

/// Sends a stamped line to the debugger channel.  Nothing happens when no
/// one listens.
void Trace(std::string_view line);

/// The running user's account name as DOMAIN\account.
bool UserName(std::string* name, std::string* err);

/// Opens an existing regular file for reading and writing, held exclusively:
/// fails while another run holds it.  Where |path| is a symbolic link,
/// |file->path| becomes the path of the file it points to: that file is the
/// one to put the scratch file beside and to replace.  On failure |*err|
/// holds what the caller's "Open file fail!" is to add: the path and the
/// reason, "PATH: reason", where the platform's message says why (POSIX);
/// nothing where it has always said only that (the Windows box).
bool OpenTarget(const std::string& path, File* file, std::string* err);

/// Creates |path| afresh for writing, held exclusively: a file that an
/// earlier run left at |path| is removed first.  Anything else there (a
/// link, a directory, a file another process holds) is refused.
bool CreateScratch(const std::string& path, File* file, std::string* err);

/// Reads up to |capacity| bytes; |*got| is 0 at the end of the file.
bool Read(File* file, char* buf, size_t capacity, size_t* got,
          std::string* err);

/// The size of |file| in bytes; -1 where the system cannot tell.
int64_t FileSize(File* file);

/// Writes all |len| bytes.
bool Write(File* file, const char* data, size_t len, std::string* err);

/// Puts the content of |scratch| in place of |target| in one step: the
/// scratch is made durable, given the target's permissions and ownership,
/// and closed, then replaces the file at |target->path|, and |target| is
/// closed.  A reader sees either the old or the new content, never a mix.
/// On failure the target keeps its content and both files may still be open.
bool ReplaceTarget(File* scratch, File* target, std::string* err);

/// Closes |file| if open.  For files whose content no longer matters.
void Close(File* file);

/// Closes |scratch| if open and deletes it.  Used when a run gives up.
void RemoveScratch(File* scratch);

}  // namespace platform

#endif  // AUTHORSTAMP_PLATFORM_SERVICES_H_
