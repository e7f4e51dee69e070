#include "rewrite/stamp.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#if !defined(STAMP_SCALAR_ONLY) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define STAMP_HAVE_SSE2 1
#endif

namespace stamp {
namespace {

// Reads of 128 KiB measured best: larger blocks gain nothing and fall out of
// the cache.  The output buffer is twice as large because a block of empty
// LF lines doubles in size.
constexpr size_t kBlockSize = 128 * 1024;
constexpr size_t kOutputSize = 2 * kBlockSize;
constexpr std::string_view kCrLf = "\r\n";

// Collects output into large writes.  The first failure sticks and turns
// every later Put() into a no-op, so the scanning loop needs no error paths;
// the caller checks failed() once per block.
class Output {
 public:
  Output(Sink& sink, char* buf) : sink_(sink), buf_(buf) {}

  void Put(const char* data, size_t len) {
    if (len > kOutputSize - used_) {
      Flush();
      if (len >= kOutputSize) {
        Write(data, len);
        return;
      }
    }
    memcpy(buf_ + used_, data, len);
    used_ += len;
  }
  void Put(std::string_view s) { Put(s.data(), s.size()); }

  // A line's bytes and its line end: the call that every untagged line
  // makes, so it does without a second memcpy() for the CR LF.  A CR that
  // ends |len| serves as the CR of the pair.
  void PutLine(const char* data, size_t len, bool ends_with_cr) {
    if (len + kCrLf.size() > kOutputSize - used_) {
      Put(data, len);
      Put(ends_with_cr ? kCrLf.substr(1) : kCrLf);
      return;
    }
    char* to = buf_ + used_;
    memcpy(to, data, len);
    to += len;
    if (!ends_with_cr)
      *to++ = '\r';
    *to++ = '\n';
    used_ = to - buf_;
  }

  // Direct access for the fast lane: at least |n| bytes of room at the
  // returned pointer, handed back with Commit().
  char* Room(size_t n) {
    if (kOutputSize - used_ < n)
      Flush();
    return buf_ + used_;
  }
  bool HasRoom(const char* to, size_t n) const {
    return static_cast<size_t>(buf_ + kOutputSize - to) >= n;
  }
  void Commit(const char* to) { used_ = to - buf_; }

  void Flush() {
    Write(buf_, used_);
    used_ = 0;
  }
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  void Write(const char* data, size_t len) {
    if (!failed_ && len > 0 && !sink_.Write(data, len, &error_))
      failed_ = true;
  }

  Sink& sink_;
  char* buf_;
  size_t used_ = 0;
  bool failed_ = false;
  std::string error_;
};

// The first byte in [p, end) where the scan has to stop and look: a line end,
// or a place where the author tag may begin.  |end| when there is none.
//
// This is the loop every byte goes through.  Looking for LF and for "<A" in
// one pass, 16 bytes at a time, costs less than a memchr() per line plus one
// per "<", which markup has several of on every line.
const char* NextStop(const char* p, const char* end) {
#ifdef STAMP_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i lt = _mm_set1_epi8(kAuthorTag[0]);
  const __m128i a = _mm_set1_epi8(kAuthorTag[1]);
  // One byte of look-ahead for the tag's second byte.
  while (end - p > 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i next =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    const __m128i tag =
        _mm_and_si128(_mm_cmpeq_epi8(here, lt), _mm_cmpeq_epi8(next, a));
    const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(here, lf), tag);
    const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
    if (mask != 0)
      return p + std::countr_zero(mask);
    p += 16;
  }
#endif
  for (; p < end; ++p) {
    if (*p == '\n' || *p == kAuthorTag[0])
      return p;
  }
  return end;
}

bool TagAt(const char* p, const char* end) {
  return static_cast<size_t>(end - p) >= kAuthorTag.size() &&
         memcmp(p, kAuthorTag.data(), kAuthorTag.size()) == 0;
}

// How many bytes at the end of [p, end) begin the author tag.  The tag's
// first byte appears nowhere else in it, so only a part that starts at the
// last such byte can be the beginning of a tag.
size_t TrailingTagPrefix(const char* p, const char* end) {
  const char* from = end - std::min<size_t>(end - p, kAuthorTag.size() - 1);
  for (const char* q = end; q > from;) {
    if (*--q == kAuthorTag[0]) {
      const size_t len = end - q;
      return memcmp(q, kAuthorTag.data(), len) == 0 ? len : 0;
    }
  }
  return 0;
}

// The state that carries from one block to the next.  Everything that could
// be per line lives here so that a line split across blocks behaves exactly
// like one that is not.
class Rewriter {
 public:
  Rewriter(Output& out, std::string_view user, const Trace& trace)
      : out_(out), user_(user), trace_(trace) {}

  void Block(const char* p, const char* end);
  void Finish();

 private:
  const char* CopyUntagged(const char* p, const char* end,
                           const char** line_start);
  void Stamp(const char* line_start, const char* tag_end);
  void StartLine();
  void CarryLine(const char* line_start, const char* end);

  Output& out_;
  std::string_view user_;
  const Trace& trace_;

  bool skipping_ = false;  // behind a stamped tag: drop bytes up to the LF
  // Of the current line, as far as earlier blocks held it:
  size_t line_len_ = 0;   // its length
  bool last_cr_ = false;  // whether its last byte is a CR
  size_t matched_ = 0;    // how many bytes of a tag it ends with
  std::string carry_;     // its first bytes, kept only for the trace
  std::string trace_line_;
};

void Rewriter::StartLine() {
  line_len_ = 0;
  last_cr_ = false;
  matched_ = 0;
  carry_.clear();
}

void Rewriter::CarryLine(const char* line_start, const char* end) {
  const size_t len = end - line_start;
  if (len == 0)
    return;
  if (trace_ && carry_.size() < kTracePrefixLimit)
    carry_.append(line_start, std::min(len, kTracePrefixLimit - carry_.size()));
  line_len_ += len;
  last_cr_ = end[-1] == '\r';
}

// The fast lane for the bulk of a file: copies 16-byte chunks that cannot
// hold the start of a tag straight into the output, putting a CR before each
// LF that has none.  Short lines cost a few instructions each instead of a
// call per line.  Starts at a line start and stops before a chunk that may
// hold a tag, or when fewer than 32 bytes are left (the loads read up to 31
// bytes ahead).  Returns where it stopped and moves |*line_start| along.
const char* Rewriter::CopyUntagged(const char* p, const char* end,
                                   const char** line_start) {
#ifdef STAMP_HAVE_SSE2
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lt = _mm_set1_epi8(kAuthorTag[0]);
  const __m128i a = _mm_set1_epi8(kAuthorTag[1]);
  // Locals rather than members: the byte stores below could alias members
  // and would make the compiler reload them for every chunk.
  constexpr size_t kChunkRoom = 48;  // 16 bytes, 16 CRs, 16 overwritten
  char* to = out_.Room(kChunkRoom);
  const char* start = *line_start;
  unsigned cr_before = 0;  // whether the byte before the chunk is a CR
  while (end - p >= 32) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i next =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
    if (_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(here, lt), _mm_cmpeq_epi8(next, a))))
      break;
    if (!out_.HasRoom(to, kChunkRoom)) {
      out_.Commit(to);
      to = out_.Room(kChunkRoom);
    }
    const auto lfs =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, lf)));
    const auto crs =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, cr)));
    unsigned bare = lfs & ~((crs << 1) | cr_before);
    cr_before = crs >> 15;

    // Each store writes 16 bytes but only the segment up to the next bare
    // LF counts; the next store overwrites the rest.
    unsigned from = 0;
    while (bare != 0) {
      const auto at = static_cast<unsigned>(std::countr_zero(bare));
      bare &= bare - 1;
      _mm_storeu_si128(
          reinterpret_cast<__m128i*>(to),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from)));
      to += at - from;
      *to++ = '\r';
      from = at;
    }
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(to),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from)));
    to += 16 - from;
    if (lfs != 0)
      start = p + 32 - std::countl_zero(lfs);
    p += 16;
  }
  out_.Commit(to);
  *line_start = start;
#else
  (void)end;
  (void)line_start;
#endif
  return p;
}

// The line's bytes up to |tag_end| have been written; complete it.
void Rewriter::Stamp(const char* line_start, const char* tag_end) {
  out_.Put(user_);
  out_.Put(kClosingTag);
  out_.Put(kCrLf);
  skipping_ = true;
  if (!trace_)
    return;

  // The text before the tag is what carry_ holds followed by this block's
  // part of the line; only its first kTracePrefixLimit bytes are shown.
  const size_t prefix = line_len_ + (tag_end - line_start) - kAuthorTag.size();
  const size_t shown = std::min(prefix, kTracePrefixLimit);
  trace_line_.assign(carry_, 0, std::min(carry_.size(), shown));
  trace_line_.append(line_start, shown - trace_line_.size());
  if (shown < prefix) {
    trace_line_ += "[... ";
    trace_line_ += std::to_string(prefix - shown);
    trace_line_ += " bytes not shown ...]";
  }
  trace_line_ += kAuthorTag;
  trace_line_ += user_;
  trace_line_ += kClosingTag;
  trace_(trace_line_);
}

void Rewriter::Block(const char* p, const char* end) {
  const char* line_start = p;

  // A tag that the previous block ended in the middle of.
  if (!skipping_ && matched_ > 0) {
    const size_t need = kAuthorTag.size() - matched_;
    const size_t have = std::min<size_t>(need, end - p);
    if (memcmp(p, kAuthorTag.data() + matched_, have) != 0) {
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
      const char* lf = static_cast<const char*>(memchr(p, '\n', end - p));
      if (!lf)
        return;
      skipping_ = false;
      StartLine();
      p = line_start = lf + 1;
      continue;
    }

    if (line_len_ == 0)  // the line began in this block
      p = CopyUntagged(p, end, &line_start);

    // The line began at line_start in this block (or in an earlier one when
    // line_len_ > 0); its bytes before p are written.
    const char* stop = NextStop(p, end);
    while (stop < end && *stop != '\n' && !TagAt(stop, end))
      stop = NextStop(stop + 1, end);
    if (stop == end) {
      out_.Put(p, end - p);
      matched_ = TrailingTagPrefix(p, end);
      CarryLine(line_start, end);
      return;
    }
    if (*stop != '\n') {
      const char* tag_end = stop + kAuthorTag.size();
      out_.Put(p, tag_end - p);
      Stamp(line_start, tag_end);
      p = tag_end;
      continue;
    }
    out_.PutLine(p, stop - p, stop > line_start ? stop[-1] == '\r' : last_cr_);
    if (line_len_ > 0)  // only a line from an earlier block leaves state
      StartLine();
    p = line_start = stop + 1;
  }
}

void Rewriter::Finish() {
  // A last line without a line end still gets one.
  if (!skipping_ && line_len_ > 0)
    out_.Put(kCrLf);
  out_.Flush();
}

bool IsUtf16ByteOrderMark(const char* p, size_t len) {
  if (len < 2)
    return false;
  const auto b0 = static_cast<unsigned char>(p[0]);
  const auto b1 = static_cast<unsigned char>(p[1]);
  return (b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF);
}

}  // namespace

Outcome RewriteLines(Source& in, Sink& out, std::string_view user,
                     const Trace& trace, std::string* err) {
  const std::unique_ptr<char[]> in_buf(new char[kBlockSize]);
  const std::unique_ptr<char[]> out_buf(new char[kOutputSize]);
  Output output(out, out_buf.get());
  Rewriter rewriter(output, user, trace);

  // The byte-order mark check needs two bytes, which a source may hand over
  // one at a time.
  size_t len = 0;
  bool first = true;
  for (;;) {
    size_t got = 0;
    if (!in.Read(in_buf.get() + len, kBlockSize - len, &got, err))
      return Outcome::kFailed;
    len += got;
    if (first && got > 0 && len < 2)
      continue;
    if (first && IsUtf16ByteOrderMark(in_buf.get(), len))
      return Outcome::kUtf16;
    first = false;
    if (len == 0)
      break;
    rewriter.Block(in_buf.get(), in_buf.get() + len);
    if (output.failed())
      break;
    len = 0;
  }
  if (!output.failed())
    rewriter.Finish();
  if (output.failed()) {
    *err = output.error();
    return Outcome::kFailed;
  }
  return Outcome::kDone;
}

}  // namespace stamp
