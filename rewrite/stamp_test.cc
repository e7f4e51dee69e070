#include "rewrite/stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "rewrite/stamp_test_model.h"

namespace {

const std::string kUser = "BUILD01\\builder";

// Hands out |data| in pieces of |piece| bytes, so that lines, CR LF pairs
// and tags fall across reads.  A piece of 0 means as much as fits.
struct StringSource : stamp::Source {
  StringSource(std::string data, size_t piece)
      : data(std::move(data)), piece(piece) {}
  bool Read(char* buf, size_t capacity, size_t* got,
            std::string* err) override {
    if (fail_at_offset != std::string::npos && pos >= fail_at_offset) {
      *err = "read failed";
      return false;
    }
    size_t n = std::min(capacity, data.size() - pos);
    if (piece > 0)
      n = std::min(n, piece);
    data.copy(buf, n, pos);
    pos += n;
    *got = n;
    return true;
  }
  int64_t Size() override {
    return sized ? static_cast<int64_t>(data.size()) : -1;
  }
  std::string data;
  size_t piece;
  size_t pos = 0;
  size_t fail_at_offset = std::string::npos;
  bool sized = false;  // whether Size() tells, as for a regular file
};

struct StringSink : stamp::Sink {
  bool Write(const char* data, size_t len, std::string* err) override {
    if (fail) {
      *err = "disk full";
      return false;
    }
    out.append(data, len);
    return true;
  }
  std::string out;
  bool fail = false;
};

struct Result {
  stamp::Outcome outcome;
  std::string out;
  std::vector<std::string> traces;
};

Result Rewrite(const std::string& in, size_t piece = 0,
               const std::string& user = kUser, bool sized = false) {
  StringSource source(in, piece);
  source.sized = sized;
  StringSink sink;
  Result r;
  std::string err;
  r.outcome = stamp::RewriteLines(
      source, sink, user,
      [&](std::string_view line) { r.traces.emplace_back(line); }, &err);
  r.out = sink.out;
  return r;
}

// Runs |check| on each vector path this machine can take, the path named in
// failures, then leaves the core on the widest again.
void OnEveryPath(const std::function<void()>& check) {
  for (const stamp::VectorPath path : stamp::VectorPaths()) {
    ASSERT_TRUE(stamp::UseVectorPath(path));
    SCOPED_TRACE(std::string(stamp_model::NameOf(path)) + " path");
    check();
  }
  stamp::UseVectorPath(stamp::VectorPaths().back());
}

struct Case {
  const char* name;
  std::string in;
  std::string out;
};

// Line ends, and lines with and without the tag.  The stamped examples use
// the user name kUser.
const Case kCases[] = {
    {"empty", "", ""},
    {"lf_ends", "a\nb\n", "a\r\nb\r\n"},
    {"no_final_line_end", "a\r\nb", "a\r\nb\r\n"},
    {"empty_lines_stay", "a\r\n\r\nb\r\n", "a\r\n\r\nb\r\n"},
    {"lone_cr_is_text", "a\rb\n", "a\rb\r\n"},
    {"cr_cr_lf", "a\r\r\n", "a\r\r\n"},
    {"cr_at_end", "a\r", "a\r\r\n"},
    {"only_lf", "\n", "\r\n"},
    {"only_lfs", "\n\n\n", "\r\n\r\n\r\n"},
    {"only_cr", "\r", "\r\r\n"},
    {"nul_and_ctrl_z_are_text",
     std::string("a\0b\x1a"
                 "c\n",
                 6),
     std::string("a\0b\x1a"
                 "c\r\n",
                 7)},
    {"utf8_bom_is_text", "\xEF\xBB\xBFx\n", "\xEF\xBB\xBFx\r\n"},
    {"indented_value", "    <Author>someone</Author>\n",
     "    <Author>BUILD01\\builder</Author>\r\n"},
    {"bare_tag", "<Author>", "<Author>BUILD01\\builder</Author>\r\n"},
    {"first_tag_counts", "x<Author>a</Author>y<Author>b</Author>\n",
     "x<Author>BUILD01\\builder</Author>\r\n"},
    {"rest_of_line_dropped", "<Author>someone</Author><Date>1</Date>\r\n",
     "<Author>BUILD01\\builder</Author>\r\n"},
    {"other_case_untouched", "<author>x</author>\n<AUTHOR>x\n",
     "<author>x</author>\r\n<AUTHOR>x\r\n"},
    {"self_closing_untouched", "<Author/>\n<Author />\n",
     "<Author/>\r\n<Author />\r\n"},
    {"partial_tags_untouched", "<Autho\n<<Author\n<Auth<Author>",
     "<Autho\r\n<<Author\r\n<Auth<Author>BUILD01\\builder</Author>\r\n"},
    {"every_tagged_line", "<Author>a</Author>\nmid\n<Author>b</Author>\n",
     "<Author>BUILD01\\builder</Author>\r\nmid\r\n<Author>BUILD01\\builder</"
     "Author>\r\n"},
    {"element_over_several_lines", "<Author>\n  old\n</Author>\n",
     "<Author>BUILD01\\builder</Author>\r\n  old\r\n</Author>\r\n"},
    {"cr_before_tag_kept", "a\r<Author>x\r\n",
     "a\r<Author>BUILD01\\builder</Author>\r\n"},
    {"crs_after_tag_dropped", "<Author>\r\r\r\nz",
     "<Author>BUILD01\\builder</Author>\r\nz\r\n"},
    {"road_of_one_file", "<project>\n  <Author>old</Author>\n</project>\n",
     "<project>\r\n  <Author>BUILD01\\builder</Author>\r\n</project>\r\n"},
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// The cases run in each encoding: as they stand, and as UTF-16 after a
// byte-order mark, each byte becoming the unit of that value.
enum class Encoding { kBytes, kUtf16Le, kUtf16Be };
const Encoding kEncodings[] = {Encoding::kBytes, Encoding::kUtf16Le,
                               Encoding::kUtf16Be};
const Encoding kUtf16Encodings[] = {Encoding::kUtf16Le, Encoding::kUtf16Be};

const char* NameOf(Encoding e) {
  return e == Encoding::kBytes     ? "bytes"
         : e == Encoding::kUtf16Le ? "utf16le"
                                   : "utf16be";
}

void PrintTo(Encoding e, std::ostream* os) { *os << NameOf(e); }

// |units| after the byte-order mark, in |e|'s byte order.
std::string Utf16(std::u16string_view units, Encoding e) {
  std::u16string marked(1, u'\uFEFF');
  marked += units;
  return stamp_model::Bytes(marked, e == Encoding::kUtf16Be);
}

std::string Transcoded(const std::string& text, Encoding e) {
  if (e == Encoding::kBytes)
    return text;
  std::u16string units;
  for (const char c : text)
    units += static_cast<char16_t>(static_cast<unsigned char>(c));
  return Utf16(units, e);
}

// The cases also run amid lines enough that the fast lane takes their
// bytes (it leaves the last 128 bytes of a block to the line-by-line
// rewrite), starting at every byte of its 64-byte chunks.  Amid empty lines
// a chunk has LFs enough for the writer that spreads a chunk out; amid text
// lines it has few.
enum class Padding { kNone, kAmidText, kAmidLfs };
const Padding kPaddings[] = {Padding::kNone, Padding::kAmidText,
                             Padding::kAmidLfs};
constexpr size_t kChunkBytes = 64;

const char* NameOf(Padding p) {
  return p == Padding::kNone       ? "alone"
         : p == Padding::kAmidText ? "amid_text"
                                   : "amid_lfs";
}

void PrintTo(Padding p, std::ostream* os) { *os << NameOf(p); }

// |bytes| bytes of padding lines (counted before the rewrite, each ended by
// |line_end|): empty ones, or 48 bytes long.
std::string PaddingLines(Padding padding, size_t bytes,
                         const std::string& line_end) {
  const size_t line = padding == Padding::kAmidLfs ? 1 : 48;  // with its LF
  std::string lines;
  for (; bytes >= line; bytes -= line)
    lines += std::string(line - 1, 'x') + line_end;
  if (bytes > 0)
    lines += std::string(bytes - 1, 'x') + line_end;
  return lines;
}

// |text| after |shift| bytes of padding and before three chunks more.  Its
// last line, where it has no line end, gets a CR LF: that changes nothing,
// since a line ends at an LF and a CR before that belongs to the line end.
std::string Padded(const std::string& text, Padding padding, size_t shift,
                   const std::string& line_end) {
  if (padding == Padding::kNone)
    return text;
  const bool ended = text.empty() || text.back() == '\n';
  return PaddingLines(padding, shift, line_end) + text + (ended ? "" : "\r\n") +
         PaddingLines(padding, 3 * kChunkBytes, line_end);
}

class RewriteTest
    : public testing::TestWithParam<std::tuple<Case, Encoding, Padding>> {
 protected:
  // Where in a chunk the case begins.
  std::vector<size_t> Shifts() const {
    std::vector<size_t> shifts(padding() == Padding::kNone ? 1 : kChunkBytes);
    std::iota(shifts.begin(), shifts.end(), 0);
    return shifts;
  }
  std::string In(size_t shift = 0) const {
    return Transcoded(
        Padded(std::get<0>(GetParam()).in, padding(), shift, "\n"),
        std::get<1>(GetParam()));
  }
  std::string Out(size_t shift = 0) const {
    return Transcoded(
        Padded(std::get<0>(GetParam()).out, padding(), shift, "\r\n"),
        std::get<1>(GetParam()));
  }

 private:
  Padding padding() const { return std::get<2>(GetParam()); }
};

TEST_P(RewriteTest, WholeInput) {
  OnEveryPath([&] {
    for (const size_t shift : Shifts()) {
      Result r = Rewrite(In(shift));
      ASSERT_EQ(r.outcome, stamp::Outcome::kDone);
      ASSERT_EQ(r.out, Out(shift)) << "shifted by " << shift;
    }
  });
}

// The result must not depend on where the reads split the input, a UTF-16
// unit included.
TEST_P(RewriteTest, InPieces) {
  for (size_t piece = 1; piece <= 10; ++piece) {
    Result r = Rewrite(In(), piece);
    EXPECT_EQ(r.out, Out()) << "pieces of " << piece;
  }
}

// Running again over the output changes nothing.
TEST_P(RewriteTest, SecondRunChangesNothing) {
  OnEveryPath([&] {
    for (const size_t shift : Shifts())
      ASSERT_EQ(Rewrite(Out(shift)).out, Out(shift)) << "shifted by " << shift;
  });
}

INSTANTIATE_TEST_SUITE_P(Cases, RewriteTest,
                         testing::Combine(testing::ValuesIn(kCases),
                                          testing::ValuesIn(kEncodings),
                                          testing::ValuesIn(kPaddings)),
                         [](const auto& info) {
                           const Padding padding = std::get<2>(info.param);
                           return std::string(std::get<0>(info.param).name) +
                                  "_" + NameOf(std::get<1>(info.param)) +
                                  (padding == Padding::kNone
                                       ? ""
                                       : std::string("_") + NameOf(padding));
                         });

TEST(RewriteTrace, OnlyStampedLinesAreTraced) {
  for (const Encoding e : kEncodings) {
    Result r =
        Rewrite(Transcoded("a\n  <Author>x</Author>\nb\n<Author>\n", e), 3);
    EXPECT_EQ(r.traces,
              (std::vector<std::string>{"  <Author>BUILD01\\builder</Author>",
                                        "<Author>BUILD01\\builder</Author>"}))
        << NameOf(e);
    EXPECT_TRUE(Rewrite(Transcoded("a\n<author>\n", e)).traces.empty());
  }
}

// The trace of a UTF-16 line is UTF-8; a surrogate that is not half of a
// pair shows as U+FFFD, while the file keeps it.
TEST(RewriteTrace, Utf16LineInUtf8) {
  const struct {
    std::u16string before;
    std::string traced;
  } cases[] = {
      {u"J\u00fcrgen \u5c71 \U0001F600 ",
       "J\xC3\xBCrgen \xE5\xB1\xB1 \xF0\x9F\x98\x80 "},
      {u"a\xD800"
       u"b",
       "a\xEF\xBF\xBD"
       "b"},
      {u"a\xDC00"
       u"b",
       "a\xEF\xBF\xBD"
       "b"},
      {u"\xDC00\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {u"\xD800", "\xEF\xBF\xBD"},
      {std::u16string(u"x\0\uFFFF", 3), std::string("x\0\xEF\xBF\xBF", 5)},
  };
  for (const Encoding e : kUtf16Encodings) {
    for (const auto& c : cases) {
      for (size_t piece : {0, 1, 3}) {
        Result r = Rewrite(Utf16(c.before + u"<Author>x", e), piece);
        EXPECT_EQ(
            r.out,
            Utf16(c.before + u"<Author>BUILD01\\builder</Author>\r\n", e));
        EXPECT_EQ(r.traces,
                  std::vector<std::string>{c.traced +
                                           "<Author>BUILD01\\builder</Author>"})
            << NameOf(e) << ", pieces of " << piece;
      }
    }
  }
}

TEST(RewriteUser, InsertedVerbatim) {
  Result r = Rewrite("<Author>x</Author>\n", 0, "DOM\\a&b<c>");
  EXPECT_EQ(r.out, "<Author>DOM\\a&b<c></Author>\r\n");
}

TEST(RewriteUser, EmptyNameErasesTheValue) {
  EXPECT_EQ(Rewrite("<Author>x</Author>\n", 0, "").out,
            "<Author></Author>\r\n");
}

// The name comes as UTF-8 and goes into a UTF-16 file as UTF-16, surrogate
// pairs where needed; the trace shows it as it came.
TEST(RewriteUser, WrittenAsUtf16) {
  const struct {
    std::string utf8;
    std::u16string utf16;
  } cases[] = {
      {"BUILD01\\J\xC3\xBCrgen", u"BUILD01\\J\u00fcrgen"},
      {"\xE5\xB1\xB1\xE7\x94\xB0", u"\u5c71\u7530"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xC2\x80\xDF\xBF", u"\u0080\u07FF"},
      {"\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF",
       u"\u0800\uD7FF\uE000\uFFFF"},
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", u"\U00010000\U0010FFFF"},
      {"", u""},
  };
  for (const Encoding e : kUtf16Encodings) {
    for (const auto& c : cases) {
      Result r = Rewrite(Utf16(u"<Author>x\n", e), 1, c.utf8);
      EXPECT_EQ(r.outcome, stamp::Outcome::kDone);
      EXPECT_EQ(r.out, Utf16(u"<Author>" + c.utf16 + u"</Author>\r\n", e));
      EXPECT_EQ(r.traces,
                std::vector<std::string>{"<Author>" + c.utf8 + "</Author>"});
    }
  }
}

// A name that is not UTF-8 cannot be written as UTF-16: the file is refused
// before anything is written.  An 8-bit file takes it byte for byte.
TEST(RewriteUser, NotUtf8RefusesUtf16) {
  const std::string names[] = {
      "\xC3",              // cut short
      "a\xC3(",            // a continuation byte missing
      "\x80",              // a continuation byte alone
      "\xC0\xAF",          // overlong
      "\xE0\x80\xAF",      // overlong
      "\xF0\x8F\xBF\xBF",  // overlong
      "\xED\xA0\x80",      // a surrogate
      "\xED\xBF\xBF",      // a surrogate
      "\xF4\x90\x80\x80",  // past U+10FFFF
      "\xF8\x88\x80\x80\x80",
      "\xFF",
      std::string("DOM\\\0\xFE", 6),
  };
  for (const std::string& name : names) {
    for (const Encoding e : kUtf16Encodings) {
      for (size_t piece : {0, 1}) {
        Result r = Rewrite(Utf16(u"<Author>x\n", e), piece, name);
        EXPECT_EQ(r.outcome, stamp::Outcome::kUserNotUtf8);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.traces.empty());
      }
    }
    Result r = Rewrite("<Author>x\n", 0, name);
    EXPECT_EQ(r.outcome, stamp::Outcome::kDone);
    EXPECT_EQ(r.out, "<Author>" + name + "</Author>\r\n");
  }
}

// The first bytes decide what the text is: FF FE and FE FF are UTF-16,
// unless FF FE 00 00 or 00 00 FE FF make it UTF-32.  Up to four bytes may
// be needed, also when they come one read at a time.
TEST(RewriteEncoding, FirstBytesDecide) {
  using stamp::Outcome;
  using namespace std::string_literals;
  const std::string long_units =
      Utf16(std::u16string(300000, u'x'), Encoding::kUtf16Le);
  const struct {
    const char* name;
    std::string in;
    Outcome outcome;
    std::string out;  // not looked at for kOddLength
  } cases[] = {
      {"FF alone", "\xFF", Outcome::kDone, "\xFF\r\n"},
      {"FE alone", "\xFE", Outcome::kDone, "\xFE\r\n"},
      {"00 alone", "\0"s, Outcome::kDone, "\0\r\n"s},
      {"00 00 FE", "\0\0\xFE"s, Outcome::kDone, "\0\0\xFE\r\n"s},
      {"00 00 FE then text", "\0\0\xFEx\n"s, Outcome::kDone, "\0\0\xFEx\r\n"s},
      {"00 00 FF FE", "\0\0\xFF\xFE"s, Outcome::kDone, "\0\0\xFF\xFE\r\n"s},
      {"mark later in the file", "a\xFF\xFE", Outcome::kDone, "a\xFF\xFE\r\n"},
      {"UTF-32 LE mark", "\xFF\xFE\0\0"s, Outcome::kUtf32, ""},
      {"UTF-32 LE text", "\xFF\xFE\0\0<\0\0\0\n\0\0\0"s, Outcome::kUtf32, ""},
      {"UTF-32 BE mark", "\0\0\xFE\xFF"s, Outcome::kUtf32, ""},
      {"UTF-32 BE text", "\0\0\xFE\xFF\0\0\0<\0\0\0\n"s, Outcome::kUtf32, ""},
      {"UTF-16 LE mark alone", "\xFF\xFE", Outcome::kDone, "\xFF\xFE"},
      {"UTF-16 BE mark alone", "\xFE\xFF", Outcome::kDone, "\xFE\xFF"},
      {"UTF-16 LE, U+0000 then U+0041", "\xFF\xFE\0\0A\0"s, Outcome::kUtf32,
       ""},
      {"UTF-16 LE, a NUL unit first", "\xFF\xFE\0\x01"s, Outcome::kDone,
       "\xFF\xFE\0\x01\r\0\n\0"s},
      {"UTF-16 BE, a NUL unit first", "\xFE\xFF\0\0"s, Outcome::kDone,
       "\xFE\xFF\0\0\0\r\0\n"s},
      {"UTF-16 LE, one byte after the mark", "\xFF\xFE\0"s, Outcome::kOddLength,
       ""},
      {"UTF-16 BE, one byte after the mark", "\xFE\xFF\0"s, Outcome::kOddLength,
       ""},
      {"UTF-16 LE, three bytes", "\xFF\xFEx\0\n"s, Outcome::kOddLength, ""},
      {"UTF-16 BE, a unit and a half", "\xFE\xFF\0<\0"s, Outcome::kOddLength,
       ""},
      {"UTF-16, a stray byte after many blocks", long_units + "x",
       Outcome::kOddLength, ""},
  };
  // An odd length is found at the end of the input, after much may have
  // been written; a source that tells its size gets nothing written.
  for (const auto& c : cases) {
    for (const bool sized : {false, true}) {
      for (size_t piece : {0, 1, 2, 3, 5}) {
        Result r = Rewrite(c.in, piece, kUser, sized);
        EXPECT_EQ(r.outcome, c.outcome)
            << c.name << ", pieces of " << piece << ", sized " << sized;
        if (c.outcome != Outcome::kOddLength) {
          EXPECT_EQ(r.out, c.out) << c.name << ", pieces of " << piece;
        } else if (sized) {
          EXPECT_EQ(r.out.size(), 0u) << c.name << ", pieces of " << piece;
        }
      }
    }
  }
}

TEST(RewriteErrors, SourceAndSinkFailuresAreReported) {
  std::string err;
  StringSource source(std::string(500000, 'x'), 0);
  source.fail_at_offset = 200000;
  StringSink sink;
  EXPECT_EQ(stamp::RewriteLines(source, sink, kUser, nullptr, &err),
            stamp::Outcome::kFailed);
  EXPECT_EQ(err, "read failed");

  StringSource good("a\n", 0);
  StringSink full;
  full.fail = true;
  err.clear();
  EXPECT_EQ(stamp::RewriteLines(good, full, kUser, nullptr, &err),
            stamp::Outcome::kFailed);
  EXPECT_EQ(err, "disk full");
}

// Lines far longer than any buffer, with the tag at every offset around a
// block boundary, come out exactly on every vector path; their traces are
// shortened.
TEST(RewriteLongLines, TagAcrossBlockBoundaries) {
  OnEveryPath([] {
    const size_t kBlock = 128 * 1024;
    for (size_t at = kBlock - 9; at <= kBlock + 1; ++at) {
      const std::string before(at, 'p');
      const std::string in = before + "<Author>old</Author>" +
                             std::string(3 * kBlock, 'q') + "\nnext\n";
      Result r = Rewrite(in);
      ASSERT_EQ(r.out, before + "<Author>" + kUser + "</Author>\r\nnext\r\n")
          << at;
      ASSERT_EQ(r.traces.size(), 1u);
      const std::string shortened =
          std::string(stamp::kTracePrefixLimit, 'p') + "[... " +
          std::to_string(at - stamp::kTracePrefixLimit) +
          " bytes not shown ...]<Author>" + kUser + "</Author>";
      EXPECT_EQ(r.traces[0], shortened);
    }
  });
}

TEST(RewriteLongLines, UntaggedLineAndCrAcrossBlocks) {
  OnEveryPath([] {
    const size_t kBlock = 128 * 1024;
    // The CR of a CR LF pair as the last byte of a block, then as the first.
    for (size_t cr_at : {kBlock - 1, kBlock}) {
      const std::string line(cr_at, 'x');
      Result r = Rewrite(line + "\r\n" + line + "\n");
      EXPECT_EQ(r.out, line + "\r\n" + line + "\r\n");
    }
    // A trace of a prefix just under the limit is whole.
    const std::string prefix(stamp::kTracePrefixLimit, 'y');
    Result r = Rewrite(prefix + "<Author>", 1000);
    ASSERT_EQ(r.traces.size(), 1u);
    EXPECT_EQ(r.traces[0], prefix + "<Author>" + kUser + "</Author>");
  });
}

// A UTF-16 trace counts the limit in units and never shows half a pair.
TEST(RewriteLongLines, Utf16TraceLimitKeepsPairsWhole) {
  const size_t limit = stamp::kTracePrefixLimit;
  const std::u16string emoji = u"\U0001F600";  // a surrogate pair
  const std::string emoji_utf8 = "\xF0\x9F\x98\x80";
  const std::string stamped = "<Author>" + kUser + "</Author>";
  const struct {
    std::u16string before;
    std::string traced;
  } cases[] = {
      {std::u16string(limit - 2, u'p') + emoji,
       std::string(limit - 2, 'p') + emoji_utf8},
      {std::u16string(limit - 1, u'p') + emoji + u"qq",
       std::string(limit - 1, 'p') + "[... 4 code units not shown ...]"},
      {std::u16string(limit, u'p') + emoji,
       std::string(limit, 'p') + "[... 2 code units not shown ...]"},
  };
  for (const Encoding e : kUtf16Encodings) {
    for (const auto& c : cases) {
      for (size_t piece : {0, 999}) {
        Result r = Rewrite(Utf16(c.before + u"<Author>old\n", e), piece);
        EXPECT_EQ(
            r.out,
            Utf16(c.before + u"<Author>BUILD01\\builder</Author>\r\n", e));
        ASSERT_EQ(r.traces.size(), 1u);
        EXPECT_EQ(r.traces[0], c.traced + stamped) << NameOf(e);
      }
    }
  }
}

// Random text made of the units that matter, so that line ends, CR LF pairs
// and tags land at every offset of the chunks the scan works in, on every
// vector path this machine can take.  As UTF-16 it adds units whose bytes
// look like line ends or tag starts, surrogates, and now and then a stray
// last byte.
TEST(RewriteRandom, MatchesTheModel) {
  const std::u16string kParts[] = {
      u"a", u"bc", u"\r", u"\n", u"\r\n", u"<", u"A", u"<A", u"<Author>",
      u"<Autho", u"x<Author>y</Author>", u"                ", u"\n\n\n",
      std::u16string(300, u'-'),  // lines longer than the fast lane takes
      // Only in UTF-16:
      u"\u0A0D", u"\u0D0A", u"\u3C41", u"\u413C", u"\u0A00", u"\u3C00",
      u"\xD800", u"\xDC00", u"\U0001F600"};
  const size_t kByteParts = 14;
  const std::string kUsers[] = {kUser, "WS\\J\xC3\xBCrgen\xF0\x9F\x98\x80"};
  OnEveryPath([&] {
    uint32_t seed = 12345;
    auto next = [&seed] {
      seed = seed * 1103515245 + 12345;
      return seed >> 16;
    };
    for (int round = 0; round < 400; ++round) {
      const Encoding e = kEncodings[round % 3];
      const size_t parts =
          e == Encoding::kBytes ? kByteParts : std::size(kParts);
      std::u16string units;
      const size_t len = next() % 3000;
      while (units.size() < len)
        units += kParts[next() % parts];
      std::string in;
      if (e == Encoding::kBytes)
        in.assign(units.begin(), units.end());
      else
        in = Utf16(units, e) + (next() % 10 == 0 ? "z" : "");
      const std::string& user = kUsers[next() % 2];
      // Whole, in small pieces, or in pieces large enough for whole chunks.
      const size_t piece = round % 4 == 0   ? 0
                           : round % 4 == 1 ? 1 + next() % 100
                                            : 100 + next() % 2000;
      const Result r = Rewrite(in, piece, user);
      const stamp_model::Expected want = stamp_model::Rewrite(in, user);
      ASSERT_EQ(r.outcome, want.outcome) << "round " << round;
      if (want.outcome == stamp::Outcome::kOddLength) {
        ASSERT_EQ(r.out, want.out.substr(0, r.out.size())) << "round " << round;
        continue;
      }
      ASSERT_EQ(r.out, want.out) << "round " << round;
      ASSERT_EQ(r.traces, want.traces) << "round " << round;
    }
  });
}

}  // namespace
