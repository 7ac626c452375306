#include "ui/seams.h"

#include "ui/event_pump.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <algorithm>
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
    // Lines past what half the screen holds are cut; Qt keeps the width within the
    // screen and wraps long words itself.
    const QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    const QFontMetrics metrics(QApplication::font("QMessageBoxLabel"));
    const int lines =
        screen ? screen->availableGeometry().height() / 2 / metrics.lineSpacing() : 20;
    const int perLine = 400 / std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));
    QMessageBox box(QMessageBox::Warning, title, fitLines(text, lines, perLine), shown, parent);
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
    EventPump::wait(wait, over);
  }
};

}  // namespace

QString fitLines(const QString& text, int maxLines, int charsPerLine) {
  maxLines = std::max(1, maxLines);
  charsPerLine = std::max(1, charsPerLine);
  int used = 0;
  for (qsizetype from = 0;;) {
    const qsizetype lf = text.indexOf(QLatin1Char('\n'), from);
    const qsizetype end = lf < 0 ? text.size() : lf;
    const int room = maxLines - used;
    const qsizetype wraps = std::max<qsizetype>(1, (end - from + charsPerLine - 1) / charsPerLine);
    // A line that takes the last room while more follows ends in the mark too.
    if (wraps > room || (wraps == room && lf >= 0)) {
      qsizetype keep = std::min(from + qsizetype(room) * charsPerLine - 1, end);
      if (keep > from && text.at(keep - 1).isHighSurrogate()) --keep;
      return text.left(keep) + QChar(0x2026);
    }
    used += int(wraps);
    if (lf < 0) return text;
    from = lf + 1;
  }
}

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
