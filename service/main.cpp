// zelvo-service [--port N] [--log FILE] [--catalogue NAME]: serves the demo catalogue and the
// scenario films on 127.0.0.1 until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>

#include "service/service.h"

namespace {

int usage(const char* program) {
  std::cerr << "usage: " << program << " [--port N] [--log FILE] [--catalogue NAME]\n"
            << "  --port N    port on 127.0.0.1 (default 8080, 0 = any free port)\n"
            << "  --log FILE  append one line per request: method target version\n"
            << "              [Range: value]\n"
            << "  --catalogue NAME  demo (default), millio, tizmillio, vegtelen, egysoros or hiba-500\n";
  return 2;
}

bool parsePort(const char* text, std::uint16_t& port) {
  char* end = nullptr;
  errno = 0;
  unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value > 65535 || text[0] == '-') return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::uint16_t port = 8080;
  std::string logPath;
  std::string catalogueName = "demo";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--port" && i + 1 < argc) {
      if (!parsePort(argv[++i], port)) return usage(argv[0]);
    } else if (arg == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else if (arg == "--catalogue" && i + 1 < argc) {
      catalogueName = argv[++i];
    } else {
      return usage(argv[0]);
    }
  }

  // Block the stop signals before any thread exists, so that every thread inherits the
  // mask and only sigwait below receives them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::ofstream logFile;
  std::mutex logMutex;
  if (!logPath.empty()) {
    logFile.open(logPath, std::ios::app);
    if (!logFile) {
      std::cerr << "zelvo-service: cannot open log file " << logPath << "\n";
      return 1;
    }
  }

  service::Server server;
  if (logFile.is_open()) {
    server.setRequestObserver([&](const service::LoggedRequest& r) {
      std::lock_guard<std::mutex> lock(logMutex);
      logFile << r.method << ' ' << r.target << ' ' << r.version;
      if (auto range = r.header("Range")) logFile << " Range: " << *range;
      logFile << '\n' << std::flush;
    });
  }
  if (!server.start(port)) {
    std::cerr << "zelvo-service: cannot listen on 127.0.0.1:" << port << ": "
              << std::strerror(errno) << "\n";
    return 1;
  }
  // After start: the rows carry the host with its port.
  if (!server.useCatalogue(catalogueName)) return usage(argv[0]);
  std::printf("zelvo-service listening on %s\n", server.host().c_str());
  std::fflush(stdout);

  int received = 0;
  sigwait(&stopSignals, &received);
  server.stop();
  return 0;
}
