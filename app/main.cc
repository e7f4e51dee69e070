// authorstamp: writes the name of the user who runs it into the <Author>
// element of a file that lies beside the program, in place.
//
// The run is one straight sequence: find the target beside the program,
// open it, rewrite it line by line into a scratch file, and put the scratch
// file in the target's place.  Every failure comes back here as an Error,
// which messages.cc puts into words, and is turned into an alert and an
// exit status in Run(), and running out of memory in main().
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "app/messages.h"
#include "platform/services.h"
#include "rewrite/stamp.h"

namespace {

const char kUsage[] =
    "usage: authorstamp FILE\n"
    "\n"
    "Writes the name of the user who runs it into every line of FILE that\n"
    "holds <Author>, and ends every line with CR LF.  FILE is named relative\n"
    "to the directory that holds this program, not the working directory.\n"
    "\n"
    "  --version  print the version and exit\n"
    "  --help     print this text and exit\n"
    "\n"
    "Exit status: 0 when FILE was stamped, and also when it cannot be opened\n"
    "(\"Open file fail!\"); 1 on any other failure, which leaves FILE as it\n"
    "was.  See authorstamp(1).\n";

// What the target's name gets to form the scratch file's name beside it.
const char kScratchSuffix[] = "New";

// The message of the one failure that is not the run's fault: the target
// cannot be had.  Nothing has been touched then, and the run counts as done.
const char kOpenFailed[] = "Open file fail!";

// The rewrite core sees the files as a source and a sink; a failure of
// either is kept here as the platform reported it.
struct FileSource : stamp::Source {
  explicit FileSource(platform::File* file) : file(file) {}
  bool Read(char* buf, size_t capacity, size_t* got,
            std::string* /*err*/) override {
    return platform::Read(file, buf, capacity, got, &error);
  }
  int64_t Size() override { return platform::FileSize(file); }
  platform::File* file;
  platform::Error error;
};

struct FileSink : stamp::Sink {
  explicit FileSink(platform::File* file) : file(file) {}
  bool Write(const char* data, size_t len, std::string* /*err*/) override {
    return platform::Write(file, data, len, &error);
  }
  platform::File* file;
  platform::Error error;
};

enum class Result { kStamped, kOpenFailed, kFailed };

// What a run that failed, or stamped with a warning, has to say.
struct Report {
  platform::Error error;  // the platform's failure
  std::string text;       // or a message of the run's own
};

// Everything up to and including the last separator; empty when none.
std::string ProgramDirectory(const std::string& program_path) {
  const size_t sep = program_path.rfind(platform::kPathSeparator);
  return sep == std::string::npos ? std::string()
                                  : program_path.substr(0, sep + 1);
}

// One line for the user: the message, its control characters escaped.
void Say(const std::string& text) { platform::Alert(app::Printable(text)); }

Result StampFile(const std::string& target_path, Report* report) {
  // From the open on, a run that leaves early lets go of both files and
  // removes its scratch file, also on the way to main() (out of memory).
  platform::Run run;
  platform::Error* err = &report->error;
  if (!platform::OpenTarget(target_path, &run, err))
    return Result::kOpenFailed;
  if (!platform::CreateScratch(run.target.path + kScratchSuffix, &run, err))
    return Result::kFailed;

  std::string user;
  if (!platform::UserName(&user, err))
    return Result::kFailed;

  FileSource in(&run.target);
  FileSink out(&run.scratch);
  std::string ignored;
  switch (stamp::RewriteLines(in, out, user, platform::Trace, &ignored)) {
    case stamp::Outcome::kDone:
      break;
    case stamp::Outcome::kFailed:
      *err = in.error.step != platform::Step::kNone ? in.error : out.error;
      return Result::kFailed;
    case stamp::Outcome::kUtf32:
      report->text = target_path +
                     ": is UTF-32 text (it starts with a UTF-32 byte-order "
                     "mark), which cannot be stamped";
      return Result::kFailed;
    case stamp::Outcome::kOddLength:
      report->text = target_path +
                     ": is not UTF-16 text: it starts with a UTF-16 "
                     "byte-order mark but holds an odd number of bytes after "
                     "it";
      return Result::kFailed;
    case stamp::Outcome::kUserNotUtf8:
      report->text = target_path +
                     ": is UTF-16 text, and the user name is not valid UTF-8, "
                     "so it cannot be written into it";
      return Result::kFailed;
  }

  platform::Error warning;
  if (platform::ReplaceTarget(&run, err, &warning) != platform::Replaced::kDone)
    return Result::kFailed;
  // The target is stamped; what could not be cleaned up is worth a word.
  if (warning.step != platform::Step::kNone)
    Say(app::Describe(warning));
  return Result::kStamped;
}

// Puts what an option asked for on standard output.  Output that cannot be
// written (a closed pipe, a full disk) must not pass for success.
int PrintOut(const std::string& text) {
  if (fputs(text.c_str(), stdout) == EOF || fflush(stdout) != 0) {
    Say(std::string("cannot write standard output: ") + strerror(errno));
    return 1;
  }
  return 0;
}

// The platform layer cannot come up: said as it always has been, whatever
// the reason.
int StartupFailed() {
  fprintf(stderr, "Fatal Error: MFC initialization failed\n");
  fflush(stderr);
  return 1;
}

// The whole run; |*target_path| is set once the target is known.
int Run(int argc, char** argv, std::string* target_path) {
  if (!platform::IgnoreBrokenPipes())
    return StartupFailed();
  if (argc == 2 && strcmp(argv[1], "--version") == 0)
    return PrintOut(std::string("authorstamp ") + AUTHORSTAMP_VERSION + "\n");
  if (argc == 2 && strcmp(argv[1], "--help") == 0)
    return PrintOut(kUsage);

  std::string program_path;
  if (!platform::Startup(&program_path))
    return StartupFailed();
  platform::DetachConsole();

  // The target is named relative to the program's own directory, whatever
  // the working directory; the name is taken as given.
  *target_path = ProgramDirectory(program_path) + (argc > 1 ? argv[1] : "");

  Report report;
  switch (StampFile(*target_path, &report)) {
    case Result::kStamped:
      return 0;
    case Result::kOpenFailed: {
      const std::string why = app::Describe(report.error);
      Say(why.empty() ? std::string(kOpenFailed)
                      : std::string(kOpenFailed) + " (" + why + ")");
      return 0;
    }
    case Result::kFailed:
      Say(report.text.empty() ? app::Describe(report.error) : report.text);
      return 1;
  }
  return 1;
}

// Says that memory ran out, naming the target once it is known.
int OutOfMemory(const std::string& target_path) {
  Say(target_path.empty() ? std::string("out of memory")
                          : "cannot stamp " + target_path + ": out of memory");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Running out of memory is the one failure that comes as an exception.
  // On its way here it has let go of everything the run held, the scratch
  // file included, so the few bytes of the message are free again.
  std::string target_path;
  try {
    return Run(argc, argv, &target_path);
  } catch (const std::bad_alloc&) {
    return OutOfMemory(target_path);
  }
}
