// Film download through the real window (offscreen, a real click on "Start!") next to
// curl -0 fetching the same slices into one file, alternated in one run.
//
//   film_bench run SLICE_ROOT NGINX_PORT [--capped PORT] [--baseline FILM_BENCH] [--big]
//                  [--runs N] [--catalogue-only | --films-only | --resume-only] [--film ID]
//       SLICE_ROOT/<film>/<i> are the slice files that nginx serves on NGINX_PORT, and
//       capped at a real host's speed per connection on PORT. FILM_BENCH: the film_bench
//       of another build, whose client runs alternately with this one's ("before").
//   film_bench client HOST FOLDER ID [N]  (child: one download, prints its figures; N: stopped
//                                          with "Állj!" once N bytes are in)
//   film_bench catalogue HOST ROWS [ID]   (child: one catalogue load, or one film record)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "download/film_logic.h"
#include "service/service.h"
#include "ui/catalogue_view.h"
#include "ui/form1.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint64_t MiB = 1024 * 1024;

double cpuSeconds(const rusage& u) {
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// How late an event posted every 10 ms from another thread is handled: a click's delay.
class Lateness : public QObject {
 public:
  struct Stamp : QEvent {
    explicit Stamp(Clock::time_point t) : QEvent(QEvent::User), posted(t) {}
    Clock::time_point posted;
  };
  void start() {
    running_ = true;
    poster_ = std::thread([this] {
      while (running_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        QCoreApplication::postEvent(this, new Stamp(Clock::now()));
      }
    });
  }
  void stop() {
    running_ = false;
    if (poster_.joinable()) poster_.join();
    QCoreApplication::removePostedEvents(this);
  }
  std::vector<double> ms;

 protected:
  void customEvent(QEvent* e) override {
    const auto posted = static_cast<Stamp*>(e)->posted;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
  }

 private:
  std::atomic<bool> running_{false};
  std::thread poster_;
};

double percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * (v.size() - 1) + 0.5))];
}

class NoBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget*, const QString& text, const QString&, ui::BoxButtons) override {
    std::fprintf(stderr, "box: %s\n", qPrintable(text));
    failed = true;
    return ui::BoxAnswer::Ok;
  }
  bool failed = false;
};

// The real box, grabbed and closed as soon as it is up: the time of a click to a box
// the user can read includes laying out its text.
class RealBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget* parent, const QString& text, const QString& title,
                     ui::BoxButtons buttons) override {
    failed = true;
    QTimer::singleShot(0, [this] {
      if (QWidget* box = QApplication::activeModalWidget()) {
        box->grab();
        shownAt = Clock::now();
        box->close();
      }
    });
    return ui::desktopMessageBoxes().warn(parent, text, title, buttons);
  }
  bool failed = false;
  Clock::time_point shownAt{};
};

// With a sixth argument N, "Állj!" is pressed once N bytes are in: the program ends
// there, leaving the work file a stopped film leaves.
int clientMain(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  NoBoxes boxes;
  ui::Seams seams;
  seams.boxes = &boxes;
  Form1 w(QString::fromLocal8Bit(argv[2]), seams);
  w.show();
  w.directory->setPath(QString::fromLocal8Bit(argv[3]));
  w.azonosito->setText(QString::fromLocal8Bit(argv[4]));
  QCoreApplication::processEvents();
  if (argc == 6) {
    const std::int64_t stopAt = std::atoll(argv[5]);
    w.setYieldObserver([&w, stopAt]() {
      if (w.isDownloading && w.film().receivedBytes >= stopAt)
        QTest::mouseClick(w.Go, Qt::LeftButton);
    });
  }

  Lateness late;
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  late.start();
  const auto start = Clock::now();
  QTest::mouseClick(w.Go, Qt::LeftButton);
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  late.stop();
  getrusage(RUSAGE_SELF, &after);
  std::printf(
      "wall=%.4f cpu=%.4f rss_kb=%ld late_p50=%.3f late_p99=%.3f late_max=%.3f events=%zu ok=%d\n",
      wall, cpuSeconds(after) - cpuSeconds(before), peakRssKb(), percentile(late.ms, 0.5),
      percentile(late.ms, 0.99), percentile(late.ms, 1.0), late.ms.size(),
      !boxes.failed && w.info->text().startsWith(QStringLiteral("Kész")));
  return 0;
}

// One catalogue load (ROWS entries expected; -1: a failed load expected), or with
// "record ID" one film start that must fail on its record (ROWS -1) or must show its
// summary and finish (ROWS -2). Prints time, lateness of a 10 ms event during the load
// and peak memory.
int catalogueMain(int argc, char** argv) {
  if (argc != 4 && argc != 5) return 2;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  RealBoxes boxes;
  ui::Seams seams;
  seams.boxes = &boxes;
  Form1 w(QString::fromLocal8Bit(argv[2]), seams);
  w.show();
  const bool record = argc == 5;
  const int expected = std::atoi(argv[3]);
  // -2: a film that goes on; timed to its summary, painted on the status line.
  const bool summary = record && expected == -2;
  QTemporaryDir into;
  if (summary) w.directory->setPath(into.path());
  Clock::time_point summaryAt{};
  QString summaryText;
  if (summary) {
    w.setYieldObserver([&] {
      if (!summaryText.isEmpty() || !w.info->text().contains(QStringLiteral("szeletből"))) return;
      summaryText = w.info->text();
      w.info->grab();
      summaryAt = Clock::now();
    });
  }
  if (record) w.azonosito->setText(QString::fromLocal8Bit(argv[4]));
  QCoreApplication::processEvents();
  const long rssBefore = peakRssKb();
  Lateness late;
  late.start();
  const auto start = Clock::now();
  QTest::mouseClick(record ? w.Go : w.Command1, Qt::LeftButton);
  QCoreApplication::processEvents();  // laid out
  w.Lista->grab();                    // and painted
  const auto end = boxes.failed ? boxes.shownAt : summary ? summaryAt : Clock::now();
  const double wall = std::chrono::duration<double>(end - start).count();
  late.stop();
  // The slowest of a few repaints of the filled list, and a click on its first entry.
  double paintMs = 0, clickMs = 0;
  if (w.Lista->count() > 0) {
    for (int i = 0; i < 5; ++i) {
      const auto t = Clock::now();
      w.Lista->grab();
      paintMs =
          std::max(paintMs, std::chrono::duration<double, std::milli>(Clock::now() - t).count());
    }
    const QPoint at = w.Lista->visualRect(w.Lista->model()->index(0, 0)).center();
    const auto t = Clock::now();
    QTest::mouseClick(w.Lista->viewport(), Qt::LeftButton, {}, at);
    w.Lista->grab();
    clickMs = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
  }
  const bool ok = summary ? !boxes.failed && !summaryText.isEmpty() &&
                                summaryText.size() <= download::kShownChars + 40 &&
                                w.info->text().startsWith(QStringLiteral("Kész"))
                  : record       ? boxes.failed
                  : expected < 0 ? boxes.failed && w.Lista->isHidden()
                                 : !boxes.failed && w.Lista->count() == expected;
  std::printf(
      "wall=%.4f entries=%d late_max=%.3f rss_before_kb=%ld rss_kb=%ld paint_ms=%.3f "
      "click_ms=%.3f ok=%d\n",
      wall, w.Lista->count(), percentile(late.ms, 1.0), rssBefore, peakRssKb(), paintMs, clickMs,
      ok);
  return 0;
}

// The file name of a film name of n characters (accented, two bytes each in UTF-8).
int namesMain(int argc, char** argv) {
  if (argc != 3) return 2;
  const QString name(std::atoi(argv[2]), QChar(0x0151));
  const auto start = Clock::now();
  const QString file = download::outputFileName(name);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("ms=%.3f bytes=%lld ok=%d\n", ms, static_cast<long long>(file.toUtf8().size()),
              file.endsWith(QStringLiteral("_Zelvoweb.mpg")));
  return 0;
}

// --- driver ---------------------------------------------------------------

struct Figures {
  std::map<std::string, double> v;
  bool ok = false;
};

Figures parseFigures(const std::string& line) {
  Figures f;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t eq = line.find('=', at);
    if (eq == std::string::npos) break;
    std::size_t end = line.find(' ', eq);
    if (end == std::string::npos) end = line.size();
    f.v[line.substr(at, eq - at)] = std::atof(line.substr(eq + 1, end - eq - 1).c_str());
    at = end + 1;
  }
  f.ok = f.v["ok"] == 1;
  return f;
}

// Runs a command, returning its stdout, wall seconds and resource use.
struct Child {
  std::string out;
  double wall = 0;
  rusage usage{};
  int status = -1;
};

Child run(const std::vector<std::string>& args, const std::string& stdoutFile = {},
          bool append = false) {
  Child c;
  int pipefd[2];
  if (pipe(pipefd) != 0) return c;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (stdoutFile.empty()) {
      dup2(pipefd[1], 1);
    } else {
      FILE* f = std::fopen(stdoutFile.c_str(), append ? "ab" : "wb");
      if (!f) _exit(127);
      dup2(fileno(f), 1);
    }
    close(pipefd[0]);
    close(pipefd[1]);
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(pipefd[1]);
  char buf[4096];
  for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) c.out.append(buf, n);
  close(pipefd[0]);
  wait4(pid, &c.status, 0, &c.usage);
  c.wall = std::chrono::duration<double>(Clock::now() - start).count();
  return c;
}

// FILE holds the slices one after the other, from byte FROM of the first on.
bool sameAsSlices(const std::string& file, const std::string& dir, int slices,
                  std::uint64_t from = 0) {
  std::ifstream got(file, std::ios::binary);
  std::vector<char> a(1 << 20), b(1 << 20);
  for (int i = 0; i < slices; ++i) {
    std::ifstream want(dir + "/" + std::to_string(i), std::ios::binary);
    want.seekg(0, std::ios::end);
    const std::uint64_t size = want.tellg();
    if (from >= size) {
      from -= size;
      continue;
    }
    want.seekg(static_cast<std::streamoff>(from));
    from = 0;
    while (want) {
      want.read(a.data(), a.size());
      const std::streamsize n = want.gcount();
      if (n == 0) break;
      got.read(b.data(), n);
      if (got.gcount() != n || std::memcmp(a.data(), b.data(), n) != 0) return false;
    }
  }
  return got.peek() == EOF;
}

void makeSlices(const std::string& dir, int slices, std::uint64_t sliceBytes) {
  QDir().mkpath(QString::fromStdString(dir));
  std::mt19937_64 gen(slices * 7919 + sliceBytes);
  std::vector<std::uint64_t> block(MiB / 8);
  for (int i = 0; i < slices; ++i) {
    const std::string path = dir + "/" + std::to_string(i);
    if (QFileInfo(QString::fromStdString(path)).size() == static_cast<qint64>(sliceBytes)) continue;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::uint64_t done = 0; done < sliceBytes; done += MiB) {
      for (auto& x : block) x = gen();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min<std::uint64_t>(MiB, sliceBytes - done)));
    }
  }
}

// What a stopped run leaves: the film's first BYTES, copied from its slices.
// The file holds exactly the film's first BYTES bytes.
bool isFilmPrefix(const std::string& file, const std::string& dir, int slices,
                  std::uint64_t bytes) {
  std::ifstream got(file, std::ios::binary);
  std::vector<char> a(1 << 20), b(1 << 20);
  for (int i = 0; i < slices && bytes > 0; ++i) {
    std::ifstream in(dir + "/" + std::to_string(i), std::ios::binary);
    while (bytes > 0) {
      in.read(a.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(a.size(), bytes)));
      const std::streamsize n = in.gcount();
      if (n <= 0) break;
      got.read(b.data(), n);
      if (got.gcount() != n || std::memcmp(a.data(), b.data(), std::size_t(n)) != 0) return false;
      bytes -= std::uint64_t(n);
    }
  }
  return bytes == 0 && got.peek() == std::ifstream::traits_type::eof();
}

// One nginx access log line (the "bench" format scripts/bench sets).
struct LogLine {
  double sent = 0;     // $bytes_sent: headers and body, as written to the socket
  double body = 0;     // $body_bytes_sent
  double request = 0;  // $request_length
  std::string range, agent, target;
};

std::uint64_t fileSize(const std::string& path) {
  return std::max<qint64>(0, QFileInfo(QString::fromStdString(path)).size());
}

std::vector<LogLine> logLinesFrom(const std::string& path, std::uint64_t offset) {
  std::vector<LogLine> lines;
  std::ifstream in(path, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::string text;
  while (std::getline(in, text)) {
    LogLine l;
    int status = 0;
    if (std::sscanf(text.c_str(), "%lf %lf %lf %d", &l.sent, &l.body, &l.request, &status) != 4)
      continue;
    std::vector<std::string> quoted;
    for (std::size_t at = text.find('"'); at != std::string::npos;) {
      const std::size_t end = text.find('"', at + 1);
      if (end == std::string::npos) break;
      quoted.push_back(text.substr(at + 1, end - at - 1));
      at = text.find('"', end + 1);
    }
    if (quoted.size() != 3) continue;
    l.range = quoted[0] == "-" ? "" : quoted[0];
    l.agent = quoted[1];
    l.target = quoted[2];
    lines.push_back(l);
  }
  return lines;
}

double median(std::vector<double> v) { return percentile(std::move(v), 0.5); }

struct FilmCase {
  std::string id;
  int slices;
  std::uint64_t sliceBytes;
  std::string dir;    // the slices' folder under the root; empty: id
  std::string host;   // nginx "127.0.0.1:port" serving them
  std::string label;  // of the host, in the figures' names
  const std::string& folder() const { return dir.empty() ? id : dir; }
};

int driverMain(int argc, char** argv) {
  if (argc < 4) return 2;
  const std::string root = argv[2];
  const std::string nginx = std::string("127.0.0.1:") + argv[3];
  bool big = false;
  bool onlyCatalogue = false;
  bool onlyFilms = false;
  bool resumeOnly = false;  // only the resumed films
  int runs = 5;
  std::string capped, baseline, onlyFilm;  // onlyFilm: just that film, no resume
  for (int i = 4; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--capped") && i + 1 < argc)
      capped = std::string("127.0.0.1:") + argv[++i];
    if (!std::strcmp(argv[i], "--baseline") && i + 1 < argc) baseline = argv[++i];
    if (!std::strcmp(argv[i], "--film") && i + 1 < argc) onlyFilm = argv[++i];
    if (!std::strcmp(argv[i], "--big")) big = true;
    if (!std::strcmp(argv[i], "--catalogue-only")) onlyCatalogue = true;
    if (!std::strcmp(argv[i], "--films-only")) onlyFilms = true;
    if (!std::strcmp(argv[i], "--resume-only")) onlyFilms = resumeOnly = true;
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
  }
  const std::string self =
      QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath().toStdString();
  const std::string work = root + "/out";
  QDir().mkpath(QString::fromStdString(work));

  service::Server server;
  if (!server.start(0)) return 1;
  std::vector<FilmCase> films = {{"film64", 16, 4 * MiB, "", nginx, "uncapped"},
                                 {"film256", 16, 16 * MiB, "", nginx, "uncapped"},
                                 {"film1g", 16, 64 * MiB, "", nginx, "uncapped"}};
  // The same slices from a host that serves each connection at a real host's speed.
  if (!capped.empty()) films.insert(films.begin() + 2, {"film256c", 16, 16 * MiB, "film256", capped, "capped"});
  for (const FilmCase& f : films) {
    if (onlyCatalogue) break;
    makeSlices(root + "/" + f.folder(), f.slices, f.sliceBytes);
    std::string record = server.host() + "/ref|" + std::to_string(f.slices) + "|" + f.id + "*";
    for (int i = 0; i < f.slices; ++i)
      record += (i ? "|" : "") + f.host + "/" + f.folder() + "/" + std::to_string(i);
    service::Reply r;
    r.body = record;
    server.setReply("/z/e/zelvo/basix2.php?a=" + f.id, r);
  }
  constexpr int kRows = 100000;
  std::string catalogue;
  for (int i = 0; i < kRows; ++i)
    catalogue += std::to_string(i) + "\tfilm" + std::to_string(i) + "\tA film " +
                 std::to_string(i) + " (" + std::to_string(100 + i % 900) + " MB)\t" +
                 server.host() + "/x\n";
  server.setCatalogue(catalogue);

  const std::string clientFolder = work + "/client";
  // A run stopped after that many bytes: its work file stays in the client's folder.
  auto stoppedRun = [&](const FilmCase& f, std::uint64_t workBytes, std::string program = {}) {
    if (program.empty()) program = self;
    const std::string file = clientFolder + "/" + f.id + "_Zelvoweb.mpg.part";
    QDir(QString::fromStdString(clientFolder)).removeRecursively();
    QDir().mkpath(QString::fromStdString(clientFolder));
    run({program, "client", server.host(), clientFolder, f.id, std::to_string(workBytes)});
    // Reads end where the network's pieces do: cut it to the same length every run (the
    // mark still fits, as the cut stays in the slice it names).
    if (fileSize(file) > workBytes && ::truncate(file.c_str(), off_t(workBytes)) != 0) return false;
    return isFilmPrefix(file, root + "/" + f.folder(), f.slices, workBytes);
  };
  // Resumed: the folder keeps the work file of stoppedRun.
  // program: the film_bench whose client runs (this one's unless given).
  auto clientRun = [&](const FilmCase& f, bool resumed = false, std::string program = {}) {
    if (program.empty()) program = self;
    const std::string folder = clientFolder;
    const std::string file = folder + "/" + f.id + "_Zelvoweb.mpg";
    if (!resumed) {
      QDir(QString::fromStdString(folder)).removeRecursively();
      QDir().mkpath(QString::fromStdString(folder));
    }
    // BENCH_CLIENT_WRAP runs the client under a profiler, e.g. "perf record -g -o p.data".
    std::vector<std::string> args;
    if (const char* wrap = std::getenv("BENCH_CLIENT_WRAP"))
      for (const QString& part : QString::fromLocal8Bit(wrap).split(' ', Qt::SkipEmptyParts))
        args.push_back(part.toStdString());
    for (const std::string& a : {program, std::string("client"), server.host(), folder, f.id})
      args.push_back(a);
    const Child c = run(args);
    Figures fig = parseFigures(c.out);
    fig.ok = fig.ok && sameAsSlices(file, root + "/" + f.folder(), f.slices) &&
             !QFile::exists(QString::fromStdString(file + ".part"));
    QDir(QString::fromStdString(folder)).removeRecursively();
    return fig;
  };
  // A command line tool fetching the slices into one file; "synced" adds the time of
  // fsync on that file afterwards (the client syncs its file before the rename).
  auto toolRun = [&](const FilmCase& f, std::vector<std::string> args, bool toStdout) {
    const std::string file = work + "/tool.bin";
    std::remove(file.c_str());
    if (!toStdout) args.push_back(file);
    for (int i = 0; i < f.slices; ++i)
      args.push_back("http://" + f.host + "/" + f.folder() + "/" + std::to_string(i));
    const Child c = run(args, toStdout ? file : std::string());
    const Child sync = run({"sync", file});
    Figures fig;
    fig.v["wall"] = c.wall;
    fig.v["synced"] = c.wall + sync.wall;
    fig.v["cpu"] = cpuSeconds(c.usage);
    fig.v["rss_kb"] = c.usage.ru_maxrss;
    fig.ok = WIFEXITED(c.status) && WEXITSTATUS(c.status) == 0 &&
             sameAsSlices(file, root + "/" + f.folder(), f.slices);
    std::remove(file.c_str());
    return fig;
  };
  auto curlRun = [&](const FilmCase& f) {
    return toolRun(f, {"curl", "-0", "-s", "--fail"}, true);
  };
  auto wgetRun = [&](const FilmCase& f) { return toolRun(f, {"wget", "-q", "-O"}, false); };

  bool allOk = true;
  // A run whose file is not byte-exact gives no figure at all.
  auto check = [&](const Figures& f, const std::string& what) {
    if (!f.ok) {
      std::fprintf(stderr, "%s: the download was not byte-exact or failed\n", what.c_str());
      allOk = false;
    }
    return f.ok;
  };
  std::printf("%-44s %12s %12s %8s\n", "figure (median of runs)", "client", "curl -0", "ratio");
  auto row = [](const std::string& name, double client, double curl, const char* unit) {
    if (curl > 0)
      std::printf("%-44s %10.3f%-2s %10.3f%-2s %8.2f\n", name.c_str(), client, unit, curl, unit,
                  client / curl);
    else
      std::printf("%-44s %10.3f%-2s %12s %8s\n", name.c_str(), client, unit, "-", "-");
  };

  for (const FilmCase& f : films) {
    if (onlyCatalogue || resumeOnly) break;
    if (!onlyFilm.empty() && f.id != onlyFilm) continue;
    const bool timed = f.id != "film1g" || big;
    const int n = timed ? runs : 1;
    std::vector<double> cw, cc, cr, uw, uc, ur, p50, p99, pmax, us, wc, bw, bc;
    // The 256 MiB film, on either host, also next to wget and to the baseline build.
    const bool wide = timed && f.folder() == "film256";
    for (int i = 0; i < n; ++i) {
      const Figures c = clientRun(f);
      const Figures b = wide && !baseline.empty() ? clientRun(f, false, baseline) : Figures{{}, true};
      const Figures u = curlRun(f);
      const Figures w = wide ? wgetRun(f) : Figures{{}, true};
      if (!check(c, f.id) || !check(u, f.id + " (curl)") || !check(w, f.id + " (wget)") ||
          !check(b, f.id + " (baseline)"))
        continue;
      us.push_back(u.v.at("synced"));
      if (wide) wc.push_back(w.v.at("cpu"));
      if (b.v.count("wall")) {
        bw.push_back(b.v.at("wall"));
        bc.push_back(b.v.at("cpu"));
      }
      cw.push_back(c.v.at("wall"));
      cc.push_back(c.v.at("cpu"));
      cr.push_back(c.v.at("rss_kb") / 1024.0);
      p50.push_back(c.v.at("late_p50"));
      p99.push_back(c.v.at("late_p99"));
      pmax.push_back(c.v.at("late_max"));
      uw.push_back(u.v.at("wall"));
      uc.push_back(u.v.at("cpu"));
      ur.push_back(u.v.at("rss_kb") / 1024.0);
    }
    if (cw.empty()) continue;
    const double gib = f.slices * static_cast<double>(f.sliceBytes) / (1024.0 * MiB);
    const std::string tag = f.id + " (" + std::to_string(int(gib * 1024)) + " MiB, " +
                            std::to_string(f.slices) + " slices, " + f.label + ")";
    if (timed) {
      row(tag + " wall time", median(cw), median(uw), " s");
      row("  end to end, next to curl + fsync", median(cw), median(us), " s");
      row(tag + " CPU per GiB", median(cc) / gib, median(uc) / gib, " s");
      if (!wc.empty()) row("  CPU per GiB, next to wget -O", median(cc) / gib, median(wc) / gib, " s");
      if (!bc.empty()) {
        row("  baseline build: CPU per GiB, next to curl", median(bc) / gib, median(uc) / gib, " s");
        row("  baseline build: end to end, next to curl + fsync", median(bw), median(us), " s");
        row("  this build's CPU next to the baseline's", median(cc), median(bc), " s");
      }
      std::printf("  (%zu alternating runs)\n", cw.size());
      row(tag + " click lateness p50", median(p50), 0, "ms");
      row(tag + " click lateness p99", median(p99), 0, "ms");
      row(tag + " click lateness max", *std::max_element(pmax.begin(), pmax.end()), 0, "ms");
    }
    row(tag + " peak memory", median(cr), median(ur), "Mi");
  }

  // A stopped film resumed: the client with the work file of a run stopped after the first
  // 8.5 slices of film256,
  // next to curl fetching just the missing bytes (two commands, since -r applies to every
  // URL of one: the rest of slice 8 ranged, then slices 9.. whole, timed together). The
  // bytes are nginx's own count ($bytes_sent) of the answers logged during each run.
  // The host gives a strong ETag, a weak one (no validator to the client) or none at all.
  const std::string accessLog = root + "/nginx/access.log";
  std::vector<FilmCase> resumed;
  for (const auto& [id, path, label] :
       {std::tuple{"film256", "", "strong ETag"}, std::tuple{"film256w", "/weak", "weak ETag"},
        std::tuple{"film256n", "/none", "no validator"}}) {
    resumed.push_back({id, 16, 16 * MiB, "film256", nginx + path, label});
    std::string record = server.host() + "/ref|16|" + std::string(id) + "*";
    for (int i = 0; i < 16; ++i)
      record += (i ? "|" : "") + resumed.back().host + "/film256/" + std::to_string(i);
    service::Reply r;
    r.body = record;
    server.setReply("/z/e/zelvo/basix2.php?a=" + std::string(id), r);
  }
  for (const FilmCase& f : resumed) {
    if (onlyCatalogue || !onlyFilm.empty()) continue;
    const int whole = f.slices / 2;
    const std::uint64_t have = whole * f.sliceBytes + f.sliceBytes / 2;
    const std::uint64_t missing = f.slices * f.sliceBytes - have;
    const std::string cut = std::to_string(have - whole * f.sliceBytes);
    auto curlResume = [&] {
      const std::string file = work + "/curl.bin";
      const std::string base = "http://" + f.host + "/" + f.folder() + "/";
      const Child first =
          run({"curl", "-0", "-s", "--fail", "-r", cut + "-", base + std::to_string(whole)}, file);
      std::vector<std::string> args = {"curl", "-0", "-s", "--fail"};
      for (int i = whole + 1; i < f.slices; ++i) args.push_back(base + std::to_string(i));
      const Child rest = run(args, file, true);
      Figures fig;
      fig.v["wall"] = first.wall + rest.wall;
      fig.ok = WIFEXITED(first.status) && WEXITSTATUS(first.status) == 0 &&
               WIFEXITED(rest.status) && WEXITSTATUS(rest.status) == 0 &&
               sameAsSlices(file, root + "/" + f.folder(), f.slices, have);
      std::remove(file.c_str());
      return fig;
    };
    // Per run: the client's bytes split by what they were for, and curl's.
    std::map<std::string, std::vector<double>> by;
    std::vector<double> cw, uw;
    const bool logged = QFile::exists(QString::fromStdString(accessLog));
    if (!logged) std::fprintf(stderr, "%s missing: no byte counts\n", accessLog.c_str());
    for (int i = 0; i < runs; ++i) {
      if (!stoppedRun(f, have)) {
        std::fprintf(stderr, "%s: the stopped run left no work file of %llu bytes\n", f.id.c_str(),
                     static_cast<unsigned long long>(have));
        allOk = false;
        continue;
      }
      const std::uint64_t mark = fileSize(accessLog);
      const Figures c = clientRun(f, true);
      const Figures u = curlResume();
      if (!check(c, f.id + " resume") || !check(u, f.id + " resume (curl)")) continue;
      cw.push_back(c.v.at("wall"));
      uw.push_back(u.v.at("wall"));
      if (!logged) continue;
      // curl ran after the client, so the client's aborted size query is logged by now.
      std::map<std::string, double> b;
      bool sizeQuerySeen = false, continued = false;
      for (const LogLine& l : logLinesFrom(accessLog, mark)) {
        const bool curl = l.agent.rfind("curl/", 0) == 0;
        b[curl ? "curl" : "client"] += l.sent;
        if (curl) continue;
        b["request"] += l.request;
        if (l.range.empty() && !sizeQuerySeen) {
          sizeQuerySeen = true;  // the first plain GET: the size query, closed after headers
          b["size headers"] += l.sent - l.body;
          b["size body"] += l.body;
        } else if (l.range == "bytes=0-0") {
          b["size headers"] += l.sent - l.body;
          b["probe body"] += l.body;
          b["probes"] += 1;
        } else if (l.range.size() > 6 && l.range.back() != '-') {
          b["other headers"] += l.sent - l.body;
          b["check body"] += l.body;
        } else {
          // From the held end (a validator), or 64 KiB before it to compare them.
          continued = continued || l.range == "bytes=" + cut + "-" ||
                      l.range == "bytes=" + std::to_string(std::stoull(cut) - 65536) + "-";
          b["other headers"] += l.sent - l.body;
          b["content body"] += l.body;
        }
      }
      if (!continued) {
        std::fprintf(stderr, "%s resume: no request continued slice %d at byte %s\n", f.id.c_str(),
                     whole, cut.c_str());
        allOk = false;
        continue;
      }
      for (const char* k : {"client", "curl", "request", "size headers", "size body", "probes",
                            "probe body", "other headers", "check body", "content body"})
        by[k].push_back(b[k]);
    }
    if (cw.empty()) continue;
    const std::string tag = f.id + " resume, " + f.label + " (work file " +
                            std::to_string(have / MiB) + " MiB)";
    std::printf("%-44s %12s %12s\n", "", "client", "curl -0 -r");
    row(tag + " wall time", median(cw), median(uw), " s");
    if (by.empty()) continue;
    auto bytes = [](const std::string& name, double client, double curl, const std::string& note) {
      std::printf("%-44s %12.0f ", name.c_str(), client);
      if (curl > 0)
        std::printf("%12.0f %8.4f", curl, client / curl);
      else
        std::printf("%12s %8s", "-", "-");
      std::printf("  %s\n", note.c_str());
    };
    const double client = median(by["client"]), curl = median(by["curl"]);
    const auto lo = [&](const char* k) { return *std::min_element(by[k].begin(), by[k].end()); };
    const auto hi = [&](const char* k) { return *std::max_element(by[k].begin(), by[k].end()); };
    auto span = [&](const char* k) {
      return "runs " + std::to_string(std::uint64_t(lo(k))) + ".." +
             std::to_string(std::uint64_t(hi(k)));
    };
    bytes(f.id + " resume bytes transferred", client, curl,
          "B; missing " + std::to_string(missing) + " B; " + span("client"));
    bytes(f.id + " resume overhead over missing", client - missing, curl - missing,
          "B; headers, the size-query body and what proves the held bytes");
    bytes(f.id + " resume overhead less the size-query body",
          client - missing - median(by["size body"]), 0, "B; same target");
    bytes("  headers of the size query and " + std::to_string(int(median(by["probes"]))) +
              " bytes=0-0 check(s)",
          median(by["size headers"]), 0, "B");
    bytes("  size-query body sent before its close", median(by["size body"]), 0,
          "B; " + span("size body"));
    bytes("  bytes=0-0 bodies", median(by["probe body"]), 0, "B");
    bytes("  byte-comparison check bodies", median(by["check body"]), 0, "B");
    bytes("  headers of the check and the content", median(by["other headers"]), 0, "B");
    bytes("  content bodies beyond missing", median(by["content body"]) - missing, 0, "B");
    bytes(f.id + " resume request bytes (client to nginx)", median(by["request"]), 0, "B");
    // The baseline build's client, stopped and resumed the same way (its own work file).
    std::vector<double> before;
    for (int i = 0; i < runs && !baseline.empty(); ++i) {
      if (!stoppedRun(f, have, baseline)) continue;
      const std::uint64_t mark = fileSize(accessLog);
      const Figures c = clientRun(f, true, baseline);
      curlResume();  // the baseline's aborted size query is logged by the time it ends
      if (!check(c, f.id + " resume (baseline)")) continue;
      double sent = 0;
      for (const LogLine& l : logLinesFrom(accessLog, mark))
        if (l.agent.rfind("curl/", 0) != 0) sent += l.sent;
      before.push_back(sent);
    }
    if (!before.empty())
      bytes(f.id + " resume bytes transferred, baseline", median(before), median(by["client"]),
            "B; ratio: baseline / this build");
  }
  // Catalogues (and an endless record): time from the click to the filled list (or the
  // failure box), the longest wait of a 10 ms event meanwhile, and peak memory.
  struct CatalogueCase {
    std::string label;
    const char* scenario;  // nullptr: the 100,000 rows above
    int rows;              // -1: a failed load (over the bound); -2: a film timed to its summary
    const char* film = nullptr;
  };
  const std::vector<CatalogueCase> catalogues = {
      {"catalogue of 100000 rows", nullptr, kRows},
      {"catalogue of 1000000 rows", "millio", 1000000},
      {"catalogue of 10000000 rows, cut at 128 MiB", "tizmillio", -1},
      {"endless catalogue, cut at 128 MiB", "vegtelen", -1},
      {"endless film record, cut at 16 MiB", "demo", -1, "vegtelen-rekord"},
      {"catalogue of one row of 128 MiB", "egysoros", 1},
      {"refusal of 16 MiB (real box)", "demo", -1, "elutasitas-orias"},
      {"film record with a count field of 16 MiB", "demo", -2, "darab-orias"},
  };
  for (const CatalogueCase& k : catalogues) {
    if (onlyFilms) break;
    if (k.scenario && !server.useCatalogue(k.scenario)) return 1;
    std::vector<double> wall, late, rss, grow, paint, click;
    for (int i = 0; i < runs; ++i) {
      std::vector<std::string> args = {self, "catalogue", server.host(), std::to_string(k.rows)};
      if (k.film) args.push_back(k.film);
      const Figures f = parseFigures(run(args).out);
      if (!check(f, k.label)) continue;
      wall.push_back(f.v.at("wall"));
      late.push_back(f.v.at("late_max"));
      rss.push_back(f.v.at("rss_kb") / 1024.0);
      grow.push_back((f.v.at("rss_kb") - f.v.at("rss_before_kb")) / 1024.0);
      paint.push_back(f.v.count("paint_ms") ? f.v.at("paint_ms") : 0);
      click.push_back(f.v.count("click_ms") ? f.v.at("click_ms") : 0);
    }
    if (wall.empty()) continue;
    row(k.label + (k.rows == -2 ? ": click to status line" : ": click to list"), median(wall), 0,
        " s");
    row(k.label + ": longest event wait", *std::max_element(late.begin(), late.end()), 0, "ms");
    row(k.label + ": peak memory", median(rss), 0, "Mi");
    row(k.label + ": peak memory growth", median(grow), 0, "Mi");
    if (!paint.empty() && *std::max_element(paint.begin(), paint.end()) > 0) {
      row(k.label + ": longest repaint", *std::max_element(paint.begin(), paint.end()), 0, "ms");
      row(k.label + ": click on an entry", *std::max_element(click.begin(), click.end()), 0, "ms");
    }
  }
  // File names of very long film names; a run that has not finished in two minutes is
  // reported as such.
  for (const int chars : {64 * 1024, 1024 * 1024, 16 * 1024 * 1024}) {
    if (onlyFilms) break;
    const Child c = run({"timeout", "120", self, "names", std::to_string(chars)});
    const Figures f = parseFigures(c.out);
    const std::string label =
        "file name of a " + std::to_string(chars / 1024) + " Ki-character name";
    if (f.ok)
      row(label, f.v.at("ms"), 0, "ms");
    else
      std::printf("%-44s %12s\n", label.c_str(), "> 120 s");
  }
  QDir(QString::fromStdString(work)).removeRecursively();
  return allOk ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "client") return clientMain(argc, argv);
  if (mode == "catalogue") return catalogueMain(argc, argv);
  if (mode == "names") return namesMain(argc, argv);
  if (mode == "run") return driverMain(argc, argv);
  std::fprintf(stderr, "usage: film_bench run SLICE_ROOT NGINX_PORT [--big] [--runs N]\n");
  return 2;
}
