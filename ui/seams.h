// The window's ways out to the desktop, replaceable by tests.
#pragma once

#include <QString>
#include <chrono>
#include <functional>

class QWidget;

namespace ui {

struct Finished;  // ui/desktop_notify.h

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

// Waits with the window live (a retry's pause); ends early once `over` says so.
class Pauses {
 public:
  virtual ~Pauses() = default;
  virtual void pause(std::chrono::milliseconds wait, const std::function<bool()>& over) = 0;
};

// The text cut after maxLines lines of at most charsPerLine characters (ending in "…"
// when cut), so that a box showing it never grows past the screen.
QString fitLines(const QString& text, int maxLines, int charsPerLine);

// The desktop session around the window: keeps the machine awake, shows progress on the
// program's icon in docks and task bars, asks for the user's attention and notifies of a
// finished run. Quiet when the session offers none of it.
class DesktopSession {
 public:
  virtual ~DesktopSession() = default;
  virtual void keepAwake(bool on) = 0;
  // fraction 0..1; visible=false hides the progress again.
  virtual void showProgress(double fraction, bool visible) = 0;
  virtual void askAttention(QWidget* window) = 0;
  // A film or queue run finished unseen: a notification that can show its files.
  virtual void notifyDone(const Finished& done) = 0;
  // The process ends next: what was sent leaves the process first; no answer is waited for.
  virtual void settle() = 0;
};

// Real desktop implementations.
MessageBoxes& desktopMessageBoxes();
UrlOpener& desktopUrlOpener();
ProgramEnd& processEnd();
Pauses& eventLoopPauses();
DesktopSession& desktopSession();  // D-Bus (ui/desktop_session.cpp)

struct Seams {
  MessageBoxes* boxes = &desktopMessageBoxes();
  UrlOpener* opener = &desktopUrlOpener();
  ProgramEnd* ender = &processEnd();
  Pauses* pauses = &eventLoopPauses();
  DesktopSession* desktop = &desktopSession();
};

}  // namespace ui
