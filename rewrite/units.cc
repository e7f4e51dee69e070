#include "rewrite/units.h"

namespace stamp {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUnit(char32_t unit, std::endian order, std::string* out) {
  const char16_t u = InMemory(unit, order);
  out->append(reinterpret_cast<const char*>(&u), sizeof(u));
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | c >> 6);
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | c >> 12);
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | c >> 18);
    *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool AppendUtf16(std::string_view utf8, std::endian order, std::string* out) {
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    size_t len;
    char32_t c;
    char32_t least;  // the least value that needs |len| bytes
    if (lead < 0x80) {
      len = 1, c = lead, least = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      len = 2, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      len = 3, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      len = 4, c = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (utf8.size() - i < len)
      return false;
    for (size_t k = 1; k < len; ++k) {
      const auto next = static_cast<unsigned char>(utf8[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      c = c << 6 | (next & 0x3F);
    }
    if (c < least || c > 0x10FFFF || IsLead(c) || IsTrail(c))
      return false;
    i += len;
    if (c < 0x10000) {
      AppendUnit(c, order, out);
    } else {
      AppendUnit(0xD800 + ((c - 0x10000) >> 10), order, out);
      AppendUnit(0xDC00 + (c & 0x3FF), order, out);
    }
  }
  return true;
}

void AppendUtf8(std::u16string_view units, std::endian order,
                std::string* out) {
  for (size_t i = 0; i < units.size(); ++i) {
    const char32_t u = ValueOf(units[i], order);
    const char32_t next =
        i + 1 < units.size() ? ValueOf(units[i + 1], order) : 0;
    if (IsLead(u) && IsTrail(next)) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00), out);
      ++i;
    } else {
      AppendUtf8(IsLead(u) || IsTrail(u) ? kReplacement : u, out);
    }
  }
}

}  // namespace stamp
