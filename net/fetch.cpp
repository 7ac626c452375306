#include "net/fetch.h"

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

}  // namespace

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

namespace {

struct Handles {
  HINTERNET session = 0;
  HINTERNET connect = 0;
  HINTERNET request = 0;
  bool answered = false;
};

Handles sendRequest(FetchContext& ctx, const QString& url, const QString& referrer) {
  const QByteArray agent = toCp1250(ctx.agentName);
  const QByteArray host = toCp1250(urlHost(url));
  const QByteArray path = toCp1250(urlPath(url));
  const QByteArray ref = toCp1250(referrer);

  // Before each network step the window handles what is pending: a stop ends it here.
  const auto goOn = [&ctx] {
    if (ctx.beforeStep) return ctx.beforeStep();
    yieldTo(ctx);
    return true;
  };
  Handles h;
  if (!goOn()) return h;
  h.session = InternetOpenA(agent.constData(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!goOn()) return h;
  h.connect = InternetConnectA(h.session, host.constData(), INTERNET_DEFAULT_HTTP_PORT, nullptr,
                               nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  if (!goOn()) return h;
  h.request = HttpOpenRequestA(h.connect, "GET", path.constData(), "HTTP/1.0", ref.constData(),
                               nullptr, INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION, 0);
  if (!goOn()) return h;
  h.answered = HttpSendRequestA(h.request, nullptr, 0, nullptr, 0);
  yieldTo(ctx);
  return h;
}

void closeAll(FetchContext& ctx, const Handles& h) {
  yieldTo(ctx);
  InternetCloseHandle(h.request);
  InternetCloseHandle(h.connect);
  InternetCloseHandle(h.session);
}

// Own state per call: a fetch run from inside one of the yields below must not touch
// this one's buffer.
QByteArray readBody(FetchContext& ctx, HINTERNET request, bool answered) {
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
    const bool ok = InternetReadFile(request, state.readBuffer, sizeof state.readBuffer, &got);
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
  return body;
}

int statusOf(HINTERNET request) {
  char buffer[16] = {};
  std::uint32_t length = sizeof buffer;
  std::uint32_t index = 0;
  if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE, buffer, &length, &index)) return 0;
  return QByteArray(buffer, qsizetype(strnlen(buffer, sizeof buffer))).toInt();
}

}  // namespace

QByteArray fetchBytes(FetchContext& ctx, const QString& url, const QString& referrer) {
  const Handles h = sendRequest(ctx, url, referrer);
  ctx.status = statusOf(h.request);
  const QByteArray body = readBody(ctx, h.request, h.answered);
  closeAll(ctx, h);
  return body;
}

QString fetchText(FetchContext& ctx, const QString& mode, const QString& url,
                  const QString& referrer) {
  if (mode != QLatin1String("meret"))
    return fromCp1250(fetchBytes(ctx, url, referrer));  // one byte per character

  const Handles h = sendRequest(ctx, url, referrer);
  LocalTarget local;
  TextTarget& target = ctx.sizeLabel ? *ctx.sizeLabel : local;
  bool ok = false;
  queryHeader(h.request, target, HTTP_QUERY_CONTENT_LENGTH, ok);
  yieldTo(ctx);
  const QString result = target.caption();
  ctx.complete = h.answered;
  ctx.overLimit = false;
  closeAll(ctx, h);
  return result;
}

}  // namespace net
