#include "frontend/log_text.h"

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

}  // namespace frontend
