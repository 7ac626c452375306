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

std::string bytesOf(std::size_t size, char seed) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 31 + (i >> 9));
  return s;
}

class StopTest : public ::testing::TestWithParam<const char*> {};

TEST_P(StopTest, EndsAtOnceKeepingEveryByteAndSendingNothingMore) {
  service::Server server;
  ASSERT_TRUE(server.start(0));
  const std::string host = server.host();
  const std::vector<std::string> slices = {bytesOf(300000, 1), bytesOf(300000, 2),
                                           bytesOf(300000, 3)};
  // The second slice comes in pieces with pauses: waits in which the window handles the
  // stop that the child posts once it has seen 310000 bytes, long before that slice ends.
  std::string record = host + "/ref|3|Film*";
  for (std::size_t i = 0; i < slices.size(); ++i) {
    service::Reply r;
    r.body = slices[i];
    r.fault = i == 1 ? service::Fault::Slow : service::Fault::None;
    server.setReply("/s/" + std::to_string(i), r);
    record += (i ? "|" : "") + host + "/s/" + std::to_string(i);
  }
  service::Reply rec;
  rec.body = record;
  server.setReply("/z/e/zelvo/basix2.php?a=stop", rec);

  QTemporaryDir folder;
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
  EXPECT_TRUE(stop[1].startsWith(QString::fromStdString(host + "/s/1")));

  EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg"))));
  QFile file(folder.filePath(QStringLiteral("Film_Zelvoweb.mpg.part")));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string onDisk = file.readAll().toStdString();
  EXPECT_GE(static_cast<qint64>(onDisk.size()), received);
  EXPECT_LE(onDisk.size(), slices[0].size() + slices[1].size());
  EXPECT_EQ(onDisk, (slices[0] + slices[1]).substr(0, onDisk.size()));
  for (const auto& r : server.requests()) EXPECT_NE(r.target, "/s/2");
}

INSTANTIATE_TEST_SUITE_P(Ways, StopTest, ::testing::Values("click", "close"));

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
