// The one way back into the window's event loop while a transfer runs: the yield points,
// the network layer's waits and the pause before a retry all come through here, so one
// set of rules decides when events are handled.
#pragma once

#include <QElapsedTimer>
#include <chrono>
#include <functional>

namespace ui {

class EventPump {
 public:
  // Every pending event, now: before a network step a stop must land first.
  void all();
  // Pending events, at most once a millisecond: cheap enough to call at every read.
  void some();
  // Events for the given time, ending early once over() says so (checked every 10 ms).
  static void wait(std::chrono::milliseconds time, const std::function<bool()>& over);

 private:
  QElapsedTimer since_;
};

}  // namespace ui
