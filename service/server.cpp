// The HTTP/1.0 server: one thread per connection, every wait also watches a wake pipe
// so that stop() ends stalled and slow connections at once.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <thread>

#include "service/internal.h"

namespace service {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 1024 * 1024;
constexpr int kRequestTimeoutMs = 10000;
constexpr int kSendIdleMs = 60000;
// Stalled connections give up eventually so a long demo run does not pile up threads.
constexpr int kHoldMs = 10 * 60 * 1000;
constexpr int kSlowPieces = 10;
constexpr int kSlowPauseMs = 80;
constexpr int kTricklePauseMs = 100;
constexpr std::uint64_t kDribbleBytes = 20;
constexpr std::uint64_t kEndless = UINT64_MAX;

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

// A reply body: a text (sent once, or over and over up to size), or slice bytes
// produced on demand.
struct Body {
  std::string text;
  bool generated = false;
  bool repeated = false;  // text repeated until size (kEndless: without end)
  std::uint64_t seed = 0;
  std::uint64_t start = 0;  // first slice byte of a generated body (a range)
  std::uint64_t size = 0;

  std::uint64_t length() const { return generated || repeated ? size : text.size(); }
  void fill(std::uint64_t offset, char* out, std::size_t n) const {
    if (generated) {
      detail::fillSliceBytes(seed, start + offset, out, n);
    } else if (repeated) {
      for (std::size_t done = 0; done < n;) {
        const std::size_t at = std::size_t((offset + done) % text.size());
        const std::size_t take = std::min(n - done, text.size() - at);
        std::memcpy(out + done, text.data() + at, take);
        done += take;
      }
    } else {
      std::memcpy(out, text.data() + offset, n);
    }
  }
  // Only the first n bytes.
  void cut(std::uint64_t n) {
    if (generated || repeated)
      size = std::min(size, n);
    else
      text.resize(std::min<std::uint64_t>(text.size(), n));
  }
  // The content without end (an empty text stays empty).
  void repeatForever() {
    if (generated) {
      size = kEndless;
    } else if (!text.empty()) {
      repeated = true;
      size = kEndless;
    }
  }
};

struct Answer {
  int status = 200;
  std::string headers;  // lines before Content-Length, each ending in CRLF
  std::string extra;    // lines after it (Content-Range, validator, Retry-After)
  bool withLength = true;
  bool closing = true;  // ends with "Connection: close" (a canned reply sends only its own)
  Body body;
  Fault fault = Fault::None;  // how deliver() paces or cuts the body
  int delayMs = 0;
};

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
  }
}

std::string head(const Answer& a) {
  std::string out =
      "HTTP/1.0 " + std::to_string(a.status) + " " + reasonPhrase(a.status) + "\r\n" + a.headers;
  if (a.withLength) out += "Content-Length: " + std::to_string(a.body.length()) + "\r\n";
  out += a.extra;
  if (a.closing) out += "Connection: close\r\n";
  return out + "\r\n";
}

// extra: further header lines, each ending in CRLF.
Answer answer(int status, const std::string& contentType, Body body,
              const std::string& extra = "") {
  Answer a;
  a.status = status;
  a.headers = "Server: zelvo-service\r\nContent-Type: " + contentType + "\r\n";
  a.extra = extra;
  a.body = std::move(body);
  return a;
}

Answer textAnswer(std::string cp1250Text) {
  Body b;
  b.text = std::move(cp1250Text);
  return answer(200, "text/plain; charset=windows-1250", std::move(b));
}

std::string htmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

Answer pageAnswer(int status, const std::string& message, const std::string& extra = "") {
  std::string title = std::to_string(status) + " " + reasonPhrase(status);
  Body b;
  b.text = detail::toCp1250("<!DOCTYPE html>\n<html><head><meta charset=\"windows-1250\"><title>" +
                            title + "</title></head>\n<body><h1>" + title + "</h1><p>" +
                            htmlEscape(message) + "</p></body></html>\n");
  return answer(status, "text/html; charset=windows-1250", std::move(b), extra);
}

// The one reading of a fault, for slices, records, catalogues and canned replies alike:
// the answer as it goes out when the fault strikes it. Error pages and empty answers
// replace it; HalfPartial halves an answer to a request without Range; the rest drop
// its length where they say so, and deliver() paces or cuts the body by a.fault.
Answer withFault(Answer a, Fault fault, int retryAfter = 1, bool ranged = false) {
  switch (fault) {
    case Fault::NotFound: return pageAnswer(404, "A kért tartalom nem található.");
    case Fault::ServerError: return pageAnswer(500, "A szerver hibát észlelt.");
    case Fault::Unavailable:
      return pageAnswer(
          503, "A szolgáltatás átmenetileg nem érhető el.",
          retryAfter > 0 ? "Retry-After: " + std::to_string(retryAfter) + "\r\n" : "");
    case Fault::Empty:
    case Fault::EmptyNoLength:
      a.status = 200;
      a.extra.clear();
      a.body = Body{};
      a.withLength = fault == Fault::Empty;
      return a;
    case Fault::HalfPartial:
      if (ranged) return a;
      {
        const std::uint64_t total = a.body.length();
        a.status = 206;
        a.extra = "Content-Range: bytes 0-" + std::to_string(total / 2 - 1) + "/" +
                  std::to_string(total) + "\r\n" + a.extra;
        a.body.cut(total / 2);
      }
      return a;
    case Fault::Endless: a.body.repeatForever(); [[fallthrough]];
    case Fault::NoLength:
    case Fault::ResetAtEnd: a.withLength = false; break;
    default: break;
  }
  a.fault = fault;
  return a;
}

Answer fromReply(const Reply& r) {
  Answer a;
  a.status = r.status;
  for (const auto& [name, value] : r.headers) a.headers += name + ": " + value + "\r\n";
  a.withLength = r.addContentLength;
  a.closing = false;
  a.body.text = r.body;
  Answer out = withFault(std::move(a), r.fault);
  out.delayMs = r.delayMs;
  return out;
}

bool allDigits(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "bytes=N-" or "bytes=N-M" as first and last byte (last UINT64_MAX when open); nullopt
// for any other form, which the slice then ignores.
std::optional<std::pair<std::uint64_t, std::uint64_t>> parseRange(const std::string& value) {
  static const std::string unit = "bytes=";
  const std::size_t dash = value.find('-');
  if (value.compare(0, unit.size(), unit) != 0 || dash == std::string::npos) return std::nullopt;
  // 18 digits cannot overflow.
  auto number = [](const std::string& s) -> std::optional<std::uint64_t> {
    if (s.empty() || s.size() > 18 || !allDigits(s)) return std::nullopt;
    return std::stoull(s);
  };
  const std::string tail = value.substr(dash + 1);
  const auto first = number(value.substr(unit.size(), dash - unit.size()));
  const auto last = tail.empty() ? std::optional<std::uint64_t>(UINT64_MAX) : number(tail);
  if (!first || !last || *last < *first) return std::nullopt;
  return std::pair{*first, *last};
}

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

LoggedRequest parseHead(const std::string& head) {
  LoggedRequest req;
  std::size_t pos = 0;
  bool first = true;
  while (pos < head.size()) {
    std::size_t end = head.find('\n', pos);
    if (end == std::string::npos) end = head.size();
    std::string line = head.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (first) {
      first = false;
      // Target between the first and the last blank, so a raw blank in it survives.
      std::size_t a = line.find(' ');
      std::size_t b = line.rfind(' ');
      req.method = line.substr(0, a);
      if (a != std::string::npos && b > a) {
        req.target = line.substr(a + 1, b - a - 1);
        req.version = line.substr(b + 1);
      } else if (a != std::string::npos) {
        req.target = line.substr(a + 1);
      }
      continue;
    }
    if (line.empty()) break;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    req.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
  }
  return req;
}

enum class Wake { Ready, Stopped, Closed, TimedOut };

// One accepted connection, non-blocking; every wait also watches the wake pipe.
class Session {
 public:
  Session(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
  ~Session() { closeNormally(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  std::optional<LoggedRequest> readRequest() {
    auto deadline = Clock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
    std::string data;
    std::size_t headEnd = std::string::npos;
    while (headEnd == std::string::npos) {
      if (data.size() > kMaxHead) return std::nullopt;
      if (!receive(data, deadline)) return std::nullopt;
      std::size_t crlf = data.find("\r\n\r\n");
      std::size_t lf = data.find("\n\n");
      if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf))
        headEnd = crlf + 4;
      else if (lf != std::string::npos)
        headEnd = lf + 2;
    }
    LoggedRequest req = parseHead(data.substr(0, headEnd));
    std::size_t body = data.size() - headEnd;
    if (auto length = req.header("Content-Length")) {
      std::size_t wanted =
          std::min<std::size_t>(std::strtoull(length->c_str(), nullptr, 10), kMaxBody);
      auto bodyDeadline = Clock::now() + std::chrono::seconds(2);
      while (body < wanted) {
        std::string more;
        if (!receive(more, bodyDeadline)) break;
        body += more.size();
      }
    }
    req.bodyBytes = body;
    return req;
  }

  void deliver(const Answer& a) {
    if (a.delayMs > 0 && !pause(a.delayMs)) return;
    if (a.fault == Fault::StallHeaders) {
      pause(kHoldMs);
      return;
    }
    const std::string text = head(a);
    if (!sendAll(text.data(), text.size())) return;
    std::uint64_t length = a.body.length();
    switch (a.fault) {
      case Fault::CloseEarly: sendBody(a.body, 0, length / 2); break;
      case Fault::Stall:
        if (sendBody(a.body, 0, length / 2)) pause(kHoldMs);
        break;
      case Fault::Reset:
        if (sendBody(a.body, 0, length / 2)) resetConnection();
        break;
      case Fault::ResetAtEnd:
        if (sendBody(a.body, 0, length)) resetConnection();
        break;
      case Fault::Trickle:
      case Fault::Dribble: {
        const std::uint64_t step = a.fault == Fault::Trickle ? 1 : kDribbleBytes;
        for (std::uint64_t from = 0; from < length; from += step)
          if (!pause(kTricklePauseMs) || !sendBody(a.body, from, std::min(length, from + step)))
            return;
        break;
      }
      case Fault::Slow: {
        std::uint64_t piece = std::max<std::uint64_t>(1, (length + kSlowPieces - 1) / kSlowPieces);
        for (std::uint64_t from = 0; from < length; from += piece) {
          if (from > 0 && !pause(kSlowPauseMs)) return;
          if (!sendBody(a.body, from, std::min(length, from + piece))) return;
        }
        break;
      }
      default: sendBody(a.body, 0, length);
    }
  }

 private:
  Wake wait(short events, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p[2] = {{fd_, events, 0}, {wakeFd_, POLLIN, 0}};
      int r = ::poll(p, 2, remainingMs(deadline));
      if (r < 0) {
        if (errno == EINTR) continue;
        return Wake::Closed;
      }
      if (p[1].revents) return Wake::Stopped;
      if (r == 0) return Wake::TimedOut;
      if (p[0].revents & events) return Wake::Ready;
      return Wake::Closed;  // POLLERR, POLLHUP or POLLNVAL alone
    }
  }

  // Appends what arrives; false when the peer closed, failed, or time ran out.
  bool receive(std::string& data, Clock::time_point deadline) {
    for (;;) {
      if (wait(POLLIN, remainingMs(deadline)) != Wake::Ready) return false;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        data.append(buffer, static_cast<std::size_t>(n));
        return true;
      }
      if (n == 0) return false;
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
  }

  // Waits ms unless the client leaves or the server stops; true when the time passed.
  bool pause(int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      Wake w = wait(POLLIN, remainingMs(deadline));
      if (w == Wake::TimedOut) return true;
      if (w != Wake::Ready) return false;
      char scratch[4096];
      ssize_t n = ::recv(fd_, scratch, sizeof scratch, 0);
      if (n == 0) return false;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    }
  }

  // MSG_NOSIGNAL: a client that hangs up (the size query does) must not raise SIGPIPE.
  bool sendAll(const char* data, std::size_t n) {
    while (n > 0) {
      ssize_t sent = ::send(fd_, data, n, MSG_NOSIGNAL);
      if (sent > 0) {
        data += sent;
        n -= static_cast<std::size_t>(sent);
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (wait(POLLOUT, kSendIdleMs) != Wake::Ready) return false;
      } else if (errno != EINTR) {
        return false;
      }
    }
    return true;
  }

  bool sendBody(const Body& body, std::uint64_t from, std::uint64_t to) {
    std::string buffer(kChunk, '\0');
    while (from < to) {
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, to - from));
      body.fill(from, buffer.data(), n);
      if (!sendAll(buffer.data(), n)) return false;
      from += n;
    }
    return true;
  }

  // Lets the sent part reach the client before the RST, which would discard it.
  void resetConnection() {
    auto deadline = Clock::now() + std::chrono::seconds(1);
    int queued = 0;
    while (::ioctl(fd_, SIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < deadline) {
      // No events asked: only a hang-up or stop() ends the short sleep early.
      if (wait(0, 5) != Wake::TimedOut) break;
    }
    linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd_);
    fd_ = -1;
  }

  void closeNormally() {
    if (fd_ < 0) return;
    ::shutdown(fd_, SHUT_WR);
    ::close(fd_);
    fd_ = -1;
  }

  int fd_;
  int wakeFd_;
};

}  // namespace

// The fault of one slice answer in a chaos run: a pure function of the seed, the film,
// the slice and how many times it was asked for, so a seed replays the same run.
Fault chaosFault(std::uint64_t seed, const FilmSpec& film, std::size_t slice, int seen) {
  static const Fault kPicks[] = {Fault::Reset,      Fault::CloseEarly,   Fault::Unavailable,
                                 Fault::ServerError, Fault::Empty,       Fault::HalfPartial,
                                 Fault::ResetAtEnd,  Fault::NoLength,    Fault::OtherRange,
                                 Fault::RangeIgnored};
  std::uint64_t h =
      seed ^ (detail::sliceSeed(film, slice) + std::uint64_t(seen) * 0x9e3779b97f4a7c15ull);
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  // Most answers are good, so that most films get through their tries.
  if (h % 3 != 0) return Fault::None;
  return kPicks[(h / 3) % (sizeof kPicks / sizeof kPicks[0])];
}

struct Server::Impl {
  mutable std::mutex mu;  // guards the log, the overrides and the observer
  std::vector<LoggedRequest> log;
  std::map<std::string, Reply> replies;
  // Shared, so that a connection keeps the film it found when addFilm replaces it.
  std::map<std::string, std::shared_ptr<const FilmSpec>> added;
  // Requests so far per (film id, slice), for SliceSpec::faultTimes.
  std::map<std::pair<std::string, std::size_t>, int> sliceRequests;
  std::optional<CatalogueScenario> catalogue;
  std::function<void(const LoggedRequest&)> observer;
  std::optional<std::uint64_t> chaos;

  std::uint16_t port = 0;
  int listenFd = -1;
  int wake[2] = {-1, -1};  // written once on stop; never read, so it stays readable
  std::thread acceptor;

  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  std::mutex connMu;
  std::list<std::unique_ptr<Connection>> connections;

  std::string host() const { return "127.0.0.1:" + std::to_string(port); }

  void acceptLoop() {
    for (;;) {
      pollfd p[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
      // The timeout only serves to reap finished connections on a quiet server.
      int r = ::poll(p, 2, 1000);
      if (r < 0 && errno != EINTR) break;
      if (p[1].revents) break;
      if (r > 0 && (p[0].revents & POLLIN)) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
          spawn(fd);
        else if (errno == EMFILE || errno == ENFILE)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      reap(false);
    }
  }

  void spawn(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto conn = std::make_unique<Connection>();
    Connection* c = conn.get();
    std::lock_guard<std::mutex> lock(connMu);
    connections.push_back(std::move(conn));
    c->thread = std::thread([this, c, fd] {
      serve(fd);
      c->done = true;
    });
  }

  void reap(bool all) {
    std::list<std::unique_ptr<Connection>> finished;
    {
      std::lock_guard<std::mutex> lock(connMu);
      for (auto it = connections.begin(); it != connections.end();) {
        auto next = std::next(it);
        if (all || (*it)->done) finished.splice(finished.end(), connections, it);
        it = next;
      }
    }
    for (auto& c : finished) c->thread.join();
  }

  void serve(int fd) {
    Session session(fd, wake[0]);
    std::optional<LoggedRequest> req = session.readRequest();
    if (!req) return;
    std::function<void(const LoggedRequest&)> notify;
    {
      std::lock_guard<std::mutex> lock(mu);
      log.push_back(*req);
      notify = observer;
    }
    if (notify) notify(*req);
    session.deliver(route(*req));
  }

  Answer route(const LoggedRequest& req) {
    {
      std::lock_guard<std::mutex> lock(mu);
      auto it = replies.find(req.target);
      if (it != replies.end()) return fromReply(it->second);
    }
    if (req.target.empty() || req.version.empty()) return pageAnswer(400, "Hibás kérés.");
    if (req.method != "GET") return pageAnswer(405, "Csak GET kérést fogadunk.");

    std::size_t q = req.target.find('?');
    std::string path = req.target.substr(0, q);
    std::string query = q == std::string::npos ? "" : req.target.substr(q + 1);

    if (path == "/z/e/zelvo/basix_raktar.php") return catalogueAnswer();
    if (path == "/z/e/zelvo/basix2.php") return record(query);
    if (path.rfind("/z/s/", 0) == 0) return slice(path.substr(5), req);
    if (path == "/z/e/zelvo/azonosito_pld.jpg") {
      Body b;
      b.text = detail::examplePicture();
      return answer(200, "image/png", std::move(b));
    }
    return pageAnswer(404, "A kért oldal nem található: " + req.target);
  }

  Answer catalogueAnswer() {
    std::lock_guard<std::mutex> lock(mu);
    if (!catalogue) return textAnswer(demoCatalogue(host()));
    Body b;
    b.text = catalogue->bytes;
    if (catalogue->repeats > 1) {
      b.repeated = true;
      b.size = b.text.size() * catalogue->repeats;
    }
    return withFault(answer(catalogue->status, "text/plain; charset=windows-1250", std::move(b)),
                     catalogue->endless ? Fault::Endless : Fault::None);
  }

  Answer record(std::string query) {
    // The identifier may arrive unencoded with its own '&', so it runs to the end of
    // the query, apart from the error report's suffix.
    static const std::string errorSuffix = "&action=error";
    bool errorReport =
        query.size() >= errorSuffix.size() &&
        query.compare(query.size() - errorSuffix.size(), errorSuffix.size(), errorSuffix) == 0;
    if (errorReport) query.resize(query.size() - errorSuffix.size());
    std::string encoded;
    if (query.rfind("a=", 0) == 0)
      encoded = query.substr(2);
    else if (std::size_t at = query.find("&a="); at != std::string::npos)
      encoded = query.substr(at + 3);
    std::string idBytes = detail::percentDecode(encoded);
    const std::shared_ptr<const FilmSpec> film = findFilm(idBytes);
    if (errorReport)
      return textAnswer(detail::toCp1250(film ? film->errorAnswer : "Nincs ilyen film."));
    if (!film) return textAnswer(detail::refusalReply(host(), detail::wireIdText(idBytes)));
    return withFault(textAnswer(detail::recordReply(host(), *film)), film->recordFault);
  }

  // An added film first, then the table's.
  std::shared_ptr<const FilmSpec> findFilm(const std::string& decodedIdBytes) {
    const std::vector<std::string> readings = detail::wireIdReadings(decodedIdBytes);
    {
      std::lock_guard<std::mutex> lock(mu);
      for (const std::string& id : readings)
        if (auto it = added.find(id); it != added.end()) return it->second;
    }
    // The table lives as long as the program: no owner to share.
    const FilmSpec* table = detail::findFilmByWireId(decodedIdBytes);
    return table ? std::shared_ptr<const FilmSpec>(std::shared_ptr<void>(), table) : nullptr;
  }

  // The film and slice a "/z/s/ID/i" path names; null when none.
  std::shared_ptr<const FilmSpec> sliceOf(const std::string& rest, std::size_t& index) {
    const std::size_t slash = rest.rfind('/');
    if (slash == std::string::npos) return nullptr;
    const std::string number = rest.substr(slash + 1);
    if (number.empty() || number.size() > 9 || !allDigits(number)) return nullptr;
    index = std::stoul(number);
    auto film = findFilm(detail::percentDecode(rest.substr(0, slash)));
    return film && index < film->slices.size() ? film : nullptr;
  }

  // The fault this request of the slice gets, counting it; retryAfter: Unavailable's.
  Fault sliceFault(const FilmSpec& film, std::size_t index, int& seen, int& retryAfter) {
    const SliceSpec& setup = film.slices[index];
    std::optional<std::uint64_t> chaosSeed;
    {
      std::lock_guard<std::mutex> lock(mu);
      seen = ++sliceRequests[{film.id, index}];
      chaosSeed = chaos;
    }
    retryAfter = setup.retryAfterSeconds;
    if (setup.fault != Fault::None || !chaosSeed)
      return setup.faultTimes < 0 || seen <= setup.faultTimes ? setup.fault : Fault::None;
    retryAfter = 0;
    return chaosFault(*chaosSeed, film, index, seen);
  }

  Answer slice(const std::string& rest, const LoggedRequest& req) {
    std::size_t index = 0;
    const std::shared_ptr<const FilmSpec> film = sliceOf(rest, index);
    if (!film) return pageAnswer(404, "A kért szelet nem létezik: " + req.target);
    const SliceSpec& setup = film->slices[index];
    int seen = 0, retryAfter = 0;
    const Fault fault = sliceFault(*film, index, seen, retryAfter);
    // Faults of the range itself are done here; the answer then goes out as it is.
    const Fault wire =
        fault == Fault::OtherRange || fault == Fault::RangeIgnored ? Fault::None : fault;
    const bool changed = setup.changeAfter >= 0 && seen > setup.changeAfter;
    const std::uint64_t size = changed && setup.changedSize ? setup.changedSize : setup.size;
    const std::string validator = detail::validatorHeader(*film, index, changed);
    Body b;
    b.generated = true;
    b.seed = detail::sliceSeed(*film, index, changed);
    b.size = size;
    std::optional<std::string> range = film->ignoresRanges || fault == Fault::RangeIgnored
                                           ? std::nullopt
                                           : req.header("Range");
    // If-Range naming anything but this version: the whole slice. The comparison is strong:
    // a weak tag never matches, even its own.
    const std::optional<std::string> ifRange = req.header("If-Range");
    if (ifRange && (ifRange->rfind("W/", 0) == 0 ||
                    (validator.find("ETag: " + *ifRange + "\r\n") == std::string::npos &&
                     validator.find("Last-Modified: " + *ifRange + "\r\n") == std::string::npos)))
      range.reset();
    auto wanted = range ? parseRange(*range) : std::nullopt;
    const std::string total = std::to_string(size);
    const char* type = "application/octet-stream";
    if (!wanted) return withFault(answer(200, type, std::move(b), validator), wire, retryAfter);
    if (wanted->first >= size)
      return pageAnswer(416, "A kért tartomány a szeleten kívül esik.",
                        "Content-Range: bytes */" + total + "\r\n" + validator);
    const std::uint64_t last = std::min(wanted->second, size - 1);
    if (fault == Fault::OtherRange && wanted->first < last) ++wanted->first;
    b.start = wanted->first;
    b.size = last - wanted->first + 1;
    const std::string contentRange = "Content-Range: bytes " + std::to_string(wanted->first) + "-" +
                                     std::to_string(last) + "/" + total + "\r\n";
    return withFault(answer(206, type, std::move(b), contentRange + validator), wire, retryAfter,
                     true);
  }
};

Server::Server() : impl_(std::make_unique<Impl>()) {}

Server::~Server() { stop(); }

bool Server::start(std::uint16_t port) {
  Impl& d = *impl_;
  if (d.listenFd >= 0) return false;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(d.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    ::close(fd);
    return false;
  }
  d.listenFd = fd;
  d.port = ntohs(addr.sin_port);
  d.acceptor = std::thread([&d] { d.acceptLoop(); });
  return true;
}

void Server::stop() {
  Impl& d = *impl_;
  if (d.listenFd < 0) return;
  char byte = 's';
  while (::write(d.wake[1], &byte, 1) < 0 && errno == EINTR) {
  }
  d.acceptor.join();
  d.reap(true);
  ::close(d.listenFd);
  ::close(d.wake[0]);
  ::close(d.wake[1]);
  d.listenFd = -1;
  d.wake[0] = d.wake[1] = -1;
}

std::uint16_t Server::port() const { return impl_->port; }

std::string Server::host() const { return impl_->host(); }

std::vector<LoggedRequest> Server::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log;
}

void Server::clearLog() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->log.clear();
}

void Server::setReply(const std::string& target, Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replies[target] = std::move(reply);
}

void Server::addFilm(FilmSpec film) {
  auto shared = std::make_shared<const FilmSpec>(std::move(film));
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->added[shared->id] = std::move(shared);
}

bool Server::useCatalogue(const std::string& name) {
  std::optional<CatalogueScenario> c = catalogueScenario(name, host());
  if (!c) return false;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->catalogue = std::move(c);
  return true;
}

void Server::setCatalogue(std::string rawBytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->catalogue = CatalogueScenario{std::move(rawBytes)};
}

void Server::setChaos(std::optional<std::uint64_t> seed) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->chaos = seed;
}

void Server::setRequestObserver(std::function<void(const LoggedRequest&)> observer) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->observer = std::move(observer);
}

}  // namespace service
