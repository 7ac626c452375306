#include "download/retry.h"

#include <optional>

#include "net/fetch.h"

namespace download {

bool RetryRules::mayPass(int status, bool transportMayPass) {
  if (status == 0) return transportMayPass;
  return status == 408 || status == 429 || (status >= 500 && status < 600);
}

std::chrono::milliseconds RetryRules::wait(int failures, const QByteArray& retryAfter,
                                           std::int64_t now) const {
  std::optional<std::int64_t> said;
  if (const auto seconds = net::decimal(retryAfter))
    said = std::int64_t(std::min<std::uint64_t>(*seconds, 1u << 30));
  else if (const auto date = net::httpDate(retryAfter))
    said = std::max<std::int64_t>(0, *date - now);  // a date already past: at once
  if (said && *said <= maxRetryAfter.count()) return std::chrono::seconds(*said);
  return firstWait * (1 << std::min(failures, 16));
}

}  // namespace download
