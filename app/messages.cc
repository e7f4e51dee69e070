// The words of every message.  A message is a head, which says what the run
// was doing and names the file, and clauses: the first follows the head
// after ": ", each later one brings its own joining words.  docs/exit-status.md
// lists them all, and a test checks that the documents tell every fixed
// phrase here.
#include "app/messages.h"

#include <stdio.h>

namespace app {
namespace {

using platform::Clause;
using platform::Content;
using platform::Error;
using platform::Step;
using platform::Why;

// The name of an extended attribute in a message; the access control list
// is one on Linux.
std::string AttributeName(const std::string& name) {
  return name == "system.posix_acl_access" ? "the access control list"
                                           : "the extended attribute " + name;
}

std::string Head(const Error& e) {
  switch (e.step) {
    case Step::kNone:
      return std::string();
    case Step::kOpenTarget:
      return e.path;
    case Step::kCreateScratch:
      return "cannot create scratch file " + e.path;
    case Step::kRead:
      return "cannot read " + e.path;
    case Step::kWrite:
      return "cannot write " + e.path;
    case Step::kSetOwner:
      return "cannot set the owner of " + e.path;
    case Step::kSetMode:
      return "cannot set the permissions of " + e.path;
    case Step::kReadAttributes:
      return "cannot read the attributes of " + e.path;
    case Step::kSetAttributes:
      return "cannot set the attributes of " + e.path;
    case Step::kListAttributes:
      return "cannot list the extended attributes of " + e.path;
    case Step::kReadAttribute:
      return "cannot read " + AttributeName(e.other) + " of " + e.path;
    case Step::kCopyAttribute:
      return "cannot copy " + AttributeName(e.other) + " to " + e.path;
    case Step::kRemoveInheritedAcl:
      return "cannot remove the inherited access control list of " + e.path;
    case Step::kLook:
      return "cannot tell whether " + e.path + " was changed during the run";
    case Step::kReplace:
      return "cannot replace " + e.path;
    case Step::kReplaceWith:
      return "cannot replace " + e.path + " with " + e.other;
    case Step::kStamped:
      return e.path + " is stamped, but its old content stays at " + e.other;
    case Step::kOldContentLeft:
      return "warning: the old content of " + e.path + " is left at " + e.other;
    case Step::kFindUser:
      return e.path.empty() ? "cannot find the name of the user"
                            : "cannot find the name of user id " + e.path;
    case Step::kUseUser:
      return "cannot use the name of user id " + e.path;
    case Step::kFindMachine:
      return "cannot find the name of this machine";
    case Step::kUseMachine:
      return "cannot use the name of this machine";
  }
  return std::string();
}

// The system's reason, and how long the step was tried where it was tried
// again.
std::string Reason(const Clause& c) {
  if (c.tries <= 1)
    return c.reason;
  char tried[64];
  (void)snprintf(tried, sizeof(tried), " (tried %d times in %.1f s)", c.tries,
                 c.seconds);
  return c.reason + tried;
}

std::string ContentName(Content content) {
  switch (content) {
    case Content::kNothing:
      return "nothing";
    case Content::kOld:
      return "the old content";
    case Content::kNew:
      return "the new content";
    case Content::kChanged:
      return "the old file, changed during the run,";
    case Content::kOther:
      return "another file";
    case Content::kUnknown:
      break;
  }
  return "a file that cannot be looked at";
}

// A clause's words, and those that join it to what comes before it when it
// is not the first.
struct Words {
  const char* join;
  std::string text;
};

Words Said(const Clause& c) {
  const std::string reason = Reason(c);
  switch (c.why) {
    case Why::kSystem:
      return {"; ", reason};
    case Why::kNotRegular:
      return {"; ", "not a regular file"};
    case Why::kHeld:
      return {"; ", "held by another run"};
    case Why::kReplacedOpening:
      return {"; ", "replaced while being opened"};
    case Why::kSymbolicLink:
      return {"; ", "is a symbolic link"};
    case Why::kLinked:
      return {"; ", "is a link to another file"};
    case Why::kCannotRemove:
      return {"; ", "cannot remove the file already there: " + reason};
    case Why::kHoldsChange:
      return {"; ",
              "it holds a change that another program made to the target "
              "during an earlier run; move it back by hand, or remove it"};
    case Why::kNotLeftByUs:
      return {"; ", "a file this program did not leave is there, and is kept"};
    case Why::kNoVolumeKind:
      return {"; ", "cannot tell its volume's kind: " + reason};
    case Why::kNoSecurity:
      return {"; ", "cannot read its security: " + reason};
    case Why::kChanged:
      return {"; ", "it was changed during the run"};
    case Why::kMovedIn:
      return {"; ", "another file took its place during the run"};
    case Why::kKept:
      return {" ", "and is kept"};
    case Why::kNotPutBack:
      return {"; ", "the file that stood there is now at " + c.path +
                        " and cannot be put back: " + reason};
    case Why::kMoveBack:
      return {"; ", "move it back by hand"};
    case Why::kMoveBackFirst:
      return {"; ",
              "move it back by hand before the next run, which would remove "
              "it"};
    case Why::kCannotPutBack:
      return {" ", "and cannot be put back: " + reason};
    case Why::kNoStreams:
      return {", ", "and a rename cannot stand in: cannot list its streams: " +
                        reason};
    case Why::kNoSecurityToGive:
      return {", ", "and a rename cannot stand in: cannot read its security: " +
                        reason};
    case Why::kSecurityNotGiven:
      return {", ",
              "and a rename cannot stand in: cannot give its security to " +
                  c.path + ": " + reason};
    case Why::kStreamsLost:
      return {", ", "and a rename would lose its named streams"};
    case Why::kMisplaced:
      return {"; ", "the replace did not leave the files where it should"};
    case Why::kNotUndone:
      return {"; ", "nor can it be finished or undone: " + reason};
    case Why::kNoFreeName:
      return {"; ", "cannot look for a free name: " + c.path + ": " + reason};
    case Why::kNamesTaken:
      return {"; ", c.path + " and " + c.path +
                        "1 to 9, the names for its old content, are all taken"};
    case Why::kHolds:
      return {"; ", c.path + " holds " + ContentName(c.content)};
    case Why::kIsAt:
      return {"; ", ContentName(c.content) + " is at " + c.path};
    case Why::kNewContentLeft:
      return {"; ", "the new content is left at " + c.path + ": " + reason};
    case Why::kBreaksLine:
      return {"; ", "it holds a CR, LF or NUL byte"};
    case Why::kNoAccount:
      return {"; ", "no such account"};
  }
  return {"; ", reason};
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

}  // namespace

std::string Describe(const Error& error) {
  std::string text = Head(error);
  for (size_t i = 0; i < error.clauses.size(); ++i) {
    const Words words = Said(error.clauses[i]);
    text += i == 0 ? ": " : words.join;
    text += words.text;
  }
  return text;
}

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

}  // namespace app
