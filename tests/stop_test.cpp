// "Állj!" and closing the window in the middle of a film, in a child process with the
// real program end: exit status 0, the bytes so far on the disk, no request afterwards.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "net/codepage.h"
#include "tests/stop_harness.h"

namespace {

std::string readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string("<missing>");
}

// Options for a stop that arrives as an event once the point is reached.
QStringList stopAt(const char* way, const char* point) {
  return {QStringLiteral("stop=") + QLatin1String(way),
          QStringLiteral("at=") + QLatin1String(point), QStringLiteral("posted")};
}

struct StopRow {
  const char* name;
  const char* way;  // how the child stops the program
  bool queued;      // the film runs second in a "Mindet letölt!" run, before a third
  const char* at;   // where: see tests/stop_points.h
  int slice;        // the slice under way there
  bool report;      // the program end is only counted: the window must close every handle
  const char* film = "allj";
};

class StopTest : public ::testing::TestWithParam<StopRow> {};

TEST_P(StopTest, EndsAtOnceKeepingEveryByteAndSendingNothingMore) {
  const StopRow& row = GetParam();
  service::Server server;
  ASSERT_TRUE(server.start(0));
  const std::string host = server.host();
  // The second slice comes in pieces with pauses: waits in which the window handles the
  // stop that the child posts at the row's point, long before that slice ends.
  const service::FilmSpec& film = *service::findFilm(row.film);
  const std::string kept = service::sliceContent(film, 0) + service::sliceContent(film, 1);
  const service::FilmSpec before = service::makeFilm("elotte", "Előtte", {100000});
  const service::FilmSpec after = service::makeFilm("utana", "Utána", {100000});
  server.addFilm(before);
  server.addFilm(after);

  // An earlier copy of the film stays as it was.
  QTemporaryDir folder;
  const QString done = folder.filePath(QString::fromStdString(film.name) + "_Zelvoweb.mpg");
  {
    QFile earlier(done);
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier copy");
  }
  const SeenPipe seen(server);
  QStringList options = stopAt(row.way, row.at) << seen.option();
  if (row.report) options << QStringLiteral("end=report");
  const ChildRun run = runStopChild(
      host, folder.path(),
      QString::fromLatin1(row.queued ? "elotte,%1,utana" : "%1").arg(QLatin1String(row.film)),
      options);
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.code, 0) << run.out.toStdString();
  stops::Moment at;
  ASSERT_TRUE(run.at(at)) << run.out.toStdString();
  const qint64 received = at.received;
  EXPECT_EQ(at.item, service::sliceAddress(host, film, row.slice));
  if (row.report) {  // asked once to end, every handle closed, no box and no "Kész"
    EXPECT_TRUE(run.lines().contains(QStringLiteral("ENDED 1 1 0"))) << run.out.toStdString();
    EXPECT_TRUE(
        run.lines().filter(QRegularExpression(QStringLiteral("^(BOX|INFO Kész)"))).isEmpty());
  }

  EXPECT_EQ(readAll(done), "an earlier copy");
  const std::string onDisk = readAll(done + QStringLiteral(".part"));
  EXPECT_GE(static_cast<qint64>(onDisk.size()), received);
  EXPECT_LE(onDisk.size(), kept.size());
  EXPECT_TRUE(onDisk == kept.substr(0, onDisk.size()));
  // Nothing was asked for after the stop: no later slice, no later film.
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), std::size_t(at.seen));
  EXPECT_EQ(host + requests.back().target, at.item);
  if (!row.queued && !row.report) {
    // Started again: it goes on from the work file. Of what it holds, only the film's first
    // 64 KiB and the work file's last 64 KiB, across the slices' border, are asked for again
    // (the host gives no validator to prove them by).
    const std::size_t logged = server.requests().size();
    const ChildRun again = runStopChild(host, folder.path(), QStringLiteral("allj"), {});
    ASSERT_TRUE(again.exited);
    EXPECT_TRUE(again.out.contains(QStringLiteral("INFO Kész: Film.mpg")))
        << again.out.toStdString();
    EXPECT_TRUE(readAll(done) == service::filmContent(film));
    const auto log = server.requests();
    std::uint64_t askedAgain = 0;
    bool sizeQuery = true;  // the film's size query reads only the headers of slice 0
    for (std::size_t i = logged; i < log.size(); ++i) {
      for (int slice = 0; slice < 2; ++slice) {
        if (log[i].target != service::sliceAddress(host, film, slice).substr(host.size())) continue;
        if (slice == 0 && sizeQuery && !log[i].header("Range")) {
          sizeQuery = false;
          continue;
        }
        const std::string range = log[i].header("Range").value_or("bytes=0-");
        const std::uint64_t first = std::stoull(range.substr(6));
        const std::string last = range.substr(range.find('-') + 1);
        const std::uint64_t start = slice * 300000ull + first;
        const std::uint64_t end =
            last.empty() ? (slice + 1) * 300000ull : slice * 300000ull + std::stoull(last) + 1;
        if (start < onDisk.size())
          askedAgain += std::min<std::uint64_t>(end, onDisk.size()) - start;
      }
    }
    EXPECT_EQ(askedAgain, 2u * 64 * 1024);
    return;
  }
  if (!row.queued) return;
  EXPECT_TRUE(readAll(folder.filePath(QStringLiteral("Előtte_Zelvoweb.mpg"))) ==
              service::filmContent(before));
}

// A stop that comes during the wait before a retry ends the program there: no retry.
TEST(StopDuringWait, EndsTheProgramWithoutTheRetry) {
  const service::FilmSpec& film = *service::findFilm("foglalt-503");
  for (const char* way : {"click", "close"}) {
    SCOPED_TRACE(way);
    service::Server server;  // its slice answers 503 once per server
    ASSERT_TRUE(server.start(0));
    QTemporaryDir folder;
    const ChildRun run = runStopChild(server.host(), folder.path(), QString::fromStdString(film.id),
                                      stopAt(way, "wait"));
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.code, 0) << run.out.toStdString();
    EXPECT_TRUE(run.out.startsWith(QStringLiteral("WAIT 2000"))) << run.out.toStdString();
    int asked = 0;
    for (const auto& r : server.requests())
      asked +=
          r.target == service::sliceAddress(server.host(), film, 1).substr(server.host().size());
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(readAll(folder.filePath(QString::fromStdString(film.name) +
                                        "_Zelvoweb.mpg.part")) == service::sliceContent(film, 0));
  }
}

// A stop while a work file is being checked, or while the finished film is synced and
// renamed: the program ends there, the work file as it was, the finished film whole, and
// nothing more is asked for (no other film, no "Még egy filmet?").
struct MomentRow {
  const char* name;
  const char* when;
  const char* way;
};
void PrintTo(const MomentRow& row, std::ostream* os) { *os << row.name; }
class StopAtMoment : public ::testing::TestWithParam<MomentRow> {};

TEST_P(StopAtMoment, EndsTheProgramAndKeepsTheFiles) {
  const MomentRow& row = GetParam();
  service::Server server;
  ASSERT_TRUE(server.start(0));
  // Its second slice comes slowly, so the first run's stop lands inside it.
  const service::FilmSpec& film = *service::findFilm("pillanat");
  QTemporaryDir folder;
  const QString work = folder.filePath(QStringLiteral("Pillanat_Zelvoweb.mpg.part"));
  const bool check = std::string(row.when) == "check";
  if (check) {
    ASSERT_TRUE(runStopChild(server.host(), folder.path(), QStringLiteral("pillanat"),
                             stopAt(row.way, "received 300000"))
                    .exited);
  }
  const std::string before = readAll(work);
  const std::size_t logged = server.requests().size();

  const ChildRun run = runStopChild(server.host(), folder.path(), QStringLiteral("pillanat"),
                                    stopAt(row.way, row.when));
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.code, 0) << run.out.toStdString();
  EXPECT_TRUE(run.out.startsWith(QStringLiteral("AT "))) << run.out.toStdString();
  const auto log = server.requests();
  if (check) {
    EXPECT_GE(before.size(), 300000u);
    EXPECT_TRUE(readAll(work) == before);
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("Pillanat_Zelvoweb.mpg"))));
    // Record, size query and the first check; nothing after it.
    ASSERT_EQ(log.size(), logged + 3);
    EXPECT_TRUE(log.back().header("Range").has_value());
  } else {
    EXPECT_TRUE(readAll(folder.filePath(QStringLiteral("Pillanat_Zelvoweb.mpg"))) ==
                service::filmContent(film));
    EXPECT_FALSE(QFile::exists(work));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().target,
              service::sliceAddress(server.host(), film, 1).substr(server.host().size()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ways, StopAtMoment,
    ::testing::Values(MomentRow{"ClickDuringTheResumeChecks", "check", "click"},
                      MomentRow{"CloseDuringTheResumeChecks", "check", "close"},
                      MomentRow{"ClickDuringTheFinalSync", "end", "click"},
                      MomentRow{"CloseDuringTheFinalSync", "end", "close"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ways, StopTest,
    ::testing::Values(StopRow{"Click", "click", false, "received 310000", 1, false},
                      StopRow{"Close", "close", false, "received 310000", 1, false},
                      StopRow{"ClickDuringQueueRun", "click", true, "received 310000", 1, false},
                      // Clicked once the slow slice is asked for.
                      StopRow{"StopDuringADownloadClosesEverythingAndSendsNothingMore", "click",
                              false, "seen 4", 1, true, "megallit"},
                      // Queued as a slice ends: handled before the next is asked for.
                      StopRow{"StopQueuedBeforeTheNextRequestSendsNothingMore", "click", false,
                              "received 300000", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
