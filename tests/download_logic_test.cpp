// Figures, texts, record splitting, file naming and the output writer.
#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "download/film_logic.h"

namespace {
// A whole progress update: the figures, then their texts.
download::Progress progressFigures(std::int64_t received, double totalKb, double barFull,
                                   QChar sep) {
  const download::Progress n = download::progressNumbers(received, totalKb, barFull);
  download::Progress p = download::progressTexts(received, totalKb, n.percentDone, sep);
  p.barWidth = n.barWidth;
  return p;
}
}  // namespace
#include "download/output_file.h"
#include "download/proof.h"
#include "download/retry.h"
#include "tests/qt_print.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <vector>

using namespace download;

namespace {

TEST(Rounding, HalvesGoToTheEvenNeighbour) {
  const struct {
    double in, out;
  } rows[] = {
      {2.5, 2},    {3.5, 4},    {0.5, 0},          {1.5, 2},        {-2.5, -2},
      {2.4999, 2}, {2.5001, 3}, {2929.6875, 2930}, {853.3333, 853},
  };
  for (const auto& r : rows) EXPECT_EQ(roundHalfEven(r.in), r.out) << r.in;
}

TEST(NumberText, ShortestFormWithTheGivenSeparator) {
  const struct {
    double in;
    char sep;
    const char* out;
  } rows[] = {
      {2930, '.', "2930"}, {21.33, '.', "21.33"},     {21.33, ',', "21,33"},
      {100, ',', "100"},   {0.5, ',', "0,5"},         {-0.0, '.', "0"},
      {2.1, '.', "2.1"},   {4194304, '.', "4194304"}, {1e15, '.', "1000000000000000"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(formatNumber(r.in, QLatin1Char(r.sep)), QString::fromLatin1(r.out)) << r.in;
}

TEST(Summary, WorkedExampleAndLargeFilms) {
  EXPECT_EQ(expectedKb(1000000, 3), 2930);
  EXPECT_EQ(summaryText(QStringLiteral("3"), expectedKb(1000000, 3), QLatin1Char('.')),
            QStringLiteral("3 szeletből áll és 2930Kb összesen"));
  // The count is shown as the server wrote it.
  EXPECT_EQ(summaryText(QStringLiteral("03"), 5, QLatin1Char('.')),
            QStringLiteral("03 szeletből áll és 5Kb összesen"));
  // ... within the bound of every server text shown.
  EXPECT_EQ(
      summaryText(QString(16 * 1024 * 1024, '0') + '2', 5, QLatin1Char('.')),
      shownText(QString(16 * 1024 * 1024, '0')) + QStringLiteral(" szeletből áll és 5Kb összesen"));
  // Past 2 GiB the product must not wrap.
  EXPECT_EQ(expectedKb(std::int64_t(1) << 31, 3), 6291456);
  // Sizes landing exactly on a half Kb go to the even neighbour.
  const struct {
    std::int64_t sliceSize, count;
    double kb;
  } halves[] = {
      {10752, 1, 10},
      {5888, 2, 12},
  };
  for (const auto& h : halves) EXPECT_EQ(expectedKb(h.sliceSize, h.count), h.kb) << h.sliceSize;
}

TEST(Progress, WorkedExample) {
  const Progress p = progressFigures(640000, 2930, 4000, QLatin1Char('.'));
  EXPECT_EQ(p.barWidth, 853);
  EXPECT_DOUBLE_EQ(p.percentDone, 21.33);
  EXPECT_EQ(p.infoText, QStringLiteral("625Kb/2930Kb 21.33%"));
  EXPECT_EQ(p.caption, QStringLiteral("Zelvo 21.33%"));
  EXPECT_EQ(progressFigures(640000, 2930, 4000, QLatin1Char(',')).infoText,
            QStringLiteral("625Kb/2930Kb 21,33%"));
}

TEST(Progress, RoundsToTheNearestWithHalvesToEven) {
  const struct {
    std::int64_t received;
    double totalKb, barFull, bar, percent;
    const char* info;
  } rows[] = {
      {1000000, 2930, 4000, 1333, 33.33, "977Kb/2930Kb 33.33%"},  // hundredths round up
      {2560, 10, 10, 2, 25, "2Kb/10Kb 25%"},                      // bar and Kb on a half
      {32, 1, 16, 0, 3.12, "0Kb/1Kb 3.12%"},                      // bar and hundredths on a half
  };
  for (const auto& r : rows) {
    const Progress p = progressFigures(r.received, r.totalKb, r.barFull, QLatin1Char('.'));
    EXPECT_EQ(p.barWidth, r.bar) << r.received;
    EXPECT_DOUBLE_EQ(p.percentDone, r.percent) << r.received;
    EXPECT_EQ(p.infoText, QString::fromLatin1(r.info)) << r.received;
  }
}

// The slice loop reads many 64-byte units at once. Against a reader of 64 bytes at a time
// that sees the same pieces arrive (each piece drained before the next, a slice ended by
// an empty read): the same reads counted, the figures updated at the same byte counts.
TEST(Progress, LargeReadsUpdateAtTheBytesOf64ByteReads) {
  struct Updates {
    std::vector<std::int64_t> at;  // receivedBytes at each update
    std::int32_t left = 0;         // readsSinceUpdate at the end
  };
  auto read = [](const std::vector<std::vector<std::uint32_t>>& slices, bool large) {
    Updates u;
    std::int64_t received = 0;
    auto count = [&](std::uint32_t n) {
      u.left += large ? readUnits(n) : 1;
      received += n;
      if (u.left == kReadsPerUpdate) {
        u.left = 0;
        u.at.push_back(received);
      }
    };
    for (const auto& pieces : slices) {
      for (std::uint32_t piece : pieces) {
        while (piece > 0) {
          const std::uint32_t n = std::min(piece, large ? readSizeFor(u.left) : kReadUnit);
          count(n);
          piece -= n;
        }
      }
      count(0);
    }
    return u;
  };
  const std::vector<std::vector<std::vector<std::uint32_t>>> rows = {
      {{640000}},                       // the worked example's 10,000 full reads
      {{100000, 100000}, {100000}},     // the empty reads count across slices
      {{6399, 1, 6401, 63, 65}},        // pieces that end just off a hundred
      {{1, 1, 1, 1, 1, 1, 1, 1, 6400}},  // short reads, each one of the hundred
      {{}, {64 * 99}, {64}},            // an empty slice, then a hundred ended by one
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Updates small = read(rows[i], false), large = read(rows[i], true);
    EXPECT_EQ(large.at, small.at) << "row " << i;
    EXPECT_EQ(large.left, small.left) << "row " << i;
  }
  EXPECT_EQ(read(rows[0], true).at.size(), 100u);
  EXPECT_EQ(readSizeFor(0), 6400u);
  EXPECT_EQ(readSizeFor(99), 64u);
}

TEST(Progress, NotClampedAndCorrectPastTwoGiB) {
  // Later slices larger than the first push past 100 %.
  const Progress over = progressFigures(2 * 1024 * 1024, 1024, 3900, QLatin1Char('.'));
  EXPECT_EQ(over.percentDone, 200);
  EXPECT_EQ(over.barWidth, 7800);
  const std::int64_t threeGiB = std::int64_t(3) << 30;
  const Progress big = progressFigures(threeGiB, 4 * 1024 * 1024, 3900, QLatin1Char('.'));
  EXPECT_EQ(big.percentDone, 75);
  EXPECT_EQ(big.infoText, QStringLiteral("3145728Kb/4194304Kb 75%"));
}

struct RecordRow {
  const char* name;
  const char* reply;
  RecordStatus status;
  int count;
  int addresses;
};

TEST(Record, SplitsAndValidates) {
  const RecordRow rows[] = {
      {"normal", "ref|3|Film*h/a|h/b|h/c", RecordStatus::Ok, 3, 3},
      {"refusal with empty part 1", "ref|0|Nincs ilyen*", RecordStatus::Ok, 0, 1},
      {"extra parts and fields", "ref|2|Film|x|y*h/a|h/b*junk*more", RecordStatus::Ok, 2, 2},
      {"trailing bar gives an empty address", "ref|1|F*h/a|", RecordStatus::Ok, 1, 2},
      {"count differs from addresses", "ref|5|F*h/a", RecordStatus::Ok, 5, 1},
      {"empty", "", RecordStatus::Empty, 0, 0},
      {"no star", "ref|3|Film", RecordStatus::Malformed, 0, 0},
      {"two fields", "ref|3*h/a", RecordStatus::Malformed, 0, 1},
      {"count not a number", "ref|abc|F*h/a", RecordStatus::Malformed, 0, 1},
      {"negative count", "ref|-1|F*h/a", RecordStatus::Malformed, 0, 1},
      {"empty count", "ref||F*h/a", RecordStatus::Malformed, 0, 1},
      {"count past 32 bits", "ref|4294967296|F*h/a", RecordStatus::Malformed, 0, 1},
  };
  for (const RecordRow& r : rows) {
    SCOPED_TRACE(r.name);
    FilmRecord rec;
    EXPECT_EQ(parseRecord(QString::fromUtf8(r.reply), rec), r.status);
    EXPECT_EQ(rec.sliceUrls.size(), r.addresses);
    if (r.status == RecordStatus::Ok) {
      EXPECT_EQ(rec.sliceCount, r.count);
      EXPECT_EQ(rec.referrerUrl, QStringLiteral("ref"));
    }
  }
  FilmRecord rec;
  ASSERT_EQ(parseRecord(QStringLiteral("r|1|Égigérő fa|x*h/a"), rec), RecordStatus::Ok);
  EXPECT_EQ(rec.filmFields.value(2), QStringLiteral("Égigérő fa"));
  EXPECT_EQ(rec.recordParts.size(), 2);
}

TEST(ByteCount, WholeNonNegativeNumbersOnly) {
  EXPECT_EQ(parseByteCount("10000"), 10000);
  EXPECT_EQ(parseByteCount(" 9999 "), 9999);
  EXPECT_EQ(parseByteCount("1000000000000"), 1000000000000LL);
  for (const char* bad : {"", "abc", "-5", "1e3", "12.5", "0x10", "99999999999999999999"})
    EXPECT_FALSE(parseByteCount(QString::fromLatin1(bad)).has_value()) << bad;
}

TEST(FileName, UnsafeNamesAreMadeSafe) {
  const struct {
    const char* in;
    const char* out;
  } rows[] = {
      {"Égigérő fa", "Égigérő fa_Zelvoweb.mpg"},
      {"a/b\\c", "a_b_c_Zelvoweb.mpg"},
      {"..", "film_Zelvoweb.mpg"},
      {".", "film_Zelvoweb.mpg"},
      {"", "film_Zelvoweb.mpg"},
      {"../../etc/passwd", ".._.._etc_passwd_Zelvoweb.mpg"},
      {"a:b*c?d\"e<f>g|h", "a_b_c_d_e_f_g_h_Zelvoweb.mpg"},
      {"tab\there\x01", "tab_here__Zelvoweb.mpg"},
      {"CON", "_CON_Zelvoweb.mpg"},
      {"con.txt", "_con.txt_Zelvoweb.mpg"},
      {"LPT9", "_LPT9_Zelvoweb.mpg"},
      {"COM0", "COM0_Zelvoweb.mpg"},
      {"CONSOLE", "CONSOLE_Zelvoweb.mpg"},
      {"name.", "name__Zelvoweb.mpg"},
      {"name ", "name__Zelvoweb.mpg"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(outputFileName(QString::fromUtf8(r.in)), QString::fromUtf8(r.out)) << r.in;
}

TEST(FileName, C1ControlCharactersAreReplaced) {
  // Found by fuzz_filename: U+0080..U+009F are control characters too.
  EXPECT_EQ(outputFileName(QString::fromUtf8("a\u0085b\u0088c\u009f")),
            QStringLiteral("a_b_c__Zelvoweb.mpg"));
  EXPECT_EQ(outputFileName(QString::fromUtf8("\u00a0\u00e9")),
            QString::fromUtf8("\u00a0\u00e9_Zelvoweb.mpg"));  // the letters after them stay
}

TEST(FileName, LongNamesFitIn255BytesWithoutBreakingACharacter) {
  for (const QString& name : {QString(300, QLatin1Char('a')), QString(300, QChar(0x0151)),
                              QString(150, QChar(0xD83C)).replace(QChar(0xD83C), "🎬"),
                              QString(16 * 1024 * 1024, QChar(0x0151))}) {
    const QString file = outputFileName(name);
    const QByteArray bytes = file.toUtf8();
    EXPECT_LE(bytes.size(), 255);
    EXPECT_GE(bytes.size(), 252);
    EXPECT_TRUE(file.endsWith(QStringLiteral("_Zelvoweb.mpg")));
    EXPECT_EQ(QString::fromUtf8(bytes).toUtf8(), bytes);
    EXPECT_FALSE(file.contains(QChar(QChar::ReplacementCharacter)));
    // Only the work file's name is shortened, and only as far as it must be.
    const QByteArray work = workFileName(file).toUtf8();
    EXPECT_LE(work.size(), 255);
    EXPECT_GE(work.size(), 252);
    EXPECT_TRUE(work.endsWith(".part"));
    EXPECT_TRUE(bytes.startsWith(work.chopped(5)));
    EXPECT_EQ(QString::fromUtf8(work).toUtf8(), work);
  }
  EXPECT_EQ(workFileName(QStringLiteral("a_Zelvoweb.mpg")), QStringLiteral("a_Zelvoweb.mpg.part"));
}

TEST(ShownText, CutToItsBoundWithControlCharactersReplaced) {
  const QString pair = QStringLiteral("🎬");
  const struct {
    const char* name;
    QString in;
    QString out;
  } rows[] = {
      {"short text unchanged", "Kész", "Kész"},
      {"line feed and tab kept, others replaced", "a\nb\tc\x1b[1m\x07\r\u0085",
       "a\nb\tc\uFFFD[1m\uFFFD\uFFFD\uFFFD"},
      {"exactly at the bound", QString(4000, 'x'), QString(4000, 'x')},
      {"one past the bound", QString(4001, 'x'), QString(3999, 'x') + QChar(0x2026)},
      {"a pair at the cut stays whole", QString(3998, 'x') + pair + "y",
       QString(3998, 'x') + QChar(0x2026)},
      {"CRLF is a line end, a lone CR is not", "egy\r\nkettő\r\n\rhárom\r",
       "egy\nkettő\n\uFFFDhárom\uFFFD"},
      {"a CR cut from its LF still ends the line", QString(3998, 'x') + "\r\ny",
       QString(3998, 'x') + QChar(0x2026)},
  };
  for (const auto& r : rows) EXPECT_EQ(shownText(r.in), r.out) << r.name;
  EXPECT_EQ(shownText(QString(16 * 1024 * 1024, 'x')).size(), kShownChars);
}

TEST(FileName, PathAlwaysLiesInsideTheFolder) {
  EXPECT_EQ(outputPath("/", "x"), QStringLiteral("/x_Zelvoweb.mpg"));
  EXPECT_EQ(outputPath("/tmp/a", "x"), QStringLiteral("/tmp/a/x_Zelvoweb.mpg"));
  EXPECT_EQ(outputPath("/tmp/a/", "x"), QStringLiteral("/tmp/a/x_Zelvoweb.mpg"));
  for (const char* name : {"..", "../x", "/etc/x", "a/../../b", "\\..\\y"}) {
    const QFileInfo info(outputPath("/tmp/films", QString::fromUtf8(name)));
    EXPECT_EQ(QDir::cleanPath(info.absolutePath()), QStringLiteral("/tmp/films")) << name;
  }
}

TEST(OutputFile, WritesTheWorkFileAndRenamesOnlyACompleteFilm) {
  QTemporaryDir tmp;
  const QString final = tmp.filePath("out.bin");
  const QString work = final + ".part";
  for (const QString& path : {final, work}) {
    QFile old(path);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old contents that must go");
  }
  OutputFile out;
  ASSERT_TRUE(out.open(tmp.path(), "out.bin", {}) == OutputFile::Opened::Fresh);
  EXPECT_EQ(QFileInfo(work).size(), 0);    // an old work file gives way to a fresh one
  const std::string big(300 * 1024, 'x');  // more than one buffer
  ASSERT_TRUE(out.write("abc", 3));
  ASSERT_TRUE(out.write(big.data(), big.size()));
  EXPECT_EQ(out.size(), 3 + big.size());
  ASSERT_TRUE(out.truncate(3 + 10));  // back into flushed data
  ASSERT_TRUE(out.write("Z", 1));
  ASSERT_TRUE(out.truncate(out.size()));
  EXPECT_FALSE(out.truncate(out.size() + 1));
  ASSERT_TRUE(out.flush());
  QFile earlier(final);
  ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
  EXPECT_EQ(earlier.readAll(), QByteArray("old contents that must go"));  // untouched so far
  ASSERT_TRUE(out.commit());
  EXPECT_FALSE(QFile::exists(work));
  QFile in(final);
  ASSERT_TRUE(in.open(QIODevice::ReadOnly));
  EXPECT_EQ(in.readAll(), QByteArray("abc") + QByteArray(10, 'x') + "Z");

  // Closed without commit: the work file keeps its bytes, the final name stays as it was.
  ASSERT_TRUE(out.open(tmp.path(), "out.bin", {}) == OutputFile::Opened::Fresh);
  ASSERT_TRUE(out.write("partial", 7));
  ASSERT_TRUE(out.close());
  EXPECT_EQ(QFileInfo(work).size(), 7);
  EXPECT_EQ(QFileInfo(final).size(), 14);
}

// Each row puts something under the work file's (or the final) name. What is not the
// user's, or is held by another download, is refused; anything else of the user's that is
// not this film's work file gives way to a fresh file. What it led to stays as it was.
TEST(OutputFile, NeverWritesThroughWhatIsNotItsOwnPlainWorkFile) {
  enum Planted { Missing, Link, HardLink, Fifo, Locked, FolderAtFinal, Stranger, Unmarked };
  const struct {
    const char* name;
    Planted what;
    bool refused;
  } rows[] = {{"missing folder", Missing, true},
              {"symbolic link as work file", Link, false},
              {"hard link as work file", HardLink, false},
              {"FIFO as work file", Fifo, false},
              {"work file locked by another download", Locked, true},
              {"folder under the final name", FolderAtFinal, true},
              {"another user's work file", Stranger, true},
              {"work file without this film's mark", Unmarked, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.what == Stranger && ::geteuid() != 0) continue;  // only root can plant it
    QTemporaryDir tmp;
    const QString victim = tmp.filePath("victim");
    {
      QFile v(victim);
      ASSERT_TRUE(v.open(QIODevice::WriteOnly));
      v.write("victim");
    }
    QString folder = tmp.path();
    const QString work = tmp.filePath("f.mpg.part");
    const QByteArray workPath = QFile::encodeName(work);
    OutputFile other;
    switch (row.what) {
      case Missing: folder = tmp.filePath("missing/dir"); break;
      case Link: ASSERT_TRUE(QFile::link(victim, work)); break;
      case HardLink:
        ASSERT_EQ(::link(QFile::encodeName(victim).constData(), workPath.constData()), 0);
        break;
      case Fifo: ASSERT_EQ(::mkfifo(workPath.constData(), 0644), 0); break;
      case Locked:
        ASSERT_EQ(other.open(tmp.path(), "f.mpg", "film"), OutputFile::Opened::Fresh);
        ASSERT_TRUE(other.write("theirs", 6));
        ASSERT_TRUE(other.flush());
        break;
      case FolderAtFinal: ASSERT_TRUE(QDir(tmp.path()).mkdir("f.mpg")); break;
      case Stranger:
      case Unmarked:
        ASSERT_TRUE(QFile::copy(victim, work));
        if (row.what == Stranger) {
          ASSERT_EQ(::chown(workPath.constData(), 65534, 65534), 0);
        }
        break;
    }
    OutputFile out;
    WorkMark mark;
    const OutputFile::Opened opened = out.open(folder, "f.mpg", "film", &mark);
    EXPECT_EQ(opened, row.what == Locked ? OutputFile::Opened::Busy
                      : row.refused      ? OutputFile::Opened::Refused
                                         : OutputFile::Opened::Fresh);
    EXPECT_EQ(out.write("a", 1), !row.refused);
    out.close();
    QFile v(victim);
    ASSERT_TRUE(v.open(QIODevice::ReadOnly));
    EXPECT_EQ(v.readAll(), QByteArray("victim"));
    const qint64 left = row.what == Locked ? 6 : row.refused ? -1 : 1;  // -1: not looked at
    if (left >= 0) {
      EXPECT_EQ(QFileInfo(work).size(), left);
    }
  }
}

// Only a work file marked for this film is continued; one of another film's is never
// emptied in place: a second name of it keeps its bytes.
TEST(OutputFile, ContinuesOnlyAWorkFileMarkedForThisFilm) {
  QTemporaryDir tmp;
  const QString work = tmp.filePath("f.mpg.part");
  const QString linked = tmp.filePath("linked");
  WorkMark written;
  written.slice = 2;
  written.sliceStart = 300;
  written.slices = {{0, 150, "\"v1\""}, {1, 150, {}}, {2, 0, "Tue, 08 Dec 2026 10:00:00 GMT"}};
  for (const char* key : {"film A", "film B"}) {
    OutputFile out;
    ASSERT_EQ(out.open(tmp.path(), "f.mpg", key), OutputFile::Opened::Fresh);
    EXPECT_EQ(out.size(), 0u);
    ASSERT_TRUE(out.write("abc", 3));
    ASSERT_TRUE(out.setMark(written));
    if (key[5] == 'A') {  // a second name for the first film's work file
      ASSERT_EQ(::link(QFile::encodeName(work).constData(), QFile::encodeName(linked).constData()),
                0);
    }
  }
  EXPECT_EQ(QFileInfo(linked).size(), 3);

  OutputFile out;
  WorkMark mark;
  ASSERT_EQ(out.open(tmp.path(), "f.mpg", "film B", &mark), OutputFile::Opened::Kept);
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(mark.key, QByteArray("film B"));
  EXPECT_EQ(mark.slice, 2);
  EXPECT_EQ(mark.sliceStart, 300u);
  ASSERT_EQ(mark.slices.size(), 3u);
  EXPECT_EQ(mark.slices[0].validator, QByteArray("\"v1\""));
  EXPECT_EQ(mark.slices[1].total, 150u);
  EXPECT_EQ(mark.slices[2].validator, QByteArray("Tue, 08 Dec 2026 10:00:00 GMT"));
  ASSERT_TRUE(out.close());
  // A second name makes it no work file of ours: started afresh, the other name keeps it.
  const QString second = tmp.filePath("second");
  ASSERT_EQ(::link(QFile::encodeName(work).constData(), QFile::encodeName(second).constData()), 0);
  ASSERT_EQ(out.open(tmp.path(), "f.mpg", "film B"), OutputFile::Opened::Fresh);
  EXPECT_EQ(QFileInfo(second).size(), 3);
  ASSERT_TRUE(out.write("abc", 3));
  ASSERT_TRUE(out.setMark(written));
  ASSERT_TRUE(out.close());
  ASSERT_EQ(out.open(tmp.path(), "f.mpg", "film B"), OutputFile::Opened::Kept);
  ASSERT_TRUE(out.startOver());
  EXPECT_EQ(out.size(), 0u);
  EXPECT_EQ(QFileInfo(work).size(), 0);

  // Two films whose file names had to be cut alike still have different keys.
  EXPECT_NE(workKey("a", "long name 1", {"h/z/s/a/0"}), workKey("a", "long name 2", {"h/z/s/a/0"}));
  EXPECT_FALSE(WorkMark::decode("zelvo-work 2\nkey 00\nat x 0\nlen 0\n"));
  // A mark without a length vouches for nothing.
  EXPECT_FALSE(WorkMark::decode("zelvo-work 1\nkey 00\nat 0 0\n"));
}

// The mark vouches for a length only once those bytes are on the disk; a cut lowers it.
TEST(OutputFile, TheMarkVouchesOnlyForBytesOnTheDisk) {
  QTemporaryDir tmp;
  WorkMark m;
  m.slice = 1;
  m.sliceStart = 4;
  const auto reopened = [&](std::uint64_t& size) {
    OutputFile again;
    WorkMark found;
    EXPECT_EQ(again.open(tmp.path(), "f.mpg", "k", &found), OutputFile::Opened::Kept);
    size = again.size();
    EXPECT_EQ(found.slice, 1);
    return found.length;
  };
  std::uint64_t size = 0;
  {
    OutputFile out;
    ASSERT_EQ(out.open(tmp.path(), "f.mpg", "k"), OutputFile::Opened::Fresh);
    ASSERT_TRUE(out.write("abcdef", 6));
    ASSERT_TRUE(out.setMark(m));
    ASSERT_TRUE(out.close());
  }
  EXPECT_EQ(reopened(size), 0u);  // written, never synced
  EXPECT_EQ(size, 6u);
  {
    OutputFile out;
    ASSERT_EQ(out.open(tmp.path(), "f.mpg", "k"), OutputFile::Opened::Kept);
    ASSERT_TRUE(out.sync());
    ASSERT_TRUE(out.write("gh", 2));
    ASSERT_TRUE(out.close());
  }
  EXPECT_EQ(reopened(size), 6u);
  EXPECT_EQ(size, 8u);
  {
    OutputFile out;
    ASSERT_EQ(out.open(tmp.path(), "f.mpg", "k"), OutputFile::Opened::Kept);
    ASSERT_TRUE(out.truncate(5));
    ASSERT_TRUE(out.write("XYZ", 3));
    ASSERT_TRUE(out.close());
  }
  EXPECT_EQ(reopened(size), 5u);  // the bytes written after the cut are not vouched for
  EXPECT_EQ(size, 8u);
}

TEST(OutputFile, ReportsAWorkFileGoneAndAFullDisk) {
  QTemporaryDir tmp;
  OutputFile out;
  ASSERT_TRUE(out.open(tmp.path(), "f.mpg", {}) == OutputFile::Opened::Fresh);
  ASSERT_TRUE(out.write("abc", 3));
  ASSERT_TRUE(QFile::remove(tmp.filePath("f.mpg.part")));
  EXPECT_FALSE(out.commit());
  EXPECT_FALSE(QFile::exists(tmp.filePath("f.mpg")));
  out.close();

  // A file size limit stands in for a full disk (each test runs in its own process).
  ASSERT_TRUE(out.open(tmp.path(), "g.mpg", {}) == OutputFile::Opened::Fresh);
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit limit = before;
  limit.rlim_cur = 2;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  EXPECT_TRUE(out.write("abc", 3));  // buffered
  EXPECT_FALSE(out.flush());
  EXPECT_EQ(out.onDisk(), 2u);
  EXPECT_FALSE(out.commit());
  ::setrlimit(RLIMIT_FSIZE, &before);
  EXPECT_FALSE(QFile::exists(tmp.filePath("g.mpg")));
}

}  // namespace

namespace {

// The one rule for held bytes: each row is a question a stage asks, and the answer it must get.
TEST(HeldBytes, KeptOnlyWithAProof) {
  using K = Judgement;
  using B = Evidence::Bytes;
  const QByteArray tag = "\"v1\"";
  const Held plain{1000, 5000, {}}, tagged{1000, 5000, tag};
  Asked retry;  // a retry without validator: from 64 KiB before the held end (here: 0)
  retry.ranged = true;
  Asked ifRange = retry;  // with the validator: from the held end
  ifRange.first = 1000;
  ifRange.ifRange = true;
  Asked check = retry;
  check.check = true;
  const auto answer = [](int status, std::optional<std::uint64_t> first,
                         std::optional<std::uint64_t> total, QByteArray validator = {},
                         B bytes = B::Unread) {
    Evidence e;
    e.status = status;
    e.first = first;
    e.total = total;
    e.validator = std::move(validator);
    e.bytes = bytes;
    return e;
  };
  Evidence durable;
  durable.durable = 1000;
  Evidence shortOfIt;
  shortOfIt.durable = 999;
  Evidence stalled;
  stalled.mayPass = true;
  const struct {
    const char* name;
    Held held;
    Asked asked;
    Evidence e;
    Judgement expected;
  } rows[] = {
      {"synced before the mark", plain, {}, durable, {K::Kept, Proof::Durable}},
      {"past what the mark vouches for", plain, {}, shortOfIt, {K::Cut, Proof::None}},
      {"206 to If-Range", tagged, ifRange, answer(206, 1000, 5000), {K::Kept, Proof::Validator}},
      {"206 to If-Range repeating the tag", tagged, ifRange, answer(206, 1000, 5000, tag),
       {K::Kept, Proof::Validator}},
      {"200 with the same strong tag (Range ignored)", tagged, ifRange, answer(200, {}, 5000, tag),
       {K::Kept, Proof::Validator}},
      {"200 with another strong tag", tagged, ifRange, answer(200, {}, 5000, "\"v2\""),
       {K::FilmChanged, Proof::None}},
      {"200 without a tag to If-Range: compared", tagged, ifRange, answer(200, {}, 5000),
       {K::Compare, Proof::None}},
      {"206 without validator: compared", plain, retry, answer(206, 0, 5000),
       {K::Compare, Proof::None}},
      {"206, the same bytes", plain, retry, answer(206, 0, 5000, {}, B::Same),
       {K::Kept, Proof::Compared}},
      {"206, other bytes", plain, retry, answer(206, 0, 5000, {}, B::Differ),
       {K::SliceChanged, Proof::None}},
      {"206 ending before the held bytes", plain, retry, answer(206, 0, 5000, {}, B::Short),
       {K::MayPass, Proof::None}},
      {"206 of another range", plain, retry, answer(206, 500, 5000), {K::MayPass, Proof::None}},
      {"206 to a request without Range", plain, {}, answer(206, 0, 5000),
       {K::MayPass, Proof::None}},
      {"206 of another length", plain, retry, answer(206, 0, 6000), {K::SliceChanged, Proof::None}},
      {"200 ignoring Range: compared", plain, retry, answer(200, {}, 5000),
       {K::Compare, Proof::None}},
      {"200 ignoring Range, the same bytes", plain, retry, answer(200, {}, 5000, {}, B::Same),
       {K::Kept, Proof::Compared}},
      {"200 ignoring Range, other bytes: the slice again", plain, retry,
       answer(200, {}, 5000, {}, B::Differ), {K::SliceChanged, Proof::None}},
      {"200 of another length: the slice again", plain, retry, answer(200, {}, 6000),
       {K::SliceChanged, Proof::None}},
      {"a check's 200 with other bytes proves nothing", plain, check,
       answer(200, {}, 5000, {}, B::Differ), {K::MayPass, Proof::None}},
      {"a check's 200 of another length proves nothing", plain, check, answer(200, {}, 6000),
       {K::MayPass, Proof::None}},
      {"a check's 206 of the range with other bytes", plain, check,
       answer(206, 0, 5000, {}, B::Differ), {K::SliceChanged, Proof::None}},
      {"416 to If-Range at the slice's end", {5000, 5000, tag}, [&] {
         Asked a = ifRange;
         a.first = 5000;
         return a;
       }(), answer(416, {}, 5000), {K::Complete, Proof::Validator}},
      {"416 without If-Range proves nothing", {5000, 5000, {}}, retry, answer(416, {}, 5000),
       {K::MayPass, Proof::None}},
      {"416 of another total", {5000, 5000, tag}, ifRange, answer(416, {}, 4000),
       {K::SliceChanged, Proof::None}},
      {"416 past a slice of unknown length", {5000, 0, tag}, ifRange, answer(416, {}, 6000),
       {K::MayPass, Proof::None}},
      {"a stall", plain, retry, stalled, {K::MayPass, Proof::None}},
      {"a refused connection", plain, retry, Evidence{}, {K::Final, Proof::None}},
      {"503", plain, retry, answer(503, {}, {}), {K::MayPass, Proof::None}},
      {"404", plain, retry, answer(404, {}, {}), {K::Final, Proof::None}},
  };
  for (const auto& row : rows) {
    const Judgement j = judgeHeld(row.held, row.asked, row.e);
    EXPECT_EQ(j.kind, row.expected.kind) << row.name;
    EXPECT_EQ(j.proof, row.expected.proof) << row.name;
  }
}

// Only a strong validator may go into If-Range.
TEST(HeldBytes, StrongValidatorsOnly) {
  const QByteArray date = "Thu, 10 Dec 2026 12:00:00 GMT";
  const struct {
    const char* name;
    const char* etag;
    const char* lastModified;
    const char* date;
    const char* strong;
  } rows[] = {
      {"strong ETag", "\"abc\"", "", "", "\"abc\""},
      {"weak ETag", "W/\"abc\"", "", date, ""},
      {"weak ETag beside an old date", "W/\"abc\"", "Thu, 10 Dec 2026 11:00:00 GMT", date, ""},
      {"unquoted ETag", "abc", "", date, ""},
      {"a date 60 s before Date", "", "Thu, 10 Dec 2026 11:59:00 GMT", date,
       "Thu, 10 Dec 2026 11:59:00 GMT"},
      {"a date 59 s before Date", "", "Thu, 10 Dec 2026 11:59:01 GMT", date, ""},
      {"a date without Date", "", "Thu, 10 Dec 2026 11:00:00 GMT", "", ""},
      {"a date after Date", "", "Thu, 10 Dec 2026 13:00:00 GMT", date, ""},
      {"no date at all", "", "yesterday", date, ""},
      {"nothing", "", "", date, ""},
  };
  for (const auto& row : rows)
    EXPECT_EQ(strongValidator(row.etag, row.lastModified, row.date), QByteArray(row.strong))
        << row.name;
}

using download::RetryRules;
using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(RetryRules, WhichFailuresMayPass) {
  const struct {
    int status;
    bool transport;
    bool mayPass;
  } rows[] = {{0, true, true},     {0, false, false},   {408, false, true},  {429, false, true},
              {500, false, true},  {503, false, true},  {599, false, true},  {404, true, false},
              {416, false, false}, {200, false, false}, {206, false, false}, {600, false, false}};
  for (const auto& row : rows)
    EXPECT_EQ(RetryRules::mayPass(row.status, row.transport), row.mayPass) << row.status;
}

TEST(RetryRules, WaitsOneTwoFourSecondsOrTheServersRetryAfterUpToThirty) {
  const std::int64_t now = 1796724000;  // Tue, 08 Dec 2026 10:00:00 GMT
  const struct {
    const char* name;
    int failures;
    const char* retryAfter;
    milliseconds wait;
  } rows[] = {{"first failure", 0, "", seconds(1)},
              {"second failure", 1, "", seconds(2)},
              {"third failure", 2, "", seconds(4)},
              {"seconds", 0, "2", seconds(2)},
              {"thirty seconds, waited for", 2, "30", seconds(30)},
              {"over thirty seconds, not waited for", 1, "31", seconds(2)},
              {"an hour, not waited for", 2, "3600", seconds(4)},
              {"zero", 1, "0", seconds(0)},
              {"a date 20 s ahead", 0, "Tue, 08 Dec 2026 10:00:20 GMT", seconds(20)},
              {"a date 31 s ahead", 0, "Tue, 08 Dec 2026 10:00:31 GMT", seconds(1)},
              {"a date past", 1, "Tue, 08 Dec 2026 09:00:00 GMT", seconds(0)},
              {"neither", 2, "soon", seconds(4)},
              {"negative", 0, "-5", seconds(1)}};
  for (const auto& row : rows)
    EXPECT_EQ(RetryRules{}.wait(row.failures, row.retryAfter, now), row.wait) << row.name;
}
}  // namespace
