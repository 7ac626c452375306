// The fault matrix's fixture: the window against the substitute service with short network
// time limits, a watchdog that fails a hung case instead of stalling the suite, and checks
// of what the user is left with after a film.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QDir>
#include <QDirIterator>
#include <QGroupBox>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <thread>

#include "net/wininet.h"
#include "service/service.h"
#include "tests/closed_port.h"
#include "tests/film_fixture.h"

// Ends the process when a case runs far longer than any case may (a hang), with a message.
// A long case made of many short ones (the chaos run) kicks it before each.
class Watchdog {
 public:
  using Clock = std::chrono::steady_clock;
  explicit Watchdog(std::chrono::seconds limit)
      : limit_(limit), deadline_(Clock::now() + limit), thread_([this] {
          std::unique_lock<std::mutex> lock(mu_);
          while (!done_) {
            if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && !done_ &&
                Clock::now() >= deadline_) {
              std::fprintf(stderr, "fault case still running after %llds: hung\n",
                           static_cast<long long>(limit_.count()));
              std::fflush(stderr);
              std::_Exit(5);
            }
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  // The limit counts again from now.
  void kick() {
    std::lock_guard<std::mutex> lock(mu_);
    deadline_ = Clock::now() + limit_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  const std::chrono::seconds limit_;
  Clock::time_point deadline_;
  std::thread thread_;
};

class FaultTest : public FilmTest {
 protected:
  void SetUp() override {
    setIdleLimit(false);
    FilmTest::SetUp();
  }
  // Only cases that stall on purpose wait for the idle limit, so only they get a short one;
  // the others get one far above any pause of a loaded machine (and below the watchdog).
  // A refused connection fails at once either way.
  static void setIdleLimit(bool stalling) {
    using std::chrono::milliseconds;
    net::setTimeLimitsForTests({milliseconds(3000), milliseconds(stalling ? 300 : 10000)});
  }
  static bool stalls(service::Fault f) {
    return f == service::Fault::Stall || f == service::Fault::StallHeaders;
  }
  void TearDown() override {
    FilmTest::TearDown();
    net::setTimeLimitsForTests(net::TimeLimits{});
  }

  // The window again, pointed at another service host.
  void reopenOn(const QString& serviceHost) {
    w.reset();
    w = std::make_unique<Form1>(serviceHost, fakes.seams());
    w->show();
    ASSERT_TRUE(w->directory->setPath(folder.path()));
  }

  // Complete slices [0, n) of a service film.
  static std::string firstSlices(const service::FilmSpec& f, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += service::sliceContent(f, i);
    return out;
  }

  // Every file below the temporary folder, as paths relative to it.
  QStringList filesBelowFolder() const {
    QStringList out;
    QDirIterator it(folder.path(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) out << QDir(folder.path()).relativeFilePath(it.next());
    return out;
  }

  // The window is idle again: Start!, not downloading, the idle caption, no "Kész".
  void expectIdleWith(const QString& infoText) {
    EXPECT_EQ(w->Go->text(), QStringLiteral("Start!"));
    EXPECT_FALSE(w->isDownloading);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
    EXPECT_EQ(w->info->text(), infoText);
    EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  }
  // One "Hiba!" box with only OK, showing exactly this text.
  void expectOneBox(const QString& text) {
    ASSERT_EQ(fakes.boxes.shown.size(), 1u);
    EXPECT_EQ(fakes.boxes.shown[0].text, text);
    EXPECT_EQ(fakes.boxes.shown[0].title, QStringLiteral("Hiba!"));
    EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::Ok);
  }
  void expectFailedWith(const QString& boxText) {
    expectOneBox(boxText);
    expectIdleWith(QStringLiteral("Hiba történt"));
  }
  // A failed catalogue load: the box, and a hidden, empty list.
  void expectCatalogueFailed() {
    expectOneBox(QStringLiteral("Nem sikerült letölteni a filmlistát."));
    EXPECT_TRUE(w->Lista->isHidden());
    EXPECT_EQ(w->Lista->count(), 0);
    EXPECT_TRUE(w->catalogRows.isEmpty());
    EXPECT_EQ(w->Frame1->title(), QStringLiteral("Összes film"));
  }
  static QString sliceFailure(int oneBased) {
    return QStringLiteral("Nem sikerült letölteni a(z) %1. szeletet.").arg(oneBased);
  }

  Watchdog watchdog_{std::chrono::seconds(90)};
};
