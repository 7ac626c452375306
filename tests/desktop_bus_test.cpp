// The window's desktop session through a real (private) D-Bus session bus, against fake
// portal, logind and dock listeners on a connection of their own. Run by ctest under
// dbus-run-session with tests/private-bus.conf.
#include <fcntl.h>
#include <unistd.h>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>

#include "tests/film_fixture.h"

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kLogin = QStringLiteral("org.freedesktop.login1");
constexpr int kWaitMs = 120000;  // only a fault comes near this

// What the fakes saw, in order: takes, releases and the dock's updates.
struct SessionLog {
  QStringList calls;
  QList<QPair<double, bool>> progress;  // (progress, progress-visible)
  int held = 0;
};

class PortalRequest : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")
 public:
  explicit PortalRequest(SessionLog& log) : log_(log) {}
 public slots:
  void Close() {
    log_.calls << QStringLiteral("portal release");
    --log_.held;
  }

 private:
  SessionLog& log_;
};

class PortalInhibit : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")
 public:
  PortalInhibit(QDBusConnection bus, SessionLog& log) : bus_(bus), log_(log) {}
 public slots:
  QDBusObjectPath Inhibit(const QString& window, uint flags, const QVariantMap& options) {
    log_.calls << QStringLiteral("portal take [%1] %2 %3")
                      .arg(window)
                      .arg(flags)
                      .arg(options.value(QStringLiteral("reason")).toString());
    ++log_.held;
    const QString path =
        QStringLiteral("/org/freedesktop/portal/desktop/request/t%1").arg(log_.calls.size());
    auto* request = new PortalRequest(log_);
    request->setParent(this);
    bus_.registerObject(path, request, QDBusConnection::ExportAllSlots);
    return QDBusObjectPath(path);
  }

 private:
  QDBusConnection bus_;
  SessionLog& log_;
};

// logind hands out one end of a pipe; the inhibitor lasts until every copy of it is closed.
class LoginManager : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
 public:
  explicit LoginManager(SessionLog& log) : log_(log) {}
 public slots:
  QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                  const QString& mode) {
    log_.calls << QStringList{QStringLiteral("login take"), what, who, why, mode}.join(' ');
    ++log_.held;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return {};
    auto* closed = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    connect(closed, &QSocketNotifier::activated, this, [this, closed, end = ends[0]] {
      char c;
      if (read(end, &c, 1) > 0) return;
      log_.calls << QStringLiteral("login release");
      --log_.held;
      closed->deleteLater();
      close(end);
    });
    const QDBusUnixFileDescriptor handed(ends[1]);  // a copy
    close(ends[1]);
    return handed;
  }

 private:
  SessionLog& log_;
};

class DockListener : public QObject {
  Q_OBJECT
 public:
  explicit DockListener(SessionLog& log) : log_(log) {}
 public slots:
  void update(const QString& app, const QVariantMap& properties) {
    if (app != QStringLiteral("application://hu.zelvo.Zelvo.desktop")) return;
    log_.progress.append({properties.value(QStringLiteral("progress"), -1).toDouble(),
                          properties.value(QStringLiteral("progress-visible")).toBool()});
  }

 private:
  SessionLog& log_;
};

class DesktopBusTest : public FilmTest {
 protected:
  static void SetUpTestSuite() {
    // logind's fake lives on the same private bus: no test touches the machine's own.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("DBUS_SESSION_BUS_ADDRESS"));
  }
  void SetUp() override {
    FilmTest::SetUp();
    ASSERT_FALSE(qgetenv("DBUS_SESSION_BUS_ADDRESS").isEmpty()) << "run under dbus-run-session";
    ASSERT_TRUE(fakes_.isConnected());
    ASSERT_TRUE(fakes_.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal_,
                                      QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(fakes_.registerObject(QStringLiteral("/org/freedesktop/login1"), &login_,
                                      QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(fakes_.registerService(kLogin));
    ASSERT_TRUE(
        fakes_.connect(QString(), QString(), QStringLiteral("com.canonical.Unity.LauncherEntry"),
                       QStringLiteral("Update"), &dock_, SLOT(update(QString, QVariantMap))));
    server.addFilm(service::makeFilm("p", "Prog", {100000, 100000, 100000, 100000}));
  }
  void TearDown() override {
    fakes_.unregisterService(kPortal);
    fakes_.unregisterService(kLogin);
    fakes_.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    fakes_.unregisterObject(QStringLiteral("/org/freedesktop/login1"));
  }
  // A window that reaches the real desktop session.
  void freshWindow() {
    w.reset();
    ui::Seams seams = fakes.seams();
    seams.desktop = &ui::desktopSession();
    w = std::make_unique<Form1>(QString::fromStdString(host), seams);
    w->show();
    ASSERT_TRUE(w->directory->setPath(folder.path()));
  }
  bool progressSeen(double atLeast) const {
    for (const auto& [p, visible] : log_.progress)
      if (visible && p >= atLeast) return true;
    return false;
  }

  QDBusConnection fakes_ =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fakes"));
  SessionLog log_;
  PortalInhibit portal_{fakes_, log_};
  LoginManager login_{log_};
  DockListener dock_{log_};
};

enum class Then { Wait, Stop, Close };

// Taken at the film's first request (the download waits there until the fake has it),
// released however the film ends; the dock's progress rises and is hidden at the end.
TEST_F(DesktopBusTest, SleepIsHeldFromTheFirstRequestToTheEndAndTheDockFollows) {
  const QString portalTake = QStringLiteral("portal take [] 12 Film letöltése");
  const QString loginTake = QStringLiteral("login take sleep:idle Zelvo Film letöltése block");
  const struct {
    const char* name;
    const char* id;
    bool portal;  // otherwise only logind answers
    Then then;
    QStringList calls;
  } rows[] = {
      {"done, portal", "p", true, Then::Wait, {portalTake, "portal release"}},
      {"refused, portal", "nincs", true, Then::Wait, {portalTake, "portal release"}},
      {"stopped, portal", "p", true, Then::Stop, {portalTake, "portal release"}},
      {"window closed, portal", "p", true, Then::Close, {portalTake, "portal release"}},
      {"done, logind", "p", false, Then::Wait, {loginTake, "login release"}},
      {"window closed, logind", "p", false, Then::Close, {loginTake, "login release"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    freshWindow();
    log_ = {};
    if (row.portal) ASSERT_TRUE(fakes_.registerService(kPortal));
    server.clearLog();
    bool heldAtFirstRequest = false;
    bool barRestarted = false;  // before the slices, the bar still shows the last film
    bool midway = false;
    w->setYieldObserver([&](long long) {
      if (!server.requests().empty() && !heldAtFirstRequest) {
        heldAtFirstRequest = QTest::qWaitFor([&] { return log_.held == 1; }, kWaitMs);
        if (row.then == Then::Stop) QTest::mouseClick(w->Go, Qt::LeftButton);
        if (row.then == Then::Close) w->close();
      }
      // Half way through, the dock hears it before the film goes on.
      barRestarted = barRestarted || w->Picture1->percent() == 0;
      if (barRestarted && w->Picture1->percent() >= 50 && w->isDownloading && !midway)
        midway = QTest::qWaitFor([&] { return progressSeen(0.5); }, kWaitMs);
    });
    startWith(QString::fromLatin1(row.id));
    w->setYieldObserver(nullptr);
    EXPECT_TRUE(heldAtFirstRequest);
    EXPECT_TRUE(QTest::qWaitFor([&] { return log_.held == 0; }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !log_.progress.isEmpty() && !log_.progress.back().second; }, kWaitMs));
    EXPECT_EQ(log_.calls, row.calls);
    EXPECT_EQ(midway, row.then == Then::Wait && row.id == std::string("p"));
    ASSERT_FALSE(log_.progress.isEmpty());
    EXPECT_EQ(log_.progress.front(), qMakePair(0.0, true));
    for (int i = 1; i + 1 < log_.progress.size(); ++i)
      EXPECT_GE(log_.progress[i].first, log_.progress[i - 1].first);
    if (row.portal) fakes_.unregisterService(kPortal);
  }
}

}  // namespace

#include "desktop_bus_test.moc"
