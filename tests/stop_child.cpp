// Child process of the stop tests and the fault matrix: the real window with the real program
// end, reporting what it saw on stdout, one fact per line (tests/stop_harness.h runs it).
//
//   stop_child HOST FOLDER ID[,ID...] [OPTION...]
//     Several identifiers go into the queue, and "Mindet letölt!" starts them.
//     stop=click|close   "Állj!" or closing the window ...
//     at=POINT           ... at the first yield where POINT (tests/stop_points.h) holds,
//     at=wait            ... or inside the first retry wait;
//     posted             the stop arrives as an event, handled whenever the window next
//                        handles events, as a user's would; otherwise at once, inside the yield.
//     seen=FD            the service writes a line to FD for every request, before answering.
//     limit=N            files limited to N bytes (the program itself must ignore SIGXFSZ).
//     end=report         the program end only counts its calls; the child then reports them,
//                        the window's ending state and the handles it still holds.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <thread>

#include "net/wininet.h"
#include "tests/stop_points.h"
#include "ui/form1.h"

namespace {

void say(const QString& line) {
  std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
  std::fflush(stdout);
}

class PrintedBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget*, const QString& text, const QString&, ui::BoxButtons) override {
    say(QStringLiteral("BOX ") + text);
    return ui::BoxAnswer::Cancel;
  }
};

class NoBrowser : public ui::UrlOpener {
 public:
  void open(const QString& url, bool) override { say(QStringLiteral("OPEN ") + url); }
};

// The real retry wait, with the stop arriving as an event inside it.
class StopInsideWait : public ui::Pauses {
 public:
  explicit StopInsideWait(std::function<void()> stop) : stop_(std::move(stop)) {}
  void pause(std::chrono::milliseconds wait, const std::function<bool()>& over) override {
    say(QStringLiteral("WAIT %1").arg(static_cast<long long>(wait.count())));
    QTimer::singleShot(0, stop_);
    ui::eventLoopPauses().pause(wait, over);
  }

 private:
  std::function<void()> stop_;
};

class CountedEnd : public ui::ProgramEnd {
 public:
  void end() override { ++calls; }
  int calls = 0;
};

// A click as the user's would come: press and release posted to the button.
void postClick(QPushButton* button) {
  const QPoint at = button->rect().center();
  for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease})
    QCoreApplication::postEvent(
        button, new QMouseEvent(type, at, button->mapToGlobal(at), Qt::LeftButton,
                                type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                Qt::NoModifier));
}

// Requests the service has seen: every one sent so far has been answered, and the service
// writes its line before answering, so at a yield point all of them are in the pipe.
class SeenRequests {
 public:
  explicit SeenRequests(int fd) : fd_(fd) {
    if (fd_ >= 0) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  }
  int count() {
    char buffer[4096];
    ssize_t n;
    while (fd_ >= 0 && (n = ::read(fd_, buffer, sizeof buffer)) > 0)
      for (ssize_t i = 0; i < n; ++i) seen_ += buffer[i] == '\n';
    return seen_;
  }

 private:
  int fd_;
  int seen_ = 0;
};

bool anyFile(const QDir& folder, const char* pattern) {
  return !folder.entryList({QString::fromLatin1(pattern)}, QDir::Files).isEmpty();
}

stops::Moment momentOf(Form1& w, SeenRequests& seen, net::HINTERNET openedBefore,
                       const QDir& folder) {
  stops::Moment m;
  m.seen = seen.count();
  m.opened = net::handlesOpenedForTests() - openedBefore;
  m.sizeShown = w.lblEgy->text() == QString::number(stops::kSlice[0]);
  m.slice = static_cast<int>(w.film().sliceUrls.indexOf(w.film().loopItem.toString()));
  m.sliceOpen = w.film().hRequest != 0;
  m.received = w.film().receivedBytes;
  m.inBuffer = w.film().bytesRead;
  m.hasFile = anyFile(folder, "*_Zelvoweb.mpg.part");
  m.buffered =
      m.sliceOpen ? static_cast<std::int64_t>(net::bufferedBytesForTests(w.film().hRequest)) : 0;
  m.hasFinal = anyFile(folder, "*_Zelvoweb.mpg");
  m.item = w.film().loopItem.toString().toStdString();
  return m;
}

QString option(const QStringList& args, const QString& key, const QString& otherwise = {}) {
  for (const QString& a : args)
    if (a.startsWith(key + QLatin1Char('='))) return a.mid(key.size() + 1);
  return otherwise;
}

void start(Form1& w, const QStringList& ids) {
  if (ids.size() == 1) {
    w.azonosito->setText(ids[0]);
    QTest::mouseClick(w.Go, Qt::LeftButton);  // the whole film runs inside this click
    return;
  }
  for (const QString& id : ids) {
    w.azonosito->setText(id);
    QTest::mouseClick(w.azon2queue, Qt::LeftButton);
  }
  QTest::mouseClick(w.q_letolt, Qt::LeftButton);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Never hang the suite, whatever the window does.
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(30));
    std::_Exit(4);
  }).detach();
  const QStringList args = app.arguments().mid(4);
  const QString at = option(args, QStringLiteral("at"));
  const bool posted = args.contains(QStringLiteral("posted"));
  const QString limit = option(args, QStringLiteral("limit"));
  if (!limit.isEmpty()) {
    const rlimit r{limit.toULongLong(), limit.toULongLong()};
    if (setrlimit(RLIMIT_FSIZE, &r) != 0) return 2;
  }

  Form1* window = nullptr;
  const bool click = option(args, QStringLiteral("stop")) == QLatin1String("click");
  const auto stop = [&] {
    click ? QTest::mouseClick(window->Go, Qt::LeftButton) : void(window->close());
  };
  PrintedBoxes boxes;
  NoBrowser opener;
  StopInsideWait inWait(stop);
  CountedEnd counted;
  const bool report = option(args, QStringLiteral("end")) == QLatin1String("report");
  ui::Seams seams{&boxes, &opener, report ? &counted : &ui::processEnd()};
  if (at == QLatin1String("wait")) seams.pauses = &inWait;
  Form1 w(QString::fromLocal8Bit(argv[1]), seams);
  window = &w;
  w.show();
  const QDir folder(QString::fromLocal8Bit(argv[2]));
  if (!w.directory->setPath(folder.path())) return 2;

  const std::optional<stops::StopPoint> point = stops::findStopPoint(at.toStdString());
  if (!at.isEmpty() && at != QLatin1String("wait") && !point) return 2;
  SeenRequests seen(option(args, QStringLiteral("seen"), QStringLiteral("-1")).toInt());
  const net::HINTERNET openedBefore = net::handlesOpenedForTests();
  bool asked = false;
  w.setYieldObserver([&]() {
    if (asked || !point) return;
    const stops::Moment m = momentOf(w, seen, openedBefore, folder);
    if (!point->reached(m)) return;
    asked = true;
    say(QString::fromStdString(stops::toLine(m)));
    if (posted && click) return postClick(w.Go);
    if (posted) return QTimer::singleShot(0, &w, stop);
    stop();
    say(QStringLiteral("STILL RUNNING"));  // the program should have ended at once
  });

  start(w, QString::fromLocal8Bit(argv[3]).split(QLatin1Char(',')));
  say(QStringLiteral("INFO ") + w.info->text());
  say(QStringLiteral("GO ") + w.Go->text());
  say(QStringLiteral("BUSY %1").arg(w.isDownloading ? 1 : 0));
  say(QStringLiteral("CAPTION ") + w.windowTitle());
  if (report)
    say(QStringLiteral("ENDED %1 %2 %3")
            .arg(counted.calls)
            .arg(w.ending() ? 1 : 0)
            .arg(w.film().hSession + w.film().hConnect + w.film().hRequest));
  if (at.isEmpty() || report) return 0;
  if (asked && posted) app.exec();  // a stop still queued ends the program here
  return 3;                         // the program must have ended inside the download
}
