// Fault matrix: the catalogue opened ("Minden film") at a yield point inside every kind of
// transfer of a film. Both must come out right: the film as if nothing happened, the list
// complete.
#include <QListWidget>

#include "tests/fault_fixture.h"

namespace {

const std::string kCatalogue = "/z/e/zelvo/basix_raktar.php";

enum class Inside { Record, SizeQuery, ErrorReport, Slice };

struct NestedRow {
  const char* name;
  const char* film;
  Inside inside;
  int afterYields;  // how many yield points into the transfer the click comes
};
void PrintTo(const NestedRow& row, std::ostream* os) { *os << row.name; }

class NestedCatalogue : public FaultTest, public ::testing::WithParamInterface<NestedRow> {};

TEST_P(NestedCatalogue, FilmAndCatalogueBothComeOutRight) {
  const NestedRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.film);
  const std::string record = recordTarget(f);
  const std::string slice0 = sliceTarget(f, 0);
  const std::string slice1 = sliceTarget(f, 1);

  // The transfer under way at a yield point, told by the last request the service saw and
  // by whether the slice loop holds a request handle.
  auto inTransfer = [&] {
    const auto log = server.requests();
    if (log.empty()) return false;
    const std::string& last = log.back().target;
    switch (row.inside) {
      case Inside::Record: return last == record;
      case Inside::SizeQuery: return last == slice0 && w->film().hRequest == 0;
      case Inside::ErrorReport: return last == record + "&action=error";
      case Inside::Slice: return last == slice1 && w->film().hRequest != 0;
    }
    return false;
  };
  int seen = 0;
  bool clicked = false, busyAtClick = false;
  std::size_t requestsBeforeClick = 0;
  w->setYieldObserver([&]() {
    if (clicked || !inTransfer() || ++seen < row.afterYields) return;
    clicked = true;  // the nested load yields too; it must not click again
    busyAtClick = w->isDownloading;
    requestsBeforeClick = server.requests().size();
    QTest::mouseClick(w->Command1, Qt::LeftButton);
  });
  startWith(QString::fromStdString(f.id));
  ASSERT_TRUE(clicked);
  EXPECT_TRUE(busyAtClick);

  // The catalogue: loaded once, during the transfer, every demo film listed.
  const auto sent = targets();
  ASSERT_GT(sent.size(), requestsBeforeClick);
  EXPECT_EQ(sent[requestsBeforeClick], kCatalogue);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), kCatalogue), 1);
  QStringList names;
  for (const auto& demo : service::films())
    if (demo.inCatalogue) names << QString::fromStdString(demo.name);
  QStringList shown;
  for (int i = 0; i < w->Lista->count(); ++i) shown << w->Lista->text(i);
  EXPECT_EQ(shown, names);
  EXPECT_EQ(w->catalogRows.size(), names.size());
  EXPECT_EQ(w->Frame1->title(), QStringLiteral("Összes film"));
  EXPECT_EQ(w->Command1->text(), QStringLiteral("Becsuk >"));

  // The film, as without the click.
  const QString name = QString::fromStdString(f.name);
  if (row.inside == Inside::ErrorReport) {
    expectOneBox(QString::fromStdString(f.errorAnswer));
    expectIdleWith(QStringLiteral("Hiba történt, jelentés elküldve"));
  } else {
    EXPECT_TRUE(fakes.boxes.shown.empty());
    EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
    EXPECT_TRUE(fileBytes(name) == service::filmContent(f));
  }
}

const NestedRow kNestedRows[] = {
    {"record fetch right after its headers", "ludas05", Inside::Record, 1},
    {"record fetch mid body", "ludas05", Inside::Record, 2},
    {"size query", "ludas05", Inside::SizeQuery, 1},
    {"error report", "kicsi-elso", Inside::ErrorReport, 2},
    {"first reads of a slice", "ludas05", Inside::Slice, 1},
    {"middle of a slice", "ludas05", Inside::Slice, 20},  // 2 yields a read of 6,400 bytes
};
INSTANTIATE_TEST_SUITE_P(Matrix, NestedCatalogue, ::testing::ValuesIn(kNestedRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace
