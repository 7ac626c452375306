// The film download through the window, against the substitute service.
#include <QDir>
#include <QLabel>
#include <QTimer>

#include "tests/film_fixture.h"

namespace {

using service::Fault;

TEST_F(FilmTest, DownloadsEverySliceByteExactAndAnnouncesIt) {
  const std::vector<std::string> slices = {patternBytes(70000, 1), patternBytes(70000, 2),
                                           patternBytes(12345, 3)};
  serveRecord("abc", film("abc", "Égigérő fa", slices));
  w->queue->addItem(QStringLiteral("left over"));
  startWith(QStringLiteral("abc"));

  EXPECT_EQ(fileBytes(QStringLiteral("Égigérő fa")), slices[0] + slices[1] + slices[2]);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Égigérő fa.mpg"));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  EXPECT_EQ(w->queue->count(), 0);
  EXPECT_FALSE(w->isDownloading);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->lblEgy->text(), QStringLiteral("70000"));
  EXPECT_EQ(w->totalKb, 205);  // 3 x 70000 / 1024 = 205.08

  // The exact requests: record, size query, then every slice; the referrer on all but the first.
  const auto log = server.requests();
  const std::vector<std::string> expected = {"/z/e/zelvo/basix2.php?a=abc", "/s/abc/0", "/s/abc/0",
                                             "/s/abc/1", "/s/abc/2"};
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
  const std::vector<std::string> slices(4, patternBytes(100000, 7));
  serveRecord("p", film("p", "Prog", slices));
  QStringList captions;
  QStringList infos;
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    captions << w->windowTitle();
    infos << w->info->text();
  });
  sampler.start(1);
  startWith(QStringLiteral("p"));
  sampler.stop();
  EXPECT_EQ(fileBytes(QStringLiteral("Prog")).size(), 400000u);
  EXPECT_TRUE(infos.contains(QStringLiteral("4 szeletből áll és 391Kb összesen")) ||
              !infos.filter(QRegularExpression("^\\d+Kb/391Kb [\\d.,]+%$")).isEmpty());
  EXPECT_FALSE(captions.filter(QRegularExpression("^Zelvo [\\d.,]+%$")).isEmpty());
  // The last update happened on a 100th read, so the figures stop short of the total.
  EXPECT_GT(w->percentDone, 90);
  EXPECT_LE(w->percentDone, 100);
  EXPECT_EQ(w->receivedBytes, 0);  // reset by the idle state
}

TEST_F(FilmTest, RefusalShowsTheMessageAndOffersTheExamplePage) {
  for (const auto answer : {ui::BoxAnswer::Ok, ui::BoxAnswer::Cancel}) {
    SCOPED_TRACE(answer == ui::BoxAnswer::Ok ? "OK" : "Cancel");
    server.clearLog();
    fakes.boxes.shown.clear();
    fakes.opener.opened.clear();
    fakes.boxes.answers = {answer};
    serveRecord("nincs", "{host}/ref|0|A film nem található.*");
    startWith(QStringLiteral("nincs"));
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, QStringLiteral("A film nem található."));
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
    EXPECT_EQ(targets(), std::vector<std::string>{"/z/e/zelvo/basix2.php?a=nincs"});
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
  }
}

TEST_F(FilmTest, TooSmallFirstSliceIsReportedAndExactlyTenThousandIsNot) {
  serveRecord("small", film("small", "Kicsi", {patternBytes(9999, 1), patternBytes(20000, 2)}));
  serve("/z/e/zelvo/basix2.php?a=small&action=error",
        net::toCp1250(QStringLiteral("Köszönjük, rögzítettük.")).toStdString());
  startWith(QStringLiteral("small"));
  EXPECT_EQ(targets(), (std::vector<std::string>{"/z/e/zelvo/basix2.php?a=small", "/s/small/0",
                                                 "/z/e/zelvo/basix2.php?a=small&action=error"}));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QStringLiteral("Köszönjük, rögzítettük."));
  EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::Ok);
  EXPECT_EQ(w->lblEgy->text(), QStringLiteral("Köszönjük, rögzítettük."));
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt, jelentés elküldve"));
  EXPECT_TRUE(QDir(folder.path()).isEmpty());

  const std::vector<std::string> ok = {patternBytes(10000, 3), patternBytes(20000, 4)};
  serveRecord("edge", film("edge", "Határ", ok));
  startWith(QStringLiteral("edge"));
  EXPECT_EQ(fileBytes(QStringLiteral("Határ")), ok[0] + ok[1]);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Határ.mpg"));
}

TEST_F(FilmTest, IdentifierIsEncodedButReachesTheServerAsTyped) {
  const QString id = QStringLiteral("ű film&x=1%#\nvége");
  serveRecord(id, film("odd", "Furcsa", {patternBytes(15000, 9)}));
  startWith(id);
  const auto log = server.requests();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].target, "/z/e/zelvo/basix2.php?a=%FB%20film%26x%3D1%25%23%0Av%E9ge");
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Furcsa.mpg"));
}

struct BadRecord {
  const char* name;
  const char* record;
  const char* message;
};

TEST_F(FilmTest, UnusableRecordsAreReportedNotDownloaded) {
  const BadRecord rows[] = {
      {"empty reply", "", "A szerver nem válaszolt."},
      {"no star", "{host}/ref|2|Film", "A szerver válasza hibás."},
      {"two fields", "{host}/ref|2*{host}/s/x/0", "A szerver válasza hibás."},
      {"count not a number", "{host}/ref|sok|Film*{host}/s/x/0", "A szerver válasza hibás."},
      {"negative count", "{host}/ref|-2|Film*{host}/s/x/0", "A szerver válasza hibás."},
  };
  for (const BadRecord& row : rows) {
    SCOPED_TRACE(row.name);
    fakes.boxes.shown.clear();
    serveRecord("bad", row.record);
    startWith(QStringLiteral("bad"));
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, QString::fromUtf8(row.message));
    EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::Ok);
    EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
    EXPECT_FALSE(w->isDownloading);
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
  }
}

TEST_F(FilmTest, FirstSliceWithoutASizeTakesTheErrorReportPath) {
  serveRecord("nolen", "{host}/ref|1|Film*{host}/s/nolen/0");
  serve("/s/nolen/0", patternBytes(50000, 1), Fault::NoLength);
  startWith(QStringLiteral("nolen"));
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt, jelentés elküldve"));
  EXPECT_EQ(targets().back(), "/z/e/zelvo/basix2.php?a=nolen&action=error");
}

TEST_F(FilmTest, AllAddressesAreTakenWhateverTheCount) {
  const std::vector<std::string> slices = {patternBytes(11000, 1), patternBytes(11000, 2),
                                           patternBytes(11000, 3)};
  for (int count : {1, 7}) {
    SCOPED_TRACE(count);
    serveRecord("n", film("n", "Szám", slices, count));
    startWith(QStringLiteral("n"));
    EXPECT_EQ(fileBytes(QStringLiteral("Szám")), slices[0] + slices[1] + slices[2]);
  }
}

TEST_F(FilmTest, ExistingFileIsReplacedAndOddNamesStayInTheFolder) {
  {
    QFile old(pathOf(QStringLiteral("Régi")));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write(std::string(100000, 'o').c_str());
  }
  const std::string body = patternBytes(12000, 5);
  serveRecord("r", film("r", "Régi", {body}));
  startWith(QStringLiteral("r"));
  EXPECT_EQ(fileBytes(QStringLiteral("Régi")), body);

  serveRecord("evil", film("evil", "../../x/..\\y\x01", {body}));
  startWith(QStringLiteral("evil"));
  EXPECT_EQ(fileBytes(QStringLiteral(".._.._x_.._y_")), body);
  EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

TEST_F(FilmTest, FolderThatCannotBeWrittenIsReported) {
  const QString gone = folder.filePath(QStringLiteral("gone"));
  ASSERT_TRUE(QDir().mkpath(gone));
  ASSERT_TRUE(w->directory->setPath(gone));
  ASSERT_TRUE(QDir(gone).removeRecursively());
  serveRecord("c", film("c", "Film", {patternBytes(12000, 1)}));
  startWith(QStringLiteral("c"));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QStringLiteral("Nem sikerült létrehozni a fájlt: ") + gone +
                                           QStringLiteral("/Film_Zelvoweb.mpg"));
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
  EXPECT_FALSE(w->isDownloading);
}

struct BrokenSlice {
  const char* name;
  Fault fault;
  int status;
};

TEST_F(FilmTest, BrokenSliceEndsTheFilmKeepingOnlyCompleteSlices) {
  const BrokenSlice rows[] = {
      {"404 page", Fault::None, 404},
      {"500 page", Fault::None, 500},
      {"closes early", Fault::CloseEarly, 200},
      {"connection reset", Fault::Reset, 200},
  };
  const std::vector<std::string> good = {patternBytes(30000, 1), patternBytes(30000, 2)};
  for (const BrokenSlice& row : rows) {
    SCOPED_TRACE(row.name);
    fakes.boxes.shown.clear();
    serveRecord("b", film("b", "Törött", {good[0], good[1], patternBytes(30000, 3)}));
    serve("/s/b/1", row.status == 200 ? good[1] : "<html>Not here</html>", row.fault, row.status);
    startWith(QStringLiteral("b"));
    expectOnlyWorkFile(QStringLiteral("Törött"), good[0]);
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text,
              QStringLiteral("Nem sikerült letölteni a(z) 2. szeletet."));
    EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
    EXPECT_NE(targets().back(), "/s/b/2");  // nothing after the broken slice
  }
}

TEST_F(FilmTest, UnreachableSliceHostFailsTheFilm) {
  serveRecord("u", "{host}/ref|2|Messze*{host}/s/u/0|127.0.0.1:9/s/u/1");
  serve("/s/u/0", patternBytes(20000, 1));
  startWith(QStringLiteral("u"));
  expectOnlyWorkFile(QStringLiteral("Messze"), patternBytes(20000, 1));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QStringLiteral("Nem sikerült letölteni a(z) 2. szeletet."));
}

TEST_F(FilmTest, CatalogueLoadInsideASliceLeavesTheFilmIntact) {
  const std::vector<std::string> slices(6, patternBytes(200000, 11));
  serveRecord("big", film("big", "Nagy", slices));
  server.setCatalogue(
      net::toCp1250(QStringLiteral("1\tegy\tElső film\n2\tketto\tMásodik\n")).toStdString());
  serve("/s/big/3", slices[3], Fault::Slow);
  // Open the catalogue while the slow slice is being read.
  bool clickedDuringDownload = false;
  server.setRequestObserver([&](const service::LoggedRequest& r) {
    if (r.target != "/s/big/3") return;
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
  std::string all;
  for (const auto& s : slices) all += s;
  EXPECT_EQ(fileBytes(QStringLiteral("Nagy")), all);
  EXPECT_EQ(w->Lista->count(), 2);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Nagy.mpg"));
}

}  // namespace
