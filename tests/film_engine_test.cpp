// The film download without a window: the engine against the substitute service, through
// a view of the test's own, returns how each film ended.
#include <gtest/gtest.h>
#include <QFile>
#include <QTemporaryDir>

#include "download/film_download.h"
#include "net/fetch.h"
#include "service/service.h"
#include "tests/qt_print.h"

namespace {

class PlainLabel final : public net::TextTarget {
 public:
  void setCaption(const QString& text) override { text_ = text; }
  QString caption() const override { return text_; }

 private:
  QString text_;
};

// Records what the engine shows; never ends the program.
class EngineView final : public download::FilmView {
 public:
  EngineView(QString host, QString folder) : host_(std::move(host)), folder_(std::move(folder)) {}
  void yieldToWindow() override { ++yields; }
  bool yieldBeforeStep() override {
    ++yields;
    return true;
  }
  bool ending() const override { return false; }
  QString serviceHost() const override { return host_; }
  QString userAgent() const override { return QStringLiteral("zv5_progression"); }
  float barLength() const override { return 3855; }
  QString targetFolder() const override { return folder_; }
  void setInfo(const QString& text) override { infos << text; }
  void setWindowCaption(const QString&) override {}
  void setBarWidth(float) override {}
  net::TextTarget& sizeLabel() override { return label_; }
  download::TextReply fetchText(const QString& mode, const QString& url, const QString& referrer,
                                std::size_t maxBytes) override {
    net::FetchContext ctx;
    ctx.agentName = QStringLiteral("zv5_progression");
    ctx.yield = [this] { yieldToWindow(); };
    ctx.sizeLabel = &label_;
    ctx.maxBytes = maxBytes;
    return download::fetchReply(ctx, mode, url, referrer);
  }

  void waitBeforeRetry(std::chrono::milliseconds wait) override { waits.push_back(wait); }

  long long yields = 0;
  std::vector<std::chrono::milliseconds> waits;
  QStringList infos;

 private:
  QString host_;
  QString folder_;
  PlainLabel label_;
};

struct EngineRow {
  const char* name;
  const char* id;
  download::FilmResult result;
  const char* message;  // nullptr: the film's own text (refusal or error-report answer)
};
void PrintTo(const EngineRow& row, std::ostream* os) { *os << row.name; }

class FilmEngine : public ::testing::TestWithParam<EngineRow> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start(0));
    ASSERT_TRUE(folder.isValid());
  }
  service::Server server;
  QTemporaryDir folder;
};

TEST_P(FilmEngine, ReturnsHowTheFilmEnded) {
  const EngineRow& row = GetParam();
  const service::FilmSpec& f = *service::findFilm(row.id);
  EngineView view(QString::fromStdString(server.host()), folder.path());
  download::FilmDownload film(view);

  const download::FilmOutcome outcome = film.run(QString::fromUtf8(row.id));
  EXPECT_EQ(outcome.result, row.result);
  EXPECT_GT(view.yields, 0);
  const QString fileName = folder.filePath(QString::fromStdString(f.name) + "_Zelvoweb.mpg");
  if (row.result == download::FilmResult::Finished) {
    EXPECT_TRUE(outcome.message.isEmpty());
    EXPECT_EQ(outcome.savedName, QString::fromStdString(f.name));
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().toStdString() == service::filmContent(f));
    return;
  }
  const std::string own = row.result == download::FilmResult::Refused ? f.message : f.errorAnswer;
  EXPECT_EQ(outcome.message, QString::fromUtf8(row.message ? row.message : own.c_str()));
  EXPECT_TRUE(outcome.savedName.isEmpty());
}

const EngineRow kEngineRows[] = {
    {"finished", "sok-szelet", download::FilmResult::Finished, ""},
    {"refused", "elutasitva", download::FilmResult::Refused, nullptr},
    {"reported", "kicsi-elso", download::FilmResult::Reported, nullptr},
    {"unusable record", "csillag-nelkul", download::FilmResult::Failed, "A szerver válasza hibás."},
    {"size query busy once", "foglalt-meret", download::FilmResult::Finished, ""},
    {"broken slice", "szelet-500", download::FilmResult::Failed,
     "Nem sikerült letölteni a(z) 2. szeletet."},
};
INSTANTIATE_TEST_SUITE_P(WithoutAWindow, FilmEngine, ::testing::ValuesIn(kEngineRows),
                         [](const auto& info) {
                           std::string n;
                           for (const char* p = info.param.name; *p; ++p)
                             if (*p != ' ') n += *p;
                           return n;
                         });

}  // namespace
