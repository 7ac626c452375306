// One-shot HTTP/1.0 GET of a service resource: the body as text, or its Content-Length.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/wininet.h"

namespace net {

// Read state of one transfer; every transfer has its own so nested ones never disturb it.
struct ReadState {
  bool readMore = false;
  char readBuffer[64] = {};
  std::int32_t bytesRead = 0;
};

// A display control that a header value is written into (the window's hidden label).
class TextTarget {
 public:
  virtual ~TextTarget() = default;
  virtual void setCaption(const QString& text) = 0;
  virtual QString caption() const = 0;
};

struct FetchContext {
  QString agentName;                // User-Agent of each session
  std::function<void()> yield;      // lets the window process its events
  TextTarget* sizeLabel = nullptr;  // receives the Content-Length in size mode
  // Called before each network step (open, connect, send): handles pending events;
  // false stops the fetch there (the program is ending).
  std::function<bool()> beforeStep;
  // Most body bytes kept; reading stops there, so a server cannot fill the memory.
  std::size_t maxBytes = 1024 * 1024;
  // Set by the fetch: false when no whole answer arrived (no headers, a body cut short,
  // or a body over maxBytes); overLimit tells the last case apart.
  bool complete = false;
  bool overLimit = false;
  int status = 0;  // the answer's HTTP status; 0 when none arrived
};

void queryHeader(HINTERNET request, TextTarget& target, std::uint32_t infoLevel, bool& ok);

// The body's first ctx.maxBytes bytes as they came (see fetchText for the rest).
QByteArray fetchBytes(FetchContext& ctx, const QString& url, const QString& referrer);

// mode "meret" (exactly) returns the Content-Length text; anything else the body.
// Never fails: an unreachable server gives empty text, a body cut short what came of it
// (ctx.complete tells these apart from a whole answer).
QString fetchText(FetchContext& ctx, const QString& mode, const QString& url,
                  const QString& referrer);

}  // namespace net
