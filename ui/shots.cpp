// Renders the window in its states to PNG files: start-up, busy, idle, queue panel open.
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <cstdio>

#include "ui/form1.h"
#include "ui/look.h"
#include "ui/service_host.h"

namespace {
class NoEnd : public ui::ProgramEnd {
 public:
  void end() override {}
};

void save(Form1& w, const QString& dir, const char* name) {
  QCoreApplication::processEvents();
  const QString path = dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
  w.grab().save(path);
  std::printf("%s\n", qPrintable(path));
}
}  // namespace

int main(int argc, char** argv) {
  const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("shots");
  QApplication app(argc, argv);
  ui::applyLook();
  ui::installQtHungarian();
  QDir().mkpath(dir);
  NoEnd noEnd;
  ui::Seams seams;
  seams.ender = &noEnd;
  Form1 w(ui::serviceHost(), seams);
  w.show();
  save(w, dir, "startup");
  w.enterBusyState();
  save(w, dir, "busy");
  w.enterIdleState();
  save(w, dir, "idle");
  w.btQueue->click();
  save(w, dir, "queue");
  return 0;
}
