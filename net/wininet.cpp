#include "net/wininet.h"

#include <curl/curl.h>
#include <poll.h>
#include <strings.h>
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Everything here runs on the caller's thread (the window's). libcurl tells which
// sockets it waits for and when its next timeout is due (socket and timer callbacks);
// with an event loop, socket notifiers and a timer on that loop drive it, so a wait is
// the window's own wait and wakes only when a socket or a timer has something to do.
// Without one (a program with no application object) a wait polls those sockets itself.
// Waits never block for more than 10 ms at a time and call the wait hook, which may
// itself use this layer, so no state of a waiting call may be cached across a hook or
// an event-loop call except through a shared_ptr that outlives closing.

namespace net {
namespace {

using Clock = std::chrono::steady_clock;

// Unpause once the reader has taken the buffer down to here, so that the next piece
// arrives before the buffer runs dry.
constexpr std::size_t kResumeBelow = kReadBufferLimit / 4;
constexpr long kMaxRedirects = 10;

enum class Kind { Session, Connection, Request };

struct Object {
  Kind kind = Kind::Session;
  HINTERNET id = 0;
  HINTERNET session = 0;     // owning session (connections and requests)
  HINTERNET connection = 0;  // owning connection (requests)
  bool closed = false;

  std::string agent;  // session

  std::string host;        // connection
  std::uint16_t port = 0;  // connection

  // request
  std::string url;
  std::string referrer;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  bool active = false;  // attached to the multi handle
  bool sent = false;
  bool finished = false;
  bool shortBody = false;
  CURLcode result = CURLE_OK;
  bool paused = false;
  Clock::time_point lastActivity{};

  // Response being received (see startResponse).
  int status = 0;
  std::string statusText;
  std::vector<std::pair<std::string, std::string>> headers;
  bool redirecting = false;  // 3xx with a Location: curl is going to follow it
  bool headersComplete = false;
  std::uint64_t bodyReceived = 0;

  // Unread body is body[readPos, body.size()).
  std::string body;
  std::size_t readPos = 0;
};

// What libcurl waits for on one socket, and the notifiers that watch it on the event
// loop (kept for the socket's number once made, see keptForLife).
struct Watch {
  int what = 0;  // CURL_POLL_IN/OUT/INOUT; 0: not watched
  QSocketNotifier* read = nullptr;
  QSocketNotifier* write = nullptr;
};

struct Layer {
  CURLM* multi = nullptr;
  std::unordered_map<curl_socket_t, Watch> sockets;
  long timeoutMs = -1;  // libcurl's timer: -1 none
  Clock::time_point timerDue{};
  // The event loop's side: made under the dispatcher they belong to, made anew under
  // another one (the old ones are left alone, never deleted after their application).
  QAbstractEventDispatcher* dispatcher = nullptr;
  QTimer* timer = nullptr;  // libcurl's timeout
  QTimer* beat = nullptr;   // wakes a wait now and then to check its idle limit
  int waiting = 0;          // nesting depth of waits
  std::unordered_map<HINTERNET, std::shared_ptr<Object>> objects;
  HINTERNET lastId = 0;
  // The client reads a few bytes per call; one remembered lookup keeps that cheap.
  HINTERNET cachedId = 0;
  Object* cachedObject = nullptr;
  std::vector<std::pair<const void*, std::shared_ptr<std::function<void()>>>> hooks;
  TimeLimits limits;
  std::string noProxy;
  std::uint64_t reads = 0;
  std::uint64_t readUnits = 0;
  bool quitting = false;  // the program's end: the application may be gone

  ~Layer();
};

Layer g;

int onSocket(CURL*, curl_socket_t s, int what, void*, void*);
int onTimer(CURLM*, long ms, void*);

bool ensureMulti() {
  if (g.multi) return true;
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return false;
  g.multi = curl_multi_init();
  if (!g.multi) return false;
  curl_multi_setopt(g.multi, CURLMOPT_SOCKETFUNCTION, &onSocket);
  curl_multi_setopt(g.multi, CURLMOPT_TIMERFUNCTION, &onTimer);

  // Loopback never goes through a proxy; the user's own exceptions still apply.
  const char* env = std::getenv("no_proxy");
  if (!env || !*env) env = std::getenv("NO_PROXY");
  const std::string own = env ? env : "";
  g.noProxy = own == "*" ? own : (own.empty() ? "" : own + ",") + "127.0.0.1,localhost,::1";
  return true;
}

HINTERNET addObject(std::shared_ptr<Object> o) {
  if (g.lastId == UINT32_MAX) return 0;  // never hand a value out twice
  o->id = ++g.lastId;
  g.objects.emplace(o->id, std::move(o));
  return g.lastId;
}

Object* find(HINTERNET h, Kind kind) {
  if (h == 0) return nullptr;
  if (h == g.cachedId) return g.cachedObject->kind == kind ? g.cachedObject : nullptr;
  const auto it = g.objects.find(h);
  if (it == g.objects.end()) return nullptr;
  g.cachedId = h;
  g.cachedObject = it->second.get();
  return it->second->kind == kind ? it->second.get() : nullptr;
}

std::shared_ptr<Object> share(HINTERNET h) {
  const auto it = g.objects.find(h);
  return it == g.objects.end() ? nullptr : it->second;
}

// A new status line (redirect, 1xx) or a new send starts the response over.
void startResponse(Object& r) {
  r.status = 0;
  r.statusText.clear();
  r.headers.clear();
  r.redirecting = false;
  r.headersComplete = false;
  r.bodyReceived = 0;
}

const std::string* headerValue(const Object& r, const char* name) {
  for (const auto& h : r.headers)
    if (strcasecmp(h.first.c_str(), name) == 0) return &h.second;
  return nullptr;
}

void detach(Object& r) {
  if (r.easy && r.active) curl_multi_remove_handle(g.multi, r.easy);
  r.active = false;
}

void finish(Object& r, CURLcode result) {
  detach(r);
  r.finished = true;
  r.result = result;
  r.paused = false;
  if (result == CURLE_OK) {
    // curl reports a short body itself; this also covers a length it did not act on.
    if (const std::string* length = headerValue(r, "Content-Length")) {
      char* end = nullptr;
      const unsigned long long announced = std::strtoull(length->c_str(), &end, 10);
      if (end != length->c_str() && *end == '\0' && r.bodyReceived < announced) r.shortBody = true;
    }
  }
}

void releaseTransfer(Object& r) {
  detach(r);
  if (r.easy) curl_easy_cleanup(r.easy);
  r.easy = nullptr;
  curl_slist_free_all(r.headerList);
  r.headerList = nullptr;
}

Layer::~Layer() {
  quitting = true;  // the callbacks below must not touch the event loop's objects
  for (auto& entry : objects) releaseTransfer(*entry.second);
  objects.clear();
  if (multi) curl_multi_cleanup(multi);
}

void closeObject(Object& o) {
  o.closed = true;
  releaseTransfer(o);
  std::string().swap(o.body);
  o.readPos = 0;
}

// Collects finished transfers.
void collect() {
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(g.multi, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    CURL* easy = msg->easy_handle;
    const CURLcode result = msg->data.result;  // msg dies with the removal below
    char* priv = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &priv);
    const auto it = g.objects.find(HINTERNET(reinterpret_cast<std::uintptr_t>(priv)));
    if (it != g.objects.end() && it->second->easy == easy)
      finish(*it->second, result);
    else
      curl_multi_remove_handle(g.multi, easy);
  }
}

// Lets libcurl act on a socket that is ready (or on its timeout). Never calls the wait
// hook or the event loop.
void act(curl_socket_t s, int mask) {
  int running = 0;
  curl_multi_socket_action(g.multi, s, mask, &running);
  collect();
}

void onTimeout() {
  g.timeoutMs = -1;  // libcurl sets the next one as it acts
  act(CURL_SOCKET_TIMEOUT, 0);
}

// The event loop's objects live as long as the program: one may be running the callback
// that would delete it, and after the application they must not be touched at all.
template <class T>
T* keptForLife(T* object) {
  static auto* const kept = new std::vector<QObject*>();
  kept->push_back(object);
  return object;
}

// Rounded up: a timer that fires early only makes libcurl ask for the rest again.
long long msUntil(Clock::time_point due) {
  return std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()).count();
}

void watchOnLoop(curl_socket_t s, Watch& w) {
  auto sync = [s](QSocketNotifier*& n, QSocketNotifier::Type type, int mask, bool wanted) {
    if (!n && wanted) {
      n = keptForLife(new QSocketNotifier(qintptr(s), type));
      QObject::connect(n, &QSocketNotifier::activated, [s, mask] { act(s, mask); });
    }
    if (n && n->isEnabled() != wanted) n->setEnabled(wanted);
  };
  sync(w.read, QSocketNotifier::Read, CURL_CSELECT_IN, w.what & CURL_POLL_IN);
  sync(w.write, QSocketNotifier::Write, CURL_CSELECT_OUT, w.what & CURL_POLL_OUT);
}

void armTimerOnLoop() {
  if (!g.timer) {
    g.timer = keptForLife(new QTimer);
    g.timer->setSingleShot(true);
    QObject::connect(g.timer, &QTimer::timeout, &onTimeout);
  }
  if (g.timeoutMs < 0) return g.timer->stop();
  g.timer->start(int(std::clamp<long long>(msUntil(g.timerDue), 0, 24 * 3600 * 1000)));
}

// True when this thread runs an event loop; its notifiers and timer then watch for
// libcurl.
bool onLoop() {
  if (g.quitting) return false;
  QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
  if (!d) return false;
  if (d != g.dispatcher) {
    g.dispatcher = d;
    g.timer = g.beat = nullptr;
    for (auto& entry : g.sockets) {
      entry.second.read = entry.second.write = nullptr;
      watchOnLoop(entry.first, entry.second);
    }
    armTimerOnLoop();
  }
  return true;
}

int onSocket(CURL*, curl_socket_t s, int what, void*, void*) {
  if (g.quitting) return 0;
  Watch& w = g.sockets[s];
  w.what = what == CURL_POLL_REMOVE ? 0 : what;
  if (onLoop()) watchOnLoop(s, w);
  return 0;
}

int onTimer(CURLM*, long ms, void*) {
  if (g.quitting) return 0;
  g.timeoutMs = ms;
  g.timerDue = Clock::now() + std::chrono::milliseconds(std::max(0L, ms));
  if (onLoop()) armTimerOnLoop();
  return 0;
}

enum class Until { Headers, Data };

bool ready(const Object& r, Until until) {
  if (r.finished) return true;
  return until == Until::Headers ? r.headersComplete : r.body.size() > r.readPos;
}

// Without an event loop: one poll of libcurl's sockets, up to maxMs or its timeout.
void pollOnce(int maxMs) {
  std::vector<pollfd> fds;
  for (const auto& entry : g.sockets) {
    const int what = entry.second.what;
    if (what)
      fds.push_back({entry.first,
                     short(((what & CURL_POLL_IN) ? POLLIN : 0) | ((what & CURL_POLL_OUT) ? POLLOUT : 0)),
                     0});
  }
  int wait = maxMs;
  if (g.timeoutMs >= 0) {
    wait = int(std::clamp<long long>(msUntil(g.timerDue), 0, maxMs));
  }
  if (::poll(fds.data(), nfds_t(fds.size()), wait) > 0) {
    for (const pollfd& p : fds) {
      int mask = 0;
      if (p.revents & (POLLIN | POLLHUP)) mask |= CURL_CSELECT_IN;
      if (p.revents & POLLOUT) mask |= CURL_CSELECT_OUT;
      if (p.revents & (POLLERR | POLLNVAL)) mask |= CURL_CSELECT_ERR;
      if (mask) act(p.fd, mask);
    }
  }
  if (g.timeoutMs >= 0 && Clock::now() >= g.timerDue) onTimeout();
}

// Up to 10 ms, until the wait is over: the steps on the way (connecting, sending, libcurl's
// own timeouts) do not end it, so the hook never runs before the server had time.
void pollSockets(const Object& r, Until until) {
  const auto end = Clock::now() + std::chrono::milliseconds(10);
  do {
    pollOnce(int(std::max<long long>(0, msUntil(end))));
  } while (!r.closed && !ready(r, until) && Clock::now() < end);
}

// One wait for libcurl's sockets or its timer (at most 10 ms without an event loop), or
// on the event loop for any of the window's events too, which are then handled.
void waitOnce(bool loop, const Object& r, Until until) {
  if (!loop) return pollSockets(r, until);
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void callHook() {
  const auto hooks = g.hooks;  // a hook may replace itself or another
  for (const auto& h : hooks) (*h.second)();
}

std::string_view trim(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& r = *static_cast<Object*>(user);
  const std::size_t length = size * count;
  r.lastActivity = Clock::now();
  const std::string_view line = trim(std::string_view(data, length));

  if (line.substr(0, 5) == "HTTP/") {
    startResponse(r);
    const std::size_t sp = line.find(' ');
    if (sp != std::string_view::npos) {
      std::string_view code = trim(line.substr(sp + 1));
      code = code.substr(0, code.find(' '));
      r.statusText.assign(code);
      r.status = std::atoi(r.statusText.c_str());
    }
  } else if (line.empty()) {
    // End of one response's headers; interim and followed ones are not the answer.
    const bool interim = r.status >= 100 && r.status < 200;
    if (!interim && !r.redirecting) r.headersComplete = true;
  } else {
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view name = trim(line.substr(0, colon));
      const std::string_view value = trim(line.substr(colon + 1));
      r.headers.emplace_back(std::string(name), std::string(value));
      if (r.status >= 300 && r.status < 400 && !value.empty() && name.size() == 8 &&
          strncasecmp(name.data(), "Location", 8) == 0)
        r.redirecting = true;
    }
  }
  return length;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto& r = *static_cast<Object*>(user);
  const std::size_t length = size * count;
  const std::size_t unread = r.body.size() - r.readPos;
  if (unread >= kReadBufferLimit) {
    // curl keeps this piece and offers it again after the reader unpauses.
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r.readPos != 0 && r.readPos >= unread) {
    r.body.erase(0, r.readPos);
    r.readPos = 0;
  }
  r.body.append(data, length);
  r.bodyReceived += length;
  r.headersComplete = true;
  r.lastActivity = Clock::now();
  return length;
}

int onConnected(void* user, char*, char*, int, int) {
  static_cast<Object*>(user)->lastActivity = Clock::now();
  return CURL_PREREQFUNC_OK;
}


// False when the handle was closed meanwhile; otherwise the wanted state or the end
// of the transfer was reached.
bool waitFor(const std::shared_ptr<Object>& r, Until until) {
  // Idle time is time spent waiting for the server: while the reader was busy with bytes
  // already here (a slow machine), the server was not keeping anyone waiting.
  r->lastActivity = Clock::now();
  const bool loop = onLoop();
  if (loop && !g.beat) g.beat = keptForLife(new QTimer);
  if (loop && g.waiting == 0) {
    // Sockets, libcurl's timer and the window's events wake the wait; this only bounds
    // how late a stall is noticed (a twentieth of the idle limit).
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(g.limits.idle);
    g.beat->start(int(std::clamp<long long>(idle.count() / 20, 10, 1000)));
  }
  ++g.waiting;
  struct Leave {
    ~Leave() {
      if (--g.waiting == 0 && g.beat && !g.quitting) g.beat->stop();
    }
  } leave;
  for (;;) {
    if (r->closed) return false;
    if (ready(*r, until)) return true;
    // A paused transfer waits for its reader, not for the server.
    if (!r->paused && Clock::now() - r->lastActivity > g.limits.idle) {
      finish(*r, CURLE_OPERATION_TIMEDOUT);
      return true;
    }
    waitOnce(loop, *r, until);
    if (r->closed) return false;
    if (ready(*r, until)) return true;
    callHook();
  }
}

void resume(Object& r) {
  r.paused = false;
  r.lastActivity = Clock::now();
  // May deliver the held piece through onBody before it returns.
  if (r.easy && r.active) curl_easy_pause(r.easy, CURLPAUSE_CONT);
}

// The object name goes to curl as a URL: bytes a URL cannot carry are escaped,
// everything else (existing %XX escapes, query syntax) reaches the server unchanged.
std::string escapeObjectName(const char* name) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  if (!name || *name != '/') out += '/';
  if (!name) return out;
  for (const char* p = name; *p; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    if (b <= 0x20 || b >= 0x7F || std::strchr("\"#<>\\^`{|}", b)) {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 0x0F];
    } else {
      out += char(b);
    }
  }
  return out;
}

// What every transfer asks of libcurl: HTTP/1.0 GET, bounded redirects and waits.
void setOptions(Object& r, const Object& session) {
  CURL* e = r.easy;
  curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
  curl_easy_setopt(e, CURLOPT_PRIVATE, reinterpret_cast<void*>(std::uintptr_t(r.id)));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_0));
  curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(g.limits.connect.count()));
  // libcurl's low-speed check is an average in bytes per second over the window (and
  // skips paused transfers, which wait for their reader, not for the server).
  const long window = std::max<long>(1, long(g.limits.lowSpeedWindow.count()));
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, window);
  curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, (kLowSpeedBytes + 59) / 60);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, long(kReceivePieceSize));
  curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (!g.noProxy.empty()) curl_easy_setopt(e, CURLOPT_NOPROXY, g.noProxy.c_str());
  if (!session.agent.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, session.agent.c_str());
  if (!r.referrer.empty()) curl_easy_setopt(e, CURLOPT_REFERER, r.referrer.c_str());
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &onHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &onBody);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &onConnected);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, &r);
}

void addHeaderLines(Object& r, const std::string& extraHeaders) {
  // "Name:" removes a header curl would add on its own.
  for (const char* h : {"Accept:", "Expect:", "Pragma: no-cache"}) {
    curl_slist* list = curl_slist_append(r.headerList, h);
    if (!list) break;
    r.headerList = list;
  }
  // The caller's own header lines ("Range: bytes=N-"), one per CRLF; no line breaks
  // inside a line can reach the wire.
  std::size_t at = 0;
  while (at < extraHeaders.size()) {
    std::size_t end = extraHeaders.find_first_of("\r\n", at);
    if (end == std::string::npos) end = extraHeaders.size();
    const std::string line = extraHeaders.substr(at, end - at);
    if (line.find(':') != std::string::npos) {
      curl_slist* list = curl_slist_append(r.headerList, line.c_str());
      if (list) r.headerList = list;
    }
    at = end + 1;
  }
}

bool startTransfer(Object& r, const Object& session, const std::string& extraHeaders) {
  releaseTransfer(r);
  r.sent = true;
  r.finished = false;
  r.shortBody = false;
  r.result = CURLE_OK;
  r.paused = false;
  startResponse(r);
  r.body.clear();
  r.readPos = 0;
  r.lastActivity = Clock::now();

  r.easy = curl_easy_init();
  if (!r.easy) {
    r.finished = true;
    r.result = CURLE_FAILED_INIT;
    return false;
  }
  setOptions(r, session);
  addHeaderLines(r, extraHeaders);
  CURL* e = r.easy;
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headerList);
  if (curl_multi_add_handle(g.multi, e) != CURLM_OK) {
    r.finished = true;
    r.result = CURLE_FAILED_INIT;
    return false;
  }
  r.active = true;
  return true;
}

}  // namespace

HINTERNET InternetOpenA(const char* agent, std::uint32_t, const char*, const char*, std::uint32_t) {
  if (!ensureMulti()) return 0;
  auto o = std::make_shared<Object>();
  o->kind = Kind::Session;
  o->agent = agent ? agent : "";
  const HINTERNET id = addObject(o);
  o->session = id;
  return id;
}

HINTERNET InternetConnectA(HINTERNET session, const char* serverName, std::uint16_t port,
                           const char*, const char*, std::uint32_t, std::uint32_t, std::uintptr_t) {
  if (!find(session, Kind::Session) || !serverName || !*serverName) return 0;
  std::string host = serverName;
  unsigned long chosen = port ? port : INTERNET_DEFAULT_HTTP_PORT;
  const std::size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    const std::string digits = host.substr(colon + 1);
    const bool numeric = !digits.empty() && digits.size() <= 5 &&
                         digits.find_first_not_of("0123456789") == std::string::npos;
    const unsigned long value = numeric ? std::strtoul(digits.c_str(), nullptr, 10) : 0;
    if (numeric && (value == 0 || value > 65535)) return 0;
    if (numeric || digits.empty()) {
      if (numeric) chosen = value;
      host.resize(colon);
    }
  }
  if (host.empty()) return 0;

  auto o = std::make_shared<Object>();
  o->kind = Kind::Connection;
  o->session = session;
  o->host = std::move(host);
  o->port = std::uint16_t(chosen);
  const HINTERNET id = addObject(o);
  o->connection = id;
  return id;
}

HINTERNET HttpOpenRequestA(HINTERNET connect, const char* verb, const char* objectName, const char*,
                           const char* referrer, const char**, std::uint32_t, std::uintptr_t) {
  const Object* c = find(connect, Kind::Connection);
  if (!c) return 0;
  // Only GET is ever sent; anything else would need a body or a different reply shape.
  if (verb && *verb && std::strcmp(verb, "GET") != 0) return 0;

  auto o = std::make_shared<Object>();
  o->kind = Kind::Request;
  o->session = c->session;
  o->connection = connect;
  o->url = "http://" + c->host + ":" + std::to_string(c->port) + escapeObjectName(objectName);
  o->referrer = referrer ? referrer : "";
  return addObject(o);
}

bool HttpSendRequestA(HINTERNET request, const char* headers, std::uint32_t headersLength,
                      const void*, std::uint32_t) {
  const std::shared_ptr<Object> r = find(request, Kind::Request) ? share(request) : nullptr;
  if (!r) return false;
  const Object* session = find(r->session, Kind::Session);
  std::string extra;
  if (headers)
    extra =
        headersLength == UINT32_MAX ? std::string(headers) : std::string(headers, headersLength);
  if (!session || !startTransfer(*r, *session, extra)) return false;
  if (!waitFor(r, Until::Headers)) return false;
  return r->headersComplete;
}

bool HttpQueryInfoA(HINTERNET request, std::uint32_t infoLevel, char* buffer,
                    std::uint32_t* bufferLength, std::uint32_t*) {
  const Object* r = find(request, Kind::Request);
  if (!r || !buffer || !bufferLength || !r->headersComplete) return false;

  const std::string* value = nullptr;
  if (infoLevel == HTTP_QUERY_STATUS_CODE) {
    if (r->statusText.empty()) return false;
    value = &r->statusText;
  } else if (infoLevel == HTTP_QUERY_CONTENT_LENGTH) {
    value = headerValue(*r, "Content-Length");
  } else if (infoLevel == HTTP_QUERY_CUSTOM) {
    const std::string name(buffer, strnlen(buffer, *bufferLength));
    value = headerValue(*r, name.c_str());
  }
  if (!value) return false;
  if (value->size() + 1 > *bufferLength) {
    *bufferLength = std::uint32_t(value->size() + 1);  // what it would take
    return false;
  }
  std::memcpy(buffer, value->data(), value->size());
  buffer[value->size()] = '\0';
  *bufferLength = std::uint32_t(value->size());
  return true;
}

namespace {
bool readFile(HINTERNET file, void* buffer, std::uint32_t numberOfBytesToRead,
              std::uint32_t* numberOfBytesRead) {
  *numberOfBytesRead = 0;
  Object* r = find(file, Kind::Request);
  if (!r || (!buffer && numberOfBytesToRead)) return false;

  for (;;) {
    const std::size_t unread = r->body.size() - r->readPos;
    if (unread) {
      const std::size_t n = unread < numberOfBytesToRead ? unread : numberOfBytesToRead;
      std::memcpy(buffer, r->body.data() + r->readPos, n);
      r->readPos += n;
      *numberOfBytesRead = std::uint32_t(n);
      if (r->paused && unread - n < kResumeBelow) resume(*r);
      return true;
    }
    if (!r->sent) return false;
    if (r->finished) return r->result == CURLE_OK && !r->shortBody;
    if (numberOfBytesToRead == 0) return true;

    const std::shared_ptr<Object> keep = share(file);
    if (!waitFor(keep, Until::Data)) return false;
  }
}
}  // namespace

bool InternetReadFile(HINTERNET file, void* buffer, std::uint32_t numberOfBytesToRead,
                      std::uint32_t* numberOfBytesRead) {
  ++g.reads;
  if (!numberOfBytesRead) return false;
  const bool ok = readFile(file, buffer, numberOfBytesToRead, numberOfBytesRead);
  const std::uint32_t n = *numberOfBytesRead;
  g.readUnits += n / 64 + (n % 64 != 0) + (n == 0);
  return ok;
}

bool failureMayPass(HINTERNET request) {
  const Object* r = find(request, Kind::Request);
  if (!r || !r->sent) return false;
  if (r->shortBody) return true;
  switch (r->result) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: return true;
    default: return false;
  }
}

bool InternetCloseHandle(HINTERNET handle) {
  if (handle == 0) return false;
  const auto it = g.objects.find(handle);
  if (it == g.objects.end()) return false;

  std::vector<std::shared_ptr<Object>> doomed{it->second};
  const Kind kind = it->second->kind;
  if (kind != Kind::Request) {
    for (const auto& entry : g.objects) {
      const Object& o = *entry.second;
      if (o.id == handle) continue;
      if ((kind == Kind::Session && o.session == handle) ||
          (kind == Kind::Connection && o.connection == handle))
        doomed.push_back(entry.second);
    }
  }
  g.cachedId = 0;
  g.cachedObject = nullptr;
  for (const auto& o : doomed) {
    closeObject(*o);  // a call waiting on it sees this through its shared_ptr
    g.objects.erase(o->id);
  }
  return true;
}

void setWaitHook(const void* owner, std::function<void()> hook) {
  auto& hooks = g.hooks;
  hooks.erase(std::remove_if(hooks.begin(), hooks.end(),
                             [owner](const auto& h) { return h.first == owner; }),
              hooks.end());
  if (hook) hooks.emplace_back(owner, std::make_shared<std::function<void()>>(std::move(hook)));
}

void setTimeLimitsForTests(TimeLimits limits) { g.limits = limits; }

TimeLimits timeLimits() { return g.limits; }

std::size_t bufferedBytesForTests(HINTERNET request) {
  const Object* r = find(request, Kind::Request);
  return r ? r->body.size() - r->readPos : 0;
}

HINTERNET handlesOpenedForTests() { return g.lastId; }

std::uint64_t readsForTests() { return g.reads; }

std::uint64_t readUnitsForTests() { return g.readUnits; }

}  // namespace net
