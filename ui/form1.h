// The client's one window: layout, busy/idle states, catalogue, download commands, queue.
#pragma once

#include <QWidget>
#include <cstddef>
#include <functional>
#include <memory>

#include "download/film_download.h"
#include "ui/desktop.h"
#include "ui/event_pump.h"
#include "ui/folders.h"
#include "ui/seams.h"
#include "ui/window_vars.h"

class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace ui {
class CatalogueList;
class DirListBox;
class DriveListBox;
}  // namespace ui

class Form1 : public QWidget, public WindowVars, public download::FilmView {
  Q_OBJECT

 public:
  // host: the film service, "name" or "name:port".
  explicit Form1(const QString& host, ui::Seams seams = {}, QWidget* parent = nullptr);
  ~Form1() override;

  static const QString kPrompt;  // the identifier box's start-up text

  // Outer size of the window in twips, frame included, as last set by the program.
  int outerWidth() const { return outerWidthTw_; }
  int outerHeight() const { return outerHeightTw_; }
  void setOuterWidth(int twips);
  void setOuterHeight(int twips);

  void enterBusyState();
  void enterIdleState();
  void openExamplePage();
  // Downloads one film and shows how it ended (box, idle state, status line), except a
  // finished film, which the command announces; a film ended by the program ending is
  // Stopped.
  download::FilmOutcome downloadFilm(const QString& identifier,
                                     download::RunFiles* runFiles = nullptr);
  download::TextReply fetchText(const QString& mode, const QString& url, const QString& referrer,
                                std::size_t maxBytes) override;
  // A yield point of a transfer: lets the window handle pending events.
  void yield();
  // Tests: called at every yield point, before events are handled.
  void setYieldObserver(std::function<void()> observer) { yieldObserver_ = std::move(observer); }
  bool ending() const override { return ending_; }
  QString serviceHost() const override { return host_; }
  QString userAgent() const override { return agentName; }
  float barLength() const override { return barFullWidth; }
  // The film download's state, as it shows.
  const download::FilmState& film() const { return film_->state(); }

  // Controls, under their names in the layout.
  QPushButton* azon2queue;
  QPushButton* Command1;
  QGroupBox* Frame2;
  QPushButton* btQueue2;
  QPushButton* q_letolt;
  QPushButton* q_del;
  QListWidget* queue;
  QPushButton* toQueue;
  QPushButton* btQueue;
  QPushButton* Command2;
  QGroupBox* Frame1;
  ui::CatalogueList* Lista;
  QPushButton* Go;
  ui::DriveListBox* Drive1;
  ui::DirListBox* directory;
  ui::ProgressPanel* Picture1;
  QLabel* info;
  QLabel* processBar;
  QLineEdit* azonosito;
  QLabel* lblEgy;

 private slots:
  void Go_Click();
  void Command1_Click();
  void Command2_Click();
  void btQueue_Click();
  void btQueue2_Click();
  void azon2queue_Click();
  void toQueue_Click();
  void q_del_Click();
  void q_letolt_Click();
  void azonosito_GotFocus();
  void Drive1_Change();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  class LabelTarget;

  void buildControls();
  void layOutControls();
  void styleControls();
  void orderControls();  // stacking and focus order
  void connectControls();
  void Form_Load();
  void Form_Unload();
  void endProgram();
  void applyOuterSize();
  void countYield();  // for the observer; every yield point counts
  // A text fetch of at most maxBytes that yields to this window.
  net::FetchContext fetchContext(std::size_t maxBytes);
  void openQueuePanel();
  void takeCatalogRow(int i);
  void loadCatalogue();
  void catalogueFailed();
  // Download helpers shared by the commands.
  void finishSingleFilm(const download::FilmOutcome& outcome);
  // "Kész: " and the saved film name, as info shows it after a single film.
  static QString completionText(const download::FilmOutcome& outcome);
  void showFailure(const download::FilmOutcome& outcome);
  static int selectedIndex(const QListWidget* list);
  static int selectedIndex(const ui::CatalogueList* list);

  // FilmView
  void yieldToWindow() override { yield(); }
  bool yieldBeforeStep() override;
  QString targetFolder() const override;
  void setInfo(const QString& text) override;
  void setWindowCaption(const QString& text) override;
  void setBarWidth(float twips) override;
  net::TextTarget& sizeLabel() override;
  bool warn(const QString& text, bool withCancel);
  void waitBeforeRetry(std::chrono::milliseconds wait) override;

  QString host_;
  ui::Seams seams_;
  std::unique_ptr<LabelTarget> lblEgyTarget_;
  std::unique_ptr<download::FilmDownload> film_;
  std::unique_ptr<ui::DesktopPresence> desktop_;
  int outerWidthTw_ = 0;
  int outerHeightTw_ = 0;
  bool ending_ = false;
  ui::EventPump pump_;  // the one way back into the event loop during a transfer
  long long yieldCount_ = 0;
  std::function<void()> yieldObserver_;
  QVector<ui::Volume> volumes_;
  QHash<QString, QString> driveFolders_;  // last folder used on each volume
  float processBarTwips_ = 0;

 public:
  float processBarWidth() const { return processBarTwips_; }
};
