// Fault matrix: "Állj!" and closing the window at yield points spread over a whole film,
// each in a child process with the real program end. A first run of the same film in this
// process, with a yield observer, tells what had been sent and received at every yield point.
#include <QProcess>

#include "tests/fault_fixture.h"

namespace {

struct AtYield {
  std::size_t requests = 0;  // requests the service had seen
  std::int64_t received = 0;
  bool inSlice = false;  // the slice loop holds a request
};
using YieldMap = std::vector<AtYield>;  // index = yield point (1-based; 0 unused)

long long firstWhere(const YieldMap& m, const std::function<bool(const AtYield&)>& pred) {
  for (std::size_t n = 1; n < m.size(); ++n)
    if (pred(m[n])) return static_cast<long long>(n);
  return -1;
}
long long lastWhere(const YieldMap& m, const std::function<bool(const AtYield&)>& pred) {
  for (std::size_t n = m.size(); n-- > 1;)
    if (pred(m[n])) return static_cast<long long>(n);
  return -1;
}

const std::int64_t kSlice[] = {12800, 12800, 6400};

// The size query's request goes out between its third and fourth yield point.
long long sizeQuerySent(const YieldMap& m) {
  return firstWhere(m, [](const AtYield& a) { return a.requests == 2; });
}

struct StopPoint {
  const char* name;
  long long (*pick)(const YieldMap&);
};
void PrintTo(const StopPoint& row, std::ostream* os) { *os << row.name; }

const StopPoint kPoints[] = {
    {"entry", [](const YieldMap&) { return 1LL; }},
    {"record session opened", [](const YieldMap&) { return 2LL; }},
    {"record connection opened", [](const YieldMap&) { return 3LL; }},
    {"record request opened", [](const YieldMap&) { return 4LL; }},
    {"record headers in",
     [](const YieldMap& m) {
       return firstWhere(m, [](const AtYield& a) { return a.requests == 1; });
     }},
    {"record first read",
     [](const YieldMap& m) {
       return firstWhere(m, [](const AtYield& a) { return a.requests == 1; }) + 1;
     }},
    {"record end of body read", [](const YieldMap& m) { return sizeQuerySent(m) - 5; }},
    {"record done", [](const YieldMap& m) { return sizeQuerySent(m) - 4; }},
    {"size query session opened", [](const YieldMap& m) { return sizeQuerySent(m) - 3; }},
    {"size query request opened", [](const YieldMap& m) { return sizeQuerySent(m) - 1; }},
    {"size query headers in", [](const YieldMap& m) { return sizeQuerySent(m); }},
    {"size query value read", [](const YieldMap& m) { return sizeQuerySent(m) + 1; }},
    {"size query done", [](const YieldMap& m) { return sizeQuerySent(m) + 2; }},
    {"first slice first read",
     [](const YieldMap& m) { return firstWhere(m, [](const AtYield& a) { return a.inSlice; }); }},
    {"first slice first write",
     [](const YieldMap& m) {
       return firstWhere(m, [](const AtYield& a) { return a.inSlice; }) + 1;
     }},
    {"middle of the first slice",
     [](const YieldMap& m) {
       return firstWhere(m,
                         [](const AtYield& a) { return a.inSlice && a.received >= kSlice[0] / 2; });
     }},
    {"between slices",
     [](const YieldMap& m) {
       return lastWhere(m, [](const AtYield& a) { return a.requests == 3; });
     }},
    {"second slice first read",
     [](const YieldMap& m) {
       return firstWhere(m, [](const AtYield& a) { return a.requests == 4; });
     }},
    {"middle of the last slice",
     [](const YieldMap& m) {
       return firstWhere(m, [](const AtYield& a) {
         return a.requests == 5 && a.received >= kSlice[0] + kSlice[1] + kSlice[2] / 2;
       });
     }},
    {"last data read", [](const YieldMap& m) { return static_cast<long long>(m.size()) - 4; }},
    {"end of body read", [](const YieldMap& m) { return static_cast<long long>(m.size()) - 2; }},
    {"last yield", [](const YieldMap& m) { return static_cast<long long>(m.size()) - 1; }},
};

class StopAtYield : public FaultTest,
                    public ::testing::WithParamInterface<std::tuple<StopPoint, const char*>> {
 protected:
  void SetUp() override {
    FaultTest::SetUp();
    std::string record =
        host + "/z/e/zelvo/film.php?a=megallj&" + std::string(120, 'r') + "|3|Megállj*";
    for (int i = 0; i < 3; ++i) {
      slices.push_back(patternBytes(static_cast<std::size_t>(kSlice[i]), 40 + i));
      serve("/s/st/" + std::to_string(i), slices.back());
      record += (i ? "|" : "") + host + "/s/st/" + std::to_string(i);
      whole += slices.back();
    }
    serve(recordTarget(QStringLiteral("megallj")),
          net::toCp1250(QString::fromStdString(record)).toStdString());

    map.emplace_back();
    w->setYieldObserver([this](long long n) {
      ASSERT_EQ(static_cast<long long>(map.size()), n);
      map.push_back({server.requests().size(), w->receivedBytes, w->hRequest != 0});
    });
    startWith(QStringLiteral("megallj"));
    w->setYieldObserver({});
    ASSERT_EQ(w->info->text(), QStringLiteral("Kész: Megállj.mpg"));
    ASSERT_TRUE(fileBytes(QStringLiteral("Megállj")) == whole);
    sentInProbe = targets();
    ASSERT_EQ(sentInProbe.size(), 5u);
    // The points below are picked by this shape: the record read in several pieces, the
    // size query's three yields before and after its request, then the slice loop.
    const long long sizeSent = sizeQuerySent(map);
    ASSERT_GT(sizeSent, 12);
    EXPECT_EQ(map[4].requests, 0u);
    EXPECT_EQ(map[5].requests, 1u);
    EXPECT_LT(6, sizeSent - 6);  // at least two reads of the record before its end
    EXPECT_EQ(map[sizeSent - 1].requests, 1u);
    EXPECT_FALSE(map[sizeSent + 2].inSlice);
    EXPECT_TRUE(map[sizeSent + 3].inSlice);
    EXPECT_EQ(map.back().received, static_cast<std::int64_t>(whole.size()));
    server.clearLog();
  }

  std::vector<std::string> slices;
  std::string whole;
  YieldMap map;
  std::vector<std::string> sentInProbe;
};

TEST_P(StopAtYield, EndsAtOnceWithEveryWrittenByteAndNoFurtherRequest) {
  const auto& [point, way] = GetParam();
  const long long n = point.pick(map);
  ASSERT_GE(n, 1);
  ASSERT_LT(n, static_cast<long long>(map.size()));
  const AtYield at = map[static_cast<std::size_t>(n)];

  QTemporaryDir childFolder;
  ASSERT_TRUE(childFolder.isValid());
  QProcess child;
  child.start(QStringLiteral(FAULT_CHILD_PATH),
              {QStringLiteral("stop"), QString::fromStdString(host), childFolder.path(),
               QStringLiteral("megallj"), QString::fromLatin1(way), QString::number(n)});
  ASSERT_TRUE(child.waitForFinished(40000));
  const QString out = QString::fromUtf8(child.readAllStandardOutput());
  SCOPED_TRACE(out.toStdString());
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0);

  // The child stopped where the first run says it was, and at once.
  const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 1);
  const QStringList fields = lines[0].split(QLatin1Char(' '));
  ASSERT_GE(fields.size(), 4);
  EXPECT_EQ(fields[0], QStringLiteral("AT"));
  EXPECT_EQ(fields[1].toLongLong(), n);
  const std::int64_t received = fields[2].toLongLong();
  const std::int64_t inBuffer = fields[3].toLongLong();
  EXPECT_EQ(received, at.received);

  // Nothing was asked for after the stop.
  const std::vector<std::string> expected(
      sentInProbe.begin(), sentInProbe.begin() + static_cast<std::ptrdiff_t>(at.requests));
  EXPECT_EQ(targets(), expected);

  QFile file(childFolder.filePath(QStringLiteral("Megállj_Zelvoweb.mpg")));
  if (!at.inSlice) {
    EXPECT_FALSE(file.exists());  // stopped before the film had a file
    return;
  }
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const std::string onDisk = file.readAll().toStdString();
  // Everything counted as received is on the disk; at most the read under way besides.
  EXPECT_GE(static_cast<std::int64_t>(onDisk.size()), received);
  EXPECT_LE(static_cast<std::int64_t>(onDisk.size()), received + inBuffer);
  EXPECT_TRUE(onDisk == whole.substr(0, onDisk.size()));
}

INSTANTIATE_TEST_SUITE_P(Matrix, StopAtYield,
                         ::testing::Combine(::testing::ValuesIn(kPoints),
                                            ::testing::Values("click", "close")),
                         [](const auto& info) {
                           return caseName(std::get<0>(info.param).name) +
                                  (std::string(std::get<1>(info.param)) == "click" ? "Allj"
                                                                                   : "Close");
                         });

}  // namespace
