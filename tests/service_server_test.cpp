// The service over real loopback sockets, spoken to by a plain HTTP/1.0 client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "service/internal.h"
#include "service/service.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The converter itself is checked in service_films_test.cpp.
std::string cp1250(const std::string& utf8) { return service::detail::toCp1250(utf8); }

struct Response {
  std::string raw;
  bool peerClosed = false;  // orderly end of stream
  bool reset = false;       // ECONNRESET
  bool timedOut = false;    // still open when the wait ended
  int status = 0;
  std::string head;
  std::string body;

  std::optional<std::string> header(const std::string& name) const {
    std::string needle = "\r\n" + name + ": ";
    std::size_t at = head.find(needle);
    if (at == std::string::npos) return std::nullopt;
    std::size_t from = at + needle.size();
    return head.substr(from, head.find("\r\n", from) - from);
  }
};

int connectTo(std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string requestFor(const std::string& target, const std::string& extra = "") {
  return "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: zv5_progression\r\n" +
         extra + "Pragma: no-cache\r\n\r\n";
}

// Reads until the server closes, resets, or waitMs passes. With bodyBytes, the waitMs
// start only once that much body has come (a loaded machine may take long to send it).
Response readAll(int fd, int waitMs, std::size_t bodyBytes = 0) {
  Response r;
  auto deadline = Clock::now() + milliseconds(bodyBytes ? 60000 : waitMs);
  char buffer[65536];
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) == 0) {
      r.timedOut = true;
      break;
    }
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      r.raw.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = r.raw.find("\r\n\r\n");
      if (bodyBytes && end != std::string::npos && r.raw.size() - end - 4 >= bodyBytes) {
        deadline = Clock::now() + milliseconds(waitMs);
        bodyBytes = 0;
      }
    } else if (n == 0) {
      r.peerClosed = true;
      break;
    } else if (errno != EINTR) {
      r.reset = errno == ECONNRESET;
      break;
    }
  }
  std::size_t end = r.raw.find("\r\n\r\n");
  if (end != std::string::npos) {
    r.head = r.raw.substr(0, end + 2);
    r.body = r.raw.substr(end + 4);
    if (r.head.rfind("HTTP/1.0 ", 0) == 0) r.status = std::stoi(r.head.substr(9, 3));
  }
  return r;
}

Response exchange(std::uint16_t port, const std::string& request, int waitMs = 30000,
                  std::size_t bodyBytes = 0) {
  int fd = connectTo(port);
  if (fd < 0) return {};
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  Response r = readAll(fd, waitMs, bodyBytes);
  ::close(fd);
  return r;
}

class ServiceServer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.start(0)); }
  Response get(const std::string& target, int waitMs = 30000, std::size_t bodyBytes = 0) {
    return exchange(server.port(), requestFor(target), waitMs, bodyBytes);
  }
  Response getWith(const std::string& target, const std::string& extraHeaders) {
    return exchange(server.port(), requestFor(target, extraHeaders));
  }
  std::string record(const std::string& encodedId) {
    return get("/z/e/zelvo/basix2.php?a=" + encodedId).body;
  }
  std::string sliceTarget(const service::FilmSpec& film, std::size_t i) {
    std::string address = service::sliceAddress(server.host(), film, i);
    return address.substr(server.host().size());
  }
  service::Server server;
};

// A table's optional header value: nullptr stands for an absent header.
std::optional<std::string> orNone(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(sep, from)) != std::string::npos; from = at + 1)
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

TEST_F(ServiceServer, RecordsCarryReferrerCountNameAndSliceAddresses) {
  struct Case {
    std::string id;
    std::string count;
    std::string name;
    std::size_t addresses;
  } cases[] = {
      {"dzsoni02", "4", "Szegény Dzsoni és Árnika", 4},
      {"elutasitva", "0", "A film nem található vagy törölték.", 0},
      {"tobb-cim", "2", "Több cím", 3},
      {"kevesebb-cim", "4", "Kevesebb cím", 2},
      {"nev-ures", "1", "", 1},
      {"negativ-darab", "-2", "Negatív darabszám", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::vector<std::string> parts = split(record(c.id), '*');
    ASSERT_EQ(parts.size(), 2u);
    std::vector<std::string> fields = split(parts[0], '|');
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0], server.host() + "/z/e/zelvo/film.php?a=" + c.id);
    EXPECT_EQ(fields[1], c.count);
    EXPECT_EQ(fields[2], cp1250(c.name));
    const service::FilmSpec* film = service::findFilm(c.id);
    ASSERT_NE(film, nullptr);
    std::vector<std::string> addresses =
        c.addresses ? split(parts[1], '|') : std::vector<std::string>{};
    ASSERT_EQ(addresses.size(), c.addresses);
    for (std::size_t i = 0; i < addresses.size(); ++i)
      EXPECT_EQ(addresses[i], service::sliceAddress(server.host(), *film, i));
  }
}

TEST_F(ServiceServer, RawRecordsAreSentAsWritten) {
  const std::string host = server.host();
  EXPECT_EQ(record("ures-valasz"), "");
  EXPECT_EQ(record("csillag-nelkul"),
            host + "/z/e/zelvo/film.php?a=csillag-nelkul|1|Csillag n\xE9lk\xFCl");
  EXPECT_EQ(record("betus-darab"), host + "/z/e/zelvo/film.php?a=betus-darab|abc|Bet\xFB" +
                                       "s darabsz\xE1m*" + host + "/z/s/betus-darab/0");
  EXPECT_EQ(split(record("extra-reszek"), '*').size(), 4u);
}

TEST_F(ServiceServer, RecordMisbehavesAsAnnounced) {
  const std::string whole =
      service::detail::recordReply(server.host(), *service::findFilm("felezett-rekord"));
  Response half = get("/z/e/zelvo/basix2.php?a=felezett-rekord");
  EXPECT_EQ(half.header("Content-Length"), std::to_string(whole.size()));
  EXPECT_TRUE(half.peerClosed);
  EXPECT_EQ(half.body, whole.substr(0, whole.size() / 2));
}

TEST_F(ServiceServer, AddedFilmsAreServedLikeTableFilms) {
  const std::string host = server.host();
  service::FilmSpec f = service::makeFilm("ű hozzáadott", "Hozzáadott", {5000, 7000, 3000});
  f.slices[1].fault = service::Fault::NotFound;
  f.slices[2].host = "masik:1";
  f.errorAnswer = "Saját válasz.";
  server.addFilm(f);
  const std::string encoded = "%FB%20hozz%E1adott";
  EXPECT_EQ(record(encoded), cp1250(host + "/z/e/zelvo/film.php?a=" + encoded + "|3|Hozzáadott*" +
                                    host + "/z/s/" + encoded + "/0|" + host + "/z/s/" + encoded +
                                    "/1|masik:1/z/s/" + encoded + "/2"));
  EXPECT_EQ(record("ű hozzáadott"), record(encoded));  // raw UTF-8, as a browser sends it
  Response slice = get(sliceTarget(f, 0));
  EXPECT_EQ(slice.status, 200);
  EXPECT_TRUE(slice.body == service::sliceContent(f, 0));
  EXPECT_EQ(get(sliceTarget(f, 1)).status, 404);
  EXPECT_EQ(get("/z/s/" + encoded + "/2").header("Content-Length"), "3000");
  EXPECT_EQ(get("/z/e/zelvo/basix2.php?a=" + encoded + "&action=error").body,
            cp1250("Saját válasz."));

  // It hides the table's film of its id, and a film added again replaces it.
  service::FilmSpec egig = *service::findFilm("egig01");
  for (const char* name : {"Első név", "Második név"}) {
    egig.name = name;
    server.addFilm(egig);
    EXPECT_NE(record("egig01").find("|1|" + cp1250(name) + "*"), std::string::npos) << name;
  }
  EXPECT_EQ(service::findFilm("egig01")->name, "Égigérő fa");

  // Another server does not know it.
  service::Server other;
  ASSERT_TRUE(other.start(0));
  EXPECT_NE(
      exchange(other.port(), requestFor("/z/e/zelvo/basix2.php?a=" + encoded)).body.find("|0|"),
      std::string::npos);
}

TEST_F(ServiceServer, IdentifierIsFoundHoweverItIsEncoded) {
  const std::string wanted =
      "|2|K\xF3"
      "dolt azonos\xEDt\xF3*";
  for (std::string query :
       {"%FB%20film%26x%25%23", "%fb%20film%26x%25%23", "\xFB film&x%#", "ű film&x%#"}) {
    SCOPED_TRACE(query);
    EXPECT_NE(record(query).find(wanted), std::string::npos);
  }
  // '+' is no blank here, so this names another film.
  EXPECT_EQ(record("%FB+film%26x%25%23"),
            server.host() + "/z/e/zelvo/film.php?a=%FB%2Bfilm%26x%25%23|0|Nincs ilyen film: " +
                "\xFB+film&x%#*");
}

TEST_F(ServiceServer, UnknownIdentifierIsRefused) {
  EXPECT_EQ(record("nincs-ilyen"), server.host() +
                                       "/z/e/zelvo/film.php?a=nincs-ilyen|0|Nincs ilyen film: "
                                       "nincs-ilyen*");
}

TEST_F(ServiceServer, ErrorReportIsAnswered) {
  EXPECT_EQ(get("/z/e/zelvo/basix2.php?a=kicsi-elso&action=error").body,
            cp1250("Köszönjük! A hibás filmet hamarosan kijavítjuk."));
  EXPECT_EQ(get("/z/e/zelvo/basix2.php?a=egig01&action=error").body,
            cp1250("Köszönjük, a hibát rögzítettük."));
}

TEST_F(ServiceServer, SlicesAreTheirContentWithLength) {
  struct Case {
    std::string id;
    std::size_t slice;
  } cases[] = {
      {"egy-szelet", 0}, {"sok-szelet", 15}, {"ű film&x%#", 1}, {"dzsoni02", 3}, {"elso-9999", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    const service::FilmSpec* film = service::findFilm(c.id);
    ASSERT_NE(film, nullptr);
    Response r = get(sliceTarget(*film, c.slice));
    EXPECT_EQ(r.status, 200);
    EXPECT_TRUE(r.peerClosed);
    EXPECT_EQ(r.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(film->slices[c.slice].size));
    EXPECT_TRUE(r.body == service::sliceContent(*film, c.slice));
  }
}

TEST_F(ServiceServer, FaultySlicesMisbehaveAsAnnounced) {
  const std::string full = service::sliceContent(*service::findFilm("korai-zaras"), 1);
  Response early = get("/z/s/korai-zaras/1");
  EXPECT_EQ(early.header("Content-Length"), "65536");
  EXPECT_TRUE(early.peerClosed);
  EXPECT_TRUE(early.body == full.substr(0, 32768));

  Response noLength = get("/z/s/hossz-nelkul/1");
  EXPECT_EQ(noLength.status, 200);
  EXPECT_FALSE(noLength.header("Content-Length"));
  EXPECT_TRUE(noLength.body == service::sliceContent(*service::findFilm("hossz-nelkul"), 1));
  EXPECT_FALSE(get("/z/s/meret-nelkul/0").header("Content-Length"));

  Response reset = get("/z/s/megszakad/1");
  EXPECT_TRUE(reset.reset);
  EXPECT_LE(reset.body.size(), 32768u);
  EXPECT_TRUE(
      reset.body ==
      service::sliceContent(*service::findFilm("megszakad"), 1).substr(0, reset.body.size()));

  auto started = Clock::now();
  Response slow = get("/z/s/lassu/1");
  auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - started).count();
  EXPECT_TRUE(slow.body == service::sliceContent(*service::findFilm("lassu"), 1));
  EXPECT_GE(took, 400);
  EXPECT_LE(took, 20000);  // finishes (a loaded machine only stretches the pauses)

  for (const auto& [target, status] :
       {std::pair{"/z/s/szelet-404/1", 404}, std::pair{"/z/s/szelet-500/1", 500}}) {
    Response page = get(target);
    EXPECT_EQ(page.status, status) << target;
    EXPECT_NE(page.body.find("<html>"), std::string::npos) << target;
  }
}

TEST_F(ServiceServer, StallingSlicesKeepTheConnectionOpenWithoutData) {
  Response stalled = get("/z/s/akad/1", 300, 32768);
  EXPECT_TRUE(stalled.timedOut);
  EXPECT_EQ(stalled.status, 200);
  EXPECT_EQ(stalled.header("Content-Length"), "65536");
  EXPECT_EQ(stalled.body.size(), 32768u);

  Response silent = get("/z/s/akad-fejlec/1", 300);
  EXPECT_TRUE(silent.timedOut);
  EXPECT_TRUE(silent.raw.empty());
}

TEST_F(ServiceServer, SlicesAnswerByteRanges) {
  // egy-szelet/0 holds 131072 bytes; korai-zaras/1 sends half of the part it announces.
  struct Case {
    const char* id;
    std::size_t slice;
    const char* range;
    int status;
    const char* contentRange;  // nullptr: none
    std::size_t from, length, sent;
  } cases[] = {
      {"egy-szelet", 0, "bytes=1000-", 206, "bytes 1000-131071/131072", 1000, 130072, 130072},
      {"egy-szelet", 0, "bytes=1000-1999", 206, "bytes 1000-1999/131072", 1000, 1000, 1000},
      {"egy-szelet", 0, "bytes=131071-131071", 206, "bytes 131071-131071/131072", 131071, 1, 1},
      {"egy-szelet", 0, "bytes=5-999999", 206, "bytes 5-131071/131072", 5, 131067, 131067},
      {"egy-szelet", 0, "bytes=131072-", 416, "bytes */131072", 0, 0, 0},
      {"egy-szelet", 0, "bytes=200000-300000", 416, "bytes */131072", 0, 0, 0},
      {"egy-szelet", 0, "bytes=abc", 200, nullptr, 0, 131072, 131072},
      {"egy-szelet", 0, "bytes=-500", 200, nullptr, 0, 131072, 131072},
      {"egy-szelet", 0, "bytes=10-5", 200, nullptr, 0, 131072, 131072},
      {"egy-szelet", 0, "bytes=0-1,5-9", 200, nullptr, 0, 131072, 131072},
      {"tartomany-nelkul", 0, "bytes=1000-", 200, nullptr, 0, 65536, 65536},
      {"korai-zaras", 1, "bytes=1000-", 206, "bytes 1000-65535/65536", 1000, 64536, 32268},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " " + c.range);
    const service::FilmSpec& film = *service::findFilm(c.id);
    Response r = getWith(sliceTarget(film, c.slice), std::string("Range: ") + c.range + "\r\n");
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.header("Content-Range"), orNone(c.contentRange));
    if (c.status == 416) continue;
    EXPECT_EQ(r.header("Content-Length"), std::to_string(c.length));
    EXPECT_TRUE(r.body == service::sliceContent(film, c.slice).substr(c.from, c.sent));
  }
}

TEST_F(ServiceServer, FaultsPassAfterTheirTimes) {
  // A first request with a Range counts as well.
  struct Case {
    const char* id;
    int broken;
    int requests;
    const char* firstRange;
  } cases[] = {
      {"egyszer-torik", 1, 2, "bytes=100-"}, {"negyszer-torik", 4, 5, nullptr},
      {"foglalt-503", 1, 2, nullptr},        {"tartomany-nelkul", 1, 2, nullptr},
      {"ures-egyszer", 1, 2, "bytes=0-"},    {"ures-kozep", 3, 3, nullptr},
  };
  for (const Case& c : cases) {
    const service::FilmSpec& film = *service::findFilm(c.id);
    const std::string whole = service::sliceContent(film, 1);
    for (int i = 0; i < c.requests; ++i) {
      SCOPED_TRACE(std::string(c.id) + " request " + std::to_string(i));
      const std::string range =
          i == 0 && c.firstRange ? std::string("Range: ") + c.firstRange + "\r\n" : "";
      Response r = getWith(sliceTarget(film, 1), range);
      EXPECT_EQ(r.status == 200 && r.peerClosed && r.body == whole, i >= c.broken);
    }
  }
}

TEST_F(ServiceServer, UnavailableAndEmptySlicesAnswerAsAnnounced) {
  service::FilmSpec quiet = service::makeFilm("csendes-503", "Csendes", {100});
  quiet.slices[0].fault = service::Fault::Unavailable;
  quiet.slices[0].retryAfterSeconds = 0;
  server.addFilm(quiet);
  // A canned reply with a fault answers as a slice with it would.
  for (const auto& [target, fault] : {std::pair{"/kesz/503", service::Fault::Unavailable},
                                      {"/kesz/ures", service::Fault::Empty},
                                      {"/kesz/ures-hossz-nelkul", service::Fault::EmptyNoLength}}) {
    service::Reply reply;
    reply.body = "nem ez";
    reply.fault = fault;
    server.setReply(target, reply);
  }
  struct Case {
    const char* target;
    int status;
    const char* retryAfter;  // nullptr: none
    const char* length;      // of an empty answer; nullptr: none
  } cases[] = {
      {"/z/s/foglalt-503/1", 503, "2", nullptr},
      {"/z/s/csendes-503/0", 503, nullptr, nullptr},
      {"/z/s/ures-kozep/1", 200, nullptr, "0"},
      {"/z/s/ures-hossz-nelkul/1", 200, nullptr, nullptr},
      {"/kesz/503", 503, "1", nullptr},
      {"/kesz/ures", 200, nullptr, "0"},
      {"/kesz/ures-hossz-nelkul", 200, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    Response r = get(c.target);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.header("Retry-After"), orNone(c.retryAfter));
    EXPECT_TRUE(r.peerClosed);
    if (c.status == 503) {
      EXPECT_NE(r.body.find("<html>"), std::string::npos);
    } else {
      EXPECT_EQ(r.header("Content-Length"), orNone(c.length));
      EXPECT_EQ(r.body, "");
    }
  }
}

TEST_F(ServiceServer, UnknownTargetsGetAnErrorPage) {
  for (const char* target : {"/z/s/egig01/1", "/z/s/nincs-ilyen/0", "/z/s/egig01/x", "/z/s/egig01/",
                             "/index.html", "/z/e/zelvo/basix2.phpx"}) {
    Response r = get(target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=windows-1250") << target;
  }
}

TEST_F(ServiceServer, ExamplePictureIsAPng) {
  Response r = get("/z/e/zelvo/azonosito_pld.jpg");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.header("Content-Type"), "image/png");
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.body.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
  ASSERT_GE(r.body.size(), 12u);
  EXPECT_EQ(r.body.substr(r.body.size() - 8, 4), "IEND");
}

TEST_F(ServiceServer, CatalogueIsWindows1250Rows) {
  Response r = get("/z/e/zelvo/basix_raktar.php");
  EXPECT_NE(r.body.find(cp1250("A kőszívű ember fiai")), std::string::npos);
  EXPECT_NE(r.body.find('\xF5'), std::string::npos);
  std::vector<std::string> listed;
  for (const std::string& row : split(r.body, '\n')) {
    std::vector<std::string> fields = split(row, '\t');
    ASSERT_GE(fields.size(), 3u) << row;
    listed.push_back(fields[1]);
  }
  std::vector<std::string> demo;
  for (const service::FilmSpec& f : service::films())
    if (f.inCatalogue) demo.push_back(f.id);
  EXPECT_EQ(listed, demo);

  server.setCatalogue(service::catalogueWithShortRows());
  EXPECT_EQ(get("/z/e/zelvo/basix_raktar.php").body, service::catalogueWithShortRows());
}

TEST_F(ServiceServer, RequestsAreLoggedAsReceived) {
  get("/z/e/zelvo/basix2.php?a=%FB%20film");
  exchange(server.port(),
           "GET /z/s/egig01/0 HTTP/1.0\r\nHost: h\r\nReferer: 127.0.0.1/x\r\n"
           "content-length: 5\r\n\r\nhello");
  std::vector<service::LoggedRequest> log = server.requests();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].target, "/z/e/zelvo/basix2.php?a=%FB%20film");
  EXPECT_EQ(log[0].version, "HTTP/1.0");
  using Headers = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(
      log[0].headers,
      (Headers{{"Host", "127.0.0.1"}, {"User-Agent", "zv5_progression"}, {"Pragma", "no-cache"}}));
  EXPECT_EQ(log[0].bodyBytes, 0u);
  EXPECT_EQ(log[1].header("REFERER"), "127.0.0.1/x");
  EXPECT_FALSE(log[1].header("Pragma"));
  EXPECT_EQ(log[1].bodyBytes, 5u);
  server.clearLog();
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ServiceServer, ReplyOverridesOnlyItsExactTarget) {
  service::Reply reply;
  reply.status = 503;
  reply.headers = {{"X-Proba", "1"}};
  reply.body = "foglalt";
  server.setReply("/z/e/zelvo/basix2.php?a=egig01", reply);
  Response r = get("/z/e/zelvo/basix2.php?a=egig01");
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(r.header("X-Proba"), "1");
  EXPECT_EQ(r.header("Content-Length"), "7");
  EXPECT_EQ(r.body, "foglalt");
  EXPECT_EQ(split(record("dzsoni02"), '|')[1], "4");

  reply.addContentLength = false;
  reply.fault = service::Fault::CloseEarly;
  reply.body = "0123456789";
  server.setReply("/egyedi", reply);
  Response early = get("/egyedi");
  EXPECT_FALSE(early.header("Content-Length"));
  EXPECT_EQ(early.body, "01234");
}

TEST_F(ServiceServer, ClientsThatHangUpEarlyDoNotHurtTheServer) {
  // The size query reads the headers of a big slice and closes.
  const std::string request = requestFor("/z/s/koszivu03/0");
  for (int i = 0; i < 5; ++i) {
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char head[256];
    EXPECT_GT(::recv(fd, head, sizeof head, 0), 0);
    ::close(fd);
  }
  EXPECT_EQ(get("/z/s/egig01/0").status, 200);
}

TEST_F(ServiceServer, ParallelDownloadsGetTheirOwnBytes) {
  const service::FilmSpec& film = *service::findFilm("hahoocsi04");
  std::vector<std::future<Response>> downloads;
  for (std::size_t i = 0; i < film.slices.size(); ++i)
    downloads.push_back(
        std::async(std::launch::async, [this, &film, i] { return get(sliceTarget(film, i)); }));
  for (std::size_t i = 0; i < downloads.size(); ++i)
    EXPECT_TRUE(downloads[i].get().body == service::sliceContent(film, i)) << i;
}

TEST(ServiceServerLifetime, StopEndsStalledConnectionsPromptly) {
  service::Server server;
  ASSERT_TRUE(server.start(0));
  std::vector<int> held;
  for (const char* target : {"/z/s/akad/1", "/z/s/akad-fejlec/1", "/z/s/koszivu03/1"}) {
    int fd = connectTo(server.port());
    ASSERT_GE(fd, 0);
    std::string request = requestFor(target);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    held.push_back(fd);
  }
  std::this_thread::sleep_for(milliseconds(100));
  auto started = Clock::now();
  server.stop();
  // Stalls hold for minutes; prompt means seconds even on a loaded machine.
  EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - started).count(), 10000);
  for (int fd : held) {
    EXPECT_FALSE(readAll(fd, 10000).timedOut);
    ::close(fd);
  }
  EXPECT_LT(connectTo(server.port()), 0);
  EXPECT_TRUE(server.start(0));
}

}  // namespace
