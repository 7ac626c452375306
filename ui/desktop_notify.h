// The notification of a film or queue run that finished while the window was not active,
// with an action that shows the saved files in the file manager.
#pragma once

#include <QObject>
#include <QStringList>
#include <QVariantList>

namespace ui {

// What a finished run leaves: the window's completion text, the files it saved (full
// paths) and the folder they are in.
struct Finished {
  QString text;
  QStringList files;
  QString folder;
};

// The action's label.
inline constexpr char kShowInFolder[] = "Megnyitás a mappában";

// Talks to org.freedesktop.Notifications on the session bus, or, inside a sandbox, to the
// portal's org.freedesktop.portal.Notification. Only the latest notification is kept: a new
// one replaces it. Silent where neither service answers.
class DoneNotifier : public QObject {
  Q_OBJECT

 public:
  explicit DoneNotifier(bool sandboxed);
  void notify(const Finished& done);

 private slots:
  void actionInvoked(uint id, const QString& key);
  void portalActionInvoked(const QString& id, const QString& action, const QVariantList&);

 private:
  void listen();
  void notifyServer(const Finished& done);
  void notifyPortal(const Finished& done);
  void showInFolder(const Finished& done);

  bool sandboxed_;
  bool listening_ = false;
  uint serverId_ = 0;  // the server's id of the latest notification; 0: none yet
  quint64 sent_ = 0;   // counts notifications, so that a late reply knows it is stale
  Finished shown_;     // what the latest notification's action shows
};

// Whether the program runs inside a sandbox that reaches the desktop through the portal.
bool inSandbox();

}  // namespace ui
