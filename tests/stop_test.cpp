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

struct ChildRun {
  QString out;
  bool exited = false;
  int code = -1;
};

ChildRun runChild(const std::string& host, const QString& folder, const char* id, const char* mode,
                  const char* when) {
  QProcess child;
  child.start(QStringLiteral(STOP_CHILD_PATH),
              {QString::fromStdString(host), folder, QString::fromUtf8(id),
               QString::fromLatin1(mode), QString::fromLatin1(when)});
  ChildRun run;
  run.exited = child.waitForFinished(30000) && child.exitStatus() == QProcess::NormalExit;
  run.code = child.exitCode();
  run.out = QString::fromLocal8Bit(child.readAllStandardOutput());
  return run;
}

class StopTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StopTest, EndsAtOnceKeepingEveryByteAndSendingNothingMore) {
  service::Server server;
  ASSERT_TRUE(server.start(0));
  const std::string host = server.host();
  // The second slice comes in pieces with pauses: waits in which the window handles the
  // stop that the child posts once it has seen 310000 bytes, long before that slice ends.
  service::FilmSpec film = service::makeFilm("stop", "Film", {300000, 300000, 300000});
  film.slices[1].fault = service::Fault::Slow;
  server.addFilm(film);
  const std::string kept = service::sliceContent(film, 0) + service::sliceContent(film, 1);

  // An earlier copy of the film stays as it was.
  QTemporaryDir folder;
  {
    QFile earlier(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg")));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("an earlier copy");
  }
  QProcess child;
  child.start(QStringLiteral(STOP_CHILD_PATH),
              {QString::fromStdString(host), folder.path(), QStringLiteral("stop"),
               QString::fromLatin1(GetParam()), QStringLiteral("310000")});
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
  const std::string third = service::sliceAddress(host, film, 2).substr(host.size());
  for (const auto& r : server.requests()) EXPECT_NE(r.target, third);

  // Started again: it goes on from the work file. Before its end, only the sizes (one
  // byte each) and the last 64 KiB are asked for again.
  const std::size_t before = server.requests().size();
  const ChildRun again = runChild(host, folder.path(), "stop", GetParam(), "never");
  ASSERT_TRUE(again.exited);
  EXPECT_TRUE(again.out.contains(QStringLiteral("DONE Kész: Film.mpg"))) << again.out.toStdString();
  QFile whole(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg")));
  ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
  EXPECT_TRUE(whole.readAll().toStdString() == service::filmContent(film));
  const auto log = server.requests();
  std::uint64_t askedAgain = 0;
  bool sizeQuery = true;  // the film's size query reads only the headers of slice 0
  for (std::size_t i = before; i < log.size(); ++i) {
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
      if (start < onDisk.size()) askedAgain += std::min<std::uint64_t>(end, onDisk.size()) - start;
    }
  }
  EXPECT_LE(askedAgain, 64u * 1024 + 2);
  EXPECT_GE(askedAgain, 64u * 1024);
}

// A stop that comes during the wait before a retry ends the program there: no retry.
TEST_P(StopTest, EndsDuringARetryWait) {
  service::Server server;
  ASSERT_TRUE(server.start(0));
  const service::FilmSpec& film = *service::findFilm("foglalt-503");
  QTemporaryDir folder;
  const ChildRun run = runChild(server.host(), folder.path(), film.id.c_str(), GetParam(), "wait");
  ASSERT_TRUE(run.exited);
  EXPECT_EQ(run.code, 0) << run.out.toStdString();
  EXPECT_TRUE(run.out.startsWith(QStringLiteral("WAIT 2000"))) << run.out.toStdString();
  int asked = 0;
  for (const auto& r : server.requests())
    asked += r.target == service::sliceAddress(server.host(), film, 1).substr(server.host().size());
  EXPECT_EQ(asked, 1);
  QFile part(folder.filePath(QString::fromStdString(film.name) + "_Zelvoweb.mpg.part"));
  ASSERT_TRUE(part.open(QIODevice::ReadOnly));
  EXPECT_TRUE(part.readAll().toStdString() == service::sliceContent(film, 0));
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest, ::testing::Values("click", "close"));

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
