// How fast the HTTP layer hands out a large body in the client's 64-byte reads,
// next to the curl command line tool fetching the same body from the same server.
//
// Usage: net_read_bench [MiB=64] [runs=5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/wininet.h"
#include "service/service.h"

namespace {

using Clock = std::chrono::steady_clock;

std::uint64_t fnv1a(std::uint64_t h, const char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 1099511628211ull;
  }
  return h;
}
constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

struct LayerRun {
  double seconds = 0;
  std::uint64_t bytes = 0;
  std::uint64_t reads = 0;
  std::uint64_t hash = kFnvStart;
  bool ok = false;
};

LayerRun readThroughLayer(const std::string& host, const std::string& path, bool hashIt) {
  LayerRun run;
  const auto start = Clock::now();
  const net::HINTERNET s = net::InternetOpenA("net_read_bench", 0, nullptr, nullptr, 0);
  const net::HINTERNET c = net::InternetConnectA(s, host.c_str(), 80, nullptr, nullptr, 3, 0, 0);
  const net::HINTERNET r =
      net::HttpOpenRequestA(c, "GET", path.c_str(), "HTTP/1.0", "", nullptr, 0x80400000u, 0);
  if (net::HttpSendRequestA(r, nullptr, 0, nullptr, 0)) {
    char buffer[64];
    for (;;) {
      std::uint32_t got = 0;
      const bool ok = net::InternetReadFile(r, buffer, sizeof buffer, &got);
      ++run.reads;
      if (!ok || got == 0) {
        run.ok = ok;
        break;
      }
      run.bytes += got;
      if (hashIt) run.hash = fnv1a(run.hash, buffer, got);
    }
  }
  net::InternetCloseHandle(r);
  net::InternetCloseHandle(c);
  net::InternetCloseHandle(s);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

struct CurlRun {
  double wallSeconds = 0;  // the whole child process, start-up included
  double curlSeconds = 0;  // curl's own time_total
  std::uint64_t bytes = 0;
  bool ok = false;
};

CurlRun readWithCurl(const std::string& url) {
  CurlRun run;
  const std::string command =
      "curl -0 -s -o /dev/null -w '%{size_download} %{time_total}' '" + url + "'";
  const auto start = Clock::now();
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return run;
  unsigned long long bytes = 0;
  double total = 0;
  const int fields = std::fscanf(p, "%llu %lf", &bytes, &total);
  const int status = ::pclose(p);
  run.wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.ok = fields == 2 && status == 0;
  run.bytes = bytes;
  run.curlSeconds = total;
  return run;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double mbps(std::uint64_t bytes, double seconds) { return seconds > 0 ? bytes / seconds / 1e6 : 0; }

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  const std::uint64_t size = mib << 20;

  service::Server server;
  if (!server.start(0)) {
    std::fprintf(stderr, "cannot start the server\n");
    return 1;
  }
  service::Reply reply;
  reply.body.resize(size);
  std::uint32_t x = 12345;
  for (char& ch : reply.body) {
    x = x * 1664525u + 1013904223u;
    ch = char(x >> 24);
  }
  const std::uint64_t expectedHash = fnv1a(kFnvStart, reply.body.data(), reply.body.size());
  const std::string path = "/bench/body";
  server.setReply(path, std::move(reply));
  net::setWaitHook(&argc, [] {});

  const std::string url = "http://" + server.host() + path;
  std::printf("body %llu MiB from %s, %d runs each, 64-byte reads through the layer\n",
              static_cast<unsigned long long>(mib), url.c_str(), runs);

  // Untimed first round: checks that both really fetch the whole body.
  const LayerRun check = readThroughLayer(server.host(), path, true);
  if (!check.ok || check.bytes != size || check.hash != expectedHash) {
    std::fprintf(stderr, "layer read wrong: ok=%d bytes=%llu\n", check.ok,
                 static_cast<unsigned long long>(check.bytes));
    return 1;
  }
  const CurlRun curlCheck = readWithCurl(url);
  if (!curlCheck.ok || curlCheck.bytes != size) {
    std::fprintf(stderr, "curl run failed (is curl installed?)\n");
    return 1;
  }

  std::vector<double> layer, curlWall, curlOwn;
  for (int i = 0; i < runs; ++i) {
    const LayerRun l = readThroughLayer(server.host(), path, false);
    const CurlRun c = readWithCurl(url);
    if (!l.ok || l.bytes != size || !c.ok || c.bytes != size) {
      std::fprintf(stderr, "run %d incomplete\n", i + 1);
      return 1;
    }
    layer.push_back(mbps(size, l.seconds));
    curlWall.push_back(mbps(size, c.wallSeconds));
    curlOwn.push_back(mbps(size, c.curlSeconds));
    std::printf("run %d: layer %8.1f MB/s (%llu reads)   curl %8.1f MB/s (process %8.1f MB/s)\n",
                i + 1, layer.back(), static_cast<unsigned long long>(l.reads), curlOwn.back(),
                curlWall.back());
  }
  const double ml = median(layer), mc = median(curlOwn), mw = median(curlWall);
  std::printf("median: layer %.1f MB/s, curl %.1f MB/s (whole process %.1f MB/s)\n", ml, mc, mw);
  std::printf("layer/curl: %.2f (against the whole curl process: %.2f)\n", mc > 0 ? ml / mc : 0,
              mw > 0 ? ml / mw : 0);
  net::setWaitHook(&argc, nullptr);
  return 0;
}
