#include "ui/desktop.h"

#include <QWidget>
#include <algorithm>
#include <cmath>

namespace ui {
namespace {
// Docks redraw the icon for each update: a few a second are plenty.
constexpr int kUpdateGapMs = 250;
}  // namespace

DesktopPresence::DesktopPresence(QWidget& window, ProgressPanel& panel, const QLabel& status,
                                 DesktopSession& session)
    : window_(window), panel_(panel), session_(session) {
  nameControls(window);
  panel.setStatusLabel(&status);
  late_.setSingleShot(true);
  QObject::connect(&late_, &QTimer::timeout, &window, [this] { sendProgress(); });
}

void DesktopPresence::begin() {
  if (abandoned_ || depth_++ > 0) return;
  session_.keepAwake(true);
  session_.showProgress(0, true);
  sentPercent_ = 0;
  sinceSent_.start();
}

void DesktopPresence::end(bool nudge, const Finished& done) {
  if (depth_ == 0 || --depth_ > 0) return;
  finish();
  if (!nudge || abandoned_ || window_.isActiveWindow()) return;
  session_.askAttention(&window_);
  if (!done.text.isEmpty()) session_.notifyDone(done);
}

void DesktopPresence::abandon() {
  if (abandoned_) return;
  abandoned_ = true;
  if (depth_ == 0) return;
  depth_ = 0;
  finish();
  session_.settle();
}

void DesktopPresence::finish() {
  late_.stop();
  session_.showProgress(0, false);
  session_.keepAwake(false);
}

void DesktopPresence::barChanged(double fraction) {
  const double share = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
  panel_.setPercent(static_cast<int>(std::lround(share * 100)));
  if (depth_ == 0 || late_.isActive() || panel_.percent() == sentPercent_) return;
  const qint64 since = sinceSent_.isValid() ? sinceSent_.elapsed() : kUpdateGapMs;
  if (since >= kUpdateGapMs) return sendProgress();
  late_.start(static_cast<int>(kUpdateGapMs - since));
}

void DesktopPresence::sendProgress() {
  if (depth_ == 0 || panel_.percent() == sentPercent_) return;
  sentPercent_ = panel_.percent();
  sinceSent_.start();
  session_.showProgress(sentPercent_ / 100.0, true);
}

}  // namespace ui
