// The window as a citizen of the desktop: film runs keep the machine awake and show their
// progress on the program's icon, a run that ends unseen asks for attention (and notifies
// when it finished), and screen
// readers hear the controls, the bar and the status text.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include "ui/accessible.h"
#include "ui/desktop_notify.h"
#include "ui/seams.h"

namespace ui {

// The installed menu entry's id (data/), which the desktop knows the program by.
inline constexpr char kDesktopId[] = "hu.zelvo.Zelvo";

class DesktopPresence {
 public:
  // Names the window's controls; the panel reads its description from status.
  DesktopPresence(QWidget& window, ProgressPanel& panel, const QLabel& status,
                  DesktopSession& session);
  DesktopPresence(const DesktopPresence&) = delete;
  DesktopPresence& operator=(const DesktopPresence&) = delete;

  // A film or a queue run starts or ends; a queue's films nest inside its run.
  void begin();
  // nudge: the run ended by itself (not stopped), so an unseen window asks for attention;
  // done: what it finished (no text: nothing), for the notification.
  void end(bool nudge, const Finished& done = {});
  // The program ends now: everything is released before it goes.
  void abandon();
  void barChanged(double fraction);  // the bar's share of its full length
  void statusChanged() { panel_.statusChanged(); }

 private:
  void finish();
  void sendProgress();

  QWidget& window_;
  ProgressPanel& panel_;
  DesktopSession& session_;
  int depth_ = 0;
  bool abandoned_ = false;
  int sentPercent_ = -1;
  QElapsedTimer sinceSent_;
  QTimer late_;  // sends the latest figure once the pause between updates is over
};

}  // namespace ui
