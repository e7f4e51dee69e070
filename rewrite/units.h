// What the rewrite needs to know of each kind of text: the unit it is made
// of, how the units it looks for lie in memory, and how a stamped line's
// units become the UTF-8 of a trace.  The rewrite and the fast lane are
// written once, over any of these.
#ifndef AUTHORSTAMP_REWRITE_UNITS_H_
#define AUTHORSTAMP_REWRITE_UNITS_H_

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>
#include <string_view>

#include "rewrite/stamp.h"

namespace stamp {

constexpr size_t kTagSize = kAuthorTag.size();

// --- 8-bit text ---

// What the rewrite needs to know of 8-bit text, whose units are bytes.
struct Bytes {
  using Unit = char;
  static constexpr std::string_view kUnitName = "bytes";

  static constexpr Unit Of(char c) { return c; }

  static const char* FindLf(const char* p, const char* end) {
    const void* lf = memchr(p, '\n', end - p);
    return lf ? static_cast<const char*>(lf) : end;
  }

  // A trace shows the bytes as they are.
  static bool EndsInLeadSurrogate(const std::string& /*units*/) {
    return false;
  }
  static void AppendText(const std::string& units, std::string* text) {
    *text += units;
  }
};

// --- UTF-16 text ---
//
// A unit is handled as it lies in memory: its two bytes in the file's order,
// loaded into a char16_t.  The units the rewrite looks for are made the same
// way, so that scanning and copying never swap bytes; only the trace, which
// is UTF-8, decodes them.

// |unit| as it lies in memory when its bytes are in |order|.
constexpr char16_t InMemory(char32_t unit, std::endian order) {
  const auto u = static_cast<char16_t>(unit);
  return order == std::endian::native ? u
                                      : static_cast<char16_t>(u >> 8 | u << 8);
}

// The unit's value, from how it lies in memory.
constexpr char32_t ValueOf(char16_t unit, std::endian order) {
  return InMemory(unit, order);
}

constexpr bool IsLead(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
constexpr bool IsTrail(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Appends |utf8| to |out| as UTF-16 in |order|, surrogate pairs where
// needed.  False when |utf8| is not well-formed: a stray or missing
// continuation byte, an overlong form, a surrogate or a value past U+10FFFF.
bool AppendUtf16(std::string_view utf8, std::endian order, std::string* out);

// Appends the units in |order| to |out| as UTF-8.  UTF-8 has no form for a
// surrogate that is not half of a pair; such a unit shows as U+FFFD.
void AppendUtf8(std::u16string_view units, std::endian order, std::string* out);

// What the rewrite needs to know of UTF-16 text in byte order |kOrder|.
template <std::endian kOrder>
struct Utf16 {
  using Unit = char16_t;
  static constexpr std::string_view kUnitName = "code units";

  static constexpr Unit Of(char c) { return InMemory(c, kOrder); }

  static const Unit* FindLf(const Unit* p, const Unit* end) {
    return std::find(p, end, Of('\n'));
  }

  static bool EndsInLeadSurrogate(const std::u16string& units) {
    return !units.empty() && IsLead(ValueOf(units.back(), kOrder));
  }
  static void AppendText(const std::u16string& units, std::string* text) {
    AppendUtf8(units, kOrder, text);
  }
};

// The units the rewrite looks for, as they lie in memory.
template <class Units>
struct Marks {
  using Unit = typename Units::Unit;
  static constexpr Unit kLf = Units::Of('\n');
  static constexpr Unit kCr = Units::Of('\r');
  static constexpr std::array<Unit, kTagSize> kTag = [] {
    std::array<Unit, kTagSize> tag{};
    for (size_t i = 0; i < kTagSize; ++i)
      tag[i] = Units::Of(kAuthorTag[i]);
    return tag;
  }();
};

}  // namespace stamp

#endif  // AUTHORSTAMP_REWRITE_UNITS_H_
