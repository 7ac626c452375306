// One-shot HTTP/1.0 GET of a service resource: the body as text, or its Content-Length.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "net/wininet.h"

namespace net {

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
  // Set by the fetch: the answer's status (0: none arrived), whether a failure to get one
  // may pass (see failureMayPass) and its Retry-After text.
  int status = 0;
  bool mayPass = false;
  QByteArray retryAfter{};
};

// Where a request keeps its three handles: its own, or variables of the caller's that
// others may close meanwhile (the window's, for the stop command). A closed one holds 0.
struct HandleSlots {
  HINTERNET* session;
  HINTERNET* connect;
  HINTERNET* request;
};

// One HTTP/1.0 GET with a session and a connection of its own, closed (request,
// connection, session) at close() or when it goes out of scope.
class Request {
 public:
  Request() : slots_{&own_[0], &own_[1], &own_[2]} {}
  explicit Request(HandleSlots where) : slots_(where) {}
  ~Request() { close(); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  // Opens and sends; headerLines are extra "Name: value" lines, each ending in CRLF.
  // beforeStep runs before each of the four steps; false stops there. True when an
  // answer's headers arrived.
  bool send(const QString& agent, const QString& url, const QString& referrer,
            const QByteArray& headerLines, const std::function<bool()>& beforeStep);
  int status() const;                         // 0: no answer
  QByteArray header(const char* name) const;  // empty when absent
  std::optional<std::uint64_t> contentLength() const;
  // Up to size bytes; false when the transfer failed or ended short (see InternetReadFile).
  bool read(char* buffer, std::uint32_t size, std::uint32_t& got) const;
  bool failureMayPass() const { return net::failureMayPass(*slots_.request); }
  HINTERNET handle() const { return *slots_.request; }
  void close();

 private:
  HINTERNET own_[3] = {};
  HandleSlots slots_;
};

// A decimal number of bytes or seconds; nullopt for anything else.
std::optional<std::uint64_t> decimal(const QByteArray& digits);
// Seconds since the epoch of an HTTP date; nullopt when it is none.
std::optional<std::int64_t> httpDate(const QByteArray& text);

// The body's first ctx.maxBytes bytes as they came (see fetchText for the rest).
QByteArray fetchBytes(FetchContext& ctx, const QString& url, const QString& referrer);

// mode "meret" (exactly) returns the Content-Length text; anything else the body.
// Never fails: an unreachable server gives empty text, a body cut short what came of it
// (ctx.complete tells these apart from a whole answer).
QString fetchText(FetchContext& ctx, const QString& mode, const QString& url,
                  const QString& referrer);

}  // namespace net
