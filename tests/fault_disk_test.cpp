// Fault matrix, disk side: an output file that cannot be created, and one that cannot be
// written to the end (the file size limit standing in for a full disk) or synced to the
// disk, in a child process.
#include <QProcess>
#include <cstdio>

#include "tests/fault_fixture.h"

namespace {

struct FolderRow {
  const char* name;
  void (*spoil)(const QString& folder, const QString& file);  // after the folder was chosen
};
void PrintTo(const FolderRow& row, std::ostream* os) { *os << row.name; }

const FolderRow kFolderRows[] = {
    {"folder removed",
     [](const QString& folder, const QString&) { QDir(folder).removeRecursively(); }},
    {"folder replaced by a plain file",
     [](const QString& folder, const QString&) {
       QDir(folder).removeRecursively();
       QFile f(folder);
       f.open(QIODevice::WriteOnly);
     }},
    {"a folder where the file goes",
     [](const QString&, const QString& file) { QDir().mkpath(file); }},
};

class OutputFolderFault : public FaultTest, public ::testing::WithParamInterface<FolderRow> {};

TEST_P(OutputFolderFault, FileThatCannotBeCreatedIsReportedBeforeAnySlice) {
  const service::FilmSpec& f = serviceFilm("egig01");  // an accented name in the path
  const QString chosen = folder.filePath(QStringLiteral("célmappa"));
  ASSERT_TRUE(QDir().mkpath(chosen));
  ASSERT_TRUE(w->directory->setPath(chosen));
  const QString file = chosen + QLatin1Char('/') + fileNameOf(QString::fromStdString(f.name));
  GetParam().spoil(chosen, file);

  startWith(QString::fromStdString(f.id));
  expectFailedWith(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + file);
  EXPECT_FALSE(QFileInfo(file).isFile());
  // Record and size query only: no slice is fetched for a file that does not exist.
  EXPECT_EQ(targets(), (std::vector<std::string>{recordTarget(f), sliceTarget(f, 0)}));
}

INSTANTIATE_TEST_SUITE_P(Matrix, OutputFolderFault, ::testing::ValuesIn(kFolderRows),
                         [](const auto& info) { return caseName(info.param.name); });

// Files limited to a size that ends inside the second slice: the disk is full for this film.
struct NoSpaceRow {
  const char* name;
  const char* film;
  qint64 limit;
  std::size_t wholeSlicesKept;
  bool syncFails = false;  // every sync to the disk fails (a preloaded library)
};
void PrintTo(const NoSpaceRow& row, std::ostream* os) { *os << row.name; }

class NoSpace : public FaultTest, public ::testing::WithParamInterface<NoSpaceRow> {};

TEST_P(NoSpace, WriteFailureIsReportedAndOnlyWholeSlicesStay) {
  const NoSpaceRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.film);
  QProcess child;
  if (row.syncFails) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAIL_SYNC_PATH));
    // Under the sanitizers their runtime then no longer comes first, which is harmless here.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + ":verify_asan_link_order=0");
    child.setProcessEnvironment(env);
  }
  child.start(QStringLiteral(FAULT_CHILD_PATH),
              {QStringLiteral("nospace"), QString::fromStdString(host), folder.path(),
               QString::fromStdString(f.id), QString::number(row.limit)});
  ASSERT_TRUE(child.waitForFinished(40000));
  const QString out = QString::fromUtf8(child.readAllStandardOutput());
  SCOPED_TRACE(out.toStdString());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0);

  const QString path = pathOf(QString::fromStdString(f.name));
  const QStringList expected = {QStringLiteral("BOX Nem sikerült írni a fájlt: ") + path,
                                QStringLiteral("INFO Hiba történt"), QStringLiteral("GO Start!"),
                                QStringLiteral("BUSY 0"),
                                QStringLiteral("CAPTION Zelvo Letöltés kész")};
  EXPECT_EQ(out.split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);

  EXPECT_FALSE(QFile::exists(path));
  QFile file(path + QStringLiteral(".part"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().toStdString() == firstSlices(f, row.wholeSlicesKept));
  // Record, size query, then the slices in order up to the one that did not fit.
  const auto sent = targets();
  ASSERT_GE(sent.size(), 2 + row.wholeSlicesKept + (row.syncFails ? 0 : 1));
  for (std::size_t i = 2; i < sent.size(); ++i) EXPECT_EQ(sent[i], sliceTarget(f, i - 2));
}

const NoSpaceRow kNoSpaceRows[] = {
    // 1 MiB slices: the failing write cuts into the second slice, on the disk already.
    {"limit inside the second of four large slices", "dzsoni02", 1400000, 1},
    // 64 KiB slices: several whole slices still wait in the writer's buffer when it fails.
    {"limit inside the second of sixteen small slices", "sok-szelet", 100000, 1},
    // Written whole but not on the disk: a crash could still leave it short.
    {"the complete film cannot be synced", "dzsoni02", qint64(1) << 40, 4, true},
};
INSTANTIATE_TEST_SUITE_P(Matrix, NoSpace, ::testing::ValuesIn(kNoSpaceRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace

// ---------------------------------------------------------------------------------------
// The final name holds only complete films: an earlier copy survives what does not arrive,
// planted links are never followed, and two downloads never share a file.

namespace {

using service::Fault;

// A film of three slices whose second one can be made to break.
service::FilmSpec threeSlices(const char* id, const char* name, Fault second = Fault::None) {
  service::FilmSpec f = service::makeFilm(id, name, {20000, 20000, 20000});
  f.slices[1].fault = second;
  return f;
}

std::string readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : "<missing>";
}

}  // namespace

TEST_F(FaultTest, EarlierCopySurvivesAFailedDownloadAndIsReplacedByAWholeOne) {
  const service::FilmSpec good = threeSlices("ujra", "Újra");
  server.addFilm(good);
  startWith(QStringLiteral("ujra"));
  const std::string first = fileBytes(QStringLiteral("Újra"));
  ASSERT_TRUE(first == service::filmContent(good));

  server.addFilm(threeSlices("ujra", "Újra", Fault::NotFound));
  startWith(QStringLiteral("ujra"));
  expectFailedWith(sliceFailure(2));
  EXPECT_TRUE(fileBytes(QStringLiteral("Újra")) == first);  // byte for byte
  EXPECT_TRUE(fileBytes(QStringLiteral("Újra"), QStringLiteral(".part")) ==
              service::sliceContent(good, 0));

  // Read-only, it is still replaced: the folder is the user's, and so is the new download.
  ASSERT_TRUE(QFile::setPermissions(pathOf(QStringLiteral("Újra")), QFileDevice::ReadOwner));
  server.addFilm(service::makeFilm("ujra", "Újra", {30000}));
  fakes.boxes.shown.clear();
  startWith(QStringLiteral("ujra"));
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Újra.mpg"));
  EXPECT_TRUE(fileBytes(QStringLiteral("Újra")) ==
              service::filmContent(service::makeFilm("ujra", "Újra", {30000})));
  EXPECT_FALSE(QFile::exists(pathOf(QStringLiteral("Újra")) + ".part"));
}

TEST_F(FaultTest, PlantedLinksAreNeverFollowed) {
  const service::FilmSpec f = threeSlices("link", "Link");
  server.addFilm(f);
  const QString victim = folder.filePath(QStringLiteral("victim"));
  {
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::WriteOnly));
    v.write("the user's own file");
  }
  // Under the work file's name: refused before any slice.
  ASSERT_TRUE(QFile::link(victim, pathOf(QStringLiteral("Link")) + ".part"));
  startWith(QStringLiteral("link"));
  expectFailedWith(QStringLiteral("Nem sikerült létrehozni a fájlt: ") + pathOf("Link"));
  EXPECT_EQ(readAll(victim), "the user's own file");
  EXPECT_EQ(targets().size(), 2u);  // record and size query, no slice

  // Under the final name: the link itself is replaced, its target untouched.
  ASSERT_TRUE(QFile::remove(pathOf(QStringLiteral("Link")) + ".part"));
  ASSERT_TRUE(QFile::link(victim, pathOf(QStringLiteral("Link"))));
  fakes.boxes.shown.clear();
  startWith(QStringLiteral("link"));
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_FALSE(QFileInfo(pathOf(QStringLiteral("Link"))).isSymLink());
  EXPECT_TRUE(fileBytes(QStringLiteral("Link")) == service::filmContent(f));
  EXPECT_EQ(readAll(victim), "the user's own file");
}

// Something happens while the second slice is under way: a second window starts the same
// film, the folder goes away, or another file of the same disk takes the work file's name.
TEST_F(FaultTest, WhileAFilmIsUnderWay) {
  enum Meanwhile { SecondWindow, FolderRemoved, WorkFileReplaced };
  for (const Meanwhile what : {SecondWindow, FolderRemoved, WorkFileReplaced}) {
    SCOPED_TRACE(what == SecondWindow    ? "second window"
                 : what == FolderRemoved ? "folder removed"
                                         : "work file replaced");
    reopenOn(QString::fromStdString(host));
    fakes.boxes.shown.clear();
    const QString chosen = folder.filePath(QStringLiteral("sub"));
    ASSERT_TRUE(QDir().mkpath(chosen));
    ASSERT_TRUE(w->directory->setPath(chosen));
    const service::FilmSpec f = threeSlices("kozben", "Közben", Fault::Slow);
    server.addFilm(f);

    FakeSeams otherSeams;
    std::unique_ptr<Form1> other;
    bool done = false;
    w->setYieldObserver([&](long long) {
      if (done ||
          w->loopItem.toString() != QString::fromStdString(service::sliceAddress(host, f, 1)))
        return;
      done = true;
      if (what == FolderRemoved) {
        ASSERT_TRUE(QDir(chosen).removeRecursively());
        return;
      }
      if (what == WorkFileReplaced) {
        const QString other = chosen + QStringLiteral("/other");
        QFile file(other);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("another file") == 12);
        file.close();
        ASSERT_EQ(
            std::rename(QFile::encodeName(other).constData(),
                        QFile::encodeName(chosen + QStringLiteral("/Közben_Zelvoweb.mpg.part"))
                            .constData()),
            0);
        return;
      }
      other = std::make_unique<Form1>(QString::fromStdString(host), otherSeams.seams());
      ASSERT_TRUE(other->directory->setPath(chosen));
      other->azonosito->setText(QStringLiteral("kozben"));
      QTest::mouseClick(other->Go, Qt::LeftButton);
    });
    startWith(QStringLiteral("kozben"));
    w->setYieldObserver({});
    ASSERT_TRUE(done);
    const QString path = chosen + QStringLiteral("/Közben_Zelvoweb.mpg");
    if (what == SecondWindow) {
      // The second one touched nothing; the first finished byte-exact.
      ASSERT_EQ(otherSeams.boxes.shown.size(), 1u);
      EXPECT_EQ(otherSeams.boxes.shown[0].text,
                QStringLiteral("Nem sikerült létrehozni a fájlt: ") + path);
      EXPECT_TRUE(fakes.boxes.shown.empty());
      EXPECT_EQ(w->info->text(), QStringLiteral("Kész: Közben.mpg"));
      EXPECT_TRUE(readAll(path) == service::filmContent(f));
    } else {
      expectFailedWith(QStringLiteral("Nem sikerült írni a fájlt: ") + path);
      EXPECT_FALSE(QFile::exists(path));
      EXPECT_EQ(readAll(path + ".part"), what == FolderRemoved ? "<missing>" : "another file");
    }
  }
}

// Two different films whose names come out the same: both kept; the same film twice: one.
TEST_F(FaultTest, FilmsOfOneRunNeverShareAFile) {
  const service::FilmSpec slash = service::makeFilm("per", "a/b", {20000});
  const service::FilmSpec colon = service::makeFilm("kettospont", "a:b", {30000});
  server.addFilm(slash);
  server.addFilm(colon);
  for (const char* id : {"per", "kettospont", "per"}) w->queue->addItem(QString::fromUtf8(id));
  QTest::mouseClick(w->q_letolt, Qt::LeftButton);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész"));
  EXPECT_TRUE(fileBytes(QStringLiteral("a_b")) == service::filmContent(slash));
  EXPECT_TRUE(fileBytes(QStringLiteral("a_b (2)")) == service::filmContent(colon));
  EXPECT_EQ(filesBelowFolder().size(), 2);
}

// A work file from an earlier run: continued when its last bytes are this film's, started
// over when they are not.
TEST_F(FaultTest, WorkFileOfAnEarlierRunIsContinuedOnlyWhenItIsThisFilm) {
  const service::FilmSpec& f = serviceFilm("nagy-folytatas");
  const QString name = QString::fromStdString(f.name);
  const std::string film = service::filmContent(f);
  const std::uint64_t have = 1536 * 1024;  // a whole slice and half of the next
  for (const bool own : {true, false}) {
    SCOPED_TRACE(own ? "own work file" : "another film's work file");
    server.clearLog();
    {
      QFile part(pathOf(name) + ".part");
      ASSERT_TRUE(part.open(QIODevice::WriteOnly | QIODevice::Truncate));
      const std::string earlier = own ? film.substr(0, have) : std::string(have, 'x');
      part.write(earlier.data(), qint64(earlier.size()));
    }
    QStringList shown;
    w->setYieldObserver([&](long long) {
      if (shown.isEmpty() || shown.last() != w->info->text()) shown << w->info->text();
    });
    startWith(QString::fromStdString(f.id));
    w->setYieldObserver({});
    EXPECT_TRUE(fakes.boxes.shown.empty());
    EXPECT_TRUE(fileBytes(name) == film);
    EXPECT_EQ(shown.contains(QStringLiteral("Folytatom: 1536 Kb megvan")), own);

    // Record and size query, the sizes of slices 0 and 1, the last 64 KiB of the work file;
    // then the rest of slice 1 and the slices after it, or the whole film again.
    std::vector<std::pair<std::string, std::string>> asked;
    for (const auto& r : server.requests())
      asked.emplace_back(r.target, r.header("Range").value_or(""));
    std::vector<std::pair<std::string, std::string>> expected = {
        {recordTarget(f), ""},
        {sliceTarget(f, 0), ""},
        {sliceTarget(f, 0), "bytes=0-0"},
        {sliceTarget(f, 1), "bytes=0-0"},
        {sliceTarget(f, 1), "bytes=458752-524287"}};
    if (own) {
      expected.push_back({sliceTarget(f, 1), "bytes=524288-"});
    } else {
      expected.push_back({sliceTarget(f, 0), ""});
      expected.push_back({sliceTarget(f, 1), ""});
    }
    expected.push_back({sliceTarget(f, 2), ""});
    expected.push_back({sliceTarget(f, 3), ""});
    EXPECT_EQ(asked, expected);
    ASSERT_TRUE(QFile::remove(pathOf(name)));
  }
}
