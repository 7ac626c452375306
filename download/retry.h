// When a failed request is tried again, and after how long.
#pragma once

#include <QByteArray>
#include <chrono>
#include <cstdint>

namespace download {

struct RetryRules {
  int retries = 3;                         // tries after the first
  std::chrono::seconds firstWait{1};       // doubled for each further try: 1, 2, 4 s
  std::chrono::seconds maxRetryAfter{30};  // a longer Retry-After is not waited for

  // status 0: no answer arrived; transportMayPass then tells whether its cause may pass
  // (no connection, reset, stall). 408, 429 and 5xx may pass; any other answer is final.
  static bool mayPass(int status, bool transportMayPass);
  // The wait after the failures-th failure (0-based), given the answer's Retry-After
  // (seconds or an HTTP date; empty when none) and the time now (seconds since the epoch).
  std::chrono::milliseconds wait(int failures, const QByteArray& retryAfter,
                                 std::int64_t now) const;
};

}  // namespace download
