// Throughput of the rewrite core alone: the text comes from memory and its
// output is counted and dropped, so what is measured is the scanning and
// copying, with no file, system call or disk in the way.  bench/run.py
// times the whole tool.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/stamp.h"
#include "rewrite/stamp_paths.h"
#include "rewrite/stamp_test_model.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

struct MemorySource : stamp::Source {
  explicit MemorySource(std::string_view text) : rest(text) {}
  bool Read(char* buf, size_t capacity, size_t* got, std::string*) override {
    *got = std::min(capacity, rest.size());
    memcpy(buf, rest.data(), *got);
    rest.remove_prefix(*got);
    return true;
  }
  std::string_view rest;
};

// Counts the bytes and drops them.  Appending them to a string instead
// timed the memory's write bandwidth more than the core: on the machine of
// docs/benchmark.md the reads and appends alone, with no rewrite between
// them, ran at 6.4 GB/s.  The output is checked once, before timing.
struct CountingSink : stamp::Sink {
  bool Write(const char* data, size_t len, std::string*) override {
    benchmark::DoNotOptimize(data);
    bytes += len;
    return true;
  }
  size_t bytes = 0;
};

struct StringSink : stamp::Sink {
  bool Write(const char* data, size_t len, std::string*) override {
    out.append(data, len);
    return true;
  }
  std::string out;
};

constexpr std::string_view kUser = "BUILD01\\builder";

// A fast wrong core is no use: the first run's output must be the model's.
bool RewritesRight(const std::string& input, std::string* err) {
  MemorySource in(input);
  StringSink out;
  if (stamp::RewriteLines(in, out, kUser, nullptr, err) !=
      stamp::Outcome::kDone)
    return false;
  if (out.out != stamp_model::Rewrite(input, kUser).out) {
    *err = "the output differs from the model's";
    return false;
  }
  return true;
}

// An element line of a project or installer description, indented.
std::string ElementLine(std::minstd_rand& rng) {
  static const char* const kLines[] = {
      "<Component Id=\"cmp0412\" Guid=\"8F0C2A1E9B7D4C3AA2E5F6071829304B\">",
      "</Component>",
      "<File Source=\"src\\setup\\file_0412.dll\" KeyPath=\"yes\" />",
      "<Version>1.4.0.217</Version>",
      "<Description>installer component feature</Description>",
      "<!-- release build of the setup module -->",
      "<Property Id=\"REGISTRY_2210\" Value=\"default product\" />",
      "<Title>Shortcut Folder</Title>",
      "",
  };
  const std::string_view body = kLines[rng() % std::size(kLines)];
  return std::string(2 + rng() % 5 * 2, ' ') + std::string(body);
}

// About one line in fifty holds the tag, as in a typical description.
std::string XmlLines(size_t size, std::string_view line_end) {
  std::minstd_rand rng(1);
  std::string text;
  text.reserve(size + 256);
  while (text.size() < size) {
    if (rng() % 50 == 0)
      text += "    <Author>old</Author>";
    else
      text += ElementLine(rng);
    text += line_end;
  }
  return text;
}

// Minified XML: one line, the tag 4 KiB before its end.
std::string SingleLine(size_t size) {
  std::minstd_rand rng(2);
  std::string text;
  text.reserve(size + 256);
  while (text.size() < size - 4096)
    text += ElementLine(rng).substr(2);
  text += "<Author>old</Author>";
  text.append(4096, 'x');
  return text;
}

// The same lines as UTF-16 LE after a byte-order mark, as Windows tools
// write them: each byte a unit.
std::string Utf16Le(std::string_view text) {
  std::string out = "\xFF\xFE";
  out.reserve(2 * text.size() + 2);
  for (const char c : text) {
    out += c;
    out += '\0';
  }
  return out;
}

const std::string& Input(int kind) {
  static const std::string kInputs[] = {
      XmlLines(32 * kMiB, "\n"),
      XmlLines(32 * kMiB, "\r\n"),  // already stamped once
      [] {
        std::string text;
        for (size_t i = 0; i < 16 * kMiB / 2; ++i)
          text += "x\n";
        return text;
      }(),
      SingleLine(32 * kMiB),
      Utf16Le(XmlLines(16 * kMiB, "\r\n")),
  };
  return kInputs[kind];
}

enum Kind { kXmlLf, kXmlCrLf, kOneByteLines, kSingleLine, kXmlUtf16Le };

void BM_RewriteLines(benchmark::State& state, Kind kind,
                     stamp::VectorPath path) {
  stamp::UseVectorPath(path);
  const std::string& input = Input(kind);
  const size_t lines = std::count(input.begin(), input.end(), '\n') +
                       (input.back() != '\n' && input.back() != '\0');
  std::string err;
  if (!RewritesRight(input, &err)) {
    state.SkipWithError(err.c_str());
    return;
  }
  size_t stamped = 0;
  const stamp::Trace trace = [&stamped](std::string_view) { ++stamped; };
  CountingSink out;
  for (auto _ : state) {
    MemorySource in(input);
    if (stamp::RewriteLines(in, out, kUser, trace, &err) !=
        stamp::Outcome::kDone) {
      state.SkipWithError(err.c_str());
      break;
    }
  }
  state.SetBytesProcessed(
      static_cast<int64_t>(state.iterations() * input.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * lines));
  // bytes_per_second again, in 10^9 bytes: the console shows the former in
  // GiB.
  state.counters["GB"] =
      benchmark::Counter(static_cast<double>(input.size()),
                         benchmark::Counter::kIsIterationInvariantRate);
  state.counters["input_MiB"] = static_cast<double>(input.size()) / kMiB;
  state.counters["stamped"] = benchmark::Counter(
      static_cast<double>(stamped), benchmark::Counter::kAvgIterations);
}

}  // namespace

// Every case on every vector path this machine can take, the widest (the
// one the tool takes) first.
int main(int argc, char** argv) {
  const struct {
    const char* name;
    Kind kind;
  } kCases[] = {
      {"xml_lines_lf", kXmlLf},           {"xml_lines_crlf", kXmlCrLf},
      {"one_byte_lines", kOneByteLines},  {"single_line", kSingleLine},
      {"xml_lines_utf16le", kXmlUtf16Le},
  };
  std::vector<stamp::VectorPath> paths = stamp::VectorPaths();
  std::reverse(paths.begin(), paths.end());
  for (const stamp::VectorPath path : paths) {
    for (const auto& c : kCases) {
      const std::string name = std::string("BM_RewriteLines/") + c.name + "/" +
                               stamp_model::NameOf(path);
      benchmark::RegisterBenchmark(name.c_str(), BM_RewriteLines, c.kind, path)
          ->Unit(benchmark::kMillisecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
