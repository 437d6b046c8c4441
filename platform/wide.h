// UTF-16 text as the print system uses it.
//
// On Windows a wide character is wchar_t; elsewhere it is char16_t, so the
// same 16-bit code units flow through the plug-in on every platform. Only the
// POSIX platform implementation converts them to UTF-8.
#ifndef QMX_PLATFORM_WIDE_H_
#define QMX_PLATFORM_WIDE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

#if defined(_WIN32)
using WChar = wchar_t;
#define QMX_WIDE(s) L##s
#else
using WChar = char16_t;
#define QMX_WIDE(s) u##s
#endif
static_assert(sizeof(WChar) == 2, "wide characters are UTF-16 code units");

using WString = std::basic_string<WChar>;

// Length of a NUL-terminated wide string.
inline std::size_t wideLength(const WChar* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Conversions used by tools, tests and the POSIX layer. Invalid sequences
// become U+FFFD rather than failing.
std::string toUtf8(const WChar* s, std::size_t length);
inline std::string toUtf8(const WString& s) { return toUtf8(s.data(), s.size()); }
WString fromUtf8(const std::string& s);

}  // namespace platform

#endif  // QMX_PLATFORM_WIDE_H_
