// Child process of the fault matrix: the real window with the real program end, reporting
// what the user saw on stdout, one fact per line.
//
//   fault_child stop HOST FOLDER ID click|close POINT FD
//       "Állj!" or closing the window at the first yield point where the stop point POINT
//       (tests/fault_stop_points.h) is reached. The test writes a line to file descriptor FD
//       for every request its service sees, before answering it.
//   fault_child nospace HOST FOLDER ID LIMIT
//       the film with files limited to LIMIT bytes (RLIMIT_FSIZE; the program itself must
//       ignore SIGXFSZ).
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "net/wininet.h"
#include "tests/fault_stop_points.h"
#include "ui/form1.h"

namespace {

void say(const QString& line) {
  std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
  std::fflush(stdout);
}

class PrintedBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget*, const QString& text, const QString&, ui::BoxButtons) override {
    say(QStringLiteral("BOX ") + text);
    return ui::BoxAnswer::Cancel;
  }
};

class NoBrowser : public ui::UrlOpener {
 public:
  void open(const QString& url, bool) override { say(QStringLiteral("OPEN ") + url); }
};

// Requests the service has seen: every one sent so far has been answered, and the service
// writes its line before answering, so at a yield point all of them are in the pipe.
class SeenRequests {
 public:
  explicit SeenRequests(int fd) : fd_(fd) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  int count() {
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
      for (ssize_t i = 0; i < n; ++i) seen_ += buffer[i] == '\n';
    return seen_;
  }

 private:
  int fd_;
  int seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 8) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Never hang the suite, whatever the window does.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(30));
    std::_Exit(4);
  }).detach();

  const QString mode = QString::fromLocal8Bit(argv[1]);
  PrintedBoxes boxes;
  NoBrowser opener;
  ui::Seams seams{&boxes, &opener, &ui::processEnd()};
  Form1 w(QString::fromLocal8Bit(argv[2]), seams);
  w.show();
  if (!w.directory->setPath(QString::fromLocal8Bit(argv[3]))) return 2;
  w.azonosito->setText(QString::fromUtf8(argv[4]));

  std::unique_ptr<SeenRequests> seen;
  if (mode == QLatin1String("stop") && argc == 8) {
    const bool click = QString::fromLocal8Bit(argv[5]) == QLatin1String("click");
    const stops::StopPoint* point = stops::findStopPoint(argv[6]);
    if (!point) return 2;
    seen = std::make_unique<SeenRequests>(std::atoi(argv[7]));
    const QString file = w.directory->path() + QLatin1Char('/') + QString::fromUtf8(stops::kFile);
    const net::HINTERNET openedBefore = net::handlesOpenedForTests();
    // By value, but for what outlives this block: the observer runs after it has ended.
    w.setYieldObserver([&w, &seen, click, point, file, openedBefore](long long) {
      stops::Moment m;
      m.seen = seen->count();
      m.opened = net::handlesOpenedForTests() - openedBefore;
      m.sizeShown = w.lblEgy->text() == QString::number(stops::kSlice[0]);
      m.slice = static_cast<int>(w.film().sliceUrls.indexOf(w.film().loopItem.toString()));
      m.sliceOpen = w.film().hRequest != 0;
      m.received = w.film().receivedBytes;
      m.inBuffer = w.film().bytesRead;
      m.hasFile = QFileInfo::exists(file);
      if (!point->reached(m)) return;
      say(QString::fromStdString(stops::toLine(m)));
      if (click)
        QTest::mouseClick(w.Go, Qt::LeftButton);
      else
        w.close();
      say(QStringLiteral("STILL RUNNING"));  // the program should have ended at once
    });
  } else if (mode == QLatin1String("nospace") && argc == 6) {
    const rlim_t limit = QString::fromLocal8Bit(argv[5]).toULongLong();
    const rlimit r{limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &r) != 0) return 2;
  } else {
    return 2;
  }

  QTest::mouseClick(w.Go, Qt::LeftButton);  // the whole film runs inside this click
  say(QStringLiteral("INFO ") + w.info->text());
  say(QStringLiteral("GO ") + w.Go->text());
  say(QStringLiteral("BUSY %1").arg(w.isDownloading ? 1 : 0));
  say(QStringLiteral("CAPTION ") + w.windowTitle());
  return mode == QLatin1String("stop") ? 3 : 0;
}
