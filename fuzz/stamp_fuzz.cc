// A coverage-guided fuzzer of the rewrite core, for libFuzzer.
//
// The core gets its input in pieces of random size, so that lines, CR LF
// pairs and the author tag fall across reads, and its output and traces are
// compared with the model in rewrite/stamp_test_model.h, which does the
// same job the slow and obvious way on the whole text.  Every input runs
// on each vector path that this build and processor can take (the scalar
// build has one).  Any difference aborts, which libFuzzer reports as a
// crash and saves the input.
//
// The first kHeaderSize bytes of an input steer the run; the rest is the
// text.  A missing header byte counts as 0.  A text that begins with a
// UTF-16 byte-order mark takes the UTF-16 path, and pieces of any size split
// its units at odd offsets as well as even ones.
//   [0] piece sizes: the low 3 bits pick the largest piece (kPieceLimits),
//       the high 5 bits seed the generator that draws each piece's size.
//   [1] user name: below 0x80, the next ([1] % 32) bytes of the input (so
//       0 gives an empty name); from 0x80 on, one of kUsers.
//   [2] a long run of one byte put into the text, to reach the trace limit
//       and buffer sizes that short inputs never reach.  Only when bits 5-7
//       are all set; bits 2-4 pick its length (kRunLengths), bits 0-1 its
//       byte (kRunBytes).  In UTF-16 text, a run of that many units of
//       that value, between two units.  A long run in tiny pieces costs
//       much time and finds nothing that a short line would not, so with a
//       run the pieces are mixed whenever [0] asks for pieces under 4 KiB.
//   [3] bit 7: no trace callback.  Bits 5-6: 2 makes the source fail at
//       read number ([3] & 31) + 1, 3 makes the sink fail at write number
//       ([3] & 31) + 1; 0 and 1 inject nothing.
//   [4] where the run goes: [4] / 255 of the way into the text.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/stamp.h"
#include "rewrite/stamp_paths.h"
#include "rewrite/stamp_test_model.h"

namespace {

constexpr size_t kHeaderSize = 5;

constexpr size_t kPieceLimits[8] = {1, 2, 3, 8, 64, 4096, 1 << 20, 0};
constexpr size_t kMixedPieces = 0;  // small and huge pieces at random
constexpr size_t kSmallestForRuns = 4096;

// The first eight are for 8-bit text; a UTF-16 text refuses the one that is
// not UTF-8.  The others are UTF-8 of one to four bytes a character, and
// what is not: a surrogate, a cut sequence.
const std::string kUsers[] = {
    "WS01\\alice",
    "\\",
    "x\r\ny",
    "<Author>",
    "</Author>",
    std::string("\0\x1a\xff\xfe", 4),
    "HOST\\" + std::string(300, 'u'),
    "",
    "WS01\\J\xc3\xbcrgen",
    "\xe5\xb1\xb1\xe7\x94\xb0\\\xf0\x9f\x98\x80",
    "WS01\\\xed\xa0\x80",
    "WS01\\x\xc3",
};

// Around the trace limit, and around the core's 128 KiB reads and 256 KiB
// writes (a block of LF lines doubles in size).  Longer runs of LF lines
// cost tens of milliseconds an input and would reach nothing new.
constexpr size_t kRunLengths[8] = {
    stamp::kTracePrefixLimit - 1,
    stamp::kTracePrefixLimit,
    stamp::kTracePrefixLimit + 1,
    stamp::kTracePrefixLimit + 8,
    stamp::kTracePrefixLimit + 40,
    128 * 1024 - 1,
    128 * 1024 + 1,
    128 * 1024 + 17,
};
constexpr char kRunBytes[4] = {'a', '\n', '\r', '<'};

const char kReadError[] = "injected read failure";
const char kWriteError[] = "injected write failure";

// The vector path of the run being checked, for the messages.
const char* path_name = "";

[[noreturn]] void Fail(const char* what) {
  fprintf(stderr, "stamp_fuzz, %s path: %s\n", path_name, what);
  abort();
}

void Check(bool ok, const char* what) {
  if (!ok)
    Fail(what);
}

// Says where two byte strings part, to make a failure quick to read.
[[noreturn]] void FailDiffering(const char* what, const std::string& got,
                                const std::string& want) {
  const size_t n = std::min(got.size(), want.size());
  const size_t at = static_cast<size_t>(
      std::mismatch(got.begin(), got.begin() + n, want.begin()).first -
      got.begin());
  fprintf(stderr,
          "stamp_fuzz, %s path: %s: got %zu bytes, expected %zu, first "
          "difference at byte %zu\n",
          path_name, what, got.size(), want.size(), at);
  for (const auto& [name, s] : {std::pair{"got", &got}, {"expected", &want}}) {
    fprintf(stderr, "  %-8s:", name);
    for (size_t i = at > 16 ? at - 16 : 0; i < std::min(s->size(), at + 16);
         ++i)
      fprintf(stderr, " %02x", static_cast<unsigned char>((*s)[i]));
    fprintf(stderr, "\n");
  }
  abort();
}

void CheckEqual(const std::string& got, const std::string& want,
                const char* what) {
  if (got != want)
    FailDiffering(what, got, want);
}

void CheckPrefix(const std::string& got, const std::string& want,
                 const char* what) {
  if (got.size() > want.size() || want.compare(0, got.size(), got) != 0)
    FailDiffering(what, got, want);
}

// Hands out the text in pieces whose sizes a small generator draws from the
// input's own header, so that a saved crash input replays exactly.
struct PieceSource : stamp::Source {
  bool Read(char* buf, size_t capacity, size_t* got,
            std::string* err) override {
    Check(buf != nullptr && capacity > 0, "Read() offered no room");
    if (++reads == fail_at) {
      failed = true;
      *err = kReadError;
      return false;
    }
    const size_t n = std::min({capacity, text.size() - pos, NextPiece()});
    memcpy(buf, text.data() + pos, n);
    pos += n;
    *got = n;
    return true;
  }

  size_t NextPiece() {
    state ^= state << 13;  // xorshift32
    state ^= state >> 17;
    state ^= state << 5;
    size_t limit = largest;
    if (limit == kMixedPieces)
      limit = (state & 0x80000000u) ? (1 << 20) : 16;
    return 1 + state % limit;
  }

  std::string_view text;
  size_t pos = 0;
  size_t largest = 1;
  uint32_t state = 1;
  size_t reads = 0;
  size_t fail_at = 0;  // 0: never
  bool failed = false;
};

struct StringSink : stamp::Sink {
  bool Write(const char* data, size_t len, std::string* err) override {
    Check(!failed, "Write() called again after a failed write");
    Check(data != nullptr || len == 0, "Write() of a null pointer");
    if (++writes == fail_at) {
      failed = true;
      *err = kWriteError;
      return false;
    }
    out->append(data, len);
    return true;
  }

  std::string* out = nullptr;
  size_t writes = 0;
  size_t fail_at = 0;  // 0: never
  bool failed = false;
};

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines)
    all += std::to_string(line.size()) + ":" + line;
  return all;
}

// How one run of the core goes, from the input's header.
struct RunSettings {
  size_t largest = 1;        // the largest piece a read hands out
  uint32_t seed = 1;         // of the piece sizes
  size_t read_fail_at = 0;   // the read that fails; 0: none
  size_t write_fail_at = 0;  // the write that fails; 0: none
  bool tracing = true;
};

// Runs the core once on |text| and checks the result against |want|.
// |got| holds the output, kept from one run to the next.
void CheckRun(const RunSettings& run, const std::string& text,
              const std::string& user, const stamp_model::Expected& want,
              std::string* got) {
  PieceSource in;
  in.text = text;
  in.largest = run.largest;
  in.state = run.seed;
  in.fail_at = run.read_fail_at;
  got->clear();
  StringSink out;
  out.out = got;
  out.fail_at = run.write_fail_at;
  std::vector<std::string> traces;
  stamp::Trace trace;
  if (run.tracing)
    trace = [&traces](std::string_view line) { traces.emplace_back(line); };

  std::string err;
  const stamp::Outcome outcome =
      stamp::RewriteLines(in, out, user, trace, &err);

  // The traces, each behind its length, to compare in one go: a user name
  // may hold any byte, so no separator would do.
  const std::string traced = Joined(traces);
  const std::string want_traced = run.tracing ? Joined(want.traces) : "";

  // An injected failure must end the run with that failure, and whatever
  // got out by then must be the start of the right result.
  if (in.failed || out.failed) {
    Check(outcome == stamp::Outcome::kFailed,
          "a failing source or sink did not fail the run");
    Check(err == (in.failed ? kReadError : kWriteError),
          "the run reported another error than the one injected");
    CheckPrefix(*got, want.out, "output before the failure");
    CheckPrefix(traced, want_traced, "traces before the failure");
    return;
  }

  Check(outcome == want.outcome, "the run's outcome is not the model's");
  // A refused text: nothing written (UTF-32, a user name that is not
  // UTF-8), or at most the start of the rest rewritten (an odd length).
  if (outcome != stamp::Outcome::kDone) {
    CheckPrefix(*got, want.out, "output of refused text");
    CheckPrefix(traced, want_traced, "traces of refused text");
    return;
  }
  Check(in.pos == text.size(), "the run completed without reading it all");
  CheckEqual(*got, want.out, "output");
  CheckEqual(traced, want_traced, "traces");
}

}  // namespace

// libFuzzer's entry point; it calls it once for every input.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Kept from one input to the next: strings of a few hundred KiB, made
  // afresh each time, would cost more in page faults than the rest.
  static std::string text, got;
  static stamp_model::Expected want;

  uint8_t header[kHeaderSize] = {};
  const size_t header_size = std::min(size, kHeaderSize);
  memcpy(header, data, header_size);
  text.assign(reinterpret_cast<const char*>(data) + header_size,
              size - header_size);

  std::string user;
  if (header[1] < 0x80) {
    const size_t len = std::min<size_t>(header[1] % 32, text.size());
    user = text.substr(0, len);
    text.erase(0, len);
  } else {
    user = kUsers[header[1] % std::size(kUsers)];
  }

  size_t largest = kPieceLimits[header[0] & 7];
  if ((header[2] >> 5) == 7) {
    const size_t length = kRunLengths[(header[2] >> 2) & 7];
    const char byte = kRunBytes[header[2] & 3];
    const bool le = text.starts_with("\xff\xfe"),
               be = text.starts_with("\xfe\xff");
    if (le || be) {
      // Between two units, after the mark.
      const size_t at = 2 + (text.size() - 2) * header[4] / 255 / 2 * 2;
      const std::string unit = le ? std::string{byte, 0} : std::string{0, byte};
      std::string run;
      for (size_t i = 0; i < length; ++i)
        run += unit;
      text.insert(at, run);
    } else {
      text.insert(text.size() * header[4] / 255, length, byte);
    }
    if (largest != kMixedPieces && largest < kSmallestForRuns)
      largest = kMixedPieces;
  }

  RunSettings run;
  run.largest = largest;
  run.seed =
      0x9e3779b9u * ((header[0] >> 3) + 1) ^ static_cast<uint32_t>(text.size());
  if (run.seed == 0)
    run.seed = 1;
  const size_t fail_at = (header[3] & 31) + 1;
  switch ((header[3] >> 5) & 3) {
    case 2:
      run.read_fail_at = fail_at;
      break;
    case 3:
      run.write_fail_at = fail_at;
      break;
  }
  run.tracing = !(header[3] & 0x80);

  stamp_model::Rewrite(text, user, &want);
  for (const stamp::VectorPath path : stamp::VectorPaths()) {
    stamp::UseVectorPath(path);
    path_name = stamp_model::NameOf(path);
    CheckRun(run, text, user, want, &got);
  }
  return 0;
}
