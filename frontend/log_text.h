// Text from a job (option values, file names) on its way into a message.
// The print system reads a filter's standard error line by line and takes
// a line that starts "PAGE:", "ATTR:" or "ERROR:" as a report, so no byte
// of a job's text may end a line, and none may steer a terminal that shows
// a log.
#ifndef QMX_FRONTEND_LOG_TEXT_H_
#define QMX_FRONTEND_LOG_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace frontend {

// Room for any option name, value or file name a person would type.
inline constexpr std::size_t kMostLoggedChars = 80;

// Printable ASCII as it is, any other byte as \xNN; at most `most` bytes
// of `text`, then "..." when there were more.
std::string loggable(std::string_view text, std::size_t most = kMostLoggedChars);

// Bytes as hex pairs with a space between ("52 61 53 32"), for a message
// that shows how a file starts.
std::string hexBytes(const std::uint8_t* bytes, std::size_t count);

}  // namespace frontend

#endif  // QMX_FRONTEND_LOG_TEXT_H_
