// The download commands, the catalogue and the queue, through the window.
#include <QAccessible>
#include <QDir>
#include <QGroupBox>
#include <QListWidget>
#include <QTimer>

#include "download/film_logic.h"
#include "tests/film_fixture.h"

namespace {

const std::string kCatalogue = "/z/e/zelvo/basix_raktar.php";

int catalogueRequests(const service::Server& server) {
  int n = 0;
  for (const auto& r : server.requests()) n += r.target == kCatalogue;
  return n;
}

struct PromptRow {
  const char* name;
  const char* text;
  const char* sentQuery;  // nullptr: nothing may be sent
};

void PrintTo(const PromptRow& row, std::ostream* os) { *os << row.name; }
class PromptStart : public FilmTest, public ::testing::WithParamInterface<PromptRow> {};

TEST_P(PromptStart, StartTreatsOnlyTheExactPromptAsEmpty) {
  const PromptRow& row = GetParam();
  startWith(QString::fromUtf8(row.text));
  if (!row.sentQuery) {
    EXPECT_TRUE(server.requests().empty());
    EXPECT_TRUE(fakes.boxes.shown.empty());
    EXPECT_EQ(w->Go->text(), QStringLiteral("Start!"));
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo"));
    return;
  }
  ASSERT_FALSE(server.requests().empty());
  EXPECT_EQ(server.requests()[0].target, "/z/e/zelvo/basix2.php?" + std::string(row.sentQuery));
  // Unknown identifiers are refused by the service, and no "Kész" follows.
  EXPECT_EQ(w->info->text(), QStringLiteral("Hiba történt"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PromptStart,
    ::testing::Values(PromptRow{"exact prompt", "Ide írd az azonosítót!", nullptr},
                      PromptRow{"other case", "ide írd az azonosítót!",
                                "a=ide%20%EDrd%20az%20azonos%EDt%F3t%21"},
                      PromptRow{"added blank", "Ide írd az azonosítót! ",
                                "a=Ide%20%EDrd%20az%20azonos%EDt%F3t%21%20"},
                      PromptRow{"empty box", "", "a="},
                      PromptRow{"idle prompt", "Még egy filmet?", "a=M%E9g%20egy%20filmet%3F"}),
    [](const auto& info) { return caseName(info.param.name); });

TEST_F(FilmTest, TypedDemoFilmDownloadsThroughTheService) {
  const service::FilmSpec* film = service::findFilm("egig01");
  ASSERT_NE(film, nullptr);
  w->queue->addItem(QStringLiteral("x"));
  startWith(QStringLiteral("egig01"));
  const QString name = QString::fromStdString(film->name);
  EXPECT_EQ(fileBytes(name), service::filmContent(*film));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
  EXPECT_EQ(w->queue->count(), 0);
  // The idle state cleared what the film counted.
  EXPECT_EQ(w->film().receivedBytes + w->film().readsSinceUpdate + w->film().sliceSize, 0);
  EXPECT_GT(w->film().totalKb, 0);  // the film did count
}

// What the desktop hears of a run: kept awake with its progress shown from start to end
// (a queue is one run), a nudge only when the window is not the active one and the run
// ended by itself, and a notification of what it finished; the bar's value for screen
// readers follows the bar as drawn.
TEST_F(FilmTest, DesktopFollowsEachRunAndNudgesOnlyAnUnseenWindow) {
  server.addFilm(service::makeFilm("p", "Prog", {100000, 100000, 100000, 100000}));
  QWidget other;  // the user's other window
  other.show();
  const QStringList ended = {"awake", "hidden", "sleep"};
  const QString egig = QStringLiteral("Égigérő fa_Zelvoweb.mpg");
  const struct {
    const char* name;
    bool active;
    QStringList ids;  // more than one: a queue run
    QStringList log;
    bool stop = false;  // the stop command half way through the first film
  } rows[] = {
      {"film, window active", true, {"p"}, ended},
      {"film, window inactive", false, {"p"},
       ended + QStringList{"attention", "notify Kész: Prog.mpg: Prog_Zelvoweb.mpg"}},
      {"refused film, window inactive", false, {"nincs"}, ended + QStringList{"attention"}},
      {"queue, window active", true, {"p", "egig01"}, ended},
      {"queue, window inactive", false, {"p", "egig01"},
       ended + QStringList{"attention", "notify Kész: Prog_Zelvoweb.mpg," + egig}},
      {"queue with a refused film, window inactive", false, {"nincs", "egig01", "egig01"},
       ended + QStringList{"attention", "notify Kész, 1 film letöltése nem sikerült: " + egig}},
      // Last: the stop ends the program.
      {"queue stopped, window inactive", false, {"p", "egig01"}, ended + QStringList{"settle"},
       true},
  };
  QAccessibleValueInterface* bar =
      QAccessible::queryAccessibleInterface(w->Picture1)->valueInterface();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    QWidget* front = row.active ? static_cast<QWidget*>(w.get()) : &other;
    front->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(front));
    fakes.desktop.log.clear();
    bool midway = false;
    w->setYieldObserver([&]() {
      const int value = bar->currentValue().toInt();
      EXPECT_NEAR(value, 100.0 * w->processBarWidth() / w->barFullWidth, 0.5);
      midway = midway || (value > 0 && value < 100);
      // Below 100: the bar still shows the last run until the first slice.
      if (row.stop && value >= 50 && value < 100 && w->isDownloading)
        QTest::mouseClick(w->Go, Qt::LeftButton);
    });
    if (row.ids.size() == 1) {
      startWith(row.ids.front());
    } else {
      w->queue->addItems(row.ids);
      w->q_letolt->click();
    }
    w->setYieldObserver(nullptr);
    EXPECT_EQ(midway, row.ids != QStringList{"nincs"});  // every other run downloads
    EXPECT_EQ(fakes.ender.calls, row.stop ? 1 : 0);
    QStringList log = fakes.desktop.log;
    const QStringList progress = log.filter(QStringLiteral("progress "));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.front(), QStringLiteral("progress 0"));
    for (const QString& p : progress) log.removeOne(p);
    EXPECT_EQ(log, row.log);
  }
}

TEST_F(FilmTest, CatalogueOpensLoadsOnceAndCloses) {
  server.setCatalogue(net::toCp1250(QStringLiteral("1\tegig01\tÉgigérő fa\textra\n"
                                                   "2\tdzsoni02\tSzegény Dzsoni\n"))
                          .toStdString());
  // The caption while loading, seen at every yield of the fetch (not by a timer, which
  // a loaded machine may not get to run before the reply is in).
  QStringList titles;
  w->setYieldObserver([&]() { titles << w->Frame1->title(); });
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  w->setYieldObserver(nullptr);
  EXPECT_TRUE(titles.contains(QStringLiteral("Listát töltöm")));
  EXPECT_EQ(w->Frame1->title(), QStringLiteral("Összes film"));
  EXPECT_EQ(w->outerWidth(), 6600);
  EXPECT_EQ(w->Command1->text(), QStringLiteral("Becsuk >"));
  EXPECT_FALSE(w->Command2->isHidden());
  EXPECT_FALSE(w->Lista->isHidden());
  ASSERT_EQ(w->Lista->count(), 2);
  EXPECT_EQ(w->Lista->text(0), QStringLiteral("Égigérő fa"));
  EXPECT_EQ(w->Lista->text(1), QStringLiteral("Szegény Dzsoni"));
  EXPECT_EQ(w->catalogRows.size(), 2);
  EXPECT_TRUE(w->rect().contains(w->Frame1->geometry()));
  EXPECT_EQ(w->Frame1->geometry().right(), w->rect().right() - 1);

  w->Lista->setCurrentRow(1);
  for (int round = 0; round < 2; ++round) {
    QTest::mouseClick(w->Command1, Qt::LeftButton);  // close
    EXPECT_EQ(w->outerWidth(), 4020);
    EXPECT_EQ(w->Command1->text(), QStringLiteral("Minden film"));
    EXPECT_TRUE(w->Command2->isHidden());
    QTest::mouseClick(w->Command1, Qt::LeftButton);  // open again: nothing fetched
    EXPECT_EQ(w->outerWidth(), 6600);
  }
  EXPECT_EQ(catalogueRequests(server), 1);
  EXPECT_EQ(w->Lista->count(), 2);
  EXPECT_EQ(w->Lista->currentRow(), 1);

  w->setOuterWidth(5000);  // exactly 5000 counts as open
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  EXPECT_EQ(w->outerWidth(), 4020);
}

TEST_F(FilmTest, CatalogueLeavesOutShortRowsSoEntriesMatchRows) {
  server.setCatalogue(service::catalogueWithShortRows());
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  ASSERT_EQ(w->Lista->count(), w->catalogRows.size());
  ASSERT_EQ(w->Lista->count(), 3);
  // The CR of each CRLF stays in the row; the entry shows it as the line end it is.
  for (int i = 0; i < w->Lista->count(); ++i) {
    EXPECT_TRUE(w->catalogRows[i].endsWith(QLatin1Char('\r')));
    EXPECT_EQ(download::shownText(w->catalogRows[i].split('\t').value(2).chopped(1)),
              w->Lista->text(i));
    EXPECT_FALSE(w->Lista->text(i).contains(QChar::ReplacementCharacter)) << i;
  }
  EXPECT_EQ(w->Lista->text(1), QStringLiteral("Szegény Dzsoni és Árnika"));
  EXPECT_EQ(w->catalogFields, QStringList{QString()});  // the reply's empty last row
}

// The fields of the reply's last row after a load; those of the chosen row after a command.
TEST_F(FilmTest, CatalogueFieldsFollowTheLastRowThenTheChosenOne) {
  server.setCatalogue(net::toCp1250(QStringLiteral("1\tegig01\tÉgigérő fa\textra\n"
                                                   "2\tdzsoni02\tSzegény Dzsoni\n"
                                                   "3\tludas05\tLúdas Matyi"))
                          .toStdString());
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  EXPECT_EQ(w->catalogFields, QStringList({"3", "ludas05", "Lúdas Matyi"}));
  const struct {
    const char* name;
    QPushButton* button;
    int row;
    QStringList fields;
  } rows[] = {
      {"Letölt!", w->Command2, 0, {"1", "egig01", "Égigérő fa", "extra"}},
      {"<< Listához", w->toQueue, 1, {"2", "dzsoni02", "Szegény Dzsoni"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    w->Lista->setCurrentRow(row.row);
    QTest::mouseClick(row.button, Qt::LeftButton);
    EXPECT_EQ(w->catalogFields, row.fields);
  }
}

// Clicks on "Minden film" while the catalogue is still loading: one request, one filling.
struct LoadClicks {
  const char* name;
  int clicks;  // during the load
  int width;   // after it
};
void PrintTo(const LoadClicks& row, std::ostream* os) { *os << row.name; }
class ClicksDuringLoad : public FilmTest, public ::testing::WithParamInterface<LoadClicks> {};

TEST_P(ClicksDuringLoad, CommandOneClickedDuringTheLoadFetchesAndFillsOnce) {
  server.setCatalogue(net::toCp1250(QStringLiteral("1\tegig01\tÉgigérő fa\n"
                                                   "2\tdzsoni02\tSzegény Dzsoni"))
                          .toStdString());
  bool clicked = false;
  w->setYieldObserver([&]() {
    if (clicked) return;
    clicked = true;
    for (int i = 0; i < GetParam().clicks; ++i) QTest::mouseClick(w->Command1, Qt::LeftButton);
  });
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  w->setYieldObserver(nullptr);
  ASSERT_TRUE(clicked);
  EXPECT_EQ(catalogueRequests(server), 1);
  EXPECT_EQ(w->catalogRows.size(), 2);
  EXPECT_EQ(w->Lista->count(), 2);
  EXPECT_EQ(w->outerWidth(), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(Rows, ClicksDuringLoad,
                         ::testing::Values(LoadClicks{"closes the panel", 1, 4020},
                                           LoadClicks{"closes and opens it again", 2, 6600}),
                         [](const auto& info) { return caseName(info.param.name); });

TEST_F(FilmTest, EmptyCatalogueIsNotFetchedAgain) {
  service::Reply empty;
  server.setReply(kCatalogue, empty);
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  EXPECT_EQ(w->Lista->count(), 0);
  EXPECT_FALSE(w->Lista->isHidden());
  EXPECT_EQ(w->Frame1->title(), QStringLiteral("Összes film"));
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  EXPECT_EQ(catalogueRequests(server), 1);
  EXPECT_TRUE(fakes.boxes.shown.empty());
}

TEST_F(FilmTest, DownloadButtonTakesTheSelectedCatalogueFilm) {
  QTest::mouseClick(w->Command1, Qt::LeftButton);
  ASSERT_GT(w->Lista->count(), 1);
  server.clearLog();
  QTest::mouseClick(w->Command2, Qt::LeftButton);  // nothing selected yet
  EXPECT_TRUE(server.requests().empty());
  EXPECT_FALSE(w->isDownloading);

  const int row = 0;
  const QString id = w->catalogRows[row].split('\t')[1];
  const service::FilmSpec* film = service::findFilm(id.toStdString());
  ASSERT_NE(film, nullptr);
  w->Lista->setCurrentRow(row);
  QString idDuringDownload;
  QTimer::singleShot(0, [&] { idDuringDownload = w->azonosito->text(); });
  QTest::mouseClick(w->Command2, Qt::LeftButton);
  EXPECT_EQ(idDuringDownload, id);
  const QString name = QString::fromStdString(film->name);
  EXPECT_EQ(fileBytes(name), service::filmContent(*film));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
}

TEST_F(FilmTest, QueueButtonsAddRemoveAndOpenThePanel) {
  w->azonosito->setText(Form1::kPrompt);
  QTest::mouseClick(w->azon2queue, Qt::LeftButton);
  EXPECT_EQ(w->queue->count(), 0);
  EXPECT_EQ(w->outerHeight(), 2750);

  for (const QString& text : {QStringLiteral("egig01"), QStringLiteral("egig01"), QString(),
                              QStringLiteral("Még egy filmet?")}) {
    w->azonosito->setText(text);
    QTest::mouseClick(w->azon2queue, Qt::LeftButton);
  }
  EXPECT_EQ(w->outerHeight(), 5000);
  EXPECT_TRUE(w->btQueue->isHidden());
  ASSERT_EQ(w->queue->count(), 4);
  EXPECT_EQ(w->queue->item(1)->text(), QStringLiteral("egig01"));  // duplicates allowed
  EXPECT_EQ(w->queue->item(2)->text(), QString());

  QTest::mouseClick(w->q_del, Qt::LeftButton);  // nothing selected
  EXPECT_EQ(w->queue->count(), 4);
  w->queue->setCurrentRow(2);
  QTest::mouseClick(w->q_del, Qt::LeftButton);
  ASSERT_EQ(w->queue->count(), 3);
  EXPECT_EQ(w->queue->item(2)->text(), QStringLiteral("Még egy filmet?"));

  QTest::mouseClick(w->btQueue2, Qt::LeftButton);
  QTest::mouseClick(w->Command1, Qt::LeftButton);  // load the catalogue
  QTest::mouseClick(w->toQueue, Qt::LeftButton);   // nothing selected
  EXPECT_EQ(w->queue->count(), 3);
  EXPECT_EQ(w->outerHeight(), 2750);
  w->Lista->setCurrentRow(1);
  QTest::mouseClick(w->toQueue, Qt::LeftButton);
  const QString id = w->catalogRows[1].split('\t')[1];
  ASSERT_EQ(w->queue->count(), 4);
  EXPECT_EQ(w->queue->item(3)->text(), id);
  EXPECT_EQ(w->azonosito->text(), id);
  EXPECT_EQ(w->outerHeight(), 5000);
  EXPECT_EQ(w->outerWidth(), 6600);
}

TEST_F(FilmTest, QueueRunGoesOnAfterARefusalAndCountsFailures) {
  const service::FilmSpec& first = serviceFilm("egy-szelet");
  const service::FilmSpec& refused = serviceFilm("elutasitva");
  const service::FilmSpec& third = serviceFilm("elso-10000");
  fakes.boxes.answers = {ui::BoxAnswer::Cancel};
  for (const service::FilmSpec* f : {&first, &refused, &third}) {
    w->azonosito->setText(QString::fromStdString(f->id));
    QTest::mouseClick(w->azon2queue, Qt::LeftButton);
  }
  QTest::mouseClick(w->q_letolt, Qt::LeftButton);
  EXPECT_EQ(fileBytes(QString::fromStdString(first.name)), service::filmContent(first));
  EXPECT_EQ(fileBytes(QString::fromStdString(third.name)), service::filmContent(third));
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  EXPECT_EQ(fakes.boxes.shown[0].text, QString::fromStdString(refused.message));
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész, 1 film letöltése nem sikerült"));
  EXPECT_EQ(w->queue->count(), 0);
  EXPECT_FALSE(w->isDownloading);
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));

  // All good: plain "Kész".
  for (int i = 0; i < 2; ++i) {
    w->azonosito->setText(QString::fromStdString(first.id));
    QTest::mouseClick(w->azon2queue, Qt::LeftButton);
  }
  server.clearLog();
  QTest::mouseClick(w->q_letolt, Qt::LeftButton);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész"));
  const auto sent = targets();
  ASSERT_EQ(first.slices.size(), 1u);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), sliceTarget(first, 0)), 4);  // size + slice, twice
}

TEST_F(FilmTest, EmptyQueueRunPassesStraightToIdle) {
  QTest::mouseClick(w->q_letolt, Qt::LeftButton);
  EXPECT_TRUE(server.requests().empty());
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész"));
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
  EXPECT_EQ(w->Go->text(), QStringLiteral("Start!"));
}

}  // namespace
