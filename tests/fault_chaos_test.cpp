// A seeded chaos run: many films through the window against a service that picks each
// slice answer's fault from a seed, with stops, restarts and films replaced between runs.
// After every run: "Kész" means the file is the film; a work file is a prefix of a version
// of the film; nothing under the final name changes unless a whole film replaces it.
// ZELVO_CHAOS_FILMS sets how many films (scripts/test --stress runs thousands); a failure
// names its seed, and ZELVO_CHAOS_SEED=<seed> ZELVO_CHAOS_FILMS=1 replays it.
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

TEST_F(FaultTest, ChaosRunKeepsEveryFileTrue) {
  const std::uint64_t films = envNumber("ZELVO_CHAOS_FILMS", 30);
  const std::uint64_t firstSeed = envNumber("ZELVO_CHAOS_SEED", 20261208);
  for (std::uint64_t seed = firstSeed; seed < firstSeed + films; ++seed) {
    SCOPED_TRACE("chaos seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto pick = [&rng](std::uint64_t n) { return rng() % n; };
    std::vector<std::uint64_t> sizes(1 + pick(4));
    for (auto& size : sizes) size = 10000 + pick(140000);
    const std::string id = "kaosz" + std::to_string(seed);
    service::FilmSpec f = service::makeFilm(id, "Káosz " + std::to_string(seed), sizes);
    f.validator = service::Validator(pick(3));
    const QString name = QString::fromStdString(f.name);
    std::vector<std::string> versions = {service::filmContent(f)};
    server.setChaos(seed);
    for (int run = 0; run < 6; ++run) {
      SCOPED_TRACE("run " + std::to_string(run));
      if (run > 0 && pick(4) == 0) {  // the film is replaced on the host
        f.version = std::to_string(run);
        versions.push_back(service::filmContent(f));
      }
      server.addFilm(f);
      const std::string finalBefore = fileBytes(name);
      const std::int64_t stopAt = pick(2) ? std::int64_t(pick(versions.back().size())) : -1;
      w->setYieldObserver([&]() {
        if (w->isDownloading && w->film().receivedBytes >= stopAt && stopAt >= 0)
          QTest::mouseClick(w->Go, Qt::LeftButton);
      });
      fakes.boxes.shown.clear();
      startWith(QString::fromStdString(id));
      w->setYieldObserver({});
      const bool done = w->info->text() == QStringLiteral("Kész: ") + name + ".mpg";
      const std::string finalAfter = fileBytes(name);
      EXPECT_TRUE(finalAfter == (done ? versions.back() : finalBefore));
      const std::string work = fileBytes(name, QStringLiteral(".part"));
      if (work != "<missing>") {
        bool prefix = false;
        for (const std::string& v : versions) prefix = prefix || isPrefix(work, v);
        EXPECT_TRUE(prefix) << work.size() << " bytes in the work file";
      }
      if (HasFailure()) return;
      reopenOn(QString::fromStdString(host));  // a stop ended the window's program
      if (done) break;
    }
  }
}

}  // namespace
