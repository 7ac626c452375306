// Parent side of the stop child (tests/stop_child.cpp): runs it against a service and reads
// what it printed. The child stops on what it observes (tests/stop_points.h), never on time.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <QProcess>
#include <QStringList>

#include "service/service.h"
#include "tests/stop_points.h"

struct ChildRun {
  bool exited = false;  // ended by itself, not killed
  int code = -1;
  QString out;
  QStringList lines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
  // The moment the child stopped at, from its first "AT" line.
  bool at(stops::Moment& m) const {
    for (const QString& line : lines())
      if (line.startsWith(QLatin1String("AT "))) return stops::fromLine(line.toStdString(), m);
    return false;
  }
};

inline ChildRun runStopChild(const std::string& host, const QString& folder, const QString& ids,
                             const QStringList& options, const QProcessEnvironment& env = {}) {
  QProcess child;
  if (!env.isEmpty()) child.setProcessEnvironment(env);
  child.start(QStringLiteral(STOP_CHILD_PATH),
              QStringList{QString::fromStdString(host), folder, ids} + options);
  ChildRun run;
  run.exited = child.waitForFinished(40000) && child.exitStatus() == QProcess::NormalExit;
  run.code = child.exitCode();
  run.out = QString::fromUtf8(child.readAllStandardOutput());
  return run;
}

// Tells the child of every request the service sees, before it is answered, over a pipe
// the child inherits: pass option() among its options.
class SeenPipe {
 public:
  explicit SeenPipe(service::Server& server) : server_(server) {
    // The read end stays open here too, so a late request can never raise SIGPIPE.
    if (::pipe2(fds_, O_CLOEXEC) != 0 || ::fcntl(fds_[0], F_SETFD, 0) != 0)
      ADD_FAILURE() << "no pipe for the child";
    server_.setRequestObserver([fd = fds_[1]](const service::LoggedRequest& r) {
      const std::string line = r.target + '\n';
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        ADD_FAILURE() << "the request pipe lost " << r.target;
    });
  }
  ~SeenPipe() {
    server_.setRequestObserver({});
    for (int fd : fds_)
      if (fd >= 0) ::close(fd);
  }
  QString option() const { return QStringLiteral("seen=%1").arg(fds_[0]); }

 private:
  service::Server& server_;
  int fds_[2] = {-1, -1};
};
