// The window's ways out to the desktop, replaceable by tests.
#pragma once

#include <QString>

class QWidget;

namespace ui {

enum class BoxButtons { Ok, OkCancel };
enum class BoxAnswer { Ok, Cancel };

// Modal message boxes; the window only ever shows warnings.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual BoxAnswer warn(QWidget* parent, const QString& text, const QString& title,
                         BoxButtons buttons) = 0;
};

// Hands a web address to the user's browser; shown=false asks for a hidden window.
class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  virtual void open(const QString& url, bool shown) = 0;
};

// Ends the process at once (the stop command and closing the window).
class ProgramEnd {
 public:
  virtual ~ProgramEnd() = default;
  virtual void end() = 0;
};

// Real desktop implementations.
MessageBoxes& desktopMessageBoxes();
UrlOpener& desktopUrlOpener();
ProgramEnd& processEnd();

struct Seams {
  MessageBoxes* boxes = &desktopMessageBoxes();
  UrlOpener* opener = &desktopUrlOpener();
  ProgramEnd* ender = &processEnd();
};

}  // namespace ui
