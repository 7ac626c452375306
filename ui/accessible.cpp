#include "ui/accessible.h"

#include <QAccessibleWidget>
#include <QLabel>

#include "ui/folders.h"

namespace ui {
namespace {

struct ControlText {
  const char* object;
  const char* name;         // nullptr: the control's own text names it
  const char* description;  // nullptr: the name says enough
};

const ControlText kControlTexts[] = {
    {"azonosito", "Film azonosítója", "A letöltendő film azonosítója"},
    {"Go", nullptr, "Letölti a beírt azonosítójú filmet; letöltés közben leállít"},
    {"azon2queue", "Azonosító a letöltési sorba", "A beírt azonosítót a letöltési sorba teszi"},
    {"Command1", nullptr, "Kinyitja vagy becsukja a filmlistát"},
    {"btQueue", nullptr, "Kinyitja a letöltési sort"},
    {"Drive1", "Meghajtó", "A meghajtó, amelyre a film kerül"},
    {"directory", "Mappa", "A mappa, amelybe a film kerül"},
    {"Picture1", "Letöltés állapota", nullptr},
    {"Lista", "Filmlista", "A szolgáltatás összes filmje"},
    {"Command2", nullptr, "Letölti a filmlistában kijelölt filmet"},
    {"toQueue", "Kijelölt film a letöltési sorba",
     "A filmlistában kijelölt filmet a letöltési sorba teszi"},
    {"queue", "Sorra váró filmek", "A letöltési sorban álló azonosítók"},
    {"q_del", "Törlés a sorból", "A kijelölt azonosítót törli a letöltési sorból"},
    {"q_letolt", nullptr, "A sor összes filmjét letölti egymás után"},
    {"btQueue2", nullptr, "Becsukja a letöltési sort"},
};

// The panel's labels are not shown to assistive technology on their own: the bar speaks
// for them.
class PanelAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
 public:
  explicit PanelAccessible(ProgressPanel* panel)
      : QAccessibleWidget(panel, QAccessible::ProgressBar) {}

  void* interface_cast(QAccessible::InterfaceType t) override {
    if (t == QAccessible::ValueInterface) return static_cast<QAccessibleValueInterface*>(this);
    return QAccessibleWidget::interface_cast(t);
  }
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Description) return panel()->statusText();
    if (t == QAccessible::Value) return QString::number(panel()->percent()) + QLatin1Char('%');
    return QAccessibleWidget::text(t);
  }
  int childCount() const override { return 0; }
  QAccessibleInterface* child(int) const override { return nullptr; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QVariant currentValue() const override { return panel()->percent(); }
  void setCurrentValue(const QVariant&) override {}  // shown, not set by the user
  QVariant maximumValue() const override { return 100; }
  QVariant minimumValue() const override { return 0; }
  QVariant minimumStepSize() const override { return 1; }

 private:
  ProgressPanel* panel() const { return static_cast<ProgressPanel*>(widget()); }
};

// On Linux Qt names a combo box by its current entry and leaves the name to a label
// beside it; the drive list has none, so it carries its own name, and the entry is its value.
class DriveAccessible : public QAccessibleWidget {
 public:
  explicit DriveAccessible(DriveListBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return static_cast<DriveListBox*>(widget())->currentText();
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
  if (className == QLatin1String(ProgressPanel::staticMetaObject.className()))
    return new PanelAccessible(static_cast<ProgressPanel*>(object));
  if (className == QLatin1String(DriveListBox::staticMetaObject.className()))
    return new DriveAccessible(static_cast<DriveListBox*>(object));
  return nullptr;
}

// Before any window exists: an active screen reader asks for a control's interface as soon
// as the control is made, and keeps the first one it gets.
const bool kFactoryInstalled = [] {
  QAccessible::installFactory(factory);
  return true;
}();

}  // namespace

void nameControls(QWidget& window) {
  for (const ControlText& t : kControlTexts) {
    auto* control = window.findChild<QWidget*>(QLatin1String(t.object));
    if (!control) continue;
    if (t.name) control->setAccessibleName(QString::fromUtf8(t.name));
    if (t.description) control->setAccessibleDescription(QString::fromUtf8(t.description));
  }
}

ProgressPanel::ProgressPanel(QWidget* parent) : QFrame(parent) {}

QString ProgressPanel::statusText() const { return status_ ? status_->text() : QString(); }

void ProgressPanel::setPercent(int percent) {
  if (percent == percent_) return;
  percent_ = percent;
  QAccessibleValueChangeEvent event(this, percent);
  announce(event);
}

void ProgressPanel::statusChanged() {
  QAccessibleEvent event(this, QAccessible::DescriptionChanged);
  announce(event);
}

void ProgressPanel::announce(QAccessibleEvent& event) {
  QAccessible::updateAccessibility(&event);
  emit announced(event.type(), percent_);
}

}  // namespace ui
