// Fault matrix, disk side: an output file that cannot be created, and one that cannot be
// written to the end (the file size limit standing in for a full disk) or synced to the
// disk, in a child process.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <cstdio>

#include "download/film_logic.h"
#include "tests/fault_fixture.h"
#include "tests/stop_harness.h"

namespace {

// No names may be added or changed in the folder: its mode says so, and for root (whom
// modes do not stop) the file system's immutable flag.
void setUnwritable(const QString& folder, bool unwritable) {
  QFile::setPermissions(folder, unwritable ? QFileDevice::ReadOwner | QFileDevice::ExeOwner
                                           : QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ExeOwner);
  if (::geteuid() != 0) return;
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY);
  int flags = 0;
  if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags = unwritable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  if (fd >= 0) ::close(fd);
}

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
    // Nothing is fetched that could never take its name.
    {"a folder that cannot be written to, with a writable old work file",
     [](const QString& folder, const QString& file) {
       QFile old(file + ".part");
       old.open(QIODevice::WriteOnly);
       setUnwritable(folder, true);
     }},
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
  setUnwritable(chosen, false);
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
  QProcessEnvironment env;
  if (row.syncFails) {
    env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(FAIL_SYNC_PATH));
    // Under the sanitizers their runtime then no longer comes first, which is harmless here.
    env.insert(QStringLiteral("ASAN_OPTIONS"),
               env.value(QStringLiteral("ASAN_OPTIONS")) + ":verify_asan_link_order=0");
  }
  const ChildRun run = runStopChild(host, folder.path(), QString::fromStdString(f.id),
                                    {QStringLiteral("limit=%1").arg(row.limit)}, env);
  SCOPED_TRACE(run.out.toStdString());
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.code, 0);

  const QString path = pathOf(QString::fromStdString(f.name));
  const QStringList expected = {QStringLiteral("BOX Nem sikerült írni a fájlt: ") + path,
                                QStringLiteral("INFO Hiba történt"), QStringLiteral("GO Start!"),
                                QStringLiteral("BUSY 0"),
                                QStringLiteral("CAPTION Zelvo Letöltés kész")};
  EXPECT_EQ(run.lines(), expected);

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

// A rename that fails leaves the complete film in its marked work file: the next start
// renames it without fetching a slice.
TEST_F(FaultTest, CompleteWorkFileWhoseRenameFailedIsRenamedOnTheNextStart) {
  const service::FilmSpec f = service::makeFilm("atnevez", "Átnevezés", {100000, 100000});
  server.addFilm(f);
  const QString name = QString::fromStdString(f.name);
  const QString final = pathOf(name);
  // A folder takes the final name while the last slice comes in.
  w->setYieldObserver([&] {
    if (w->film().receivedBytes >= 150000 && !QFileInfo::exists(final)) QDir().mkdir(final);
  });
  startWith(QStringLiteral("atnevez"));
  w->setYieldObserver({});
  expectFailedWith(QStringLiteral("Nem sikerült írni a fájlt: ") + final);
  EXPECT_TRUE(fileBytes(name, QStringLiteral(".part")) == service::filmContent(f));

  ASSERT_TRUE(QDir().rmdir(final));
  server.clearLog();
  fakes.boxes.shown.clear();
  startWith(QStringLiteral("atnevez"));
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + ".mpg");
  EXPECT_TRUE(fileBytes(name) == service::filmContent(f));
  EXPECT_FALSE(QFile::exists(final + ".part"));
  EXPECT_EQ(targets(), (std::vector<std::string>{recordTarget(f), sliceTarget(f, 0)}));
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
  // Under the work file's name: the link gives way to a fresh file, its target untouched.
  ASSERT_TRUE(QFile::link(victim, pathOf(QStringLiteral("Link")) + ".part"));
  startWith(QStringLiteral("link"));
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_TRUE(fileBytes(QStringLiteral("Link")) == service::filmContent(f));
  EXPECT_EQ(readAll(victim), "the user's own file");

  // Under the final name: the link itself is replaced, its target untouched.
  ASSERT_TRUE(QFile::remove(pathOf(QStringLiteral("Link"))));
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
    w->setYieldObserver([&]() {
      if (done || w->film().loopItem.toString() !=
                      QString::fromStdString(service::sliceAddress(host, f, 1)))
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
      // The second one says so and touched nothing; the first finished byte-exact.
      ASSERT_EQ(otherSeams.boxes.shown.size(), 1u);
      EXPECT_EQ(otherSeams.boxes.shown[0].text,
                QStringLiteral("Ez a film már letöltés alatt áll: ") + path);
      EXPECT_EQ(other->info->text(), QStringLiteral("Hiba történt"));
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

// A work file from an earlier run, left by a stop: continued only when it is proven to be
// this film (by the slice's strong validator, else byte for byte at the film's start and
// over the work file's last 64 KiB, across slices), and only as far as the mark vouches for
// it; started over, in a fresh file, when it is not; left exactly as it was when a check
// meets a failure that may pass, after the slices' tries.
enum Then {
  Same,
  NewVersion,
  FirstSliceReplaced,
  MiddleSliceReplaced,  // the slice before the one the file ends in
  CheckBusy,
  CheckOdd,       // the first check gets an odd answer (EarlierRow::odd) once
  ZerosAppended,  // what a crash can leave past the marked length
  CutShort,       // the file lost its last EarlierRow::cut bytes
  Planted
};
struct EarlierRow {
  const char* name;
  const char* id;
  std::uint64_t stopAt;
  Then then;
  Fault odd = Fault::None;
  std::uint64_t cut = 0;
};
void PrintTo(const EarlierRow& row, std::ostream* os) { *os << row.name; }
class EarlierWorkFile : public FaultTest, public ::testing::WithParamInterface<EarlierRow> {};

TEST_P(EarlierWorkFile, WorkFileOfAnEarlierRunIsContinuedOnlyWhenItIsThisFilm) {
  using Asked = std::vector<std::pair<std::string, std::string>>;  // target, Range (If-Range)
  const EarlierRow& row = GetParam();
  service::FilmSpec f = serviceFilm(row.id);
  const QString name = QString::fromStdString(f.name);
  const QString work = pathOf(name) + ".part";
  server.addFilm(f);
  // The earlier run, stopped once stopAt bytes were in (reads end where the network's
  // pieces do, so a few more may be).
  w->setYieldObserver([&]() {
    if (w->isDownloading && w->film().receivedBytes >= std::int64_t(row.stopAt))
      QTest::mouseClick(w->Go, Qt::LeftButton);
  });
  startWith(QString::fromStdString(f.id));
  reopenOn(QString::fromStdString(host));
  const std::uint64_t have = std::uint64_t(QFileInfo(work).size());
  ASSERT_TRUE(have >= row.stopAt && have < row.stopAt + 65536) << have;
  std::string earlier = service::filmContent(f).substr(0, have);
  ASSERT_TRUE(fileBytes(name, ".part") == earlier);
  if (row.then == Planted) {
    QFile::remove(work);
    QFile part(work);
    ASSERT_TRUE(part.open(QIODevice::WriteOnly));
    part.write(earlier.data(), qint64(earlier.size()));
  }
  if (row.then == ZerosAppended) {
    QFile part(work);
    ASSERT_TRUE(part.open(QIODevice::Append));
    part.write(QByteArray(65536, '\0'));
  }
  if (row.then == CutShort) {
    ASSERT_TRUE(QFile::resize(work, qint64(have - row.cut)));
    earlier.resize(have - row.cut);
  }
  const std::uint64_t length = earlier.size();
  const std::uint64_t size = f.slices[0].size;  // even slices
  const std::size_t last = std::size_t(length / size);  // the slice the file ends in
  const std::uint64_t held = length - last * size;      // and what it holds of it
  if (row.then == NewVersion) f.version = "2";
  if (row.then == FirstSliceReplaced) f.slices[0].changeAfter = 0;
  if (row.then == MiddleSliceReplaced) f.slices[last - 1].changeAfter = 0;
  if (row.then == CheckBusy) f.slices[last].fault = Fault::Unavailable;
  if (row.then == CheckOdd) {  // the size query and the slice's answer were its first two
    f.slices[0].fault = row.odd;
    f.slices[0].faultTimes = 4;
  }
  server.addFilm(f);
  server.clearLog();
  fakes.boxes.shown.clear();

  QStringList shown;
  w->setYieldObserver([&]() {
    if (shown.isEmpty() || shown.last() != w->info->text()) shown << w->info->text();
  });
  startWith(QString::fromStdString(f.id));
  w->setYieldObserver({});
  Asked asked;
  for (const auto& r : server.requests()) {
    const std::string ifRange = r.header("If-Range") ? " (If-Range)" : "";
    asked.emplace_back(r.target, r.header("Range").value_or("") + ifRange);
  }
  const auto range = [&](std::size_t slice, std::uint64_t first, std::uint64_t lastByte) {
    return Asked::value_type{sliceTarget(f, slice), "bytes=" + std::to_string(first) + "-" +
                                                        (lastByte ? std::to_string(lastByte) : "")};
  };
  // Only a strong validator proves anything.
  const bool validated = f.validator == service::Validator::ETag ||
                         f.validator == service::Validator::LastModified;
  const auto proveByTag = [&](std::size_t slice) {
    return Asked::value_type{sliceTarget(f, slice), "bytes=0-0 (If-Range)"};
  };
  Asked expected = {{recordTarget(f), ""}, {sliceTarget(f, 0), ""}};
  if (row.then != Planted) {
    if (last > 0 || (!validated && length > 65536)) {
      expected.push_back(validated ? proveByTag(0) : range(0, 0, 65535));
      if (row.then == CheckOdd && row.odd != Fault::RangeIgnored) expected.push_back(expected.back());
    }
    if (row.then != FirstSliceReplaced && last > 0 && held < 65536)
      expected.push_back(validated ? proveByTag(last - 1)
                                   : range(last - 1, size - (65536 - held), size - 1));
  }
  // What continues the slice the file ends in proves its held bytes itself.
  auto continued = range(last, validated ? held : held - std::min<std::uint64_t>(held, 65536), 0);
  if (validated) continued.second += " (If-Range)";
  if (row.then == CheckBusy) {
    for (int i = 0; i < 4; ++i) expected.push_back(continued);
    EXPECT_EQ(asked, expected);
    expectFailedWith(sliceFailure(int(last) + 1));
    expectOnlyWorkFile(name, earlier);
    return;
  }
  const bool resumed =
      row.then == Same || row.then == CheckOdd || row.then == ZerosAppended || row.then == CutShort;
  if (resumed) expected.push_back(continued);
  for (std::size_t i = resumed ? last + 1 : 0; i < f.slices.size(); ++i)
    expected.push_back({sliceTarget(f, i), ""});
  EXPECT_EQ(asked, expected);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  std::string film;
  for (std::size_t i = 0; i < f.slices.size(); ++i)
    film += service::sliceContent(f, i,
                                  (i == 0 && row.then == FirstSliceReplaced) ||
                                      (i + 1 == last && row.then == MiddleSliceReplaced));
  EXPECT_TRUE(fileBytes(name) == film);
  // What the work file holds: the stop comes at the first yield past stopAt.
  const QString resumeText =
      QStringLiteral("Folytatom: %1Kb megvan")
          .arg(download::formatNumber(download::roundHalfEven(double(length) / 1024),
                                      download::userDecimalSeparator()));
  EXPECT_EQ(shown.contains(resumeText), resumed);
  // The progress of a continued film counts the bytes it already had.
  if (resumed) {
    const QRegularExpression figures(QStringLiteral("^(\\d+)Kb/"));
    for (const QString& text : shown.mid(shown.indexOf(resumeText)))
      if (const auto m = figures.match(text); m.hasMatch()) {
        EXPECT_GE(m.captured(1).toULongLong(), length / 1024) << text.toStdString();
      }
    EXPECT_FALSE(shown.filter(figures).isEmpty());
  }
}

constexpr std::uint64_t MiB = 1024 * 1024;
INSTANTIATE_TEST_SUITE_P(
    Rows, EarlierWorkFile,
    ::testing::Values(
        EarlierRow{"own work file, no validator", "nagy-folytatas", 1536 * 1024, Same},
        EarlierRow{"own work file inside the first slice, no validator", "nagy-folytatas",
                   512 * 1024, Same},
        // Its last 64 KiB reach into the slice before: the mark keeps where that one starts.
        EarlierRow{"own work file 50,000 bytes into its last slice", "nagy-folytatas",
                   3 * MiB + 50000, Same},
        EarlierRow{"own work file, ETag", "cimkes", 384 * 1024, Same},
        EarlierRow{"own work file, Last-Modified", "datumos", 384 * 1024, Same},
        // Neither is a validator: compared byte for byte, never sent in If-Range.
        EarlierRow{"own work file, weak ETag", "gyenge-cimkes", 384 * 1024, Same},
        EarlierRow{"own work file, Last-Modified 10 s before Date", "friss-datumos", 384 * 1024,
                   Same},
        EarlierRow{"film replaced on the host, ETag", "cimkes", 384 * 1024, NewVersion},
        EarlierRow{"first slice replaced, no validator", "nagy-folytatas", 1536 * 1024,
                   FirstSliceReplaced},
        EarlierRow{"slice before the last replaced, no validator", "nagy-folytatas",
                   3 * MiB + 50000, MiddleSliceReplaced},
        EarlierRow{"a check meets a passing 503", "nagy-folytatas", 1536 * 1024, CheckBusy},
        EarlierRow{"a check answered with another range once", "nagy-folytatas", 1536 * 1024,
                   CheckOdd, Fault::OtherRange},
        EarlierRow{"a check answered with the whole slice once", "nagy-folytatas", 1536 * 1024,
                   CheckOdd, Fault::RangeIgnored},
        EarlierRow{"a check answered with half its range once", "nagy-folytatas", 1536 * 1024,
                   CheckOdd, Fault::CloseEarly},
        EarlierRow{"zeros past the length the mark vouches for", "nagy-folytatas", 1536 * 1024,
                   ZerosAppended},
        EarlierRow{"work file cut short into the slice before", "nagy-folytatas", 1536 * 1024,
                   CutShort, Fault::None, 600 * 1024},
        EarlierRow{"a file planted under the work name", "nagy-folytatas", 1536 * 1024, Planted}),
    [](const auto& info) { return caseName(info.param.name); });
