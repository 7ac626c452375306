// Fault matrix, network side: an unreachable or silent service, replies that stall or break,
// redirects, absurd sizes and very large replies, each through the real window.
#include <QFile>
#include <QListWidget>
#include <QTimer>
#include <cstdlib>

#include "download/film_logic.h"
#include "service/internal.h"
#include "tests/fault_fixture.h"

namespace {

using service::Fault;

// ---------------------------------------------------------------------------------------
// Scenario films of the service whose slice (or size query) misbehaves.

struct ServiceFilmRow {
  const char* name;
  const char* id;
  int failedSlice;          // 1-based; 0: the size query fails and the error report path follows
  int tries = 1;            // requests for the failed slice: 4 where the cause may pass
  int lowSpeedWindowS = 0;  // a shorter low-speed window than the program's, in seconds
  bool sizeQuery = false;   // the tries are the size query's: no slice is asked for
};

// The waits before each retry: 1 s, 2 s, 4 s.
std::vector<std::chrono::milliseconds> backoff(int retries) {
  std::vector<std::chrono::milliseconds> w;
  for (int i = 0; i < retries; ++i) w.push_back(std::chrono::seconds(1 << i));
  return w;
}
void PrintTo(const ServiceFilmRow& row, std::ostream* os) { *os << row.name; }

class ServiceFilmFault : public FaultTest, public ::testing::WithParamInterface<ServiceFilmRow> {};

TEST_P(ServiceFilmFault, EndsWithTheRightMessageAndOnlyCompleteSlicesOnDisk) {
  const ServiceFilmRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.id);
  const QString name = QString::fromStdString(f.name);
  const std::string record = recordTarget(f);
  for (const service::SliceSpec& s : f.slices)
    if (stalls(s.fault)) setIdleLimit(true);
  if (row.lowSpeedWindowS) {
    net::TimeLimits limits = net::timeLimits();
    limits.lowSpeedWindow = std::chrono::seconds(row.lowSpeedWindowS);
    net::setTimeLimitsForTests(limits);
  }
  startWith(QString::fromStdString(f.id));

  std::vector<std::string> expected = {record, sliceTarget(f, 0)};
  if (row.sizeQuery) {
    expected.assign(std::size_t(row.tries), sliceTarget(f, 0));
    expected.insert(expected.begin(), record);
    expectFailedWith(sliceFailure(1));
    EXPECT_EQ(fakes.pauses.waits, backoff(row.tries - 1));
    EXPECT_TRUE(filesBelowFolder().isEmpty());
  } else if (row.failedSlice == 0) {
    expected.push_back(record + "&action=error");
    expectOneBox(QString::fromStdString(f.errorAnswer));
    expectIdleWith(QStringLiteral("Hiba történt, jelentés elküldve"));
    EXPECT_TRUE(filesBelowFolder().isEmpty());
  } else {
    for (int i = 0; i + 1 < row.failedSlice; ++i) expected.push_back(sliceTarget(f, i));
    for (int i = 0; i < row.tries; ++i) expected.push_back(sliceTarget(f, row.failedSlice - 1));
    expectFailedWith(sliceFailure(row.failedSlice));
    EXPECT_EQ(fakes.pauses.waits, backoff(row.tries - 1));
    // Without a validator, a retry asks again for at most 64 KiB before what it holds (all
    // of these slices), to compare them: never with If-Range.
    for (const auto& r : server.requests()) {
      EXPECT_FALSE(r.header("If-Range"));
      if (r.target == sliceTarget(f, std::size_t(row.failedSlice - 1)) && r.header("Range")) {
        EXPECT_EQ(*r.header("Range"), "bytes=0-");
      }
    }
    EXPECT_EQ(w->lblEgy->text(), QString::number(f.slices[0].size));  // the size query's answer
    expectOnlyWorkFile(name, firstSlices(f, row.failedSlice - 1));
    EXPECT_EQ(filesBelowFolder().size(), 1);
  }
  EXPECT_EQ(targets(), expected);  // nothing is asked for after the failure
}

const ServiceFilmRow kServiceFilmRows[] = {
    // A size query that may pass is tried again like a slice, and is no broken film.
    {"size query stalls before its headers", "akad-meret", 1, 4, 0, true},
    // The size query only needs the headers; the same slice stalling in its body comes next.
    {"size query answered but the first slice stalls mid body", "akad-elso", 1, 4},
    {"slice stalls before its headers", "akad-fejlec", 2, 4},
    {"slice stalls mid body", "akad", 2, 4},
    {"slice connection reset mid body", "megszakad", 2, 4},
    {"slice closes before its length", "korai-zaras", 2, 4},
    {"slice breaks four times", "negyszer-torik", 2, 4},
    {"slice answers 404, which is final", "szelet-404", 2, 1},
    {"slice answers 500", "szelet-500", 2, 4},
    // A film is never stored in empty slices.
    {"empty slice with a zero length", "ures-kozep", 2, 4},
    {"empty slice without a length", "ures-hossz-nelkul", 2, 4},
    // Never silent for long, so only the low-speed limit can end it.
    {"slice trickles below the low-speed limit", "csorgo", 2, 4, 2},
};
INSTANTIATE_TEST_SUITE_P(Matrix, ServiceFilmFault, ::testing::ValuesIn(kServiceFilmRows),
                         [](const auto& info) { return caseName(info.param.name); });

// A slice that breaks for a cause that passes: tried again for what is missing, and the
// film comes out whole.
struct RetriedRow {
  const char* name;
  const char* id;
  std::vector<std::chrono::milliseconds> waits;
  // The retry's Range header; "" none; "part": bytes=N- with 0 < N, 64 KiB before the
  // bytes that arrived (no validator to prove them by).
  const char* retryRange;
  bool ifRange = false;  // the retry sends the slice's strong validator
};
void PrintTo(const RetriedRow& row, std::ostream* os) { *os << row.name; }

class RetriedSlice : public FaultTest, public ::testing::WithParamInterface<RetriedRow> {};

TEST_P(RetriedSlice, FinishesByteExactAfterOneRetry) {
  const RetriedRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.id);
  QStringList duringWaits;
  fakes.pauses.during = [&] { duringWaits << w->info->text(); };
  startWith(QString::fromStdString(f.id));
  EXPECT_EQ(duringWaits, QStringList{QStringLiteral("Újrapróbálom: 2. szelet (1/3)")});
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + QString::fromStdString(f.name) + ".mpg");
  EXPECT_TRUE(fileBytes(QString::fromStdString(f.name)) == service::filmContent(f));
  EXPECT_EQ(fakes.pauses.waits, row.waits);
  std::vector<service::LoggedRequest> tries;
  for (const auto& r : server.requests())
    if (r.target == sliceTarget(f, 1)) tries.push_back(r);
  ASSERT_EQ(tries.size(), 2u);
  EXPECT_FALSE(tries[0].header("Range"));
  EXPECT_EQ(tries[1].header("If-Range").has_value(), row.ifRange);
  const std::string range = tries[1].header("Range").value_or("");
  if (std::string(row.retryRange) == "part") {
    const long long from = std::atoll(range.c_str() + 6);
    EXPECT_TRUE(range.rfind("bytes=", 0) == 0 && range.back() == '-') << range;
    EXPECT_TRUE(from > 0 && from <= std::int64_t(f.slices[1].size / 2)) << range;
  } else {
    EXPECT_EQ(range, row.retryRange);
  }
}

const RetriedRow kRetriedRows[] = {
    // Half of a 64 KiB slice arrived: all of it is asked for again, and compared.
    {"connection reset once", "egyszer-torik", {std::chrono::seconds(1)}, "bytes=0-"},
    {"connection reset once in a large slice", "nagy-torik", {std::chrono::seconds(1)}, "part"},
    {"503 with Retry-After once", "foglalt-503", {std::chrono::seconds(2)}, ""},
    // The server answers the range with the whole slice: the bytes already there are compared.
    {"ranges ignored, closed early once", "tartomany-nelkul", {std::chrono::seconds(1)},
     "bytes=0-"},
    {"empty once", "ures-egyszer", {std::chrono::seconds(1)}, ""},
    // A weak tag is no validator: never in If-Range, and a plain range retry finishes.
    {"weak ETag, connection reset once", "gyenge-cimke-torik", {std::chrono::seconds(1)},
     "bytes=0-"},
};
INSTANTIATE_TEST_SUITE_P(Matrix, RetriedSlice, ::testing::ValuesIn(kRetriedRows),
                         [](const auto& info) { return caseName(info.param.name); });

// The figures of the last bytes before a stall reach the screen while the slice waits, though
// no read computes them. Seen by polling the window from its own event handling; a red case
// waits for the idle limit instead of the stop.
TEST_F(FaultTest, StalledSliceShowsTheFiguresOfItsLastBytesWhileItWaits) {
  const service::FilmSpec& f = serviceFilm("akad");
  ASSERT_EQ(f.slices[1].fault, Fault::Stall);
  const auto stalledAt = static_cast<std::int64_t>(f.slices[0].size + f.slices[1].size / 2);
  bool shownWhileWaiting = false;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (w->film().hRequest == 0 || w->film().receivedBytes != stalledAt) return;
    if (w->info->text() != QStringLiteral("96Kb/128Kb 75%") ||
        w->windowTitle() != QStringLiteral("Zelvo 75%"))
      return;
    shownWhileWaiting = true;
    poll.stop();
    QTest::mouseClick(w->Go, Qt::LeftButton);  // "Állj!"
  });
  poll.start(5);
  startWith(QString::fromStdString(f.id));
  EXPECT_TRUE(shownWhileWaiting) << w->info->text().toStdString();
}

// ---------------------------------------------------------------------------------------
// The film record itself stalls or breaks. A record cut short must never pass for a whole
// one: the service's record is one whose first half is a well-formed record of one slice.

// A row of one fault, for the record and the catalogue alike.
struct FaultRow {
  const char* name;
  Fault fault;
};
void PrintTo(const FaultRow& row, std::ostream* os) { *os << row.name; }

class RecordFault : public FaultTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(RecordFault, RecordThatStallsOrBreaksIsNoAnswer) {
  service::FilmSpec f = serviceFilm("felezett-rekord");
  const std::string text = service::detail::recordReply(host, f);
  const std::string first = service::sliceAddress(host, f, 0);
  ASSERT_EQ(text.find(first) + first.size(), text.size() / 2);
  f.recordFault = GetParam().fault;
  server.addFilm(f);
  setIdleLimit(stalls(GetParam().fault));

  startWith(QString::fromStdString(f.id));
  expectFailedWith(QStringLiteral("A szerver nem válaszolt."));
  EXPECT_EQ(targets(), std::vector<std::string>{recordTarget(f)});
  EXPECT_TRUE(filesBelowFolder().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Matrix, RecordFault,
                         ::testing::Values(FaultRow{"stalls before its headers",
                                                    Fault::StallHeaders},
                                           FaultRow{"stalls mid body", Fault::Stall},
                                           FaultRow{"connection reset mid body", Fault::Reset},
                                           FaultRow{"closes before its length", Fault::CloseEarly}),
                         [](const auto& info) { return caseName(info.param.name); });

// ---------------------------------------------------------------------------------------
// No service at all: a closed port, a name that does not resolve.

struct HostRow {
  const char* name;
  const char* host;  // nullptr: a closed loopback port
};
void PrintTo(const HostRow& row, std::ostream* os) { *os << row.name; }
class ServiceHostFault : public FaultTest, public ::testing::WithParamInterface<HostRow> {};

TEST_P(ServiceHostFault, UnreachableServiceGivesAFailedCatalogueAndNoRecord) {
  const ClosedPort closed;
  reopenOn(GetParam().host ? QString::fromLatin1(GetParam().host)
                           : QStringLiteral("127.0.0.1:%1").arg(closed.number()));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  expectCatalogueFailed();
  fakes.boxes.shown.clear();

  startWith(QStringLiteral("egig01"));
  expectFailedWith(QStringLiteral("A szerver nem válaszolt."));
  EXPECT_TRUE(filesBelowFolder().isEmpty());
  EXPECT_TRUE(server.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Matrix, ServiceHostFault,
                         ::testing::Values(HostRow{"connection refused", nullptr},
                                           HostRow{"name does not resolve",
                                                   "nonexistent.invalid:80"}),
                         [](const auto& info) { return caseName(info.param.name); });

// The record comes from the service; a slice lives on a host that cannot be reached, or on
// a name without a port, which is port 80 (the service, as the system's proxy, sees it).
struct SliceHostRow {
  const char* name;
  std::size_t slice;      // the one elsewhere
  const char* sliceHost;  // nullptr: a closed loopback port
  bool viaProxy = false;
};
void PrintTo(const SliceHostRow& row, std::ostream* os) { *os << row.name; }
class SliceHostFault : public FaultTest, public ::testing::WithParamInterface<SliceHostRow> {};

TEST_P(SliceHostFault, UnreachableSliceHost) {
  const SliceHostRow& row = GetParam();
  service::FilmSpec f = service::makeFilm("far", "Messze", {20000, 20000});
  const ClosedPort closed;
  f.slices[row.slice].host =
      row.sliceHost ? row.sliceHost : "127.0.0.1:" + std::to_string(closed.number());
  f.errorAnswer = "Jelentve.";
  server.addFilm(f);
  if (row.viaProxy) {
    serve("http://" + service::sliceAddress(host, f, 1), service::sliceContent(f, 1));
    ASSERT_EQ(::setenv("http_proxy", ("http://" + host).c_str(), 1), 0);
  }
  startWith(QString::fromStdString(f.id));
  ::unsetenv("http_proxy");
  if (row.viaProxy) {
    EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Messze.mpg"));
    EXPECT_TRUE(fileBytes(QStringLiteral("Messze")) == service::filmContent(f));
    EXPECT_EQ(targets().back(), "http://zelvo.test/z/s/far/1");
  } else if (row.slice == 0) {
    expectFailedWith(sliceFailure(1));
    EXPECT_TRUE(filesBelowFolder().isEmpty());
  } else {
    expectFailedWith(sliceFailure(2));
    expectOnlyWorkFile(QStringLiteral("Messze"), service::sliceContent(f, 0));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, SliceHostFault,
    ::testing::Values(
        SliceHostRow{"first slice on a closed port: tried again, no report", 0, nullptr},
        SliceHostRow{"second slice on a name that does not resolve", 1, "nonexistent.invalid:80"},
        SliceHostRow{"second slice on a closed port", 1, nullptr},
        SliceHostRow{"second slice on a name without a port", 1, "zelvo.test", true}),
    [](const auto& info) { return caseName(info.param.name); });

// ---------------------------------------------------------------------------------------
// Redirects: followed over HTTP (also to another port), refused to other schemes, bounded.

struct RedirectRow {
  const char* name;
  int slice;  // which slice redirects
  const char*
      location;     // {other} = the second server, {file} = a local file, {closed} = a closed port
  int failedSlice;  // 0: the film finishes; -1: the size query fails, a report follows
};
void PrintTo(const RedirectRow& row, std::ostream* os) { *os << row.name; }

class RedirectFault : public FaultTest, public ::testing::WithParamInterface<RedirectRow> {};

TEST_P(RedirectFault, FollowsHttpOnlyAndBoundedly) {
  const RedirectRow& row = GetParam();
  service::Server other;
  ASSERT_TRUE(other.start(0));
  // Both servers know the film, so a slice sent to the other is its own content there.
  service::FilmSpec f = service::makeFilm("r", "Átirányított", {30000, 30000, 30000});
  f.errorAnswer = "Jelentve.";
  server.addFilm(f);
  other.addFilm(f);
  const QString secret = folder.filePath(QStringLiteral("titok.txt"));
  {
    QFile f(secret);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("TITOK");
  }
  const std::string moved = sliceTarget(f, row.slice);
  const ClosedPort closed;
  std::string location = row.location;
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"{other}", "http://" + other.host() + moved},
        {"{self}", moved},
        {"{file}", "file://" + secret.toStdString()},
        {"{closed}", std::to_string(closed.number())}})
    if (auto at = location.find(key); at != std::string::npos)
      location.replace(at, key.size(), value);
  service::Reply redirect{302, {{"Location", location}}, "moved"};
  server.setReply(moved, redirect);

  startWith(QStringLiteral("r"));
  const QString name = QStringLiteral("Átirányított");
  if (row.failedSlice == 0) {
    EXPECT_TRUE(fakes.boxes.shown.empty());
    EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
    EXPECT_TRUE(fileBytes(name) == service::filmContent(f));
    ASSERT_FALSE(other.requests().empty());
    EXPECT_EQ(other.requests().back().target, moved);
  } else if (row.failedSlice < 0) {
    expectOneBox(QStringLiteral("Jelentve."));
    expectIdleWith(QStringLiteral("Hiba történt, jelentés elküldve"));
    EXPECT_FALSE(QFile::exists(pathOf(name)));
  } else {
    expectFailedWith(sliceFailure(row.failedSlice));
    expectOnlyWorkFile(name, firstSlices(f, row.failedSlice - 1));
  }
  EXPECT_EQ((fileBytes(name) + fileBytes(name, QStringLiteral(".part"))).find("TITOK"),
            std::string::npos);
  if (location == moved) {
    // A loop is followed, then cut off after a bounded number of hops (size query and slice).
    const auto sent = targets();
    const auto hops = std::count(sent.begin(), sent.end(), moved);
    EXPECT_GT(hops, 2);
    EXPECT_LE(hops, 2 * 12);
  }
}

const RedirectRow kRedirectRows[] = {
    {"second slice to another loopback port", 1, "{other}", 0},
    {"first slice to another loopback port", 0, "{other}", 0},
    {"second slice to a file address", 1, "{file}", 2},
    {"second slice to an ftp address", 1, "ftp://127.0.0.1:{closed}/z/s/r/1", 2},
    {"second slice in a loop", 1, "{self}", 2},
    {"first slice in a loop", 0, "{self}", -1},
    {"first slice to a file address", 0, "{file}", -1},
};
INSTANTIATE_TEST_SUITE_P(Matrix, RedirectFault, ::testing::ValuesIn(kRedirectRows),
                         [](const auto& info) { return caseName(info.param.name); });

// ---------------------------------------------------------------------------------------
// Absurd sizes.

TEST_F(FaultTest, FirstSliceAnnouncingATerabyteFailsWithoutHangingOrAnnouncingKesz) {
  const service::FilmSpec f = service::makeFilm("tera", "Tera", {20000});
  server.addFilm(f);
  service::Reply r{200, {{"Content-Length", "1000000000000"}}, service::sliceContent(f, 0)};
  r.addContentLength = false;
  server.setReply(sliceTarget(f, 0), r);
  QString infoWhileReading;
  w->setYieldObserver([&]() {
    if (infoWhileReading.isEmpty() && w->film().hRequest != 0) infoWhileReading = w->info->text();
  });
  startWith(QStringLiteral("tera"));
  EXPECT_EQ(w->lblEgy->text(), QStringLiteral("1000000000000"));
  EXPECT_EQ(infoWhileReading, QStringLiteral("1 szeletből áll és 976562500Kb összesen"));
  // The body ends long before the announced length: a failed slice, not a finished film.
  expectFailedWith(sliceFailure(1));
  expectOnlyWorkFile(QStringLiteral("Tera"), "");
}

TEST_F(FaultTest, RecordWithOneHundredThousandSliceAddresses) {
  constexpr int kSlices = 100000;
  constexpr int kBroken = 100;  // 0-based index of the slice that answers 404
  service::FilmSpec f =
      service::makeFilm("sok", "Százezer", std::vector<std::uint64_t>(kSlices, 10));
  f.slices[0].size = 10240;  // the summary reckons every slice at the first one's size
  f.slices[kBroken].fault = Fault::NotFound;
  server.addFilm(f);
  QString summary;
  w->setYieldObserver([&]() {
    if (summary.isEmpty() && w->film().hRequest != 0) summary = w->info->text();
  });
  startWith(QString::fromStdString(f.id));
  EXPECT_EQ(w->film().sliceUrls.size(), kSlices);
  EXPECT_EQ(summary, QStringLiteral("100000 szeletből áll és 1000000Kb összesen"));
  expectFailedWith(sliceFailure(kBroken + 1));
  expectOnlyWorkFile(QStringLiteral("Százezer"), firstSlices(f, kBroken));
  EXPECT_EQ(targets().size(), 2u + kBroken + 1);
  EXPECT_EQ(targets().back(), sliceTarget(f, kBroken));
}

// ---------------------------------------------------------------------------------------
// The catalogue: very large, or not (fully) there.

struct LargeCatalogueRow {
  const char* name;
  const char* scenario;  // a named catalogue of the service; nullptr: fifty MiB of long rows
};

void PrintTo(const LargeCatalogueRow& row, std::ostream* os) { *os << row.name; }
class LargeCatalogue : public FaultTest, public ::testing::WithParamInterface<LargeCatalogueRow> {};

TEST_P(LargeCatalogue, LargeCatalogueLoadsWithEveryEntryMatchingItsRow) {
  const LargeCatalogueRow& row = GetParam();
  const std::string filler(900, 'x');
  int count = 1000000;
  if (row.scenario) {
    ASSERT_TRUE(server.useCatalogue(row.scenario));
  } else {
    std::string text;
    for (count = 0; text.size() < 50u * 1024 * 1024;) {
      const std::string n = std::to_string(++count);
      text += n + "\tf" + n + "\tFilm " + n + " \xe1rv\xedzt\xfbr\xf5 " + filler + "\t" + host +
              "/z/e/zelvo/basix2.php?a=f" + n + "\n";
    }
    server.setCatalogue(text);  // already Windows-1250
  }
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  ASSERT_EQ(w->Lista->count(), count);
  ASSERT_EQ(w->catalogRows.size(), count);
  for (int i = 0; i < count; ++i) {
    const QString expected = row.scenario ? QStringLiteral("Film %1").arg(i + 1)
                                          : QStringLiteral("Film %1 árvíztűrő ").arg(i + 1) +
                                                QString::fromStdString(filler);
    if (w->Lista->text(i) != expected || w->catalogRows[i].split('\t').value(2) != expected) {
      ADD_FAILURE() << "entry " << i << " does not match its row";
      break;
    }
  }
  EXPECT_EQ(w->Frame1->title(), QStringLiteral("Összes film"));
  EXPECT_TRUE(fakes.boxes.shown.empty());
}

INSTANTIATE_TEST_SUITE_P(Matrix, LargeCatalogue,
                         ::testing::Values(LargeCatalogueRow{"fifty mebibytes of long rows",
                                                             nullptr},
                                           LargeCatalogueRow{"a million short rows", "millio"}),
                         [](const auto& info) { return caseName(info.param.name); });

// Cut short, or past its bound: never shown as a whole (or empty) list. The next opening
// of the panel asks again.
class CatalogueFault : public FaultTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(CatalogueFault, CatalogueThatStallsBreaksOrNeverEndsIsAFailedLoad) {
  const std::string full = service::demoCatalogue(host);
  serve("/z/e/zelvo/basix_raktar.php", full, GetParam().fault);
  setIdleLimit(stalls(GetParam().fault));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  expectCatalogueFailed();

  // Closed and opened again: fetched again, whole this time.
  serve("/z/e/zelvo/basix_raktar.php", full);
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  EXPECT_FALSE(w->Lista->isHidden());
  EXPECT_EQ(w->Lista->count(), 5);
  EXPECT_EQ(fakes.boxes.shown.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Matrix, CatalogueFault,
    ::testing::Values(FaultRow{"stalls before its headers", Fault::StallHeaders},
                      FaultRow{"stalls mid body", Fault::Stall},
                      FaultRow{"connection reset mid body", Fault::Reset},
                      FaultRow{"closes before its length", Fault::CloseEarly},
                      FaultRow{"never ends", Fault::Endless},
                      FaultRow{"answers 500 with an error page", Fault::ServerError},
                      FaultRow{"answers 404", Fault::NotFound}),
    [](const auto& info) { return caseName(info.param.name); });

// Rows without end, cut at the bound: a failed load, read no further than the bound.
TEST_F(FaultTest, EndlessCatalogueStopsAtItsBound) {
  ASSERT_TRUE(server.useCatalogue("vegtelen"));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  expectCatalogueFailed();
}

// One row of almost the whole bound loads, and its entry shows only the beginning of it;
// an error page with lines that look like rows is a failed load.
TEST_F(FaultTest, CatalogueOfOneHugeRowOrOfAnErrorPage) {
  ASSERT_TRUE(server.useCatalogue("egysoros"));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  ASSERT_EQ(w->Lista->count(), 1);
  const QString entry = w->Lista->text(0);
  EXPECT_EQ(entry.size(), ui::kEntryChars);
  EXPECT_TRUE(entry.startsWith(QStringLiteral("Egyetlen sor xxx")));
  EXPECT_TRUE(entry.endsWith(QChar(0x2026)));
  EXPECT_FALSE(w->Lista->grab().isNull());
  w->Lista->setCurrentRow(0);
  QTest::mouseClick(w->toQueue, Qt::LeftButton);
  ASSERT_EQ(w->queue->count(), 1);
  EXPECT_EQ(w->queue->item(0)->text(), QStringLiteral("egysor"));
  EXPECT_EQ(w->catalogFields.value(1), QStringLiteral("egysor"));

  reopenOn(QString::fromStdString(host));
  ASSERT_TRUE(server.useCatalogue("hiba-500"));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  expectCatalogueFailed();
}

// Replies over their bounds: an endless record is unusable; an error-report answer over
// its bound is shown cut.
TEST_F(FaultTest, RecordAndErrorReportOverTheirBounds) {
  startWith(QStringLiteral("vegtelen-rekord"));
  expectFailedWith(QStringLiteral("A szerver válasza hibás."));
  EXPECT_TRUE(filesBelowFolder().isEmpty());

  fakes.boxes.shown.clear();
  startWith(QStringLiteral("hosszu-jelentes"));
  const QString answer = QString::fromStdString(serviceFilm("hosszu-jelentes").errorAnswer);
  ASSERT_GT(net::toCp1250(answer).size(), 1024 * 1024);
  expectOneBox(download::shownText(answer));
  expectIdleWith(QStringLiteral("Hiba történt, jelentés elküldve"));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Answers that must neither pass for a whole film nor cost bytes that did arrive.

namespace {

struct AnswerRow {
  const char* name;
  const char* id;
  int failedSlice;    // 1-based; 0: "Kész"
  std::size_t slice;  // the slice whose requests are counted
  int requests;
  std::vector<std::chrono::milliseconds> waits;
  bool secondChanged = false;  // the film ends with its second slice's later version
};
void PrintTo(const AnswerRow& row, std::ostream* os) { *os << row.name; }

class HostAnswer : public FaultTest, public ::testing::WithParamInterface<AnswerRow> {};

TEST_P(HostAnswer, KeepsOnlyTheBytesItCanProve) {
  const AnswerRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.id);
  const QString name = QString::fromStdString(f.name);
  startWith(QString::fromStdString(f.id));
  if (row.failedSlice) {
    expectFailedWith(sliceFailure(row.failedSlice));
    expectOnlyWorkFile(name, firstSlices(f, std::size_t(row.failedSlice - 1)));
  } else {
    EXPECT_TRUE(fakes.boxes.shown.empty());
    EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + ".mpg");
    std::string film;
    for (std::size_t i = 0; i < f.slices.size(); ++i)
      film += service::sliceContent(f, i, i == 1 && row.secondChanged);
    EXPECT_TRUE(fileBytes(name) == film);
  }
  EXPECT_EQ(fakes.pauses.waits, row.waits);
  int asked = 0;
  for (const auto& r : server.requests()) asked += r.target == sliceTarget(f, row.slice);
  EXPECT_EQ(asked, row.requests);
}

using std::chrono::seconds;
const AnswerRow kAnswerRows[] = {
    // Size query twice, then the slice itself.
    {"size query meets a passing 503", "foglalt-meret", 0, 0, 3, {seconds(1)}},
    // The retry asks again for the last 64 KiB, which are the host's: the slice was complete.
    {"slice without length breaks after its last byte", "vege-torik", 0, 1, 2, {seconds(1)}},
    // With an ETag, the retry's bytes=SIZE- meets 416 */SIZE: the slice was complete.
    {"slice with ETag, without length, breaks after its last byte", "cimkes-vege-torik", 0, 1, 2,
     {seconds(1)}},
    {"206 with half the slice to a plain GET",
     "fel-206",
     2,
     1,
     4,
     {seconds(1), seconds(2), seconds(4)}},
    // Its retry tells another total: fetched again from its first byte, never glued.
    {"slice changes between a try and its retry", "valtozo-hossz", 0, 1, 3, {seconds(1)}, true},
    // Ranges ignored, no validator, another version on the retry: its 200 is compared as it
    // comes, and written again from where it differs.
    {"slice changes before a retry that ignores Range", "tartomany-nelkul-valtozo", 0, 1, 2,
     {seconds(1)}, true},
    // Ranges ignored, the same strong ETag: the held bytes stay, the film is not fetched again.
    {"retry that ignores Range with the same ETag", "tartomany-nelkul-cimkes", 0, 0, 2,
     {seconds(1)}},
};
INSTANTIATE_TEST_SUITE_P(Matrix, HostAnswer, ::testing::ValuesIn(kAnswerRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace
