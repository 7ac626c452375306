// The stop matrix's film and the points where it is stopped, shared by the tests and the
// stop child. A point is a condition on what can be observed of the film under way; the
// child stops at the first yield point where it holds, however many yields led there.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace stops {

// The film's name and file (UTF-8), and its three slices; the size query asks for the first.
constexpr char kName[] = "Megállj";
// A stopped film never takes its final name: its bytes stay in the work file.
constexpr char kFinal[] = "Megállj_Zelvoweb.mpg";
constexpr char kFile[] = "Megállj_Zelvoweb.mpg.part";
constexpr std::int64_t kSlice[] = {12800, 12800, 6400};
constexpr int kSlices = 3;
inline std::int64_t sliceStart(int i) {
  std::int64_t at = 0;
  for (int k = 0; k < i; ++k) at += kSlice[k];
  return at;
}
inline std::int64_t sliceEnd(int i) { return sliceStart(i) + kSlice[i]; }

// What the child sees at a yield point.
struct Moment {
  int seen = 0;               // requests the service has seen (told by the service)
  std::int64_t opened = 0;    // network handles opened since the film started
  bool sizeShown = false;     // the size label shows the size query's answer
  int slice = -1;             // slice under way, -1 before the slice loop
  bool sliceOpen = false;     // the window's hRequest is open
  std::int64_t received = 0;  // the window's receivedBytes
  std::int64_t inBuffer = 0;  // the window's bytesRead: read, maybe not yet counted
  bool hasFile = false;       // a film's work file exists
  std::int64_t buffered = 0;  // bytes the open request holds, not yet read by the window
  bool hasFinal = false;      // a film has taken its final name
  std::string item = "-";     // the window's loopItem: the slice address under way
};

// One line each way between the child and the test.
inline std::string toLine(const Moment& m) {
  std::ostringstream out;
  out << "AT " << m.seen << ' ' << m.opened << ' ' << m.sizeShown << ' ' << m.slice << ' '
      << m.sliceOpen << ' ' << m.received << ' ' << m.inBuffer << ' ' << m.hasFile << ' '
      << m.buffered << ' ' << m.hasFinal << ' ' << (m.item.empty() ? "-" : m.item);
  return out.str();
}
inline bool fromLine(const std::string& line, Moment& m) {
  std::istringstream in(line);
  std::string at;
  in >> at >> m.seen >> m.opened >> m.sizeShown >> m.slice >> m.sliceOpen >> m.received >>
      m.inBuffer >> m.hasFile >> m.buffered >> m.hasFinal >> m.item;
  std::string rest;
  return at == "AT" && in && !(in >> rest);
}

struct StopPoint {
  std::string name;
  std::function<bool(const Moment&)> reached;
  int seen;  // requests the service must have seen there: none may follow the stop
};

inline const std::vector<StopPoint>& stopPoints() {
  static const std::vector<StopPoint> points = [] {
    // Each text fetch opens a session, a connection and a request handle, in that order.
    std::vector<StopPoint> p = {
        {"entry", [](const Moment& m) { return m.opened == 0; }, 0},
        {"record session opened", [](const Moment& m) { return m.opened >= 1; }, 0},
        {"record connection opened", [](const Moment& m) { return m.opened >= 2; }, 0},
        {"record request opened", [](const Moment& m) { return m.opened >= 3; }, 0},
        {"record answered", [](const Moment& m) { return m.seen >= 1; }, 1},
        {"size query session opened", [](const Moment& m) { return m.opened >= 4; }, 1},
        {"size query connection opened", [](const Moment& m) { return m.opened >= 5; }, 1},
        {"size query request opened", [](const Moment& m) { return m.opened >= 6; }, 1},
        {"size query answered", [](const Moment& m) { return m.seen >= 2; }, 2},
        {"size shown", [](const Moment& m) { return m.sizeShown; }, 2},
    };
    for (int i = 0; i < kSlices; ++i) {
      const std::string n = "slice " + std::to_string(i + 1);
      const int seen = 3 + i;
      const std::int64_t start = sliceStart(i);
      const std::int64_t end = sliceEnd(i);
      // The window handles pending events before each network step of a slice.
      p.push_back(
          {n + " before its request", [i](const Moment& m) { return m.slice == i; }, seen - 1});
      p.push_back({n + " first read",
                   [i, seen](const Moment& m) { return m.slice == i && m.seen >= seen; }, seen});
      p.push_back({n + " first bytes counted",
                   [i, start](const Moment& m) { return m.slice == i && m.received > start; },
                   seen});
      p.push_back({n + " half counted",
                   [i, start](const Moment& m) {
                     return m.slice == i && m.received >= start + kSlice[i] / 2;
                   },
                   seen});
      // The read that brings the last bytes, before they are counted.
      p.push_back({n + " last data read",
                   [i, end](const Moment& m) {
                     return m.slice == i && m.inBuffer > 0 && m.received + m.inBuffer == end;
                   },
                   seen});
      // Between slices, or after the film's last byte.
      p.push_back({n + " all counted",
                   [i, end](const Moment& m) { return m.slice == i && m.received == end; }, seen});
    }
    return p;
  }();
  return points;
}

// A matrix point by name, or one that holds for any film: "received N" (bytes counted),
// "seen N" (requests the service has seen),
// "check" (the answer to a work file's first check is being read), "end" (a finished film
// has taken its name).
inline std::optional<StopPoint> findStopPoint(const std::string& name) {
  for (const StopPoint& p : stopPoints())
    if (p.name == name) return p;
  if (name == "check") return StopPoint{name, [](const Moment& m) { return m.buffered > 0; }, -1};
  if (name == "end") return StopPoint{name, [](const Moment& m) { return m.hasFinal; }, -1};
  if (name.rfind("seen ", 0) == 0) {
    const int requests = std::stoi(name.substr(5));
    return StopPoint{name, [requests](const Moment& m) { return m.seen >= requests; }, requests};
  }
  if (name.rfind("received ", 0) != 0) return std::nullopt;
  const std::int64_t bytes = std::stoll(name.substr(9));
  return StopPoint{name, [bytes](const Moment& m) { return m.received >= bytes; }, -1};
}

}  // namespace stops
