// The rewrite core: copies text from a byte source to a byte sink line by
// line, ends every line with CR LF and stamps the author element.  Text is
// 8-bit, or UTF-16 in either byte order when it starts with a byte-order
// mark; the same line rules apply to its 16-bit units.
//
// It knows nothing of files, users or platforms: the caller hands it a
// source, a sink, the user name and a place to send traces, so the same
// code runs in the tool, in the unit tests and under the fuzzer.
#ifndef AUTHORSTAMP_REWRITE_STAMP_H_
#define AUTHORSTAMP_REWRITE_STAMP_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace stamp {

constexpr std::string_view kAuthorTag = "<Author>";
constexpr std::string_view kClosingTag = "</Author>";

/// Where the bytes come from.  Read() fills up to |capacity| bytes and sets
/// |*got|; a result of 0 bytes means the end of the input.  On failure it
/// returns false and describes the cause in |*err|.
struct Source {
  virtual ~Source() = default;
  virtual bool Read(char* buf, size_t capacity, size_t* got,
                    std::string* err) = 0;
  /// How many bytes Read() gives in all, where that is known before the
  /// first read (a regular file); -1 where it is not.  A hint only, which
  /// lets a text that its length rules out be refused before anything is
  /// written; the bytes read still decide.
  virtual int64_t Size() { return -1; }
};

/// Where the bytes go.  Write() takes all |len| bytes or fails with |*err|.
struct Sink {
  virtual ~Sink() = default;
  virtual bool Write(const char* data, size_t len, std::string* err) = 0;
};

/// Receives each stamped line, without its line end.
using Trace = std::function<void(std::string_view line)>;

/// A trace keeps at most this many units (bytes, or UTF-16 code units) of the
/// text before the tag; a longer prefix is shortened and the trace says how
/// many units it left out.  A UTF-16 prefix is never cut between the two
/// halves of a surrogate pair: the first half is left out too.
constexpr size_t kTracePrefixLimit = 64 * 1024;

enum class Outcome {
  kDone,    // the whole source went through to the sink
  kFailed,  // the source or the sink failed; |*err| says why
  kUtf32,   // the source starts with a UTF-32 byte-order mark; nothing written
  kOddLength,    // a UTF-16 mark, then an odd number of bytes: not UTF-16;
                 // what was written is no good (nothing, where |in| told
                 // its size)
  kUserNotUtf8,  // UTF-16 text, but |user| is not UTF-8; nothing written
};

/// Copies |in| to |out| line by line.  A line ends at LF; a CR directly
/// before that LF belongs to the line end.  Every line is written with CR LF,
/// the last one too when the input does not end with a line end.  A line that
/// holds kAuthorTag is cut right behind its first occurrence and completed
/// with |user| and kClosingTag, and the new line goes to |trace|.
///
/// Text that starts with FF FE (little-endian) or FE FF (big-endian) is
/// UTF-16: the mark is kept, the rules apply to the 16-bit units after it,
/// and |user|, UTF-8, is written as UTF-16 in the file's byte order.  Every
/// other unit, an unpaired surrogate too, is copied as it is.  The trace is
/// UTF-8, with U+FFFD for an unpaired surrogate.  FF FE 00 00 and 00 00 FE FF
/// are UTF-32's marks, not UTF-16's.  Anything else is 8-bit text, every byte
/// copied as it is.
///
/// Memory stays fixed whatever the line lengths: the input streams through
/// fixed buffers and no line is ever held whole.
Outcome RewriteLines(Source& in, Sink& out, std::string_view user,
                     const Trace& trace, std::string* err);

}  // namespace stamp

#endif  // AUTHORSTAMP_REWRITE_STAMP_H_
