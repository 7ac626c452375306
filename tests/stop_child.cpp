// Child process for the stop tests: the real window with the real program end.
// Usage: stop_child HOST FOLDER ID[,ID...] click|close STOP_AFTER_BYTES
// Several identifiers go into the queue, and "Mindet letölt!" starts them.
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "ui/form1.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const QString mode = QString::fromLocal8Bit(argv[4]);
  const qint64 stopAfter = QString::fromLocal8Bit(argv[5]).toLongLong();
  Form1 w(QString::fromLocal8Bit(argv[1]));
  w.show();
  if (!w.directory->setPath(QString::fromLocal8Bit(argv[2]))) return 2;
  const QStringList ids = QString::fromLocal8Bit(argv[3]).split(QLatin1Char(','));

  // Decided on what was received, whatever the number of yields; the click or close then
  // arrives as an event, handled whenever the window next handles events, as a user's would.
  bool asked = false;
  w.setYieldObserver([&](long long) {
    if (asked || w.receivedBytes < stopAfter) return;
    asked = true;
    std::printf("STOP %lld %s\n", static_cast<long long>(w.receivedBytes),
                qPrintable(w.loopItem.toString()));
    std::fflush(stdout);
    QTimer::singleShot(0, &w, [&] {
      if (mode == QLatin1String("click"))
        QTest::mouseClick(w.Go, Qt::LeftButton);
      else
        w.close();
    });
  });
  QTimer::singleShot(0, [&] {
    if (ids.size() == 1) {
      w.azonosito->setText(ids[0]);
      QTest::mouseClick(w.Go, Qt::LeftButton);
      return;
    }
    for (const QString& id : ids) {
      w.azonosito->setText(id);
      QTest::mouseClick(w.azon2queue, Qt::LeftButton);
    }
    QTest::mouseClick(w.q_letolt, Qt::LeftButton);
  });
  QTimer::singleShot(20000, [] { std::_Exit(4); });  // never hang the suite
  app.exec();
  return 3;  // the program must have ended inside the download
}
