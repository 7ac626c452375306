// What screen readers learn of the window: a Hungarian name (and a description where the
// name is not enough) for every control, and the status panel as a progress bar.
#pragma once

#include <QAccessible>
#include <QFrame>

class QLabel;

namespace ui {

// Names every control of the window, found by object name.
void nameControls(QWidget& window);

// The bordered panel of the bar and the status text. To assistive technology it is one
// progress bar: value 0-100, the status text as its description.
class ProgressPanel : public QFrame {
  Q_OBJECT

 public:
  explicit ProgressPanel(QWidget* parent);
  void setStatusLabel(const QLabel* label) { status_ = label; }
  QString statusText() const;
  int percent() const { return percent_; }
  // Both announce the change on the accessibility bus.
  void setPercent(int percent);
  void statusChanged();

 signals:
  // Each announcement made, also while no assistive technology listens.
  void announced(QAccessible::Event event, int percent);

 private:
  void announce(QAccessibleEvent& event);

  const QLabel* status_ = nullptr;
  int percent_ = 0;
};

}  // namespace ui
