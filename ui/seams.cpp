#include "ui/seams.h"

#include <QDesktopServices>
#include <QEventLoop>
#include <QMessageBox>
#include <QTimer>
#include <QUrl>
#include <cstdio>
#include <cstdlib>

namespace ui {
namespace {

class QtMessageBoxes : public MessageBoxes {
 public:
  BoxAnswer warn(QWidget* parent, const QString& text, const QString& title,
                 BoxButtons buttons) override {
    const auto shown =
        buttons == BoxButtons::OkCancel ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok;
    QMessageBox box(QMessageBox::Warning, title, text, shown, parent);
    // The text may come from the server: shown as the characters it is, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    return box.exec() == QMessageBox::Ok ? BoxAnswer::Ok : BoxAnswer::Cancel;
  }
};

class DesktopUrlOpener : public UrlOpener {
 public:
  void open(const QString& url, bool shown) override {
    // The desktop opener cannot open a page hidden; such a request has nothing to show.
    if (shown) QDesktopServices::openUrl(QUrl(url));
  }
};

class ProcessEnd : public ProgramEnd {
 public:
  void end() override {
    std::fflush(nullptr);
    // At once: no event handler and no download step may run after this.
    std::_Exit(0);
  }
};

class EventLoopPauses : public Pauses {
 public:
  void pause(std::chrono::milliseconds wait, const std::function<bool()>& over) override {
    // Events are handled all the while; a check every 10 ms ends the wait when told.
    QEventLoop loop;
    QTimer done;
    done.setSingleShot(true);
    QObject::connect(&done, &QTimer::timeout, &loop, &QEventLoop::quit);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
      if (over && over()) loop.quit();
    });
    done.start(wait);
    watch.start(10);
    loop.exec();
  }
};

}  // namespace

Pauses& eventLoopPauses() {
  static EventLoopPauses pauses;
  return pauses;
}

MessageBoxes& desktopMessageBoxes() {
  static QtMessageBoxes boxes;
  return boxes;
}
UrlOpener& desktopUrlOpener() {
  static DesktopUrlOpener opener;
  return opener;
}
ProgramEnd& processEnd() {
  static ProcessEnd ender;
  return ender;
}

}  // namespace ui
