#include "fetch.h"

#include <cstring>

#include "codepage.h"
#include "url.h"

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

QString fetchText(FetchContext& ctx, const QString& mode, const QString& url,
                  const QString& referrer) {
  const QByteArray agent = toCp1250(ctx.agentName);
  const QByteArray host = toCp1250(urlHost(url));
  const QByteArray path = toCp1250(urlPath(url));
  const QByteArray ref = toCp1250(referrer);

  const HINTERNET session =
      InternetOpenA(agent.constData(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  yieldTo(ctx);
  const HINTERNET connect = InternetConnectA(session, host.constData(), INTERNET_DEFAULT_HTTP_PORT,
                                             nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0);
  yieldTo(ctx);
  const HINTERNET request =
      HttpOpenRequestA(connect, "GET", path.constData(), "HTTP/1.0", ref.constData(), nullptr,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_KEEP_CONNECTION, 0);
  yieldTo(ctx);
  const bool answered = HttpSendRequestA(request, nullptr, 0, nullptr, 0);
  yieldTo(ctx);

  QString result;
  if (mode == QLatin1String("meret")) {
    LocalTarget local;
    TextTarget& target = ctx.sizeLabel ? *ctx.sizeLabel : local;
    bool ok = false;
    queryHeader(request, target, HTTP_QUERY_CONTENT_LENGTH, ok);
    yieldTo(ctx);
    result = target.caption();
    ctx.complete = answered;
  } else {
    // Own state per call: a fetch run from inside one of the yields below must not
    // touch this one's buffer. The bytes are decoded once at the end, which gives
    // the same text as decoding each piece since the code page is one byte per char.
    ReadState state;
    QByteArray body;
    bool lastReadOk = false;  // the loop ends on a failed read or at a clean end
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
    }
    result = fromCp1250(body);
    ctx.complete = answered && lastReadOk;
  }

  yieldTo(ctx);
  InternetCloseHandle(request);
  InternetCloseHandle(connect);
  InternetCloseHandle(session);
  return result;
}

}  // namespace net
