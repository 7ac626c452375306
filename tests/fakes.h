// Test doubles for the window's seams: scripted message boxes, a recording URL opener,
// and a program end that only records.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <deque>
#include <functional>
#include <vector>

#include "tests/qt_print.h"
#include "ui/desktop_notify.h"
#include "ui/seams.h"

struct ShownBox {
  QString text;
  QString title;
  ui::BoxButtons buttons;
};

class FakeBoxes : public ui::MessageBoxes {
 public:
  ui::BoxAnswer warn(QWidget*, const QString& text, const QString& title,
                     ui::BoxButtons buttons) override {
    shown.push_back({text, title, buttons});
    if (answers.empty()) return ui::BoxAnswer::Ok;
    const ui::BoxAnswer a = answers.front();
    answers.pop_front();
    return a;
  }
  std::vector<ShownBox> shown;
  std::deque<ui::BoxAnswer> answers;  // OK when empty
};

class FakeOpener : public ui::UrlOpener {
 public:
  void open(const QString& url, bool shown) override { opened.push_back({url, shown}); }
  std::vector<std::pair<QString, bool>> opened;
};

class FakeEnd : public ui::ProgramEnd {
 public:
  void end() override { ++calls; }
  int calls = 0;
};

// Retry waits pass at once; the waits asked for are kept.
class FakePauses : public ui::Pauses {
 public:
  void pause(std::chrono::milliseconds wait, const std::function<bool()>&) override {
    waits.push_back(wait);
    if (during) during();
  }
  std::vector<std::chrono::milliseconds> waits;
  std::function<void()> during;  // runs inside each wait
};

// The desktop session as a log of what the window asked of it.
class FakeDesktop : public ui::DesktopSession {
 public:
  void keepAwake(bool on) override {
    log << (on ? QStringLiteral("awake") : QStringLiteral("sleep"));
  }
  void showProgress(double fraction, bool visible) override {
    log << (visible ? QStringLiteral("progress %1").arg(fraction) : QStringLiteral("hidden"));
  }
  void askAttention(QWidget*) override { log << QStringLiteral("attention"); }
  // "notify <text>: <file names>" (the names only: the folders are temporary).
  void notifyDone(const ui::Finished& done) override {
    QStringList names;
    for (const QString& f : done.files) names << f.section(QLatin1Char('/'), -1);
    log << QStringLiteral("notify %1: %2").arg(done.text, names.join(QLatin1Char(',')));
    notified.push_back(done);
  }
  void settle() override { log << QStringLiteral("settle"); }
  QStringList log;
  std::vector<ui::Finished> notified;
};

struct FakeSeams {
  FakeBoxes boxes;
  FakeOpener opener;
  FakeEnd ender;
  FakePauses pauses;
  FakeDesktop desktop;
  ui::Seams seams() { return {&boxes, &opener, &ender, &pauses, &desktop}; }
};
