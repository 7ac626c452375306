// A scripted tour through the real window for machines without a display: opens the
// catalogue, downloads a film, queues two more and runs the queue, saving a picture
// of each step. Usage: zelvo-tour DOWNLOAD_FOLDER PICTURE_FOLDER
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>

#include "ui/catalogue_view.h"
#include "ui/form1.h"
#include "ui/look.h"
#include "ui/service_host.h"

namespace {

// Nobody can answer a box offscreen: show its text and take OK.
class PrintedBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget*, const QString& text, const QString& title, ui::BoxButtons) override {
    std::printf("  [%s] %s\n", qPrintable(title), qPrintable(text));
    return ui::BoxAnswer::Ok;
  }
};

class PrintedOpener : public ui::UrlOpener {
 public:
  void open(const QString& url, bool shown) override {
    if (shown) std::printf("  (browser) %s\n", qPrintable(url));
  }
};

class Tour {
 public:
  Tour(Form1& w, QString downloads, QString pictures)
      : w_(w), downloads_(std::move(downloads)), pictures_(std::move(pictures)) {}

  void shot(const char* name) {
    QCoreApplication::processEvents();
    const QString path =
        pictures_ + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    w_.grab().save(path);
    std::printf("  picture: %s\n", qPrintable(path));
  }
  void step(const char* what) { std::printf("%d. %s\n", ++steps_, what); }
  void showFiles() {
    for (const QFileInfo& f : QDir(downloads_).entryInfoList(QDir::Files, QDir::Name))
      std::printf("  file: %s (%lld bytes)\n", qPrintable(f.absoluteFilePath()),
                  static_cast<long long>(f.size()));
  }
  void status() { std::printf("  status: %s\n", qPrintable(w_.info->text())); }

 private:
  Form1& w_;
  QString downloads_;
  QString pictures_;
  int steps_ = 0;
};

// The catalogue, one film from it, two more queued and the whole queue run; false when
// the catalogue did not load.
bool runTour(Form1& w, Tour& tour) {
  tour.step("The window at start-up");
  tour.shot("1-startup");

  tour.step("\"Minden film\": the catalogue");
  QTest::mouseClick(w.Command1, Qt::LeftButton);
  for (int i = 0; i < w.Lista->count(); ++i) std::printf("  %s\n", qPrintable(w.Lista->text(i)));
  if (w.Lista->count() < 3) return false;
  w.Lista->setCurrentRow(0);
  tour.shot("2-catalogue");

  tour.step("\"Letölt!\": the first film of the catalogue");
  QTest::mouseClick(w.Command2, Qt::LeftButton);
  tour.status();
  tour.shot("3-downloaded");
  tour.showFiles();

  tour.step("\"<< Listához\": two more films into the queue");
  for (int row : {1, 2}) {
    w.Lista->setCurrentRow(row);
    QTest::mouseClick(w.toQueue, Qt::LeftButton);
  }
  tour.shot("4-queue");

  tour.step("\"Mindet letölt!\": the whole queue");
  bool caught = false;
  QTimer midway;
  QObject::connect(&midway, &QTimer::timeout, [&] {
    if (caught || !w.isDownloading || w.film().percentDone < 30 || w.film().percentDone > 90)
      return;
    caught = true;
    tour.shot("5-downloading");
  });
  midway.start(5);
  QTest::mouseClick(w.q_letolt, Qt::LeftButton);
  midway.stop();
  tour.status();
  tour.shot("6-queue-done");
  tour.showFiles();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: zelvo-tour DOWNLOAD_FOLDER PICTURE_FOLDER\n");
    return 2;
  }
  QApplication app(argc, argv);
  ui::applyLook();
  ui::installQtHungarian();
  const QString downloads = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
  const QString pictures = QDir(QString::fromLocal8Bit(argv[2])).absolutePath();
  QDir().mkpath(downloads);
  QDir().mkpath(pictures);

  PrintedBoxes boxes;
  PrintedOpener opener;
  ui::Seams seams;
  seams.boxes = &boxes;
  seams.opener = &opener;
  Form1 w(ui::serviceHost(), seams);
  w.show();
  w.directory->setPath(downloads);
  Tour tour(w, downloads, pictures);
  if (runTour(w, tour)) return 0;
  std::fprintf(stderr, "The catalogue did not load: is zelvo-service running on %s?\n",
               qPrintable(ui::serviceHost()));
  return 1;
}
