// Fault matrix, disk side: an output file that cannot be created, and one that cannot be
// written to the end (the file size limit standing in for a full disk, in a child process).
#include <QProcess>

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
};
void PrintTo(const NoSpaceRow& row, std::ostream* os) { *os << row.name; }

class NoSpace : public FaultTest, public ::testing::WithParamInterface<NoSpaceRow> {};

TEST_P(NoSpace, WriteFailureIsReportedAndOnlyWholeSlicesStay) {
  const NoSpaceRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.film);
  QProcess child;
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
  ASSERT_GE(sent.size(), 3 + row.wholeSlicesKept);
  for (std::size_t i = 2; i < sent.size(); ++i) EXPECT_EQ(sent[i], sliceTarget(f, i - 2));
}

const NoSpaceRow kNoSpaceRows[] = {
    // 1 MiB slices: the failing write cuts into the second slice, on the disk already.
    {"limit inside the second of four large slices", "dzsoni02", 1400000, 1},
    // 64 KiB slices: several whole slices still wait in the writer's buffer when it fails.
    {"limit inside the second of sixteen small slices", "sok-szelet", 100000, 1},
};
INSTANTIATE_TEST_SUITE_P(Matrix, NoSpace, ::testing::ValuesIn(kNoSpaceRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace
