#include "frontend/log_text.h"

#include <cstdio>

namespace frontend {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kLastPrintable = 0x7E;

}  // namespace

std::string loggable(std::string_view text, std::size_t most) {
  const std::string_view kept = text.substr(0, most);
  std::string out;
  out.reserve(kept.size() + 3);
  for (const char c : kept) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= kFirstPrintable && byte <= kLastPrintable) {
      out += c;
    } else {
      out += "\\x";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xF];
    }
  }
  if (kept.size() < text.size()) out += "...";
  return out;
}

std::string hexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%s%02X", i == 0 ? "" : " ", bytes[i]);
    text += hex;
  }
  return text;
}

}  // namespace frontend
