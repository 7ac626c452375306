// The film download through the window, against the substitute service.
#include <QDir>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>

#include "download/film_logic.h"
#include "net/wininet.h"
#include "tests/film_fixture.h"

namespace {

using service::Fault;

TEST_F(FilmTest, DownloadsEverySliceByteExactAndAnnouncesIt) {
  service::FilmSpec f = service::makeFilm("abc", "Égigérő fa", {70000, 70000, 12345});
  f.referrer = "{host}/ref/abc";
  server.addFilm(f);
  w->queue->addItem(QStringLiteral("left over"));
  startWith(QStringLiteral("abc"));

  EXPECT_EQ(fileBytes(QStringLiteral("Égigérő fa")), service::filmContent(f));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Égigérő fa.mpg"));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  EXPECT_EQ(w->queue->count(), 0);
  EXPECT_FALSE(w->isDownloading);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->lblEgy->text(), QStringLiteral("70000"));
  EXPECT_EQ(w->film().totalKb, 205);  // 3 x 70000 / 1024 = 205.08

  // The exact requests: record, size query, then every slice; the referrer on all but the first.
  const auto log = server.requests();
  const std::vector<std::string> expected = {"/z/e/zelvo/basix2.php?a=abc", sliceTarget(f, 0),
                                             sliceTarget(f, 0), sliceTarget(f, 1),
                                             sliceTarget(f, 2)};
  EXPECT_EQ(targets(), expected);
  for (std::size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(log[i].target);
    EXPECT_EQ(log[i].method, "GET");
    EXPECT_EQ(log[i].version, "HTTP/1.0");
    EXPECT_EQ(log[i].header("User-Agent").value_or(""), "zv5_progression");
    EXPECT_EQ(log[i].header("Pragma").value_or(""), "no-cache");
    EXPECT_EQ(log[i].bodyBytes, 0u);
    if (i == 0)
      EXPECT_FALSE(log[i].header("Referer").has_value());
    else
      EXPECT_EQ(log[i].header("Referer").value_or(""), host + "/ref/abc");
  }
}

TEST_F(FilmTest, ProgressMovesOnTheBarTheStatusLineAndTheCaption) {
  server.addFilm(service::makeFilm("p", "Prog", {100000, 100000, 100000, 100000}));
  QStringList captions;
  QStringList infos;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    captions << w->windowTitle();
    infos << w->info->text();
  });
  sampler.start(1);
  // The figures are worked out on every 100th 64-byte read of the film, the empty last
  // read of each slice counted: the window's count follows what the network layer handed
  // out, in 64-byte units.
  std::uint64_t before = 0;  // units ahead of the first slice
  bool anchored = false;
  int updates = 0, miscounted = 0, stale = 0;
  w->setYieldObserver([&, last = 0.0]() mutable {
    if (!anchored && w->film().readsSinceUpdate > 0) {
      anchored = true;
      before = net::readUnitsForTests() - std::uint64_t(w->film().readsSinceUpdate);
    }
    if (!anchored) return;
    miscounted += (net::readUnitsForTests() - before) % 100 !=
                  std::uint64_t(w->film().readsSinceUpdate % 100);
    // Each update moves the per cent here (6,400 bytes are 1.6 % of this film).
    if (w->film().percentDone != last) {
      ++updates;
      stale +=
          w->film().percentDone !=
          download::progressNumbers(w->film().receivedBytes, w->film().totalKb, w->barFullWidth)
              .percentDone;
    }
    last = w->film().percentDone;
  });
  startWith(QStringLiteral("p"));
  sampler.stop();
  EXPECT_EQ(miscounted, 0);
  EXPECT_EQ(stale, 0);
  EXPECT_GE(updates, 50);  // 6,254 reads at the least
  EXPECT_EQ(fileBytes(QStringLiteral("Prog")).size(), 400000u);
  EXPECT_TRUE(infos.contains(QStringLiteral("4 szeletből áll és 391Kb összesen")) ||
              !infos.filter(QRegularExpression("^\\d+Kb/391Kb [\\d.,]+%$")).isEmpty());
  EXPECT_FALSE(captions.filter(QRegularExpression("^Zelvo [\\d.,]+%$")).isEmpty());
  // Each slice's end shows the figures of all its bytes, not those of its last 100th read.
  EXPECT_DOUBLE_EQ(w->film().percentDone, 99.9);  // 400000 bytes of 391 Kb
  EXPECT_EQ(w->film().receivedBytes, 0);          // reset by the idle state
}

// 10,000 full reads of 64 bytes of a 2930 Kb film on a bar of 4000 twips, held there with no
// further read: the screen still catches up with them, and nothing of the film reaches the
// screen once it has ended.
TEST_F(FilmTest, ProgressOfTheLastReadsReachesTheScreenWithoutAFurtherRead) {
  const std::uint64_t kSlice = 3000320;
  ASSERT_EQ(download::expectedKb(kSlice, 1), 2930);
  server.addFilm(service::makeFilm("p2930", "Példa", {kSlice}));
  w->barFullWidth = 4000;
  bool held = false;
  bool caughtUp = false;
  const QString percent = QStringLiteral("21") + download::userDecimalSeparator() + "33%";
  const QString info = QStringLiteral("625Kb/2930Kb ") + percent;
  w->setYieldObserver([&]() {
    // Every read is full unless the reader overtakes the network; the first point past
    // 640,000 bytes then lies below 640,064, which shows the same figures.
    if (held || w->film().receivedBytes < 640000) return;
    held = true;
    caughtUp = QTest::qWaitFor([&] { return w->info->text() == info; }, 10000);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo ") + percent);
    EXPECT_EQ(w->processBarWidth(), 853);
  });
  startWith(QStringLiteral("p2930"));
  ASSERT_TRUE(held);
  EXPECT_TRUE(caughtUp) << w->info->text().toStdString();
  // A catch-up due after the film would run before this later timer.
  QEventLoop later;
  QTimer::singleShot(500, &later, &QEventLoop::quit);
  later.exec();
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Példa.mpg"));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
}

TEST_F(FilmTest, RefusalShowsTheMessageAndOffersTheExamplePage) {
  for (const auto answer : {ui::BoxAnswer::Ok, ui::BoxAnswer::Cancel}) {
    SCOPED_TRACE(answer == ui::BoxAnswer::Ok ? "OK" : "Cancel");
    server.clearLog();
    fakes.boxes.shown.clear();
    fakes.opener.opened.clear();
    fakes.boxes.answers = {answer};
    const service::FilmSpec& f = serviceFilm("elutasitva");
    startWith(QString::fromStdString(f.id));
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, QString::fromStdString(f.message));
    EXPECT_EQ(fakes.boxes.shown[0].title, QStringLiteral("Hiba!"));
    EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::OkCancel);
    if (answer == ui::BoxAnswer::Ok) {
      ASSERT_EQ(fakes.opener.opened.size(), 2u);
      EXPECT_EQ(fakes.opener.opened[1].first,
                QString::fromStdString("http://" + host + "/z/e/zelvo/azonosito_pld.jpg"));
    } else {
      EXPECT_TRUE(fakes.opener.opened.empty());
    }
    EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
    EXPECT_EQ(w->Go->text(), QStringLiteral("Start!"));
    EXPECT_EQ(targets(), std::vector<std::string>{recordTarget(f)});
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
  }
}

TEST_F(FilmTest, TooSmallFirstSliceIsReportedAndExactlyTenThousandIsNot) {
  const service::FilmSpec& small = serviceFilm("elso-9999");
  ASSERT_EQ(small.slices[0].size, 9999u);
  startWith(QString::fromStdString(small.id));
  EXPECT_EQ(targets(), (std::vector<std::string>{recordTarget(small), sliceTarget(small, 0),
                                                 recordTarget(small) + "&action=error"}));
  const QString answer = QString::fromStdString(small.errorAnswer);
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, answer);
  EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::Ok);
  EXPECT_EQ(w->lblEgy->text(), answer);
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt, jelentés elküldve"));
  EXPECT_TRUE(QDir(folder.path()).isEmpty());

  const service::FilmSpec& edge = serviceFilm("elso-10000");
  ASSERT_EQ(edge.slices[0].size, 10000u);
  startWith(QString::fromStdString(edge.id));
  const QString name = QString::fromStdString(edge.name);
  EXPECT_EQ(fileBytes(name), service::filmContent(edge));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
}

TEST_F(FilmTest, IdentifierIsEncodedButReachesTheServerAsTyped) {
  const QString id = QStringLiteral("ű film&x=1%#\nvége");
  server.addFilm(service::makeFilm(id.toStdString(), "Furcsa", {15000}));
  startWith(id);
  const auto log = server.requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].target, "/z/e/zelvo/basix2.php?a=%FB%20film%26x%3D1%25%23%0Av%E9ge");
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Furcsa.mpg"));
}

struct BadRecord {
  const char* name;
  const char* film;
  const char* message;
};

void PrintTo(const BadRecord& row, std::ostream* os) { *os << row.name; }
class UnusableRecord : public FilmTest, public ::testing::WithParamInterface<BadRecord> {};

TEST_P(UnusableRecord, UnusableRecordsAreReportedNotDownloaded) {
  startWith(QString::fromUtf8(GetParam().film));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QString::fromUtf8(GetParam().message));
  EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::Ok);
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
  EXPECT_FALSE(w->isDownloading);
  EXPECT_TRUE(QDir(folder.path()).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, UnusableRecord,
    ::testing::Values(BadRecord{"empty reply", "ures-valasz", "A szerver nem válaszolt."},
                      BadRecord{"no star", "csillag-nelkul", "A szerver válasza hibás."},
                      BadRecord{"two fields", "ket-mezo", "A szerver válasza hibás."},
                      BadRecord{"count not a number", "betus-darab", "A szerver válasza hibás."},
                      BadRecord{"negative count", "negativ-darab", "A szerver válasza hibás."}),
    [](const auto& info) { return caseName(info.param.name); });

TEST_F(FilmTest, FirstSliceWithoutASizeTakesTheErrorReportPath) {
  const service::FilmSpec& f = serviceFilm("meret-nelkul");
  ASSERT_EQ(f.slices[0].fault, Fault::NoLength);
  startWith(QString::fromStdString(f.id));
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt, jelentés elküldve"));
  EXPECT_EQ(targets().back(), recordTarget(f) + "&action=error");
}

struct OddFilm {
  const char* name;
  const char* film;
  int lowSpeedWindowS = 0;  // a shorter low-speed window than the program's, in seconds
};

void PrintTo(const OddFilm& row, std::ostream* os) { *os << row.name; }
class OddFilmRow : public FilmTest, public ::testing::WithParamInterface<OddFilm> {};

// Every address of the record's second part is fetched in order, whatever else it carries.
TEST_P(OddFilmRow, OddButUsableFilmsDownloadWhole) {
  const OddFilm& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.film);
  net::TimeLimits limits;
  if (row.lowSpeedWindowS) limits.lowSpeedWindow = std::chrono::seconds(row.lowSpeedWindowS);
  net::setTimeLimitsForTests(limits);
  // The summary as the first slice is asked for: whatever the count field's length, the
  // line stays within the bound of a shown server text and still tells the film's size.
  QString summary;
  w->setYieldObserver([&] {
    if (summary.isEmpty() && w->info->text().contains(QStringLiteral("szeletből")))
      summary = w->info->text();
  });
  startWith(QString::fromStdString(f.id));
  w->setYieldObserver(nullptr);
  net::setTimeLimitsForTests(net::TimeLimits{});
  const QString kb = download::formatNumber(
      download::expectedKb(std::int64_t(f.slices[0].size), f.count.value_or(int(f.slices.size()))),
      download::userDecimalSeparator());
  EXPECT_TRUE(summary.endsWith(QStringLiteral(" szeletből áll és ") + kb + "Kb összesen"))
      << summary.left(100).toStdString();
  EXPECT_LE(summary.size(), download::kShownChars + 40);
  const QString name = QString::fromStdString(f.name);
  EXPECT_TRUE(fileBytes(name) == service::filmContent(f));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
  EXPECT_TRUE(fakes.pauses.waits.empty());  // no slice was tried again
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OddFilmRow,
    ::testing::Values(OddFilm{"count below the addresses", "tobb-cim"},
                      OddFilm{"count above the addresses", "kevesebb-cim"},
                      OddFilm{"extra fields and extra parts", "extra-reszek"},
                      OddFilm{"a count behind 16 MiB of zeros", "darab-orias"},
                      OddFilm{"a slice without its length", "hossz-nelkul"},
                      OddFilm{"a slow slice", "lassu"},
                      // 200 B/s for 6 s: far above 1 KiB a minute, so slow, not stalled.
                      OddFilm{"a slice slower than the window but above the low-speed rate",
                              "csorgo-200", 4}),
    [](const auto& info) { return caseName(info.param.name); });

TEST_F(FilmTest, ExistingFileIsReplacedNotAppended) {
  const service::FilmSpec& f = serviceFilm("egy-szelet");
  const QString name = QString::fromStdString(f.name);
  const std::string content = service::filmContent(f);
  {
    // Longer than the film, so that a file left untruncated shows.
    QFile old(pathOf(name));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(std::string(2 * content.size(), 'o').c_str());
  }
  startWith(QString::fromStdString(f.id));
  EXPECT_EQ(fileBytes(name), content);
}

TEST_F(FilmTest, FolderThatCannotBeWrittenIsReported) {
  const service::FilmSpec& f = serviceFilm("egy-szelet");
  const QString gone = folder.filePath(QStringLiteral("gone"));
  ASSERT_TRUE(QDir().mkpath(gone));
  ASSERT_TRUE(w->directory->setPath(gone));
  ASSERT_TRUE(QDir(gone).removeRecursively());
  startWith(QString::fromStdString(f.id));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QStringLiteral("Nem sikerült létrehozni a fájlt: ") + gone +
                                           QLatin1Char('/') +
                                           fileNameOf(QString::fromStdString(f.name)));
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
  EXPECT_FALSE(w->isDownloading);
}

TEST_F(FilmTest, CatalogueLoadInsideASliceLeavesTheFilmIntact) {
  service::FilmSpec f =
      service::makeFilm("big", "Nagy", {200000, 200000, 200000, 200000, 200000, 200000});
  f.slices[3].fault = Fault::Slow;
  server.addFilm(f);
  server.setCatalogue(
      net::toCp1250(QStringLiteral("1\tegy\tElső film\n2\tketto\tMásodik\n")).toStdString());
  // Open the catalogue while the slow slice is being read.
  const std::string slow = sliceTarget(f, 3);
  bool clickedDuringDownload = false;
  server.setRequestObserver([&](const service::LoggedRequest& r) {
    if (r.target != slow) return;
    QMetaObject::invokeMethod(
        w.get(),
        [&] {
          clickedDuringDownload = w->isDownloading;
          QTest::mouseClick(w->Command1, Qt::LeftButton);
        },
        Qt::QueuedConnection);
  });
  startWith(QStringLiteral("big"));
  EXPECT_TRUE(clickedDuringDownload);
  EXPECT_EQ(fileBytes(QStringLiteral("Nagy")), service::filmContent(f));
  EXPECT_EQ(w->Lista->count(), 2);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Nagy.mpg"));
}

}  // namespace
