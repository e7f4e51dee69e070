// A model of the rewrite for the unit test and the fuzzer: the same job
// done the slow and obvious way, on the whole text at once.  Decide the
// encoding by the first bytes; split at LF, drop one CR before it, stamp by
// find(), join with CR LF, on bytes or on 16-bit units.  Test code only.
#ifndef AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_
#define AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rewrite/stamp.h"
#include "rewrite/stamp_paths.h"

namespace stamp_model {

struct Expected {
  stamp::Outcome outcome = stamp::Outcome::kDone;
  // For kOddLength: the rewrite of the text without its last byte, of which
  // the core may have written any first part before it found out.
  std::string out;
  std::vector<std::string> traces;
};

// The line rules on a string of any unit type.  Stamped lines get |stamped|
// after the text before the tag, which goes to |prefixes|.
template <typename Char>
void RewriteUnits(std::basic_string_view<Char> text,
                  const std::basic_string<Char>& stamped,
                  std::basic_string<Char>* out,
                  std::vector<std::basic_string<Char>>* prefixes) {
  const std::basic_string<Char> tag(stamp::kAuthorTag.begin(),
                                    stamp::kAuthorTag.end());
  const std::basic_string<Char> crlf = {Char('\r'), Char('\n')};
  size_t start = 0;
  while (start < text.size()) {
    const size_t lf = text.find(Char('\n'), start);
    const size_t end = lf == text.npos ? text.size() : lf;
    auto line = text.substr(start, end - start);
    if (lf != text.npos && !line.empty() && line.back() == Char('\r'))
      line.remove_suffix(1);
    const size_t at = line.find(tag);
    if (at == line.npos) {
      *out += line;
    } else {
      prefixes->emplace_back(line.substr(0, at));
      *out += line.substr(0, at);
      *out += tag;
      *out += stamped;
    }
    *out += crlf;
    if (lf == text.npos)
      break;
    start = lf + 1;
  }
}

inline std::string Shortened(size_t not_shown, const char* unit_name) {
  return "[... " + std::to_string(not_shown) + " " + unit_name +
         " not shown ...]";
}

// UTF-8 to code points, by the table of well-formed byte sequences: the
// ranges allowed for each byte, given the first.  Nothing on failure.
inline std::optional<std::u32string> DecodeUtf8(std::string_view s) {
  struct Row {
    unsigned char first_lo, first_hi, second_lo, second_hi;
    int length;
  };
  static const Row kTable[] = {
      {0x00, 0x7F, 0, 0, 1},       {0xC2, 0xDF, 0x80, 0xBF, 2},
      {0xE0, 0xE0, 0xA0, 0xBF, 3}, {0xE1, 0xEC, 0x80, 0xBF, 3},
      {0xED, 0xED, 0x80, 0x9F, 3}, {0xEE, 0xEF, 0x80, 0xBF, 3},
      {0xF0, 0xF0, 0x90, 0xBF, 4}, {0xF1, 0xF3, 0x80, 0xBF, 4},
      {0xF4, 0xF4, 0x80, 0x8F, 4},
  };
  std::u32string out;
  size_t i = 0;
  while (i < s.size()) {
    const auto b = [&](size_t k) { return (unsigned char)s[i + k]; };
    const Row* row = nullptr;
    for (const Row& r : kTable) {
      if (b(0) >= r.first_lo && b(0) <= r.first_hi)
        row = &r;
    }
    if (!row || s.size() - i < size_t(row->length))
      return std::nullopt;
    char32_t c = b(0) & (row->length == 1   ? 0x7F
                         : row->length == 2 ? 0x1F
                         : row->length == 3 ? 0x0F
                                            : 0x07);
    for (int k = 1; k < row->length; ++k) {
      const unsigned char lo = k == 1 ? row->second_lo : 0x80;
      const unsigned char hi = k == 1 ? row->second_hi : 0xBF;
      if (b(k) < lo || b(k) > hi)
        return std::nullopt;
      c = c << 6 | (b(k) & 0x3F);
    }
    out += c;
    i += row->length;
  }
  return out;
}

inline std::u16string ToUtf16(std::u32string_view code_points) {
  std::u16string out;
  for (char32_t c : code_points) {
    if (c < 0x10000) {
      out += char16_t(c);
    } else {
      out += char16_t(0xD800 | (c - 0x10000) >> 10);
      out += char16_t(0xDC00 | (c & 0x3FF));
    }
  }
  return out;
}

// Units to UTF-8, a surrogate that is not half of a pair as U+FFFD.
inline std::string ToUtf8(std::u16string_view units) {
  std::string out;
  auto put = [&out](char32_t c) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | c >> 6);
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | c >> 12);
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | c >> 18);
      out += char(0x80 | (c >> 12 & 0x3F));
      out += char(0x80 | (c >> 6 & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    const bool lead = u >= 0xD800 && u < 0xDC00;
    const bool trail = u >= 0xDC00 && u < 0xE000;
    if (lead && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      put(0x10000 + ((u - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else {
      put(lead || trail ? 0xFFFD : u);
    }
  }
  return out;
}

// The units of |bytes|, two bytes each, in the given order.
inline std::u16string Units(std::string_view bytes, bool big_endian) {
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto b0 = (unsigned char)bytes[i], b1 = (unsigned char)bytes[i + 1];
    units += big_endian ? char16_t(b0 << 8 | b1) : char16_t(b1 << 8 | b0);
  }
  return units;
}

inline std::string Bytes(std::u16string_view units, bool big_endian) {
  std::string bytes;
  for (char16_t u : units) {
    const char hi = char(u >> 8), lo = char(u & 0xFF);
    bytes += big_endian ? hi : lo;
    bytes += big_endian ? lo : hi;
  }
  return bytes;
}

inline void RewriteUtf16(std::string_view text, std::string_view user,
                         bool big_endian, Expected* e) {
  const std::string_view mark = text.substr(0, 2);
  text.remove_prefix(2);
  if (text.size() % 2 != 0) {
    e->outcome = stamp::Outcome::kOddLength;
    text.remove_suffix(1);
  }
  const std::optional<std::u32string> name = DecodeUtf8(user);
  if (!name) {
    e->outcome = stamp::Outcome::kUserNotUtf8;
    return;
  }
  const std::u16string closing(stamp::kClosingTag.begin(),
                               stamp::kClosingTag.end());
  std::u16string out;
  std::vector<std::u16string> prefixes;
  RewriteUnits<char16_t>(Units(text, big_endian), ToUtf16(*name) + closing,
                         &out, &prefixes);
  e->out = std::string(mark) + Bytes(out, big_endian);
  for (std::u16string& prefix : prefixes) {
    std::string trace;
    if (prefix.size() > stamp::kTracePrefixLimit) {
      size_t shown = stamp::kTracePrefixLimit;
      if (prefix[shown - 1] >= 0xD800 && prefix[shown - 1] < 0xDC00)
        --shown;
      trace = ToUtf8(prefix.substr(0, shown)) +
              Shortened(prefix.size() - shown, "code units");
    } else {
      trace = ToUtf8(prefix);
    }
    e->traces.push_back(trace + std::string(stamp::kAuthorTag) +
                        std::string(user) + std::string(stamp::kClosingTag));
  }
}

inline void Rewrite(std::string_view text, std::string_view user,
                    Expected* want) {
  Expected& e = *want;
  e = Expected();
  using namespace std::string_view_literals;
  if (text.starts_with("\xff\xfe\0\0"sv) ||
      text.starts_with("\0\0\xfe\xff"sv)) {
    e.outcome = stamp::Outcome::kUtf32;
    return;
  }
  if (text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff")) {
    RewriteUtf16(text, user, text[0] == '\xfe', &e);
    return;
  }
  const std::string stamped =
      std::string(user) + std::string(stamp::kClosingTag);
  std::vector<std::string> prefixes;
  RewriteUnits<char>(text, stamped, &e.out, &prefixes);
  for (const std::string& prefix : prefixes) {
    std::string trace = prefix.substr(0, stamp::kTracePrefixLimit);
    if (prefix.size() > stamp::kTracePrefixLimit)
      trace += Shortened(prefix.size() - stamp::kTracePrefixLimit, "bytes");
    e.traces.push_back(trace + std::string(stamp::kAuthorTag) + stamped);
  }
}

inline const char* NameOf(stamp::VectorPath path) {
  return path == stamp::VectorPath::kAvx2   ? "avx2"
         : path == stamp::VectorPath::kSse2 ? "sse2"
                                            : "scalar";
}

inline Expected Rewrite(std::string_view text, std::string_view user) {
  Expected e;
  Rewrite(text, user, &e);
  return e;
}

}  // namespace stamp_model

#endif  // AUTHORSTAMP_REWRITE_STAMP_TEST_MODEL_H_
