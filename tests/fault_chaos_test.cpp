// A seeded chaos run: many films through the window against a service that picks each
// slice answer's fault from a seed, with stops, restarts and films replaced between runs.
// After every run: "Kész" means the file is the film; a work file is a prefix of a version
// of the film; nothing under the final name changes unless a whole film replaces it.
// ZELVO_CHAOS_FILMS sets how many films (scripts/test --stress runs thousands); a failure
// names its seed, and ZELVO_CHAOS_SEED=<seed> ZELVO_CHAOS_FILMS=1 replays it.
#include <algorithm>
#include <cstdlib>
#include <random>

#include "tests/fault_fixture.h"

namespace {

std::uint64_t envNumber(const char* name, std::uint64_t fallback) {
  const char* value = std::getenv(name);
  return value && *value ? std::strtoull(value, nullptr, 10) : fallback;
}

bool isPrefix(const std::string& part, const std::string& whole) {
  return part.size() <= whole.size() && whole.compare(0, part.size(), part) == 0;
}

bool isPrefixOfAny(const std::string& part, const std::vector<std::string>& wholes) {
  for (const std::string& whole : wholes)
    if (isPrefix(part, whole)) return true;
  return false;
}

// The host of each seed is drawn too: its validators, whether it honours Range, whether and
// when its film changes (between runs, or one slice between two tries), and what happens to
// the work file between runs (nothing, zeros past its end as a crash may leave, cut short).
TEST_F(FaultTest, ChaosRunKeepsEveryFileTrue) {
  const std::uint64_t films = envNumber("ZELVO_CHAOS_FILMS", 30);
  const std::uint64_t firstSeed = envNumber("ZELVO_CHAOS_SEED", 20261208);
  for (std::uint64_t seed = firstSeed; seed < firstSeed + films; ++seed) {
    SCOPED_TRACE("chaos seed " + std::to_string(seed));
    watchdog_.kick();  // a hang is one film that does not end
    std::mt19937_64 rng(seed);
    const auto pick = [&rng](std::uint64_t n) { return rng() % n; };
    std::vector<std::uint64_t> sizes(1 + pick(4));
    for (auto& size : sizes) size = 10000 + pick(140000);
    const std::string id = "kaosz" + std::to_string(seed);
    service::FilmSpec f = service::makeFilm(id, "Káosz " + std::to_string(seed), sizes);
    f.validator = service::Validator(pick(5));
    f.ignoresRanges = pick(2) == 1;
    enum Change { Never, BetweenRuns, BetweenTries };
    const Change change = Change(pick(3));
    const std::size_t changing = std::size_t(pick(sizes.size()));
    if (change == BetweenTries) f.slices[changing].changeAfter = int(1 + pick(4));
    const bool strong = f.validator == service::Validator::ETag ||
                        f.validator == service::Validator::LastModified;
    SCOPED_TRACE("validator " + std::to_string(int(f.validator)) + ", ranges " +
                 (f.ignoresRanges ? "ignored" : "honoured") + ", change " +
                 std::to_string(int(change)));
    const QString name = QString::fromStdString(f.name);
    // Every version of the film the host has served: a version, with the changing slice
    // before or after its change.
    const auto variants = [&] {
      std::vector<std::string> out = {service::filmContent(f)};
      if (change == BetweenTries) {
        std::string changed;
        for (std::size_t i = 0; i < sizes.size(); ++i)
          changed += service::sliceContent(f, i, i == changing);
        out.push_back(changed);
      }
      return out;
    };
    std::vector<std::string> current = variants(), every = current;
    server.setChaos(seed);
    server.clearLog();
    for (int run = 0; run < 6; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      if (run > 0 && change == BetweenRuns && pick(2) == 0) {  // the film is replaced on the host
        f.version = std::to_string(run);
        current = variants();
        every.insert(every.end(), current.begin(), current.end());
      }
      server.addFilm(f);
      const std::string finalBefore = fileBytes(name);
      const std::string workBefore = fileBytes(name, QStringLiteral(".part"));
      const std::int64_t stopAt = pick(2) ? std::int64_t(pick(current[0].size())) : -1;
      w->setYieldObserver([&]() {
        if (w->isDownloading && w->film().receivedBytes >= stopAt && stopAt >= 0)
          QTest::mouseClick(w->Go, Qt::LeftButton);
      });
      fakes.boxes.shown.clear();
      startWith(QString::fromStdString(id));
      w->setYieldObserver({});
      const bool done = w->info->text() == QStringLiteral("Kész: ") + name + ".mpg";
      const std::string finalAfter = fileBytes(name);
      // "Kész" is exactly one version the host serves now; otherwise nothing changed there.
      if (done)
        EXPECT_TRUE(std::find(current.begin(), current.end(), finalAfter) != current.end());
      else
        EXPECT_TRUE(finalAfter == finalBefore);
      const QString work = pathOf(name) + ".part";
      const std::string held = fileBytes(name, QStringLiteral(".part"));
      if (held != "<missing>") {
        // Either the program left it as the last run's damage did, or it holds a prefix.
        EXPECT_TRUE(held == workBefore || isPrefixOfAny(held, every))
            << held.size() << " bytes in the work file";
        // What a crash or a full disk may leave of a run that wrote it, for the next run.
        switch (held == workBefore ? 0 : pick(3)) {
          case 1: {
            QFile part(work);
            if (part.open(QIODevice::Append)) part.write(QByteArray(65536, '\0'));
            break;
          }
          case 2: QFile::resize(work, qint64(pick(held.size() + 1))); break;
          default: break;
        }
      }
      if (HasFailure()) return;
      reopenOn(QString::fromStdString(host));  // a stop ended the window's program
      if (done) break;
    }
    // Only a strong validator ever goes into If-Range.
    for (const service::LoggedRequest& r : server.requests()) {
      const auto ifRange = r.header("If-Range");
      EXPECT_TRUE(!ifRange || (strong && ifRange->rfind("W/", 0) != 0)) << *ifRange;
    }
    if (HasFailure()) return;
  }
}

}  // namespace
