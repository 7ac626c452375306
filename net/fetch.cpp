#include "net/fetch.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>

#include "net/codepage.h"
#include "net/url.h"

namespace net {
namespace {

void yieldTo(const FetchContext& ctx) {
  if (ctx.yield) ctx.yield();
}

class LocalTarget final : public TextTarget {
 public:
  void setCaption(const QString& text) override { text_ = text; }
  QString caption() const override { return text_; }

 private:
  QString text_;
};

// Read state of one transfer; every transfer has its own so nested ones never disturb it.
struct ReadState {
  bool readMore = false;
  char readBuffer[64] = {};
  std::int32_t bytesRead = 0;
};

void queryHeader(HINTERNET request, TextTarget& target, std::uint32_t infoLevel, bool& ok) {
  char buffer[1024] = {};
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  ok = HttpQueryInfoA(request, infoLevel, buffer, &length, &index);
  if (!ok) {
    target.setCaption(QString());
    return;
  }
  target.setCaption(fromCp1250(buffer, int(strnlen(buffer, sizeof buffer))));
}

}  // namespace

bool Request::send(const QString& agent, const QString& url, const QString& referrer,
                   const QByteArray& headerLines, const std::function<bool()>& beforeStep) {
  close();
  const QByteArray agent8 = toCp1250(agent);
  const QByteArray host = toCp1250(urlHost(url));
  const QByteArray path = toCp1250(urlPath(url));
  const QByteArray ref = toCp1250(referrer);
  if (!beforeStep()) return false;
  *slots_.session =
      InternetOpenA(agent8.constData(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!beforeStep()) return false;
  *slots_.connect = InternetConnectA(*slots_.session, host.constData(), INTERNET_DEFAULT_HTTP_PORT,
                                     nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (!beforeStep()) return false;
  *slots_.request =
      HttpOpenRequestA(*slots_.connect, "GET", path.constData(), "HTTP/1.0", ref.constData(),
                       nullptr, INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION, 0);
  if (!beforeStep()) return false;
  return HttpSendRequestA(*slots_.request,
                          headerLines.isEmpty() ? nullptr : headerLines.constData(),
                          std::uint32_t(headerLines.size()), nullptr, 0);
}

QByteArray Request::header(const char* name) const {
  char buffer[1024] = {};
  std::strncpy(buffer, name, sizeof buffer - 1);
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  if (!HttpQueryInfoA(*slots_.request, HTTP_QUERY_CUSTOM, buffer, &length, &index)) return {};
  return QByteArray(buffer, qsizetype(strnlen(buffer, sizeof buffer)));
}

int Request::status() const {
  char buffer[16] = {};
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  if (!HttpQueryInfoA(*slots_.request, HTTP_QUERY_STATUS_CODE, buffer, &length, &index)) return 0;
  return std::atoi(buffer);
}

std::optional<std::uint64_t> Request::contentLength() const {
  return decimal(header("Content-Length"));
}

bool Request::read(char* buffer, std::uint32_t size, std::uint32_t& got) const {
  got = 0;
  return InternetReadFile(*slots_.request, buffer, size, &got);
}

void Request::close() {
  // Zeroed once closed, so a later close can never hit a handle handed out again.
  for (HINTERNET* h : {slots_.request, slots_.connect, slots_.session}) {
    InternetCloseHandle(*h);
    *h = 0;
  }
}

std::optional<std::uint64_t> decimal(const QByteArray& digits) {
  const QByteArray d = digits.trimmed();
  if (d.isEmpty() || d.size() > 18) return std::nullopt;
  for (const char c : d)
    if (c < '0' || c > '9') return std::nullopt;
  return d.toULongLong();
}

std::optional<std::int64_t> httpDate(const QByteArray& text) {
  const QByteArray t = text.trimmed();
  if (t.isEmpty() || t.size() > 64) return std::nullopt;
  const time_t when = curl_getdate(t.constData(), nullptr);
  return when == -1 ? std::nullopt : std::optional<std::int64_t>(when);
}

namespace {

// Before each network step the window handles what is pending: a stop ends it there.
std::function<bool()> stepsOf(const FetchContext& ctx) {
  return [&ctx] {
    if (ctx.beforeStep) return ctx.beforeStep();
    yieldTo(ctx);
    return true;
  };
}

void noteAnswer(FetchContext& ctx, const Request& r, bool answered) {
  ctx.status = answered ? r.status() : 0;
  ctx.mayPass = !answered && r.failureMayPass();
  ctx.retryAfter = answered ? r.header("Retry-After") : QByteArray();
}

// Own state per call: a fetch run from inside one of the yields below must not touch
// this one's buffer.
QByteArray readBody(FetchContext& ctx, const Request& request, bool answered) {
  ReadState state;
  QByteArray body;
  // Reserved once: growing by doubling could hold twice the bound. Untouched pages of
  // a large reservation cost no memory.
  body.reserve(qsizetype(ctx.maxBytes) + qsizetype(sizeof state.readBuffer));
  bool lastReadOk = false;  // the loop ends on a failed read, at a clean end or at the bound
  ctx.overLimit = false;
  state.readMore = true;
  while (state.readMore) {
    std::memset(state.readBuffer, ' ', sizeof state.readBuffer);
    std::uint32_t got = 0;
    const bool ok = request.read(state.readBuffer, sizeof state.readBuffer, got);
    lastReadOk = ok;
    state.bytesRead = ok ? std::int32_t(got) : 0;
    state.readMore = ok;
    yieldTo(ctx);
    body.append(state.readBuffer, state.bytesRead);
    if (state.bytesRead == 0) state.readMore = false;
    if (std::size_t(body.size()) > ctx.maxBytes) {
      body.truncate(qsizetype(ctx.maxBytes));
      ctx.overLimit = true;
      break;
    }
  }
  ctx.complete = answered && lastReadOk && !ctx.overLimit;
  if (!lastReadOk && answered) ctx.mayPass = request.failureMayPass();
  return body;
}

}  // namespace

QByteArray fetchBytes(FetchContext& ctx, const QString& url, const QString& referrer) {
  Request r;
  const bool answered = r.send(ctx.agentName, url, referrer, {}, stepsOf(ctx));
  yieldTo(ctx);
  noteAnswer(ctx, r, answered);
  const QByteArray body = readBody(ctx, r, answered);
  yieldTo(ctx);
  return body;  // closed on the way out
}

QString fetchText(FetchContext& ctx, const QString& mode, const QString& url,
                  const QString& referrer) {
  if (mode != QLatin1String("meret"))
    return fromCp1250(fetchBytes(ctx, url, referrer));  // one byte per character

  Request r;
  const bool answered = r.send(ctx.agentName, url, referrer, {}, stepsOf(ctx));
  yieldTo(ctx);
  noteAnswer(ctx, r, answered);
  LocalTarget local;
  TextTarget& target = ctx.sizeLabel ? *ctx.sizeLabel : local;
  bool ok = false;
  queryHeader(r.handle(), target, HTTP_QUERY_CONTENT_LENGTH, ok);
  yieldTo(ctx);
  const QString result = target.caption();
  ctx.complete = answered;
  ctx.overLimit = false;
  yieldTo(ctx);
  return result;
}

}  // namespace net
