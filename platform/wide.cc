#include "platform/wide.h"

namespace platform {

std::string toUtf8(const WChar* s, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    std::uint32_t c = static_cast<std::uint16_t>(s[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
      std::uint32_t low = static_cast<std::uint16_t>(s[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        c = 0xFFFD;
      }
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

WString fromUtf8(const std::string& s) {
  WString out;
  std::size_t i = 0;
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  while (i < s.size()) {
    std::uint32_t c = at(i);
    std::size_t extra = 0;
    if (c < 0x80) {
      extra = 0;
    } else if ((c & 0xE0) == 0xC0) {
      c &= 0x1F, extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      c &= 0x0F, extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      c &= 0x07, extra = 3;
    } else {
      out += static_cast<WChar>(0xFFFD);
      ++i;
      continue;
    }
    bool ok = true;
    for (std::size_t k = 1; k <= extra; ++k) {
      if (i + k >= s.size() || (at(i + k) & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (at(i + k) & 0x3F);
    }
    if (!ok) {
      out += static_cast<WChar>(0xFFFD);
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<WChar>(0xD800 + (c >> 10));
      out += static_cast<WChar>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<WChar>(c);
    }
  }
  return out;
}

}  // namespace platform
