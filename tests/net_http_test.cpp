// The WinINet stand-in and the one-shot fetch against the real substitute server.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "net/codepage.h"
#include "net/fetch.h"
#include "net/wininet.h"
#include "service/service.h"
#include "tests/closed_port.h"

static void PrintTo(const QString& s, std::ostream* os) {
  *os << "(" << s.size() << " chars) \"" << s.left(120).toStdString() << "\"";
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using net::HINTERNET;
using service::Fault;

// Deterministic bytes covering every value, tabs and line ends included.
std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u;
  for (char& c : s) c = char((x = x * 1664525u + 1013904223u) >> 24);
  return s;
}

QString decoded(const std::string& bytes) {
  return net::fromCp1250(bytes.data(), int(bytes.size()));
}

struct Label final : net::TextTarget {
  explicit Label(QString t = {}) : text(std::move(t)) {}
  void setCaption(const QString& t) override { text = t; }
  QString caption() const override { return text; }
  QString text;
};

// Wait hook for one test. A call still waiting long after the layer should have given
// up is ended by closing its handle, so a broken limit fails the test instead of hanging.
struct Hook {
  explicit Hook(std::function<void()> body = {}, HINTERNET watched = 0) : watched(watched) {
    net::setWaitHook(this, [this, body] {
      ++calls;
      if (this->watched && Clock::now() - start > 15s) {
        watchdogFired = true;
        net::InternetCloseHandle(this->watched);
      }
      if (body) body();
    });
  }
  ~Hook() { net::setWaitHook(this, nullptr); }
  HINTERNET watched;
  Clock::time_point start = Clock::now();
  int calls = 0;
  bool watchdogFired = false;
};

// One plain request, its handles closed at the end of the scope.
struct Request {
  HINTERNET session, connect, request;
  Request(const std::string& host, const std::string& path, std::uint16_t port = 80) {
    session = net::InternetOpenA("net-test", 0, nullptr, nullptr, 0);
    connect = net::InternetConnectA(session, host.c_str(), port, nullptr, nullptr, 3, 0, 0);
    request = net::HttpOpenRequestA(connect, "GET", path.c_str(), "HTTP/1.0", "", nullptr,
                                    0x80400000u, 0);
  }
  ~Request() {
    for (HINTERNET h : {request, connect, session}) net::InternetCloseHandle(h);
  }
  bool send() { return net::HttpSendRequestA(request, nullptr, 0, nullptr, 0); }
  // Reads until a read fails or reports the end; lastOk tells which.
  std::string readAll(bool& lastOk, std::uint32_t chunk = 64) {
    std::string body;
    std::vector<char> buffer(chunk);
    std::uint32_t got = 0;
    while ((lastOk = net::InternetReadFile(request, buffer.data(), chunk, &got)) && got)
      body.append(buffer.data(), got);
    EXPECT_EQ(got, 0u);
    return body;
  }
  std::string query(std::uint32_t level) {
    char buffer[64];
    std::uint32_t length = sizeof buffer;
    return net::HttpQueryInfoA(request, level, buffer, &length, nullptr)
               ? std::string(buffer, length)
               : "<none>";
  }
};

class NetHttp : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(server.start(0)); }
  static void TearDownTestSuite() { server.stop(); }
  // Normal transfers get an idle limit far above any pause of a loaded machine; cases
  // that stall on purpose shorten it for themselves.
  void SetUp() override {
    net::setTimeLimitsForTests({3000ms, 10s});
    server.clearLog();
  }
  void TearDown() override { net::setTimeLimitsForTests(net::TimeLimits{}); }

  static std::string host() { return server.host(); }
  static QString url(const std::string& target) { return QString::fromStdString(host() + target); }
  static void reply(const std::string& target, std::string body, Fault fault = Fault::None,
                    int status = 200) {
    service::Reply r;
    r.status = status;
    r.body = std::move(body);
    r.fault = fault;
    server.setReply(target, std::move(r));
  }
  static std::vector<service::LoggedRequest> logged(const std::string& target) {
    std::vector<service::LoggedRequest> out;
    for (auto& r : server.requests())
      if (r.target == target) out.push_back(r);
    return out;
  }
  static QString fetch(const QString& mode, const QString& address, const QString& referrer = {},
                       net::TextTarget* label = nullptr, std::function<void()> yield = {}) {
    net::FetchContext ctx{QStringLiteral("Zelvo teszt"), std::move(yield), label};
    ctx.maxBytes = 64 * 1024 * 1024;  // above every body served here
    return net::fetchText(ctx, mode, address, referrer);
  }

  static inline service::Server server;
};

TEST_F(NetHttp, BodiesArriveExactly) {
  // Reads of 64 bytes, the last one empty (-1: not counted, the body comes in pieces).
  const std::tuple<const char*, std::string, int> bodies[] = {
      {"empty", "", 1},
      {"63", pattern(63, 2), 2},
      {"64", pattern(64, 3), 2},
      {"65", pattern(65, 4), 3},
      {"text",
       "\tl\xE9"
       "c\r\nsor\n\n  \xF5\xFB\xD5\xDB \n",
       2},
      {"3MiB", pattern(3 << 20, 6), -1},
  };
  for (const auto& [name, body, reads] : bodies) {
    reply(std::string("/body/") + name, body);
    const std::uint64_t before = net::readsForTests();
    EXPECT_EQ(fetch({}, url(std::string("/body/") + name)), decoded(body)) << name;
    EXPECT_TRUE(reads < 0 || net::readsForTests() - before == std::uint64_t(reads)) << name;
  }
  EXPECT_EQ(fetch({}, url("/body/text")), QString::fromUtf8("\tléc\r\nsor\n\n  őűŐŰ \n"));

  // Any read size gets every byte, and the end stays the end.
  for (const std::uint32_t chunk : {1u, 1000u, 1u << 22}) {
    Request r(host(), "/body/3MiB");
    ASSERT_TRUE(r.send());
    bool ok = false;
    EXPECT_TRUE(r.readAll(ok, chunk) == std::get<1>(bodies[5])) << chunk;
    EXPECT_TRUE(ok);
    EXPECT_TRUE(r.readAll(ok).empty() && ok);
  }
}

// Reading stops at the bound: what fits is kept, and the reply is not taken as whole.
TEST_F(NetHttp, BodyIsReadNoFurtherThanItsBound) {
  reply("/bound/fixed", std::string(1000, 'b'));
  reply("/bound/endless", "endless ", Fault::Endless);
  const struct {
    const char* target;
    std::size_t bound;
    std::size_t kept;
    bool complete;
  } rows[] = {
      {"/bound/fixed", 1000, 1000, true},
      {"/bound/fixed", 999, 999, false},
      {"/bound/fixed", 1, 1, false},
      {"/bound/endless", 100000, 100000, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.target) + " " + std::to_string(row.bound));
    net::FetchContext ctx;
    ctx.maxBytes = row.bound;
    const QByteArray body = net::fetchBytes(ctx, url(row.target), {});
    EXPECT_EQ(std::size_t(body.size()), row.kept);
    EXPECT_EQ(ctx.complete, row.complete);
    EXPECT_EQ(ctx.overLimit, !row.complete);
  }
}

TEST_F(NetHttp, SizeModeReportsContentLength) {
  reply("/size/plain", pattern(12345, 1));
  service::Reply noLength{200, {}, "no length", false};
  server.setReply("/size/none", noLength);
  service::Reply padded{200, {{"Content-Length", "  42  "}}, std::string(42, 'p'), false};
  server.setReply("/size/padded", padded);
  // The value is queried into 1024 characters: 1023 and the NUL fit, one more does not.
  const std::string zeros(1021, '0');
  server.setReply("/size/long", {200, {{"Content-Length", zeros + "42"}}, std::string(42, 'p')});
  server.setReply("/size/over", {200, {{"Content-Length", zeros + "042"}}, std::string(42, 'p')});

  const struct {
    const char* target;
    const char* mode;
    QString expected;
  } cases[] = {
      {"/size/plain", "meret", "12345"},
      {"/size/none", "meret", ""},
      {"/size/padded", "meret", "42"},
      {"/size/plain", "Meret", decoded(pattern(12345, 1))},
      {"/size/none", "", "no length"},
      {"/size/long", "meret", QString::fromStdString(zeros + "42")},
      {"/size/over", "meret", ""},
  };
  for (const auto& c : cases) {
    Label label("régi");
    EXPECT_EQ(fetch(c.mode, url(c.target), {}, &label), c.expected) << c.target << " " << c.mode;
    EXPECT_EQ(label.text, QLatin1String(c.mode) == "meret" ? c.expected : "régi") << c.target;
  }
  EXPECT_EQ(fetch("meret", url("/size/plain")), "12345");  // no label given
}

TEST_F(NetHttp, RequestHasExactlyTheExpectedForm) {
  reply("/form?x=1&y=%41", "ok");
  fetch({}, url("/form?x=1&y=%41"), url("/z/e/zelvo/film.php?a=ő"));
  fetch({}, url("/form?x=1&y=%41"), {});
  const auto seen = logged("/form?x=1&y=%41");
  ASSERT_EQ(seen.size(), 2u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    const auto& r = seen[i];
    EXPECT_EQ(r.method + " " + r.version, "GET HTTP/1.0");
    EXPECT_EQ(r.bodyBytes, 0u);
    EXPECT_EQ(r.header("Host"), host());
    EXPECT_EQ(r.header("User-Agent"), "Zelvo teszt");
    EXPECT_EQ(r.header("Pragma"), "no-cache");
    std::set<std::string> names;
    for (const auto& h : r.headers)
      names.insert(QString::fromStdString(h.first).toLower().toStdString());
    std::set<std::string> expected{"host", "user-agent", "pragma"};
    if (i == 0) {
      EXPECT_EQ(r.header("Referer"), host() + "/z/e/zelvo/film.php?a=\xF5");
      expected.insert("referer");
    }
    EXPECT_EQ(names, expected) << "request " << i;
    EXPECT_EQ(r.headers.size(), expected.size());
  }

  // Bytes a URL cannot carry are escaped; escapes, query syntax and dot segments stay.
  const std::pair<std::string, std::string> names[] = {
      {"/raw/a b/\xF5?n=\xD5 x&m=%41", "/raw/a%20b/%F5?n=%D5%20x&m=%41"},
      {"/raw/tab\there\x01#not", "/raw/tab%09here%01%23not"},
      {"/raw/../dots/./x", "/raw/../dots/./x"},
  };
  for (const auto& [object, target] : names) {
    reply(target, "seen");
    Request r(host(), object);
    bool ok = false;
    EXPECT_TRUE(r.send() && r.readAll(ok) == "seen") << target;
  }

  // "name:port" wins over the port argument, a bare name takes the argument.
  Request withPort(host(), "/form?x=1&y=%41", 80);
  Request bare("127.0.0.1", "/form?x=1&y=%41", server.port());
  EXPECT_TRUE(withPort.send());
  EXPECT_TRUE(bare.send());

  // A name without a port goes to port 80: through the service as a proxy, the address
  // then names no port.
  reply("http://zelvo.test/proxied", "via proxy");
  ASSERT_EQ(::setenv("http_proxy", ("http://" + host()).c_str(), 1), 0);
  const QString proxied = fetch({}, QStringLiteral("zelvo.test/proxied"));
  ::unsetenv("http_proxy");
  EXPECT_EQ(proxied, "via proxy");
  const auto seen80 = logged("http://zelvo.test/proxied");
  ASSERT_EQ(seen80.size(), 1u);
  EXPECT_EQ(seen80[0].header("Host"), "zelvo.test");
}

TEST_F(NetHttp, UnreachableOrSilentServerGivesUp) {
  const ClosedPort port;
  const QString closed = QString("127.0.0.1:%1/x").arg(port.number());
  Label label("régi");
  EXPECT_EQ(fetch("meret", closed, {}, &label), "");
  EXPECT_EQ(label.text, "");
  EXPECT_EQ(fetch({}, closed), "");

  // A second of silence: the hook comes every 10 ms, so even a loaded machine calls it
  // far more than five times; a wait that blocks without it cannot.
  net::setTimeLimitsForTests({3000ms, 1000ms});
  reply("/silent", "", Fault::StallHeaders);
  Request r(host(), "/silent");
  Hook hook({}, r.request);
  EXPECT_FALSE(r.send());
  EXPECT_FALSE(hook.watchdogFired);
  EXPECT_GE(Clock::now() - hook.start, 1000ms);
  EXPECT_GE(hook.calls, 5);
  EXPECT_EQ(r.query(net::HTTP_QUERY_STATUS_CODE), "<none>");
  bool ok = true;
  r.readAll(ok);
  EXPECT_FALSE(ok);
}

// On an event loop a wait is the loop's own: it wakes for what arrives and handles the
// loop's events meanwhile, where a wait without one wakes on its 10 ms clock.
TEST_F(NetHttp, OnAnEventLoopAWaitWakesForTheBytesNotForAClock) {
  int argc = 1;
  char name[] = "net_tests";
  char* argv[] = {name, nullptr};
  QCoreApplication app(argc, argv);
  const std::string body = pattern(6, 9);  // one byte every 100 ms: 0.6 s of waiting
  reply("/trickle", body, Fault::Trickle);
  bool handled = false;  // an event of the loop's, due in the middle of the waits
  QTimer::singleShot(150ms, [&] { handled = true; });
  Request r(host(), "/trickle");
  Hook hook({}, r.request);
  ASSERT_TRUE(r.send());
  bool ok = false;
  EXPECT_EQ(r.readAll(ok, 4096), body);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(handled);
  EXPECT_FALSE(hook.watchdogFired);
  EXPECT_GE(Clock::now() - hook.start, 500ms);
  // A 10 ms clock would wake it some fifty times; each byte wakes it once or twice.
  EXPECT_LE(hook.calls, 25) << hook.calls;
}

TEST_F(NetHttp, BrokenBodiesFailTheRead) {
  const std::string body = pattern(200000, 8), half = body.substr(0, body.size() / 2);
  const struct {
    Fault fault;
    bool readOk;
    const std::string& expected;
  } cases[] = {
      {Fault::None, true, body},        {Fault::NoLength, true, body}, {Fault::Slow, true, body},
      {Fault::CloseEarly, false, half}, {Fault::Reset, false, half},   {Fault::Stall, false, half},
  };
  for (const auto& c : cases) {
    net::setTimeLimitsForTests({3000ms, c.fault == Fault::Stall ? 300ms : 10000ms});
    const std::string target = "/broken/" + std::to_string(int(c.fault));
    reply(target, body, c.fault);
    Request r(host(), target);
    Hook hook({}, r.request);
    ASSERT_TRUE(r.send()) << target;
    EXPECT_EQ(r.query(net::HTTP_QUERY_STATUS_CODE), "200") << target;
    bool ok = !c.readOk;
    EXPECT_TRUE(r.readAll(ok, 4096) == c.expected) << target;
    EXPECT_EQ(ok, c.readOk) << target;
    EXPECT_FALSE(hook.watchdogFired) << target;
    // fetchText stops at the failed read and keeps what came before it.
    EXPECT_EQ(fetch({}, url(target)), decoded(c.expected)) << target;
  }
}

// Lengths that curl does not hold the body to: the read still fails when the body ends
// short of the length that HttpQueryInfoA reports.
TEST_F(NetHttp, BodyShortOfTheReportedLengthFailsEvenWhereCurlLetsItThrough) {
  const struct {
    const char* target;
    std::vector<std::pair<std::string, std::string>> headers;
    const char* reported;
    bool readOk;
  } rows[] = {
      {"/len/twice", {{"Content-Length", "100"}, {"Content-Length", "50"}}, "100", false},
      {"/len/past64bits",
       {{"Content-Length", "99999999999999999999"}},
       "99999999999999999999",
       false},
      {"/len/exact", {{"Content-Length", "50"}}, "50", true},
  };
  for (const auto& row : rows) {
    server.setReply(row.target, {200, row.headers, std::string(50, 'b'), false});
    Request r(host(), row.target);
    ASSERT_TRUE(r.send()) << row.target;
    EXPECT_EQ(r.query(net::HTTP_QUERY_CONTENT_LENGTH), row.reported) << row.target;
    bool ok = !row.readOk;
    EXPECT_EQ(r.readAll(ok), std::string(50, 'b')) << row.target;
    EXPECT_EQ(ok, row.readOk) << row.target;
  }
}

TEST_F(NetHttp, ErrorStatusIsAnOrdinaryResponse) {
  reply("/missing", "nincs ilyen", Fault::None, 404);
  Request r(host(), "/missing");
  ASSERT_TRUE(r.send());
  EXPECT_EQ(r.query(net::HTTP_QUERY_STATUS_CODE), "404");
  EXPECT_EQ(r.query(12345), "<none>");
  char buffer[8];
  std::uint32_t length = 2;  // no room for the NUL
  EXPECT_FALSE(
      net::HttpQueryInfoA(r.request, net::HTTP_QUERY_CONTENT_LENGTH, buffer, &length, nullptr));
  length = 3;
  ASSERT_TRUE(
      net::HttpQueryInfoA(r.request, net::HTTP_QUERY_CONTENT_LENGTH, buffer, &length, nullptr));
  EXPECT_EQ(length, 2u);
  EXPECT_STREQ(buffer, "11");
  bool ok = false;
  EXPECT_EQ(r.readAll(ok), "nincs ilyen");
}

TEST_F(NetHttp, RedirectsAreFollowedOverHttpOnly) {
  reply("/to", "final body");
  const auto redirect = [](const std::string& from, const std::string& location) {
    server.setReply(from, {302, {{"Location", location}}, "moved to " + location});
  };
  redirect("/from/absolute", "http://" + host() + "/to");
  redirect("/from/relative", "/to");
  redirect("/from/twice", "/from/relative");
  redirect("/from/file", "file:///etc/passwd");
  redirect("/loop", "/loop");

  for (const char* from : {"/from/absolute", "/from/relative", "/from/twice"}) {
    Request r(host(), from);
    ASSERT_TRUE(r.send()) << from;
    // The final response's headers, not the redirect's.
    EXPECT_EQ(r.query(net::HTTP_QUERY_STATUS_CODE) + " " + r.query(net::HTTP_QUERY_CONTENT_LENGTH),
              "200 10")
        << from;
    EXPECT_EQ(fetch({}, url(from)), "final body") << from;
  }

  Request file(host(), "/from/file");
  Hook hook({}, file.request);
  const bool sent = file.send();
  bool ok = false;
  const std::string body = file.readAll(ok);
  EXPECT_TRUE(sent ? body == "moved to file:///etc/passwd" : !ok) << body;

  Request loop(host(), "/loop");
  EXPECT_FALSE(loop.send());
  loop.readAll(ok);
  EXPECT_FALSE(ok);
  EXPECT_FALSE(hook.watchdogFired);
  const auto hops = logged("/loop").size();
  EXPECT_TRUE(hops > 1 && hops <= 12) << hops;
}

TEST_F(NetHttp, NestedFetchInsideTheWaitHookAndTheYield) {
  const std::string slow = pattern(300000, 9), big = pattern(3 << 20, 10);
  const std::string inner = pattern(100000, 11) + "\t\n\xF5";
  reply("/nest/slow", slow, Fault::Slow);
  reply("/nest/big", big);
  reply("/nest/inner", inner);

  // In the wait hook while the outer call waits for the slow server.
  QString innerText;
  {
    Hook hook([&] {
      if (innerText.isEmpty()) innerText = fetch({}, url("/nest/inner"));
    });
    EXPECT_EQ(fetch({}, url("/nest/slow")), decoded(slow));
    EXPECT_EQ(innerText, decoded(inner));
  }

  // In the yield between reads of a large body, which meanwhile fills its buffer and pauses.
  int reads = 0;
  QString innerSize;
  innerText.clear();
  EXPECT_EQ(fetch({}, url("/nest/big"), {}, nullptr,
                  [&] {
                    if (++reads != 10) return;
                    innerText = fetch({}, url("/nest/inner"));
                    innerSize = fetch("meret", url("/nest/inner"));
                  }),
            decoded(big));
  EXPECT_EQ(innerText, decoded(inner));
  EXPECT_EQ(innerSize, QString::number(inner.size()));
}

// Each owner keeps its own hook: an old window going away leaves a newer one hooked.
TEST_F(NetHttp, EachOwnerKeepsItsOwnWaitHook) {
  reply("/hooks/slow", pattern(2000, 3), Fault::Slow);
  auto older = std::make_unique<Hook>();
  Hook newer;
  older.reset();
  Request r(host(), "/hooks/slow");
  ASSERT_TRUE(r.send());
  char buffer[64];
  std::uint32_t n = 0;
  while (net::InternetReadFile(r.request, buffer, sizeof buffer, &n) && n) {
  }
  EXPECT_GT(newer.calls, 0);
}

TEST_F(NetHttp, ClosingFromTheHookEndsTheWaitingCall) {
  reply("/close/headers", "", Fault::StallHeaders);
  const std::string body = pattern(10000, 12);
  reply("/close/body", body, Fault::Stall);

  for (const bool duringSend : {true, false}) {
    for (const int which : {0, 1, 2}) {  // request, connection, session
      SCOPED_TRACE(testing::Message() << (duringSend ? "send " : "read ") << which);
      Request r(host(), duringSend ? "/close/headers" : "/close/body");
      const HINTERNET victim = which == 0 ? r.request : which == 1 ? r.connect : r.session;
      bool armed = duringSend;
      int armedCalls = 0, callsAfterClose = -1;
      Hook hook(
          [&] {
            if (callsAfterClose >= 0) ++callsAfterClose;
            if (armed && callsAfterClose < 0 && ++armedCalls == 3) {
              EXPECT_TRUE(net::InternetCloseHandle(victim));
              callsAfterClose = 0;
            }
          },
          r.request);
      if (duringSend) {
        EXPECT_FALSE(r.send());
      } else {
        ASSERT_TRUE(r.send());
        std::string got;
        char buffer[64];
        std::uint32_t n = 0;
        while (got.size() < 5000 && net::InternetReadFile(r.request, buffer, 64, &n) && n)
          got.append(buffer, n);
        ASSERT_TRUE(got == body.substr(0, 5000));
        armed = true;  // the next read has to wait
        EXPECT_FALSE(net::InternetReadFile(r.request, buffer, 64, &n));
      }
      EXPECT_EQ(callsAfterClose, 0);
      EXPECT_FALSE(hook.watchdogFired);
      EXPECT_FALSE(net::InternetCloseHandle(r.request));  // went with its owner
    }
  }
}

TEST_F(NetHttp, StaleHandlesAreHarmlessAndNeverReused) {
  reply("/stale", "stale body");
  char buffer[16];
  std::uint32_t n = 99, length = sizeof buffer;
  EXPECT_FALSE(net::InternetCloseHandle(0));
  EXPECT_EQ(net::InternetConnectA(0, "127.0.0.1", 80, nullptr, nullptr, 3, 0, 0), 0u);
  EXPECT_EQ(net::HttpOpenRequestA(0, "GET", "/", "HTTP/1.0", "", nullptr, 0, 0), 0u);
  EXPECT_FALSE(net::HttpSendRequestA(0, nullptr, 0, nullptr, 0));
  EXPECT_FALSE(net::InternetReadFile(0, buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u);

  Request r(host(), "/stale");
  EXPECT_FALSE(net::HttpSendRequestA(r.connect, nullptr, 0, nullptr, 0));     // not a request
  EXPECT_FALSE(net::InternetReadFile(r.request, buffer, sizeof buffer, &n));  // not sent yet
  ASSERT_TRUE(r.send());
  EXPECT_TRUE(net::InternetCloseHandle(r.request));
  EXPECT_FALSE(net::InternetCloseHandle(r.request));
  n = 99;
  EXPECT_FALSE(net::InternetReadFile(r.request, buffer, sizeof buffer, &n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(
      net::HttpQueryInfoA(r.request, net::HTTP_QUERY_STATUS_CODE, buffer, &length, nullptr));
  EXPECT_TRUE(net::InternetCloseHandle(r.session));
  EXPECT_FALSE(net::InternetCloseHandle(r.connect));  // went with its session

  std::set<HINTERNET> seen;
  for (int i = 0; i < 100; ++i) {
    Request q(host(), "/stale");
    for (const HINTERNET h : {q.session, q.connect, q.request})
      EXPECT_TRUE(h && seen.insert(h).second);
  }
}

TEST_F(NetHttp, UnreadBodyStaysBoundedAndPausedTimeIsNotIdleTime) {
  constexpr auto idle = 2000ms;  // far above any pause of a loaded machine
  net::setTimeLimitsForTests({3000ms, idle});
  const std::string big = pattern(64 << 20, 13);
  reply("/mem/big", big);
  server.setReply("/mem/other", {200, {}, "d", true, Fault::None, 20});

  Request r(host(), "/mem/big");
  ASSERT_TRUE(r.send());
  std::size_t most = 0, nextPause = 0;
  std::string got;
  char buffer[64];
  std::uint32_t n = 0;
  bool ok = true;
  while (ok) {
    if (got.size() >= nextPause && nextPause < big.size()) {
      // Not reading: other requests' waits run curl. The first time until this transfer's
      // buffer is full, and then for longer than the idle limit.
      const bool first = nextPause == 0;
      const auto start = Clock::now();
      Clock::time_point full{};
      do {
        Request d(host(), "/mem/other");
        bool done = false;
        ASSERT_TRUE(d.send() && d.readAll(done) == "d" && done);
        if (full == Clock::time_point{} &&
            net::bufferedBytesForTests(r.request) >= net::kReadBufferLimit)
          full = Clock::now();
        ASSERT_LT(Clock::now() - start, 60s) << "the buffer never filled";
      } while (first && (full == Clock::time_point{} || Clock::now() - full < idle + 500ms));
      most = std::max(most, net::bufferedBytesForTests(r.request));
      nextPause += 16 << 20;
    }
    if (!(ok = net::InternetReadFile(r.request, buffer, sizeof buffer, &n)) || n == 0) break;
    got.append(buffer, n);
  }
  EXPECT_TRUE(ok);
  EXPECT_TRUE(got == big) << got.size();
  // At least the limit: the first pause waits for it.
  EXPECT_LE(most, net::kReadBufferLimit + net::kReceivePieceSize);
}

}  // namespace
