// The window's desktop session through a real (private) D-Bus session bus, against fake
// portal, logind, dock, notification server and file manager on a connection of their own. Run by ctest under
// dbus-run-session with tests/private-bus.conf.
#include <fcntl.h>
#include <unistd.h>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVirtualObject>
#include <QDesktopServices>
#include <QProcess>
#include <QSocketNotifier>
#include <QUrl>
#include <functional>
#include <vector>

#include "tests/film_fixture.h"

namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kLogin = QStringLiteral("org.freedesktop.login1");
const QString kMark = QStringLiteral("hu.zelvo.Test");  // the test's marks in the bus traffic
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kFileManager = QStringLiteral("org.freedesktop.FileManager1");
constexpr int kWaitMs = 120000;  // only a fault comes near this

// The portal's Inhibit, Request and Notification, logind's Inhibit, a dock, a notification
// server and a file manager, as far as the window uses them; logs what they see.
class SessionFakes : public QDBusVirtualObject {
  Q_OBJECT

 public:
  explicit SessionFakes(QDBusConnection bus) : bus_(bus) {}
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
    const QString call = m.interface() + QLatin1Char('.') + m.member();
    const QVariantList a = m.arguments();
    QVariant answer;
    if (m.interface() == kMark) return true;  // for the monitor only
    const bool portal = m.interface().startsWith(QLatin1String("org.freedesktop.portal."));
    if (call == QLatin1String("org.freedesktop.portal.Inhibit.Inhibit")) {
      const auto options = qdbus_cast<QVariantMap>(a.value(2));
      take(QStringLiteral("portal take [%1] %2 %3")
               .arg(a.value(0).toString(), a.value(1).toString(),
                    options.value(QStringLiteral("reason")).toString()));
      answer = QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/request/t1")));
    } else if (call == QLatin1String("org.freedesktop.portal.Request.Close")) {
      release(QStringLiteral("portal release"));
    } else if (call == QLatin1String("org.freedesktop.Notifications.Notify")) {
      // app, replaces, icon, summary, body, actions, hints, timeout
      const auto hints = qdbus_cast<QVariantMap>(a.value(6));
      notes << QStringList{a.value(2).toString(), a.value(3).toString(), a.value(4).toString(),
                           a.value(5).toStringList().join(QLatin1Char('|')),
                           hints.value(QStringLiteral("desktop-entry")).toString()};
      answer = QVariant::fromValue(uint(41 + notes.size()));
    } else if (call == QLatin1String("org.freedesktop.portal.Notification.AddNotification")) {
      const auto n = qdbus_cast<QVariantMap>(a.value(1));
      QStringList buttons;
      const QDBusArgument list = n.value(QStringLiteral("buttons")).value<QDBusArgument>();
      list.beginArray();
      while (!list.atEnd()) {
        QVariantMap b;
        list >> b;
        buttons << b.value(QStringLiteral("label")).toString()
                << b.value(QStringLiteral("action")).toString();
      }
      list.endArray();
      notes << QStringList{a.value(0).toString(), n.value(QStringLiteral("title")).toString(),
                           buttons.join(QLatin1Char('|'))};
    } else if (call == QLatin1String("org.freedesktop.FileManager1.ShowItems")) {
      shown << a.value(0).toStringList();
    } else if (call == QLatin1String("org.freedesktop.login1.Manager.Inhibit")) {
      QStringList what = {QStringLiteral("login take")};
      for (const QVariant& v : a) what << v.toString();
      take(what.join(QLatin1Char(' ')));
      answer = QVariant::fromValue(loginHandle());
    } else {
      return false;
    }
    if (portal && swallow) return true;  // a portal that never answers
    return bus_.send(answer.isValid() ? m.createReply(answer) : m.createReply());
  }

  QStringList calls;
  QStringList gone;  // connections closed
  bool swallow = false;
  QList<QPair<double, bool>> progress;  // (progress, progress-visible)
  int held = 0;
  QList<QStringList> notes;  // what each notification call carried
  QList<QStringList> shown;  // the files of each ShowItems
  QList<QUrl> opened;        // what the desktop's default opened

 public slots:
  void ownerChanged(const QString& name, const QString&, const QString& now) {
    if (name.startsWith(QLatin1Char(':')) && now.isEmpty()) gone << name;
  }
  void open(const QUrl& url) { opened << url; }
  void update(const QString& app, const QVariantMap& properties) {
    if (app != QLatin1String("application://hu.zelvo.Zelvo.desktop")) return;
    progress.append({properties.value(QStringLiteral("progress"), -1).toDouble(),
                     properties.value(QStringLiteral("progress-visible")).toBool()});
  }

 private:
  void take(const QString& what) {
    calls << what;
    ++held;
  }
  void release(const QString& what) {
    calls << what;
    --held;
  }
  // One end of a pipe: logind's inhibitor lasts until every copy of it is closed.
  QDBusUnixFileDescriptor loginHandle() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return {};
    auto* closed = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
    connect(closed, &QSocketNotifier::activated, this, [this, closed, end = ends[0]] {
      char c;
      if (read(end, &c, 1) > 0) return;
      release(QStringLiteral("login release"));
      closed->deleteLater();
      close(end);
    });
    const QDBusUnixFileDescriptor handed(ends[1]);  // a copy
    close(ends[1]);
    return handed;
  }

  QDBusConnection bus_;
};

// Every call on the bus, as a monitor sees them in the order the bus routes them.
class BusMonitor : public QDBusVirtualObject {
 public:
  struct Call {
    QString sender;
    QString member;
    QString text;  // a mark's
    bool wantsReply;
  };
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
    calls.push_back({m.service(), m.interface() + QLatin1Char('.') + m.member(),
                     m.arguments().value(0).toString(), m.isReplyRequired()});
    return true;  // a monitor never answers
  }
  // The calls sender made between its marks `from` and `to`; false until both are seen.
  bool between(const QString& sender, const QString& from, const QString& to,
               std::vector<Call>& out) const {
    const QString mark = kMark + QStringLiteral(".Mark");
    bool inside = false;
    out.clear();
    for (const Call& c : calls) {
      if (c.sender != sender) continue;
      if (c.member == mark && c.text == from)
        inside = true;
      else if (c.member == mark && c.text == to && inside)
        return true;
      else if (inside)
        out.push_back(c);
    }
    return false;
  }
  std::vector<Call> calls;
};

// The program end as the window asks for it, marked on the window's own connection.
class MarkedEnd : public ui::ProgramEnd {
 public:
  explicit MarkedEnd(std::function<void()> mark) : mark_(std::move(mark)) {}
  void end() override {
    ++calls;
    mark_();
  }
  int calls = 0;

 private:
  std::function<void()> mark_;
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
    ASSERT_TRUE(
        bus_.registerVirtualObject(QStringLiteral("/org"), &fake_, QDBusConnection::SubPath));
    ASSERT_TRUE(bus_.registerService(kLogin));
    ASSERT_TRUE(bus_.connect(QString(), QString(),
                             QStringLiteral("com.canonical.Unity.LauncherEntry"),
                             QStringLiteral("Update"), &fake_, SLOT(update(QString, QVariantMap))));
    server.addFilm(service::makeFilm("p", "Prog", {100000, 100000, 100000, 100000}));
  }
  void TearDown() override {
    bus_.unregisterService(kLogin);
    bus_.unregisterObject(QStringLiteral("/org"), QDBusConnection::UnregisterTree);
    if (monitorBus_.isConnected()) QDBusConnection::disconnectFromBus(QStringLiteral("monitor"));
  }
  // From now on monitor_ sees every call on the bus.
  void watchBus() {
    monitorBus_ =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("monitor"));
    ASSERT_TRUE(monitorBus_.registerVirtualObject(QStringLiteral("/"), &monitor_,
                                                  QDBusConnection::SubPath));
    const QDBusMessage became = monitorBus_.call(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus.Monitoring"), QStringLiteral("BecomeMonitor"))
        << QStringList() << 0u);
    ASSERT_EQ(became.type(), QDBusMessage::ReplyMessage) << qPrintable(became.errorMessage());
  }
  // A mark from the window's connection, seen by the monitor among the window's calls.
  void mark(const QString& text) {
    QDBusConnection::sessionBus().send(QDBusMessage::createMethodCall(bus_.baseService(),
                                                                      QStringLiteral("/org/mark"),
                                                                      kMark, QStringLiteral("Mark"))
                                       << text);
  }
  // A window that reaches the real desktop session.
  void freshWindow() {
    w.reset();
    ui::Seams seams = fakes.seams();
    seams.desktop = &ui::desktopSession();
    seams.ender = &ender_;
    w = std::make_unique<Form1>(QString::fromStdString(host), seams);
    w->show();
    ASSERT_TRUE(w->directory->setPath(folder.path()));
  }
  bool progressSeen(double atLeast) const {
    for (const auto& [p, visible] : fake_.progress)
      if (visible && p >= atLeast) return true;
    return false;
  }

  QDBusConnection bus_ =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("fakes"));
  SessionFakes fake_{bus_};
  QDBusConnection monitorBus_{QString()};
  BusMonitor monitor_;
  MarkedEnd ender_{[this] { mark(QStringLiteral("end")); }};
};

enum class Then { Wait, Stop, Close };

// Taken at the film's first request (the download waits there until the fake has it),
// released however the film ends; the dock's progress rises and is hidden at the end. A
// stop ends the program without asking the bus anything it would wait for: a portal that
// never answers cannot hold it up (the portal lets go when the connection goes away).
TEST_F(DesktopBusTest, SleepIsHeldFromTheFirstRequestToTheEndAndTheDockFollows) {
  const QString portalTake = QStringLiteral("portal take [] 12 Film letöltése");
  const QString loginTake = QStringLiteral("login take sleep:idle Zelvo Film letöltése block");
  const struct {
    const char* name;
    const char* id;
    bool portal;  // otherwise only logind answers
    Then then;
    QStringList calls;
    bool swallow = false;  // the portal takes every call and never answers
  } rows[] = {
      {"done, portal", "p", true, Then::Wait, {portalTake, "portal release"}},
      {"refused, portal", "nincs", true, Then::Wait, {portalTake, "portal release"}},
      {"stopped, portal", "p", true, Then::Stop, {portalTake, "portal release"}},
      {"window closed, portal", "p", true, Then::Close, {portalTake, "portal release"}},
      {"done, logind", "p", false, Then::Wait, {loginTake, "login release"}},
      {"window closed, logind", "p", false, Then::Close, {loginTake, "login release"}},
      {"stopped, portal never answers", "p", true, Then::Stop, {portalTake}, true},
  };
  watchBus();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    freshWindow();
    fake_.calls.clear();
    fake_.progress.clear();
    if (row.portal) {
      ASSERT_TRUE(bus_.registerService(kPortal));
    }
    fake_.swallow = row.swallow;
    ender_.calls = 0;
    monitor_.calls.clear();  // an earlier row's calls all came before its end mark
    server.clearLog();
    bool heldAtFirstRequest = false;
    bool barRestarted = false;  // before the slices, the bar still shows the last film
    bool midway = false;
    w->setYieldObserver([&]() {
      if (!server.requests().empty() && !heldAtFirstRequest) {
        heldAtFirstRequest = QTest::qWaitFor([&] { return fake_.held == 1; }, kWaitMs);
        if (row.then != Then::Wait) mark(QStringLiteral("stop"));
        if (row.then == Then::Stop) QTest::mouseClick(w->Go, Qt::LeftButton);
        if (row.then == Then::Close) w->close();
        // The end came within the click, whatever the bus did meanwhile.
        EXPECT_EQ(ender_.calls, row.then == Then::Wait ? 0 : 1);
      }
      // Half way through, the dock hears it before the film goes on.
      barRestarted = barRestarted || w->Picture1->percent() == 0;
      if (barRestarted && w->Picture1->percent() >= 50 && w->isDownloading && !midway)
        midway = QTest::qWaitFor([&] { return progressSeen(0.5); }, kWaitMs);
    });
    startWith(QString::fromLatin1(row.id));
    w->setYieldObserver(nullptr);
    EXPECT_TRUE(heldAtFirstRequest);
    if (row.then != Then::Wait) {
      // Everything the window sent from the stop to its end: nothing that awaits an answer.
      std::vector<BusMonitor::Call> sent;
      const QString window = QDBusConnection::sessionBus().baseService();
      EXPECT_TRUE(QTest::qWaitFor(
          [&] {
            return monitor_.between(window, QStringLiteral("stop"), QStringLiteral("end"), sent);
          },
          kWaitMs));
      for (const BusMonitor::Call& c : sent) EXPECT_FALSE(c.wantsReply) << qPrintable(c.member);
    }
    if (row.swallow)
      EXPECT_EQ(fake_.held, 1);  // never told: the portal would let go with the connection
    else
      EXPECT_TRUE(QTest::qWaitFor([&] { return fake_.held == 0; }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return !fake_.progress.isEmpty() && !fake_.progress.back().second; }, kWaitMs));
    EXPECT_EQ(fake_.calls, row.calls);
    EXPECT_EQ(midway, row.then == Then::Wait && row.id == std::string("p"));
    ASSERT_FALSE(fake_.progress.isEmpty());
    EXPECT_EQ(fake_.progress.front(), qMakePair(0.0, true));
    for (int i = 1; i + 1 < fake_.progress.size(); ++i)
      EXPECT_GE(fake_.progress[i].first, fake_.progress[i - 1].first);
    if (row.portal) bus_.unregisterService(kPortal);
  }
}

// The real program end: the dock hears the stop's last update before the process is gone
// (the bus routes all a connection sent before it tells that the connection closed).
TEST_F(DesktopBusTest, TheRealEndStillHidesTheDockProgress) {
  ASSERT_TRUE(
      bus_.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                   QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"),
                   &fake_, SLOT(ownerChanged(QString, QString, QString))));
  fake_.progress.clear();
  QProcess child;
  child.start(QStringLiteral(STOP_CHILD_PATH),
              {QString::fromStdString(host), folder.path(), QStringLiteral("p"),
               QStringLiteral("stop=click"), QStringLiteral("at=record session opened")});
  ASSERT_TRUE(QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, kWaitMs));
  const QString said = QString::fromUtf8(child.readAllStandardOutput());
  EXPECT_EQ(child.exitCode(), 0) << qPrintable(said);  // the program's own end
  EXPECT_FALSE(said.contains(QStringLiteral("STILL RUNNING")));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.gone.isEmpty(); }, kWaitMs));
  ASSERT_FALSE(fake_.progress.isEmpty());
  EXPECT_EQ(fake_.progress.front(), qMakePair(0.0, true));
  EXPECT_EQ(fake_.progress.back(), qMakePair(0.0, false));
}

// A run that finishes while another window is active is notified; the notification's
// action shows its files in the file manager, or opens the folder without one.
TEST_F(DesktopBusTest, AFinishedRunIsNotifiedAndItsActionShowsTheFiles) {
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &fake_, "open");
  const QString bullet = QStringLiteral("show|Megnyitás a mappában");
  const struct {
    const char* name;
    QStringList ids;  // more than one: a queue run
    bool fileManager;
    QString summary;
    QStringList files;
  } rows[] = {
      {"film", {"p"}, true, "Kész: Prog.mpg", {"Prog_Zelvoweb.mpg"}},
      {"film, no file manager", {"p"}, false, "Kész: Prog.mpg", {}},
      {"queue", {"p", "egig01"}, true, "Kész", {"Prog_Zelvoweb.mpg", "Égigérő fa_Zelvoweb.mpg"}},
  };
  QWidget other;  // the user's other window
  other.show();
  ASSERT_TRUE(bus_.registerService(kNotifications));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    freshWindow();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    fake_.notes.clear();
    fake_.shown.clear();
    fake_.opened.clear();
    if (row.fileManager) {
      ASSERT_TRUE(bus_.registerService(kFileManager));
    }
    if (row.ids.size() == 1) {
      startWith(row.ids.front());
    } else {
      w->queue->addItems(row.ids);
      w->q_letolt->click();
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.notes.isEmpty(); }, kWaitMs));
    EXPECT_EQ(fake_.notes, (QList<QStringList>{
                               {"hu.zelvo.Zelvo", row.summary, "", bullet, "hu.zelvo.Zelvo"}}));
    QDBusMessage action = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"), kNotifications,
        QStringLiteral("ActionInvoked"));
    action << uint(42) << QStringLiteral("show");
    ASSERT_TRUE(bus_.send(action));
    if (row.fileManager) {
      ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.shown.isEmpty(); }, kWaitMs));
      QStringList uris;
      for (const QString& f : row.files)
        uris << QString::fromLatin1(QUrl::fromLocalFile(folder.filePath(f)).toEncoded());
      EXPECT_EQ(fake_.shown, QList<QStringList>{uris});
      bus_.unregisterService(kFileManager);
    } else {
      ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.opened.isEmpty(); }, kWaitMs));
      EXPECT_EQ(fake_.opened, QList<QUrl>{QUrl::fromLocalFile(folder.path())});
    }
  }
  bus_.unregisterService(kNotifications);
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

// Inside a sandbox the notification goes through the portal, its action the same way.
TEST_F(DesktopBusTest, InASandboxThePortalNotifiesAndItsActionShowsTheFile) {
  ASSERT_TRUE(bus_.registerService(kPortal));
  ASSERT_TRUE(bus_.registerService(kFileManager));
  ui::DoneNotifier notifier(true);
  const QString file = folder.filePath(QStringLiteral("Prog_Zelvoweb.mpg"));
  notifier.notify({QStringLiteral("Kész: Prog.mpg"), {file}, folder.path()});
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.notes.isEmpty(); }, kWaitMs));
  EXPECT_EQ(fake_.notes, (QList<QStringList>{
                             {"done", "Kész: Prog.mpg", "Megnyitás a mappában|show"}}));
  QDBusMessage action = QDBusMessage::createSignal(
      QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.Notification"), QStringLiteral("ActionInvoked"));
  action << QStringLiteral("done") << QStringLiteral("show") << QVariantList{};
  ASSERT_TRUE(bus_.send(action));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fake_.shown.isEmpty(); }, kWaitMs));
  EXPECT_EQ(fake_.shown, QList<QStringList>{{QString::fromLatin1(
                             QUrl::fromLocalFile(file).toEncoded())}});
  bus_.unregisterService(kFileManager);
  bus_.unregisterService(kPortal);
}

}  // namespace

#include "desktop_bus_test.moc"
