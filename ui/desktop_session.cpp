// The desktop session over D-Bus: the portal's (or logind's) sleep inhibitor, the launcher
// entry's progress, the window manager's attention request, the notification of a finished
// run (ui/desktop_notify.cpp).
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QThread>
#include <QVariantMap>
#include <functional>

#include "ui/desktop.h"
#include "ui/desktop_notify.h"
#include "ui/seams.h"

namespace ui {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kReason = QStringLiteral("Film letöltése");
constexpr uint kPortalSuspend = 4;
constexpr uint kPortalIdle = 8;

class DBusSession : public DesktopSession {
 public:
  void keepAwake(bool on) override {
    ++take_;  // a reply to an earlier request is no longer wanted
    on ? takeFromPortal() : release();
  }
  void showProgress(double fraction, bool visible) override;
  void askAttention(QWidget* window) override { QApplication::alert(window); }
  void notifyDone(const Finished& done) override { notifier_.notify(done); }
  void settle() override;

 private:
  using Done = std::function<void(QDBusPendingCallWatcher&)>;
  void takeFromPortal();
  void takeFromLogin();
  void release();
  void closePortalRequest(const QString& handle);
  void whenAnswered(const QDBusConnection& bus, const QDBusMessage& call, const Done& done);
  bool current(quint64 take) const { return take == take_ && wanted_; }

  QObject owner_;  // parent of the calls in flight
  quint64 take_ = 0;
  bool wanted_ = false;
  QString portalHandle_;
  QDBusUnixFileDescriptor loginFd_;  // logind releases when the last copy is closed
  DoneNotifier notifier_{inSandbox()};
};

void DBusSession::whenAnswered(const QDBusConnection& bus, const QDBusMessage& call,
                               const Done& done) {
  // Asynchronous: a slow or absent service never holds up the window.
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), &owner_);
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &owner_,
                   [done](QDBusPendingCallWatcher* w) {
                     w->deleteLater();
                     done(*w);
                   });
}

void DBusSession::takeFromPortal() {
  wanted_ = true;
  const QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return takeFromLogin();
  QDBusMessage call = QDBusMessage::createMethodCall(
      kPortal, QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.Inhibit"), QStringLiteral("Inhibit"));
  call << QString() << (kPortalSuspend | kPortalIdle)
       << QVariantMap{{QStringLiteral("reason"), kReason}};
  const quint64 take = take_;
  whenAnswered(bus, call, [this, take](QDBusPendingCallWatcher& w) {
    const QDBusPendingReply<QDBusObjectPath> reply = w;
    if (reply.isError()) {
      if (current(take)) takeFromLogin();
      return;
    }
    const QString handle = reply.value().path();
    if (current(take)) {
      portalHandle_ = handle;
    } else {
      closePortalRequest(handle);  // released before the answer came
    }
  });
}

void DBusSession::takeFromLogin() {
  const QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return;
  QDBusMessage call = QDBusMessage::createMethodCall(
      kLogin, QStringLiteral("/org/freedesktop/login1"),
      QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
  call << QStringLiteral("sleep:idle") << QStringLiteral("Zelvo") << kReason
       << QStringLiteral("block");
  const quint64 take = take_;
  whenAnswered(bus, call, [this, take](QDBusPendingCallWatcher& w) {
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = w;
    // A late answer's descriptor is closed with the reply, which releases it.
    if (!reply.isError() && current(take)) loginFd_ = reply.value();
  });
}

void DBusSession::release() {
  wanted_ = false;
  if (!portalHandle_.isEmpty()) closePortalRequest(portalHandle_);
  portalHandle_.clear();
  loginFd_ = QDBusUnixFileDescriptor();
}

void DBusSession::closePortalRequest(const QString& handle) {
  QDBusConnection::sessionBus().send(QDBusMessage::createMethodCall(
      kPortal, handle, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Close")));
}

void DBusSession::showProgress(double fraction, bool visible) {
  const QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  QDBusMessage signal = QDBusMessage::createSignal(
      QStringLiteral("/hu/zelvo/Zelvo"), QStringLiteral("com.canonical.Unity.LauncherEntry"),
      QStringLiteral("Update"));
  signal << QStringLiteral("application://%1.desktop").arg(QLatin1String(kDesktopId))
         << QVariantMap{{QStringLiteral("progress"), fraction},
                        {QStringLiteral("progress-visible"), visible}};
  bus.send(signal);
}

void DBusSession::settle() {
  // No answer is waited for: logind releases its inhibitor when the descriptor closes with
  // the process, the portal when the connection goes away. What was sent is handed to the
  // connection's own thread, which writes without blocking: once that thread has taken
  // it (a hand-off inside the process), it is on its way.
  const QDBusConnection bus = QDBusConnection::sessionBus();
  QObject* connectionSide = bus.isConnected() ? bus.interface() : nullptr;
  if (connectionSide && connectionSide->thread() != QThread::currentThread())
    QMetaObject::invokeMethod(
        connectionSide, [] {}, Qt::BlockingQueuedConnection);
}

}  // namespace

DesktopSession& desktopSession() {
  // Never destroyed: replies may still arrive while the program ends.
  static auto* session = new DBusSession;
  return *session;
}

}  // namespace ui
