#include "ui/desktop_notify.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFile>
#include <QUrl>
#include <QVariantMap>

#include "ui/desktop.h"

namespace ui {
namespace {

const QString kServer = QStringLiteral("org.freedesktop.Notifications");
const QString kServerPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalNotification = QStringLiteral("org.freedesktop.portal.Notification");
const QString kAction = QStringLiteral("show");
const QString kPortalId = QStringLiteral("done");  // one id: each notification replaces the last
// Film names come from the host: the summary is cut to one short line.
constexpr int kSummaryChars = 120;

QString uri(const QString& path) {
  return QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded());
}

}  // namespace

bool inSandbox() { return QFile::exists(QStringLiteral("/.flatpak-info")); }

DoneNotifier::DoneNotifier(bool sandboxed) : sandboxed_(sandboxed) {
  qDBusRegisterMetaType<QList<QVariantMap>>();
}

void DoneNotifier::notify(const Finished& done) {
  if (!QDBusConnection::sessionBus().isConnected()) return;
  listen();
  ++sent_;
  Finished cut = done;
  cut.text = fitLines(done.text, 1, kSummaryChars);
  sandboxed_ ? notifyPortal(cut) : notifyServer(cut);
}

void DoneNotifier::listen() {
  if (listening_) return;
  listening_ = true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (sandboxed_) {
    bus.connect(kPortal, kPortalPath, kPortalNotification, QStringLiteral("ActionInvoked"), this,
                SLOT(portalActionInvoked(QString, QString, QVariantList)));
  } else {
    bus.connect(kServer, kServerPath, kServer, QStringLiteral("ActionInvoked"), this,
                SLOT(actionInvoked(uint, QString)));
  }
}

void DoneNotifier::notifyServer(const Finished& done) {
  QDBusMessage call =
      QDBusMessage::createMethodCall(kServer, kServerPath, kServer, QStringLiteral("Notify"));
  // The summary is plain text to every server (only the body may be markup): no body.
  call << QStringLiteral("Zelvo") << serverId_ << QLatin1String(kDesktopId) << done.text
       << QString() << QStringList{kAction, QString::fromUtf8(kShowInFolder)}
       << QVariantMap{{QStringLiteral("desktop-entry"), QLatin1String(kDesktopId)}} << -1;
  // Asynchronous: a slow or absent server never holds up the window.
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, done, sent = sent_](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<uint> reply = *w;
            if (reply.isError() || sent != sent_) return;
            serverId_ = reply.value();
            shown_ = done;
          });
}

void DoneNotifier::notifyPortal(const Finished& done) {
  QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kPortalNotification,
                                                     QStringLiteral("AddNotification"));
  const QList<QVariantMap> buttons = {
      {{QStringLiteral("label"), QString::fromUtf8(kShowInFolder)},
       {QStringLiteral("action"), kAction}}};
  // The portal shows the sandboxed program's own icon.
  call << kPortalId
       << QVariantMap{{QStringLiteral("title"), done.text},
                      {QStringLiteral("buttons"), QVariant::fromValue(buttons)}};
  shown_ = done;  // the portal answers nothing but success
  QDBusConnection::sessionBus().send(call);
}

void DoneNotifier::actionInvoked(uint id, const QString& key) {
  if (id != 0 && id == serverId_ && key == kAction) showInFolder(shown_);
}

void DoneNotifier::portalActionInvoked(const QString& id, const QString& action,
                                       const QVariantList&) {
  if (id == kPortalId && action == kAction && !shown_.folder.isEmpty()) showInFolder(shown_);
}

void DoneNotifier::showInFolder(const Finished& done) {
  // The file manager shows the files selected; without one the folder opens with the
  // desktop's default for folders.
  QStringList uris;
  for (const QString& f : done.files) uris << uri(f);
  const bool items = !uris.isEmpty();
  if (!items) uris << uri(done.folder);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
      QStringLiteral("org.freedesktop.FileManager1"),
      items ? QStringLiteral("ShowItems") : QStringLiteral("ShowFolders"));
  call << uris << QString();
  auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [folder = done.folder](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            if (w->isError()) QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
          });
}

}  // namespace ui
