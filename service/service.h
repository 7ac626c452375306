// zelvo-service: a real HTTP server on loopback that answers every request of the
// client (catalogue, film record, error report, size query, slices, example picture),
// with a demo catalogue and scenario films that misbehave on purpose.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace service {

struct LoggedRequest {
  std::string method;   // "GET"
  std::string target;   // path with query, as received (still percent-encoded)
  std::string version;  // "HTTP/1.0"
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::size_t bodyBytes = 0;                                 // bytes after the headers
  // Value of a header by case-insensitive name; nullopt when absent.
  std::optional<std::string> header(const std::string& name) const;
};

// How a slice (or any canned reply) behaves on the wire.
enum class Fault {
  None,           // status 200, Content-Length, the bytes
  NotFound,       // 404 with an HTML error page
  ServerError,    // 500 with an HTML error page
  CloseEarly,     // announces the full Content-Length, sends half, closes
  NoLength,       // no Content-Length header, closes at the end
  Slow,           // sends in small pieces with pauses (still finishes within ~1 s)
  Stall,          // sends the headers and part of the body, then sends nothing more
  StallHeaders,   // accepts, reads the request, never answers
  Reset,          // sends part of the body, then resets the connection (RST)
  Endless,        // no Content-Length; the body over and over until the client leaves
  Trickle,        // announces its length, then sends one byte every 100 ms
  Dribble,        // announces its length, then sends 20 bytes every 100 ms (200 a second)
  Unavailable,    // 503 with an HTML page and Retry-After (SliceSpec::retryAfterSeconds)
  Empty,          // status 200, Content-Length: 0, no body
  EmptyNoLength,  // status 200, no Content-Length, closes at once without a body
  HalfPartial,    // to a request without Range: 206 with the first half and its Content-Range
  ResetAtEnd,     // no Content-Length, the whole body, then a reset (RST)
  OtherRange,     // to a request with Range: 206 of the range one byte later than asked
  RangeIgnored,   // to a request with Range: 200 with the whole slice
};

// What a slice's answers carry to tell its versions apart. Every slice answer has a Date:
// the real time, except with FreshLastModified, whose Date is 10 s after its Last-Modified
// (a date that is no strong validator).
enum class Validator { None, ETag, LastModified, WeakETag, FreshLastModified };

struct SliceSpec {
  std::uint64_t size = 0;  // bytes of the good content
  Fault fault = Fault::None;
  std::string host;  // host of its address in the record; empty: the service's own
  // Only the first faultTimes requests of the slice (Range or not, counted per Server)
  // get the fault, later ones are served well; -1: every request.
  int faultTimes = -1;
  int retryAfterSeconds = 1;  // Unavailable's Retry-After; 0: no such header
  // After this many requests (per Server) the slice is another version of itself: other
  // bytes, changedSize of them (0: as many), another validator. -1: never.
  int changeAfter = -1;
  std::uint64_t changedSize = 0;
};

struct FilmSpec {
  std::string id;    // identifier as the user types it (UTF-8)
  std::string name;  // film name (UTF-8; sent in Windows-1250); the one a rawRecord carries
  std::vector<SliceSpec> slices;
  std::optional<int> count;              // count field sent; default slices.size()
  std::string message;                   // refusal text (count 0)
  std::optional<std::string> rawRecord;  // sent instead of a built record ("{host}" replaced)
  std::string errorAnswer = "Köszönjük, a hibát rögzítettük.";  // answer to &action=error
  bool inCatalogue = false;
  std::string about;                // what a table film does, as service/README.md lists it
  std::string referrer;             // field 0; default "{host}/z/e/zelvo/film.php?a=<id>"
  Fault recordFault = Fault::None;  // how the record reply behaves on the wire (as a slice's)
  // Slices answer every request with 200 and the whole slice, whatever Range asks.
  bool ignoresRanges = false;
  // The film's version: its bytes and validators change with it (a film replaced on the
  // host). Slices answer If-Range that names another version (or a weak tag) with the
  // whole slice.
  std::string version;
  Validator validator = Validator::None;
};

// A film of good slices of these sizes, e.g. for Server::addFilm; faults and the rest are
// set on the result.
FilmSpec makeFilm(std::string id, std::string name, const std::vector<std::uint64_t>& sliceSizes);

// Every film the service knows, demo and scenario alike, in the order of its table.
const std::vector<FilmSpec>& films();
const FilmSpec* findFilm(const std::string& id);
// The deterministic bytes of slice i when it is served without fault (changed: after its
// changeAfter requests).
std::string sliceContent(const FilmSpec& film, std::size_t slice, bool changed = false);
// What a correct client writes for the film: every slice's content in order.
std::string filmContent(const FilmSpec& film);
// Address of slice i as it appears in the record: "<host>/z/s/<encoded id>/<i>", with the
// slice's own host where it has one.
std::string sliceAddress(const std::string& host, const FilmSpec& film, std::size_t slice);

// The catalogue served by default (Windows-1250): "<row>\t<id>\t<name>\t<record address>"
// for every demo film, rows joined by "\n".
std::string demoCatalogue(const std::string& host);
// A catalogue (Windows-1250) with CRLF line ends, rows of one and two fields and an
// empty last row, for setCatalogue().
std::string catalogueWithShortRows();

// Named catalogues, for tests, the demo and the bench (nullopt for an unknown name):
//   "demo"       the demo catalogue
//   "millio"     1,000,000 rows "<n>\tf<n>\tFilm <n>\t<record address>"
//   "tizmillio"  10,000,000 rows (the million rows ten times over)
//   "vegtelen"   the million rows over and over, without a Content-Length
//   "egysoros"   one row of almost 128 MiB, without a line feed at its end
//   "hiba-500"   a 500 error page whose lines look like catalogue rows
struct CatalogueScenario {
  std::string bytes;          // Windows-1250
  std::uint64_t repeats = 1;  // the bytes are sent this many times
  bool endless = false;       // ... or without end
  int status = 200;
};
std::optional<CatalogueScenario> catalogueScenario(const std::string& name,
                                                   const std::string& host);

// A canned reply, for tests that need a special answer at an exact target.
struct Reply {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // sent as given
  std::string body;
  bool addContentLength = true;
  Fault fault = Fault::None;  // any fault, as it would strike a slice with this body
  int delayMs = 0;            // wait before answering
};

// Slices answer "Range: bytes=N-" and "bytes=N-M" with 206, a Content-Range and those bytes
// (the slice's fault applies to them); a start at or past the end gets 416 with
// "Content-Range: bytes */TOTAL"; other forms are ignored.
class Server {
 public:
  Server();
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on 127.0.0.1:port (0 = any free port). False when it cannot bind or is
  // already running; it may start again after stop().
  bool start(std::uint16_t port = 0);
  void stop();
  std::uint16_t port() const;
  std::string host() const;  // "127.0.0.1:<port>", the client's service host

  std::vector<LoggedRequest> requests() const;
  void clearLog();

  // Overrides: an exact target (path with query, as sent) answers with this reply.
  void setReply(const std::string& target, Reply reply);
  // Serves a film on this server only, by the routes of the table's films (record, size
  // query, slices, error report). It hides a table film of the same id; adding a film
  // again under its id replaces it.
  void addFilm(FilmSpec film);
  // Replaces the catalogue body (raw bytes, already in Windows-1250).
  void setCatalogue(std::string rawBytes);
  // Serves a named catalogue (see catalogueScenario); false for an unknown name.
  bool useCatalogue(const std::string& name);
  // Every slice answer whose slice has no fault of its own gets one picked from the seed
  // (a good answer most of the time); nullopt: none.
  void setChaos(std::optional<std::uint64_t> seed);
  // Called on the connection's thread for every request, right after it is logged.
  void setRequestObserver(std::function<void(const LoggedRequest&)> observer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace service
