// Fault matrix: "Állj!" and closing the window at points spread over a whole film, each in
// a child process with the real program end. The child stops where a condition on what it
// observes first holds (tests/stop_points.h), so added or removed yields move no
// point; the service tells it, through a pipe, of every request it sees.
#include "tests/fault_fixture.h"
#include "tests/stop_harness.h"

namespace stops {
// Found by gtest next to the type: the row's name, not its bytes.
void PrintTo(const StopPoint& row, std::ostream* os) { *os << row.name; }
}  // namespace stops

namespace {

using stops::kSlice;
using stops::Moment;
using stops::StopPoint;

class StopAtPoint : public FaultTest,
                    public ::testing::WithParamInterface<std::tuple<StopPoint, const char*>> {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    const service::FilmSpec& film = serviceFilm("megallj");
    ASSERT_EQ(film.name, stops::kName);
    expectedTargets.push_back(recordTarget(film));
    for (int i = 0; i < stops::kSlices; ++i) {
      ASSERT_EQ(film.slices[i].size, static_cast<std::uint64_t>(kSlice[i]));
      const std::string target = sliceTarget(film, i);
      if (i == 0) expectedTargets.push_back(target);  // the size query
      expectedTargets.push_back(target);
    }
    whole = service::filmContent(film);
  }

  std::string whole;
  std::vector<std::string> expectedTargets;  // in the order a whole film sends them
};

TEST_P(StopAtPoint, EndsAtOnceWithEveryWrittenByteAndNoFurtherRequest) {
  const auto& [point, way] = GetParam();
  QTemporaryDir childFolder;
  ASSERT_TRUE(childFolder.isValid());
  const SeenPipe seen(server);
  const ChildRun run = runStopChild(
      host, childFolder.path(), QStringLiteral("megallj"),
      {QStringLiteral("stop=") + way, QString::fromStdString("at=" + point.name), seen.option()});
  SCOPED_TRACE(run.out.toStdString());
  EXPECT_TRUE(run.exited);
  EXPECT_EQ(run.code, 0);

  // The child reached the point, stopped there and at once.
  ASSERT_EQ(run.lines().size(), 1);
  Moment at;
  ASSERT_TRUE(run.at(at));
  EXPECT_TRUE(point.reached(at));
  EXPECT_EQ(at.seen, point.seen);
  // A slice's handle is open once its request has gone out, not before.
  EXPECT_EQ(at.sliceOpen, at.slice >= 0 && at.seen >= 3 + at.slice);
  EXPECT_EQ(at.hasFile, at.slice >= 0);  // the file is made right before the first slice

  // Nothing was asked for after the stop.
  const std::vector<std::string> expected(
      expectedTargets.begin(),
      expectedTargets.begin() + std::min<std::ptrdiff_t>(at.seen, expectedTargets.size()));
  EXPECT_EQ(targets(), expected);

  EXPECT_FALSE(QFile::exists(childFolder.filePath(QString::fromUtf8(stops::kFinal))));
  QFile file(childFolder.filePath(QString::fromUtf8(stops::kFile)));
  if (!at.hasFile) {
    EXPECT_FALSE(file.exists());  // stopped before the film had a file
    return;
  }
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string onDisk = file.readAll().toStdString();
  // Everything counted as received is on the disk; at most the read under way besides.
  EXPECT_GE(static_cast<std::int64_t>(onDisk.size()), at.received);
  EXPECT_LE(static_cast<std::int64_t>(onDisk.size()), at.received + at.inBuffer);
  EXPECT_TRUE(onDisk == whole.substr(0, onDisk.size()));
}

INSTANTIATE_TEST_SUITE_P(Matrix, StopAtPoint,
                         ::testing::Combine(::testing::ValuesIn(stops::stopPoints()),
                                            ::testing::Values("click", "close")),
                         [](const auto& info) {
                           return caseName(std::get<0>(info.param).name.c_str()) +
                                  (std::string(std::get<1>(info.param)) == "click" ? "Allj"
                                                                                   : "Close");
                         });

}  // namespace
