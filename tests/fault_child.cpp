// Child process of the fault matrix: the real window with the real program end, reporting
// what the user saw on stdout, one fact per line.
//
//   fault_child stop HOST FOLDER ID click|close N
//       "Állj!" or closing the window at yield point N of the film.
//   fault_child nospace HOST FOLDER ID LIMIT
//       the film with files limited to LIMIT bytes (RLIMIT_FSIZE, SIGXFSZ ignored).
#include <sys/resource.h>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) return 2;
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

  if (mode == QLatin1String("stop") && argc == 7) {
    const bool click = QString::fromLocal8Bit(argv[5]) == QLatin1String("click");
    const long long at = QString::fromLocal8Bit(argv[6]).toLongLong();
    // By value: the observer runs after this block has ended.
    w.setYieldObserver([&w, click, at](long long n) {
      if (n != at) return;
      say(QStringLiteral("AT %1 %2 %3 %4")
              .arg(n)
              .arg(w.receivedBytes)
              .arg(w.bytesRead)
              .arg(w.loopItem.toString()));
      if (click)
        QTest::mouseClick(w.Go, Qt::LeftButton);
      else
        w.close();
      say(QStringLiteral("STILL RUNNING"));  // the program should have ended at once
    });
  } else if (mode == QLatin1String("nospace") && argc == 6) {
    const rlim_t limit = QString::fromLocal8Bit(argv[5]).toULongLong();
    std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
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
