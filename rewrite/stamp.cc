#include "rewrite/stamp.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "rewrite/fast_lane.h"
#include "rewrite/output.h"
#include "rewrite/stamp_paths.h"
#include "rewrite/units.h"

namespace stamp {
namespace {

constexpr std::string_view kCrLf = "\r\n";

// --- The rewrite ---

// The state that carries from one block to the next.  Everything that could
// be per line lives here so that a line split across blocks behaves exactly
// like one that is not.  |Units| says what the text is made of (Bytes,
// Utf16); the rules are the same for all.
template <class Units>
class Rewriter {
 public:
  using Unit = typename Units::Unit;

  // |tail| completes a stamped line in the text's own encoding: the user
  // name, the closing tag and CR LF.  The trace shows |user| instead.
  Rewriter(Output& out, Lane<Units> lane, std::string_view tail,
           std::string_view user, const Trace& trace)
      : out_(out), lane_(lane), tail_(tail), user_(user), trace_(trace) {}

  void Block(const Unit* p, const Unit* end);
  void Finish();

 private:
  static constexpr Unit kLf = Marks<Units>::kLf;
  static constexpr Unit kCr = Marks<Units>::kCr;
  static constexpr const auto& kTag = Marks<Units>::kTag;
  static constexpr std::array<Unit, 2> kCrLfUnits = {kCr, kLf};

  static bool TagAt(const Unit* p, const Unit* end);
  static size_t TrailingTagPrefix(const Unit* p, const Unit* end);

  const Unit* Skim(const Unit* p, const Unit* end, const Unit** line_start);
  void Stamp(const Unit* line_start, const Unit* tag_end);
  void StartLine();
  void CarryLine(const Unit* line_start, const Unit* end);

  Output& out_;
  const Lane<Units> lane_;
  std::string_view tail_;
  std::string_view user_;
  const Trace& trace_;

  bool skipping_ = false;  // behind a stamped tag: drop units up to the LF
  // Of the current line, as far as earlier blocks held it:
  size_t line_len_ = 0;            // its length in units
  bool last_cr_ = false;           // whether its last unit is a CR
  size_t matched_ = 0;             // how many units of a tag it ends with
  std::basic_string<Unit> carry_;  // its first units, kept only for the trace
  std::basic_string<Unit> shown_;
  std::string trace_line_;
};

template <class Units>
bool Rewriter<Units>::TagAt(const Unit* p, const Unit* end) {
  return static_cast<size_t>(end - p) >= kTagSize &&
         memcmp(p, kTag.data(), sizeof(kTag)) == 0;
}

// How many units at the end of [p, end) begin the author tag.  The tag's
// first unit appears nowhere else in it, so only a part that starts at the
// last such unit can be the beginning of a tag.
template <class Units>
size_t Rewriter<Units>::TrailingTagPrefix(const Unit* p, const Unit* end) {
  const Unit* from = end - std::min<size_t>(end - p, kTagSize - 1);
  for (const Unit* q = end; q > from;) {
    if (*--q == kTag[0]) {
      const size_t len = end - q;
      return memcmp(q, kTag.data(), len * sizeof(Unit)) == 0 ? len : 0;
    }
  }
  return 0;
}

template <class Units>
void Rewriter<Units>::StartLine() {
  line_len_ = 0;
  last_cr_ = false;
  matched_ = 0;
  carry_.clear();
}

template <class Units>
void Rewriter<Units>::CarryLine(const Unit* line_start, const Unit* end) {
  const size_t len = end - line_start;
  if (len == 0)
    return;
  if (trace_ && carry_.size() < kTracePrefixLimit)
    carry_.append(line_start, std::min(len, kTracePrefixLimit - carry_.size()));
  line_len_ += len;
  last_cr_ = end[-1] == kCr;
}

// Takes the lines from |p|, where one begins, through the fast lane as far
// as it goes, and returns where it stopped.
template <class Units>
auto Rewriter<Units>::Skim(const Unit* p, const Unit* end,
                           const Unit** line_start) -> const Unit* {
  const Unit* const began = *line_start;
  p = lane_.skim(out_, p, end, line_start, line_len_ > 0 && last_cr_);
  if (*line_start != began && line_len_ > 0)  // it ended that line
    StartLine();
  return p;
}

// The line's units up to |tag_end| have been written; complete it.
template <class Units>
void Rewriter<Units>::Stamp(const Unit* line_start, const Unit* tag_end) {
  out_.Put(tail_);
  skipping_ = true;
  if (!trace_)
    return;

  // The text before the tag is what carry_ holds followed by this block's
  // part of the line; only its first kTracePrefixLimit units are shown.
  const size_t prefix = line_len_ + (tag_end - line_start) - kTagSize;
  size_t shown = std::min(prefix, kTracePrefixLimit);
  shown_.assign(carry_, 0, std::min(carry_.size(), shown));
  shown_.append(line_start, shown - shown_.size());
  if (shown < prefix && Units::EndsInLeadSurrogate(shown_)) {
    shown_.pop_back();
    --shown;
  }
  trace_line_.clear();
  Units::AppendText(shown_, &trace_line_);
  if (shown < prefix) {
    trace_line_ += "[... ";
    trace_line_ += std::to_string(prefix - shown);
    trace_line_ += ' ';
    trace_line_ += Units::kUnitName;
    trace_line_ += " not shown ...]";
  }
  trace_line_ += kAuthorTag;
  trace_line_ += user_;
  trace_line_ += kClosingTag;
  trace_(trace_line_);
}

template <class Units>
void Rewriter<Units>::Block(const Unit* p, const Unit* end) {
  const Unit* line_start = p;

  // A tag that the previous block ended in the middle of.
  if (!skipping_ && matched_ > 0) {
    const size_t need = kTagSize - matched_;
    const size_t have = std::min<size_t>(need, end - p);
    if (memcmp(p, kTag.data() + matched_, have * sizeof(Unit)) != 0) {
      matched_ = 0;
    } else if (have < need) {
      out_.Put(p, have);
      CarryLine(p, end);
      matched_ += have;
      return;
    } else {
      out_.Put(p, have);
      Stamp(line_start, p + have);
      p += have;
    }
  }

  while (p < end) {
    if (skipping_) {
      const Unit* lf = Units::FindLf(p, end);
      if (lf == end)
        return;
      skipping_ = false;
      StartLine();
      p = line_start = lf + 1;
      continue;
    }

    if (p == line_start)
      p = Skim(p, end, &line_start);

    // The line began at line_start in this block (or in an earlier one when
    // line_len_ > 0); its units before p are written.
    const Unit* stop = lane_.next_stop(p, end);
    while (stop < end && *stop != kLf && !TagAt(stop, end))
      stop = lane_.next_stop(stop + 1, end);
    if (stop == end) {
      out_.Put(p, end - p);
      matched_ = TrailingTagPrefix(p, end);
      CarryLine(line_start, end);
      return;
    }
    if (*stop != kLf) {
      const Unit* tag_end = stop + kTagSize;
      out_.Put(p, tag_end - p);
      Stamp(line_start, tag_end);
      p = tag_end;
      continue;
    }
    out_.PutLine(p, stop - p, stop > line_start ? stop[-1] == kCr : last_cr_,
                 kCrLfUnits);
    if (line_len_ > 0)  // only a line from an earlier block leaves state
      StartLine();
    p = line_start = stop + 1;
  }
}

template <class Units>
void Rewriter<Units>::Finish() {
  // A last line without a line end still gets one.
  if (!skipping_ && line_len_ > 0)
    out_.Put(kCrLfUnits.data(), kCrLfUnits.size());
  out_.Flush();
}

// Feeds |in| through |rewriter|, a block at a time.  |buf| holds |len| bytes
// read so far, of which the first |from| are taken care of; |at_end| says
// whether |in| has ended.
template <class Units>
Outcome Pump(Source& in, Output& output, Rewriter<Units>& rewriter, char* buf,
             size_t from, size_t len, bool at_end, std::string* err) {
  using Unit = typename Units::Unit;
  for (;;) {
    const size_t whole = len - len % sizeof(Unit);
    if (whole > from) {
      rewriter.Block(reinterpret_cast<const Unit*>(buf + from),
                     reinterpret_cast<const Unit*>(buf + whole));
      if (output.failed())
        break;
    }
    if (at_end)
      break;
    // A unit that a read cut in two is completed by the next read.
    memmove(buf, buf + whole, len - whole);
    len -= whole;
    from = 0;
    size_t got = 0;
    if (!in.Read(buf + len, kBlockSize - len, &got, err))
      return Outcome::kFailed;
    len += got;
    at_end = got == 0;
  }
  if (!output.failed()) {
    if (len % sizeof(Unit) != 0)
      return Outcome::kOddLength;
    rewriter.Finish();
  }
  if (output.failed()) {
    *err = output.error();
    return Outcome::kFailed;
  }
  return Outcome::kDone;
}

template <std::endian kOrder>
Outcome PumpUtf16(Source& in, Output& output, VectorPath path,
                  std::string_view user, const Trace& trace, char* buf,
                  size_t len, bool at_end, std::string* err) {
  std::string tail;
  if (!AppendUtf16(user, kOrder, &tail))
    return Outcome::kUserNotUtf8;
  AppendUtf16(kClosingTag, kOrder, &tail);
  AppendUtf16(kCrLf, kOrder, &tail);
  constexpr size_t kMarkSize = 2;
  output.Put(buf, kMarkSize);
  Rewriter<Utf16<kOrder>> rewriter(output, LaneOf<Utf16<kOrder>>(path), tail,
                                   user, trace);
  return Pump(in, output, rewriter, buf, kMarkSize, len, at_end, err);
}

enum class Encoding { kUndecided, kBytes, kUtf16Le, kUtf16Be, kUtf32 };

// What the first bytes of a text say it is.  UTF-32's little-endian mark
// begins with UTF-16's, so telling them apart may take four bytes; |at_end|
// says that no more will come.
Encoding Detect(std::string_view head, bool at_end) {
  using namespace std::string_view_literals;
  static constexpr struct {
    std::string_view mark;
    Encoding encoding;
  } kMarks[] = {
      // The longer marks first.
      {"\xFF\xFE\0\0"sv, Encoding::kUtf32},
      {"\0\0\xFE\xFF"sv, Encoding::kUtf32},
      {"\xFF\xFE"sv, Encoding::kUtf16Le},
      {"\xFE\xFF"sv, Encoding::kUtf16Be},
  };
  for (const auto& m : kMarks) {
    if (head.starts_with(m.mark))
      return m.encoding;
    if (!at_end && m.mark.starts_with(head))
      return Encoding::kUndecided;
  }
  return Encoding::kBytes;
}

}  // namespace

Outcome RewriteLines(Source& in, Sink& out, std::string_view user,
                     const Trace& trace, std::string* err) {
  // One path for the whole rewrite, whatever UseVectorPath() does meanwhile.
  const VectorPath path = ChosenPath();
  // Both buffers start on a page: the kernel copies into and out of them
  // faster, a fifth of the tool's time on a RAM disk.  The input is held
  // as units, so that the UTF-16 rewrite may read it as such.
  const std::unique_ptr<char[]> buffers(
      new char[kPageSize + kBlockSize + kOutputSize]);
  char* const in_buf =
      buffers.get() +
      (kPageSize - reinterpret_cast<uintptr_t>(buffers.get()) % kPageSize);
  Output output(out, in_buf + kBlockSize);

  // The few bytes that decide the encoding may come one read at a time.
  size_t len = 0;
  bool at_end = false;
  Encoding encoding;
  while ((encoding = Detect({in_buf, len}, at_end)) == Encoding::kUndecided) {
    size_t got = 0;
    if (!in.Read(in_buf + len, kBlockSize - len, &got, err))
      return Outcome::kFailed;
    len += got;
    at_end = got == 0;
  }

  // An odd length shows at the end anyway, but only once the whole output
  // has been written; where the source tells its size, nothing is.  (The
  // mark is two bytes: the size is odd when what follows it is.)
  const bool utf16 =
      encoding == Encoding::kUtf16Le || encoding == Encoding::kUtf16Be;
  if (const int64_t size = in.Size(); utf16 && size >= 0 && size % 2 != 0)
    return Outcome::kOddLength;

  switch (encoding) {
    case Encoding::kUtf16Le:
      return PumpUtf16<std::endian::little>(in, output, path, user, trace,
                                            in_buf, len, at_end, err);
    case Encoding::kUtf16Be:
      return PumpUtf16<std::endian::big>(in, output, path, user, trace, in_buf,
                                         len, at_end, err);
    case Encoding::kUtf32:
      return Outcome::kUtf32;
    case Encoding::kUndecided:
    case Encoding::kBytes:
      break;
  }
  const std::string tail =
      std::string(user) + std::string(kClosingTag) + std::string(kCrLf);
  Rewriter<Bytes> rewriter(output, LaneOf<Bytes>(path), tail, user, trace);
  return Pump(in, output, rewriter, in_buf, 0, len, at_end, err);
}

}  // namespace stamp
