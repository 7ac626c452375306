#include "ui/event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace ui {

void EventPump::all() {
  since_.start();
  QCoreApplication::processEvents();
}

void EventPump::some() {
  // Handling events costs far more than a transfer step; once a millisecond is plenty.
  if (since_.isValid() && since_.nsecsElapsed() < 1000000) return;
  all();
}

void EventPump::wait(std::chrono::milliseconds time, const std::function<bool()>& over) {
  QEventLoop loop;
  QTimer done;
  done.setSingleShot(true);
  QObject::connect(&done, &QTimer::timeout, &loop, &QEventLoop::quit);
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
    if (over && over()) loop.quit();
  });
  done.start(time);
  watch.start(10);
  loop.exec();
}

}  // namespace ui
