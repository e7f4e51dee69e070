#include "rewrite/stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
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
  std::string data;
  size_t piece;
  size_t pos = 0;
  size_t fail_at_offset = std::string::npos;
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
               const std::string& user = kUser) {
  StringSource source(in, piece);
  StringSink sink;
  Result r;
  std::string err;
  r.outcome = stamp::RewriteLines(
      source, sink, user,
      [&](std::string_view line) { r.traces.emplace_back(line); }, &err);
  r.out = sink.out;
  return r;
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

class RewriteTest : public testing::TestWithParam<Case> {};

TEST_P(RewriteTest, WholeInput) {
  const Case& c = GetParam();
  Result r = Rewrite(c.in);
  EXPECT_EQ(r.outcome, stamp::Outcome::kDone);
  EXPECT_EQ(r.out, c.out);
}

// The result must not depend on where the reads split the input.
TEST_P(RewriteTest, InPieces) {
  const Case& c = GetParam();
  for (size_t piece = 1; piece <= 10; ++piece) {
    Result r = Rewrite(c.in, piece);
    EXPECT_EQ(r.out, c.out) << "pieces of " << piece;
  }
}

// Running again over the output changes nothing.
TEST_P(RewriteTest, SecondRunChangesNothing) {
  const Case& c = GetParam();
  EXPECT_EQ(Rewrite(c.out).out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Cases, RewriteTest, testing::ValuesIn(kCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

TEST(RewriteTrace, OnlyStampedLinesAreTraced) {
  Result r = Rewrite("a\n  <Author>x</Author>\nb\n<Author>\n", 3);
  EXPECT_EQ(r.traces,
            (std::vector<std::string>{"  <Author>BUILD01\\builder</Author>",
                                      "<Author>BUILD01\\builder</Author>"}));
  EXPECT_TRUE(Rewrite("a\n<author>\n").traces.empty());
}

TEST(RewriteUser, InsertedVerbatim) {
  Result r = Rewrite("<Author>x</Author>\n", 0, "DOM\\a&b<c>");
  EXPECT_EQ(r.out, "<Author>DOM\\a&b<c></Author>\r\n");
}

TEST(RewriteUser, EmptyNameErasesTheValue) {
  EXPECT_EQ(Rewrite("<Author>x</Author>\n", 0, "").out,
            "<Author></Author>\r\n");
}

TEST(RewriteUtf16, RefusedWithoutWriting) {
  for (const std::string bom : {"\xFF\xFE", "\xFE\xFF"}) {
    for (size_t piece : {0, 1}) {
      Result r = Rewrite(bom + "<\0A\0\n\0", piece);
      EXPECT_EQ(r.outcome, stamp::Outcome::kUtf16);
      EXPECT_EQ(r.out, "");
    }
  }
  // One of the two bytes alone is ordinary text.
  EXPECT_EQ(Rewrite("\xFF").out, "\xFF\r\n");
  EXPECT_EQ(Rewrite("a\xFF\xFE").out, "a\xFF\xFE\r\n");
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
// block boundary, come out exactly; their traces are shortened.
TEST(RewriteLongLines, TagAcrossBlockBoundaries) {
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
}

TEST(RewriteLongLines, UntaggedLineAndCrAcrossBlocks) {
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
}

// Random text made of the bytes that matter, so that line ends, CR LF pairs
// and tags land at every offset of the 16-byte chunks the scan works in.
TEST(RewriteRandom, MatchesTheModel) {
  const char* const kParts[] = {"a",
                                "bc",
                                "\r",
                                "\n",
                                "\r\n",
                                "<",
                                "A",
                                "<A",
                                "<Author>",
                                "<Autho",
                                "x<Author>y</Author>",
                                "                ",
                                "\n\n\n"};
  uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245 + 12345;
    return seed >> 16;
  };
  for (int round = 0; round < 200; ++round) {
    std::string in;
    const size_t len = next() % 3000;
    while (in.size() < len)
      in += kParts[next() % std::size(kParts)];
    const size_t piece = round % 3 == 0 ? 0 : 1 + next() % 100;
    const Result r = Rewrite(in, piece);
    const stamp_model::Expected want = stamp_model::Rewrite(in, kUser);
    ASSERT_EQ(r.out, want.out) << "round " << round;
    ASSERT_EQ(r.traces, want.traces) << "round " << round;
  }
}

}  // namespace
