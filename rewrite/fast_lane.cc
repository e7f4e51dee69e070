#include "rewrite/fast_lane.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#if !defined(STAMP_SCALAR_ONLY) && (defined(__SSE2__) || defined(_M_X64))
#include <emmintrin.h>
#define STAMP_HAVE_SSE2 1
#endif
// AVX2 is chosen at run time, so that the one executable runs on every
// x86-64 processor: only functions marked for it use it.
#if defined(STAMP_HAVE_SSE2) && defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define STAMP_HAVE_AVX2 1
#endif
// Inlines every call in a function, where the compiler can be asked to.
#ifdef __GNUC__
#define STAMP_FLATTEN gnu::flatten
#else
#define STAMP_FLATTEN
#endif

namespace stamp {
namespace {

// --- The fast lane ---
//
// Most lines of a file do not hold the tag, and for those the rewrite is
// simple: every LF that has no CR before it gets one.  The fast lane does
// just that, a 64-byte chunk at a time, without stopping at each line: it
// marks the chunk's LFs, CRs and the places where "<A" begins in bit masks,
// copies the chunk and writes a CR before every LF that lacks one.  It
// leaves the rest to the line-by-line rewrite at the first chunk that holds
// the whole author tag.  A mask has a bit per byte, and a 16-bit unit sets
// both of its bits, so that a bit's position is a byte offset for either
// width of unit.

#ifdef STAMP_HAVE_SSE2

constexpr size_t kChunk = 64;
// Loads reach up to one chunk past the current one: the copies behind an
// inserted CR, the unit after the chunk, a tag that begins near its end.
constexpr size_t kInputSlack = kChunk;
// How far past its start a chunk's output may write, garbage included: the
// chunk, a chunk's worth of inserted CRs (every unit an LF), and a last copy
// that reaches a chunk further.
constexpr size_t kChunkRoom = 3 * kChunk;

static_assert(kChunk == 8 * sizeof(uint64_t), "a mask has a bit per byte");
static_assert(kChunk % sizeof(__m128i) == 0, "SSE2 takes whole vectors");
// WriteChunk() copies a whole chunk from behind a CR it inserts, which may
// be after the chunk's last unit; FindTag() compares a whole tag from there.
static_assert(kInputSlack >= kChunk, "the copy behind a CR");
static_assert(kInputSlack >= kTagSize * sizeof(char16_t), "a UTF-16 tag");
static_assert(kChunkRoom >= kChunk + kChunk + kChunk,
              "the chunk, its inserted CRs and a last copy");
// SkimLines() asks Output::Room() for half the output buffer, which it has
// once FlushPages() has left less than a page, and takes as many chunks as
// fit in that twice over (a chunk at most doubles) and kChunkRoom.
static_assert(kOutputSize / 2 <= kOutputSize - kPageSize, "Room() gives it");
static_assert(kOutputSize / 2 >= kChunkRoom + 2 * kChunk,
              "SkimLines() gets a chunk at least");
static_assert(kBlockSize >= kChunk + kInputSlack,
              "a block holds a chunk and its slack: the fast lane runs");

// The bits of a mask that stand for the first byte of a unit.
template <typename Unit>
constexpr uint64_t kUnitStarts = sizeof(Unit) == 1 ? ~uint64_t{0}
                                                   : 0x5555555555555555;

// Where in one chunk the LF units, the CR units and the "<A" pairs begin.
struct ChunkMasks {
  uint64_t lf, cr, lt_a;
};

// Each vector width classifies a chunk and copies one, behind the same
// names.  No vector crosses the functions of a width: Clang refuses to pass
// a 32-byte vector to or from a function compiled without AVX.
struct Sse2 {
  // The bits set in |m|.  A processor with only SSE2 may lack POPCNT, and
  // std::popcount() would call a library function.
  static size_t Count(uint64_t m) {
    m -= m >> 1 & 0x5555555555555555;
    m = (m & 0x3333333333333333) + (m >> 2 & 0x3333333333333333);
    m = (m + (m >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return (m * 0x0101010101010101) >> 56;
  }
  // The lowest bit set in |m|, or 64 when it has none, without the branch
  // that std::countr_zero() takes for 0 where the processor lacks TZCNT.
  static size_t LowestBit(uint64_t m) {
    return std::countr_zero(m | uint64_t{1} << 63) + (m == 0 ? 1 : 0);
  }

  template <class Units>
  static ChunkMasks CopyAndClassify(char* to, const char* p) {
    using Unit = typename Units::Unit;
    using M = Marks<Units>;
    const __m128i lf = Splat(M::kLf), cr = Splat(M::kCr);
    const __m128i lt = Splat(M::kTag[0]), a = Splat(M::kTag[1]);
    ChunkMasks m{};
    for (size_t i = 0; i < kChunk; i += sizeof(__m128i)) {
      const __m128i here = Load(p + i), next = Load(p + i + sizeof(Unit));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), here);
      m.lf |= Bits(Equal<Unit>(here, lf)) << i;
      m.cr |= Bits(Equal<Unit>(here, cr)) << i;
      m.lt_a |= Bits(_mm_and_si128(Equal<Unit>(here, lt), Equal<Unit>(next, a)))
                << i;
    }
    return m;
  }

  static void Copy(char* to, const char* from) {
    for (size_t i = 0; i < kChunk; i += sizeof(__m128i))
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), Load(from + i));
  }

  // Writes the chunk at |p| to |to| with a CR unit before each LF unit in
  // |bare|, and returns the end of what it wrote.  SSE2 has no byte
  // shuffle: a quarter of the chunk at a time, each CR is followed by a
  // copy of the rest of the quarter only.
  template <class Units>
  static char* Spread(char* to, const char* p, uint64_t bare) {
    using Unit = typename Units::Unit;
    static constexpr Unit kCr = Marks<Units>::kCr;
    constexpr size_t kQuarter = sizeof(__m128i);
    for (size_t i = 0; i < kChunk; i += kQuarter, to += kQuarter) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), Load(p + i));
      for (uint64_t m = (bare >> i & 0xFFFF) & kUnitStarts<Unit>; m != 0;
           m &= m - 1) {
        const auto at = static_cast<size_t>(std::countr_zero(m));
        memcpy(to + at, &kCr, sizeof(Unit));
        to += sizeof(Unit);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + at), Load(p + i + at));
      }
    }
    return to;
  }

  // The first LF or "<A" in the chunks from |p| to |last_chunk|, or the
  // end of the last chunk.
  template <class Units>
  static const char* FindStop(const char* p, const char* last_chunk) {
    using Unit = typename Units::Unit;
    using M = Marks<Units>;
    const __m128i lf = Splat(M::kLf);
    const __m128i lt = Splat(M::kTag[0]), a = Splat(M::kTag[1]);
    for (; p <= last_chunk; p += kChunk) {
      uint64_t stops = 0;
      for (size_t i = 0; i < kChunk; i += sizeof(__m128i)) {
        const __m128i here = Load(p + i), next = Load(p + i + sizeof(Unit));
        stops |= Bits(_mm_or_si128(Equal<Unit>(here, lf),
                                   _mm_and_si128(Equal<Unit>(here, lt),
                                                 Equal<Unit>(next, a))))
                 << i;
      }
      if (stops != 0)
        return p + std::countr_zero(stops);
    }
    return p;
  }

 private:
  static __m128i Load(const char* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static __m128i Splat(char u) { return _mm_set1_epi8(u); }
  static __m128i Splat(char16_t u) {
    return _mm_set1_epi16(static_cast<int16_t>(u));
  }
  template <typename Unit>
  static __m128i Equal(__m128i a, __m128i b) {
    return sizeof(Unit) == 1 ? _mm_cmpeq_epi8(a, b) : _mm_cmpeq_epi16(a, b);
  }
  static uint64_t Bits(__m128i v) {
    return static_cast<unsigned>(_mm_movemask_epi8(v));
  }
};

#ifdef STAMP_HAVE_AVX2
// For each pattern of LFs that need a CR among 8 bytes of text, the byte
// shuffle that spreads the 8 bytes out with a CR unit before each of those
// LF units: index i takes byte i of the text, 8 + b byte b of a CR unit.
template <size_t kUnitSize>
constexpr auto kSpreadShuffles = [] {
  std::array<std::array<uint8_t, 16>, 256> spreads{};
  for (size_t bare = 0; bare < spreads.size(); ++bare) {
    size_t to = 0;
    for (uint8_t i = 0; i < 8; ++i) {
      if (i % kUnitSize == 0 && (bare >> i & 1) != 0) {
        for (size_t b = 0; b < kUnitSize; ++b)
          spreads[bare][to++] = static_cast<uint8_t>(8 + b);
      }
      spreads[bare][to++] = i;
    }
  }
  return spreads;
}();

// Every function is compiled for AVX2, and runs only where the processor
// has it.
#define STAMP_AVX2 gnu::target("avx2,bmi,popcnt")
static_assert(kChunk == 2 * sizeof(__m256i), "FindStop() takes two vectors");
struct Avx2 {
  [[STAMP_AVX2]] static size_t Count(uint64_t m) { return std::popcount(m); }
  [[STAMP_AVX2]] static size_t LowestBit(uint64_t m) {
    return std::countr_zero(m);  // TZCNT
  }

  template <class Units>
  [[STAMP_AVX2]] static ChunkMasks CopyAndClassify(char* to, const char* p) {
    using Unit = typename Units::Unit;
    using M = Marks<Units>;
    const __m256i lf = Splat(M::kLf), cr = Splat(M::kCr);
    const __m256i lt = Splat(M::kTag[0]), a = Splat(M::kTag[1]);
    ChunkMasks m{};
    for (size_t i = 0; i < kChunk; i += sizeof(__m256i)) {
      const __m256i here = Load(p + i), next = Load(p + i + sizeof(Unit));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), here);
      m.lf |= Bits(Equal<Unit>(here, lf)) << i;
      m.cr |= Bits(Equal<Unit>(here, cr)) << i;
      m.lt_a |=
          Bits(_mm256_and_si256(Equal<Unit>(here, lt), Equal<Unit>(next, a)))
          << i;
    }
    return m;
  }

  [[STAMP_AVX2]] static void Copy(char* to, const char* from) {
    for (size_t i = 0; i < kChunk; i += sizeof(__m256i))
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), Load(from + i));
  }

  template <class Units>
  [[STAMP_AVX2]] static const char* FindStop(const char* p,
                                             const char* last_chunk) {
    for (; p <= last_chunk; p += kChunk) {
      const __m256i low = Stops<Units>(p), high = Stops<Units>(p + 32);
      const __m256i any = _mm256_or_si256(low, high);
      if (!_mm256_testz_si256(any, any))
        return p + std::countr_zero(Bits(low) | Bits(high) << 32);
    }
    return p;
  }

  // Writes the chunk at |p| to |to| with a CR unit before each LF unit in
  // |bare|, and returns the end of what it wrote: 8 bytes at a time, each
  // spread out by a byte shuffle (SSSE3, which every AVX2 processor has).
  // It costs the same for any number of CRs; WriteChunk() says when that
  // pays.
  template <class Units>
  [[STAMP_AVX2]] static char* Spread(char* to, const char* p, uint64_t bare) {
    using Unit = typename Units::Unit;
    const __m128i crs =
        sizeof(Unit) == 1
            ? _mm_set1_epi8(static_cast<char>(Marks<Units>::kCr))
            : _mm_set1_epi16(static_cast<int16_t>(Marks<Units>::kCr));
    for (size_t i = 0; i < kChunk; i += 8) {
      const auto eight = static_cast<uint8_t>(bare >> i);
      const __m128i text = _mm_unpacklo_epi64(
          _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i)), crs);
      const __m128i spread = _mm_shuffle_epi8(
          text, _mm_loadu_si128(reinterpret_cast<const __m128i*>(
                    kSpreadShuffles<sizeof(Unit)>[eight].data())));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(to), spread);
      to += 8 + std::popcount(eight);
    }
    return to;
  }

 private:
  // Where the 32 bytes at |p| hold an LF or begin "<A".
  template <class Units>
  [[STAMP_AVX2]] static __m256i Stops(const char* p) {
    using Unit = typename Units::Unit;
    using M = Marks<Units>;
    const __m256i here = Load(p);
    return _mm256_or_si256(
        Equal<Unit>(here, Splat(M::kLf)),
        _mm256_and_si256(
            Equal<Unit>(here, Splat(M::kTag[0])),
            Equal<Unit>(Load(p + sizeof(Unit)), Splat(M::kTag[1]))));
  }
  [[STAMP_AVX2]] static __m256i Load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  [[STAMP_AVX2]] static __m256i Splat(char u) { return _mm256_set1_epi8(u); }
  [[STAMP_AVX2]] static __m256i Splat(char16_t u) {
    return _mm256_set1_epi16(static_cast<int16_t>(u));
  }
  template <typename Unit>
  [[STAMP_AVX2]] static __m256i Equal(__m256i a, __m256i b) {
    return sizeof(Unit) == 1 ? _mm256_cmpeq_epi8(a, b)
                             : _mm256_cmpeq_epi16(a, b);
  }
  [[STAMP_AVX2]] static uint64_t Bits(__m256i v) {
    return static_cast<unsigned>(_mm256_movemask_epi8(v));
  }
};
#endif  // STAMP_HAVE_AVX2

// Where the first of the "<A" pairs in |lt_a| that begins the whole tag
// is, or kChunk when none does.
template <class Units>
size_t FindTag(const char* p, uint64_t lt_a) {
  using M = Marks<Units>;
  for (uint64_t m = lt_a & kUnitStarts<typename Units::Unit>; m != 0;
       m &= m - 1) {
    const auto at = static_cast<size_t>(std::countr_zero(m));
    if (memcmp(p + at, M::kTag.data(), sizeof(M::kTag)) == 0)
      return at;
  }
  return kChunk;
}

// This many chunks without a line end make a long line.
constexpr size_t kLongLine = 4;

// Above this many CRs in a chunk, short lines, Spread() is faster than a
// copy of the rest of the chunk for each.
constexpr size_t kSpreadAbove = 8;

// Puts a CR before each LF in |bare| into the copy of the chunk at |p| that
// |to| holds, and returns the end of the result.  Each CR is followed by a
// copy of the rest of the chunk, which the next CR's copy partly
// overwrites.
template <class Isa, class Units>
char* WriteChunk(char* to, const char* p, uint64_t bare) {
  using Unit = typename Units::Unit;
  static constexpr Unit kCr = Marks<Units>::kCr;
  uint64_t m = bare & kUnitStarts<Unit>;
  const size_t crs = Isa::Count(m);
  if (crs > kSpreadAbove)
    return Isa::template Spread<Units>(to, p, bare);
  // Most chunks of text hold two line ends or fewer: the first two CRs go
  // in without a branch that the processor would often guess wrong.  A CR
  // that is not there goes past the end of the chunk's output, where the
  // next chunk's output overwrites it.
  size_t shift = 0;
  for (int i = 0; i < 2; ++i, shift += sizeof(Unit), m &= m - 1) {
    const size_t at = Isa::LowestBit(m);
    memcpy(to + shift + at, &kCr, sizeof(Unit));
    Isa::Copy(to + shift + sizeof(Unit) + at, p + at);
  }
  for (; m != 0; shift += sizeof(Unit), m &= m - 1) {
    const auto at = static_cast<size_t>(std::countr_zero(m));
    memcpy(to + shift + at, &kCr, sizeof(Unit));
    Isa::Copy(to + shift + sizeof(Unit) + at, p + at);
  }
  return to + kChunk + crs * sizeof(Unit);
}

// The fast lane over [p, end) from where a line may begin: copies whole
// chunks while they hold no tag and enough input is left, and returns where
// it stopped.  |*line_start| moves to the start of the last line begun;
// |cr_before| says whether the unit before |p| is a CR.
template <class Isa, class Units>
const typename Units::Unit* SkimLines(Output& out,
                                      const typename Units::Unit* from,
                                      const typename Units::Unit* end,
                                      const typename Units::Unit** line_start,
                                      bool cr_before) {
  using Unit = typename Units::Unit;
  constexpr unsigned kUnitBits = sizeof(Unit);  // bits of a unit in a mask
  const char* p = reinterpret_cast<const char*>(from);
  const char* const last = reinterpret_cast<const char*>(end);
  if (static_cast<size_t>(last - p) < kChunk + kInputSlack)
    return from;
  // Locals rather than members: the stores could alias members and would
  // make the compiler reload them for every chunk.
  const char* const first = p;
  // As much text as surely fits in the output, which a chunk at most
  // doubles.  A flush in the loop would cost more than its call: GCC
  // would build the loop's constant vectors anew in every round.
  char* to = out.Room(kOutputSize / 2);
  const size_t fits = (out.LastRoom(kChunkRoom) - to) / 2;
  const char* const last_chunk =
      p +
      std::min(static_cast<size_t>(last - p) - (kChunk + kInputSlack), fits);
  uint64_t cr_carry = cr_before ? (uint64_t{1} << kUnitBits) - 1 : 0;
  uint64_t chunks_in_line = 0;
  while (p <= last_chunk) {
    const ChunkMasks m = Isa::template CopyAndClassify<Units>(to, p);
    // An LF needs a CR unless the unit before it is one.
    const uint64_t bare = m.lf & ~(m.cr << kUnitBits | cr_carry);
    if (m.lt_a != 0) {
      // At the tag, the lines before its own are done here, and the
      // line-by-line rewrite takes over at the start of its line.
      if (const size_t tag = FindTag<Units>(p, m.lt_a); tag < kChunk) {
        const uint64_t before = m.lf & ((uint64_t{1} << tag) - 1);
        if (before != 0) {
          const auto line = static_cast<size_t>(64 - std::countl_zero(before));
          to = WriteChunk<Isa, Units>(to, p,
                                      bare & ((uint64_t{1} << line) - 1)) -
               (kChunk - line);
          p += line;
        }
        break;
      }
    }
    cr_carry = m.cr >> (64 - kUnitBits);
    to = WriteChunk<Isa, Units>(to, p, bare);
    // How many chunks the last line fills, with a mask rather than a branch
    // that the processor would often guess wrong.
    chunks_in_line = (chunks_in_line + 1) * static_cast<uint64_t>(m.lf == 0);
    p += kChunk;
    // A long line goes faster through NextStop().
    if (chunks_in_line == kLongLine)
      break;
  }
  out.Commit(to);
  // The last line begun starts behind the last LF before |p|, which lies
  // at most a few chunks back: found once here rather than kept track of
  // in every chunk.
  const auto* const done = reinterpret_cast<const Unit*>(first);
  for (const auto* q = reinterpret_cast<const Unit*>(p); q > done; --q) {
    if (q[-1] == Marks<Units>::kLf) {
      *line_start = q;
      break;
    }
  }
  return reinterpret_cast<const Unit*>(p);
}

#endif  // STAMP_HAVE_SSE2

// The scan a unit at a time: the whole of it on the scalar path, the rest
// that is too short for a chunk on the others.
template <class Units>
const typename Units::Unit* ScanUnits(const typename Units::Unit* p,
                                      const typename Units::Unit* end) {
  using M = Marks<Units>;
  for (; p < end; ++p) {
    if (*p == M::kLf || *p == M::kTag[0])
      return p;
  }
  return end;
}

#ifdef STAMP_HAVE_SSE2
// Looking for LF and "<A" in one pass costs less than a memchr() per line
// plus one per "<", which markup has several of on every line.
template <class Isa, class Units>
const typename Units::Unit* NextStop(const typename Units::Unit* p,
                                     const typename Units::Unit* end) {
  // A chunk at a time while a chunk and what it looks ahead at are left.
  using Unit = typename Units::Unit;
  const char* const from = reinterpret_cast<const char*>(p);
  const char* const last = reinterpret_cast<const char*>(end);
  if (static_cast<size_t>(last - from) >= kChunk + kInputSlack) {
    const char* const last_chunk = last - (kChunk + kInputSlack);
    p = reinterpret_cast<const Unit*>(
        Isa::template FindStop<Units>(from, last_chunk));
  }
  return ScanUnits<Units>(p, end);
}

// The fast lane and the scan of each vector path, with every call in them
// inlined: the rewrite reaches them through a Lane's pointers, so they
// cannot be inlined into it.
template <class Units>
[[STAMP_FLATTEN]] const typename Units::Unit* SkimLinesSse2(
    Output& out, const typename Units::Unit* p, const typename Units::Unit* end,
    const typename Units::Unit** line_start, bool cr_before) {
  return SkimLines<Sse2, Units>(out, p, end, line_start, cr_before);
}
template <class Units>
[[STAMP_FLATTEN]] const typename Units::Unit* NextStopSse2(
    const typename Units::Unit* p, const typename Units::Unit* end) {
  return NextStop<Sse2, Units>(p, end);
}

#ifdef STAMP_HAVE_AVX2
// Compiled for AVX2, every call in them too.
template <class Units>
[[STAMP_AVX2, gnu::flatten]] const typename Units::Unit* SkimLinesAvx2(
    Output& out, const typename Units::Unit* p, const typename Units::Unit* end,
    const typename Units::Unit** line_start, bool cr_before) {
  return SkimLines<Avx2, Units>(out, p, end, line_start, cr_before);
}
template <class Units>
[[STAMP_AVX2, gnu::flatten]] const typename Units::Unit* NextStopAvx2(
    const typename Units::Unit* p, const typename Units::Unit* end) {
  return NextStop<Avx2, Units>(p, end);
}
#endif  // STAMP_HAVE_AVX2
#endif  // STAMP_HAVE_SSE2

// The scalar path has no fast lane: every line takes the line-by-line
// rewrite.
template <class Units>
const typename Units::Unit* NoFastLane(
    Output& /*out*/, const typename Units::Unit* p,
    const typename Units::Unit* /*end*/,
    const typename Units::Unit** /*line_start*/, bool /*cr_before*/) {
  return p;
}

VectorPath WidestPath() {
#ifdef STAMP_HAVE_AVX2
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
      __builtin_cpu_supports("popcnt"))
    return VectorPath::kAvx2;
#endif
#ifdef STAMP_HAVE_SSE2
  return VectorPath::kSse2;
#else
  return VectorPath::kScalar;
#endif
}

VectorPath& Chosen() {
  static VectorPath path = WidestPath();
  return path;
}

}  // namespace

template <class Units>
Lane<Units> LaneOf(VectorPath path) {
  switch (path) {
#ifdef STAMP_HAVE_AVX2
    case VectorPath::kAvx2:
      return {SkimLinesAvx2<Units>, NextStopAvx2<Units>};
#endif
#ifdef STAMP_HAVE_SSE2
    case VectorPath::kSse2:
      return {SkimLinesSse2<Units>, NextStopSse2<Units>};
#endif
    default:
      return {NoFastLane<Units>, ScanUnits<Units>};
  }
}

template Lane<Bytes> LaneOf(VectorPath path);
template Lane<Utf16<std::endian::little>> LaneOf(VectorPath path);
template Lane<Utf16<std::endian::big>> LaneOf(VectorPath path);

VectorPath ChosenPath() { return Chosen(); }

// The scalar path in every build: the tests run the code of the scalar
// build and of arm64 on x86 too.
std::vector<VectorPath> VectorPaths() {
  std::vector<VectorPath> paths = {VectorPath::kScalar};
#ifdef STAMP_HAVE_SSE2
  paths.push_back(VectorPath::kSse2);
#endif
#ifdef STAMP_HAVE_AVX2
  if (WidestPath() == VectorPath::kAvx2)
    paths.push_back(VectorPath::kAvx2);
#endif
  return paths;
}

bool UseVectorPath(VectorPath path) {
  const std::vector<VectorPath> paths = VectorPaths();
  if (std::find(paths.begin(), paths.end(), path) == paths.end())
    return false;
  Chosen() = path;
  return true;
}

}  // namespace stamp
