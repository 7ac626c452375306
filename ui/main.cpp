#include <QApplication>

#include "ui/desktop.h"
#include "ui/form1.h"
#include "ui/look.h"
#include "ui/service_host.h"

int main(int argc, char** argv) {
  // The program takes no arguments: Qt sees only the program's name.
  int qtArgc = 1;
  char* qtArgv[] = {argc > 0 ? argv[0] : const_cast<char*>("zelvo"), nullptr};
  QApplication app(qtArgc, qtArgv);
  // Wayland ties the window to its menu entry (name, icon) by this id.
  QGuiApplication::setDesktopFileName(QLatin1String(ui::kDesktopId));
  ui::applyLook();
  ui::installQtHungarian();
  Form1 window(ui::serviceHost());
  window.show();
  return app.exec();
}
