// "Állj!" and closing the window in the middle of a film, in a child process with the
// real program end: exit status 0, the bytes so far on the disk, no request afterwards.
#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "net/codepage.h"
#include "service/service.h"

namespace {

struct StopRow {
  const char* name;
  const char* way;  // how the child stops the program
  bool queued;      // the film runs second in a "Mindet letölt!" run, before a third
};

class StopTest : public ::testing::TestWithParam<StopRow> {};

TEST_P(StopTest, EndsAtOnceKeepingEveryByteAndSendingNothingMore) {
  const StopRow& row = GetParam();
  service::Server server;
  ASSERT_TRUE(server.start(0));
  const std::string host = server.host();
  // The second slice comes in pieces with pauses: waits in which the window handles the
  // stop that the child posts once it has seen 310000 bytes, long before that slice ends.
  service::FilmSpec film = service::makeFilm("stop", "Film", {300000, 300000, 300000});
  film.slices[1].fault = service::Fault::Slow;
  server.addFilm(film);
  const std::string kept = service::sliceContent(film, 0) + service::sliceContent(film, 1);
  const service::FilmSpec before = service::makeFilm("elotte", "Előtte", {100000});
  const service::FilmSpec after = service::makeFilm("utana", "Utána", {100000});
  server.addFilm(before);
  server.addFilm(after);

  // An earlier copy of the film stays as it was.
  QTemporaryDir folder;
  {
    QFile earlier(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg")));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier copy");
  }
  QProcess child;
  child.start(QStringLiteral(STOP_CHILD_PATH),
              {QString::fromStdString(host), folder.path(),
               QLatin1String(row.queued ? "elotte,stop,utana" : "stop"),
               QString::fromLatin1(row.way), QStringLiteral("310000")});
  ASSERT_TRUE(child.waitForFinished(30000));
  const QString out = QString::fromLocal8Bit(child.readAllStandardOutput());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0) << out.toStdString();

  const QStringList stop = out.section(QStringLiteral("STOP "), 1).split(QLatin1Char(' '));
  ASSERT_GE(stop.size(), 2) << out.toStdString();
  const qint64 received = stop[0].toLongLong();
  EXPECT_EQ(stop[1].trimmed().toStdString(), service::sliceAddress(host, film, 1));

  QFile earlier(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg")));
  ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
  EXPECT_EQ(earlier.readAll(), QByteArray("an earlier copy"));
  QFile file(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg.part")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string onDisk = file.readAll().toStdString();
  EXPECT_GE(static_cast<qint64>(onDisk.size()), received);
  EXPECT_LE(onDisk.size(), kept.size());
  EXPECT_TRUE(onDisk == kept.substr(0, onDisk.size()));
  // Nothing was asked for after the slice under way: no later slice, no later film.
  const auto requests = server.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().target, service::sliceAddress(host, film, 1).substr(host.size()));
  if (!row.queued) return;
  QFile done(folder.filePath(QStringLiteral("Előtte_Zelvoweb.mpg")));
  ASSERT_TRUE(done.open(QIODevice::ReadOnly));
  EXPECT_TRUE(done.readAll().toStdString() == service::filmContent(before));
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest,
                         ::testing::Values(StopRow{"Click", "click", false},
                                           StopRow{"Close", "close", false},
                                           StopRow{"ClickDuringQueueRun", "click", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
