// Milliseconds on the steady clock, for the waits and timeouts of the
// server's threads (never the time of day).
#ifndef QMX_APP_STEADY_CLOCK_H_
#define QMX_APP_STEADY_CLOCK_H_

#include <chrono>

namespace app {

inline long long steadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace app

#endif  // QMX_APP_STEADY_CLOCK_H_
