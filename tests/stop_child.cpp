// Child process for the stop tests: the real window with the real program end.
// Usage: stop_child HOST FOLDER ID[,ID...] click|close STOP_AFTER_BYTES|wait|check|end|never
//   Several identifiers go into the queue, and "Mindet letölt!" starts them.
//   wait: stops inside the first retry wait; check: while the answer to the first slice
//   request, which checks a work file before the film goes on, is read; end: as the finished film
//   has taken its name; never: lets the film end and prints its text.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "net/wininet.h"
#include "ui/form1.h"

namespace {

// The real retry wait, with the stop arriving as an event inside it.
class StopInsideWait : public ui::Pauses {
 public:
  explicit StopInsideWait(std::function<void()> stop) : stop_(std::move(stop)) {}
  void pause(std::chrono::milliseconds wait, const std::function<bool()>& over) override {
    std::printf("WAIT %lld\n", static_cast<long long>(wait.count()));
    std::fflush(stdout);
    QTimer::singleShot(0, stop_);
    ui::eventLoopPauses().pause(wait, over);
  }

 private:
  std::function<void()> stop_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString mode = QString::fromLocal8Bit(argv[4]);
  const QString when = QString::fromLocal8Bit(argv[5]);
  const qint64 stopAfter = when.toLongLong();
  Form1* window = nullptr;
  const auto stop = [&] {
    if (mode == QLatin1String("click"))
      QTest::mouseClick(window->Go, Qt::LeftButton);
    else
      window->close();
  };
  StopInsideWait inWait(stop);
  ui::Seams seams;
  if (when == QLatin1String("wait")) seams.pauses = &inWait;
  Form1 w(QString::fromLocal8Bit(argv[1]), seams);
  window = &w;
  w.show();
  if (!w.directory->setPath(QString::fromLocal8Bit(argv[2]))) return 2;
  const QStringList ids = QString::fromLocal8Bit(argv[3]).split(QLatin1Char(','));

  // Decided on what was received, whatever the number of yields; the click or close then
  // arrives as an event, handled whenever the window next handles events, as a user's would.
  bool asked = false;
  const QDir folder(QString::fromLocal8Bit(argv[2]));
  const auto reached = [&] {
    if (when == QLatin1String("check"))  // the first check's answer is being read
      return w.film().hRequest != 0 && net::bufferedBytesForTests(w.film().hRequest) > 0;
    if (when == QLatin1String("end"))
      return !folder.entryList({QStringLiteral("*_Zelvoweb.mpg")}, QDir::Files).isEmpty();
    return stopAfter > 0 && w.film().receivedBytes >= stopAfter;
  };
  w.setYieldObserver([&](long long) {
    if (asked || !reached()) return;
    asked = true;
    std::printf("STOP %lld %s\n", static_cast<long long>(w.film().receivedBytes),
                qPrintable(w.film().loopItem.toString()));
    std::fflush(stdout);
    QTimer::singleShot(0, &w, stop);
  });
  QTimer::singleShot(0, [&] {
    if (ids.size() == 1) {
      w.azonosito->setText(ids[0]);
      QTest::mouseClick(w.Go, Qt::LeftButton);
    } else {
      for (const QString& id : ids) {
        w.azonosito->setText(id);
        QTest::mouseClick(w.azon2queue, Qt::LeftButton);
      }
      QTest::mouseClick(w.q_letolt, Qt::LeftButton);
    }
    if (when != QLatin1String("never")) return;
    std::printf("DONE %s\n", qPrintable(w.info->text()));
    std::fflush(stdout);
    std::_Exit(0);
  });
  QTimer::singleShot(20000, [] { std::_Exit(4); });  // never hang the suite
  app.exec();
  return 3;  // the program must have ended inside the download
}
