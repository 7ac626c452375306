#include "ui/form1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "download/film_logic.h"
#include "net/fetch.h"
#include "ui/catalogue.h"
#include "ui/catalogue_view.h"
#include "ui/folders.h"
#include "ui/layout.h"
#include "ui/look.h"
#include "ui/twips.h"

const QString Form1::kPrompt = QStringLiteral("Ide írd az azonosítót!");

namespace {

constexpr int kNarrowWidth = 4020;
constexpr int kWideWidth = 6600;
constexpr int kOpenThreshold = 5000;
constexpr int kClosedHeight = 2750;
constexpr int kOpenHeight = 5000;
const QColor kBusyColour(192, 0, 0);
const QColor kIdleColour(0, 192, 0);
// Frame of a classic desktop window, used where the platform draws none (offscreen).
constexpr int kFallbackFrameWidthPx = 8;
constexpr int kFallbackFrameHeightPx = 26;
constexpr int kMinTitleBarPx = 16;

QFont legacyFont(double points) {
  QFont font;
  font.setFamilies(ui::dialogFontFamilies());
  font.setStyleHint(QFont::SansSerif);
  font.setPointSizeF(points);
  font.setWeight(QFont::Normal);
  return font;
}

void setBackground(QWidget* w, const QColor& colour) {
  QPalette p = w->palette();
  p.setColor(QPalette::Window, colour);
  w->setPalette(p);
  w->setAutoFillBackground(true);
}

// The desktop icon's own files (data/icons), so window and menu show one picture.
QIcon makeIcon() {
  QIcon icon;
  for (int size : {32, 48, 256}) {
    icon.addFile(QStringLiteral(":/icons/%1x%1/hu.zelvo.Zelvo.png").arg(size), QSize(size, size));
  }
  return icon;
}

}  // namespace

class Form1::LabelTarget : public net::TextTarget {
 public:
  explicit LabelTarget(QLabel* label) : label_(label) {}
  void setCaption(const QString& text) override { label_->setText(text); }
  QString caption() const override { return label_->text(); }

 private:
  QLabel* label_;
};

Form1::Form1(const QString& host, ui::Seams seams, QWidget* parent)
    : QWidget(parent), host_(host), seams_(seams) {
  setObjectName(QStringLiteral("Form1"));
  buildControls();
  desktop_ = std::make_unique<ui::DesktopPresence>(*this, *Picture1, *info, *seams_.desktop);
  lblEgyTarget_ = std::make_unique<LabelTarget>(lblEgy);
  film_ = std::make_unique<download::FilmDownload>(*this);
  net::setWaitHook(this, [this] { pump_.some(); });
  Form_Load();
}

Form1::~Form1() { net::setWaitHook(this, nullptr); }

void Form1::buildControls() {
  setWindowTitle(QStringLiteral("Zelvo"));
  setWindowIcon(makeIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setBackground(this, QColor(212, 208, 200));  // the classic scroll-bar colour

  auto button = [](QWidget* parent, const char* name, const QString& text) {
    auto* b = new QPushButton(text, parent);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    return b;
  };
  auto list = [](QWidget* parent, const char* name) {
    auto* l = new QListWidget(parent);
    l->setObjectName(QLatin1String(name));
    l->setSelectionMode(QAbstractItemView::SingleSelection);
    return l;
  };

  azon2queue = button(this, "azon2queue", QStringLiteral("> Listához"));
  Command1 = button(this, "Command1", QStringLiteral("Minden film"));
  Frame2 = new QGroupBox(QStringLiteral("Letöltési sor"), this);
  Frame2->setObjectName(QStringLiteral("Frame2"));
  btQueue2 = button(Frame2, "btQueue2", QStringLiteral("Becsuk"));
  q_letolt = button(Frame2, "q_letolt", QStringLiteral("Mindet letölt!"));
  q_del = button(Frame2, "q_del", QStringLiteral("> Töröl"));
  queue = list(Frame2, "queue");
  toQueue = button(this, "toQueue", QStringLiteral("<< Listához"));
  btQueue = button(this, "btQueue", QStringLiteral("Letöltési sor"));
  Command2 = button(this, "Command2", QStringLiteral("Letölt!"));
  Frame1 = new QGroupBox(QStringLiteral("Összes film"), this);
  Frame1->setObjectName(QStringLiteral("Frame1"));
  Lista = new ui::CatalogueList(catalogRows, Frame1);
  Lista->setObjectName(QStringLiteral("Lista"));
  Go = button(this, "Go", QStringLiteral("Start!"));
  Drive1 = new ui::DriveListBox(this);
  Drive1->setObjectName(QStringLiteral("Drive1"));
  directory = new ui::DirListBox(this);
  directory->setObjectName(QStringLiteral("directory"));
  Picture1 = new ui::ProgressPanel(this);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setFrameStyle(QFrame::Box | QFrame::Plain);
  Picture1->setLineWidth(1);
  info = new QLabel(QStringLiteral("v0.51"), Picture1);
  info->setObjectName(QStringLiteral("info"));
  processBar = new QLabel(Picture1);
  processBar->setObjectName(QStringLiteral("processBar"));
  azonosito = new QLineEdit(kPrompt, this);
  azonosito->setObjectName(QStringLiteral("azonosito"));
  lblEgy = new QLabel(this);
  lblEgy->setObjectName(QStringLiteral("lblEgy"));
  layOutControls();
  styleControls();
  orderControls();
  connectControls();
}

void Form1::layOutControls() {
  // Inside the bordered panel, positions count from within its border.
  const int border = Picture1->frameWidth();
  for (const ui::ControlPlace& p : ui::kLayout) {
    auto* c = findChild<QWidget*>(QLatin1String(p.name));
    ui::place(c, p.left, p.top, p.width, p.height);
    if (c->parentWidget() == Picture1) c->move(c->pos() + QPoint(border, border));
  }
  processBarTwips_ = 3855;
  Command2->setVisible(false);
  Lista->setVisible(false);
  lblEgy->setVisible(false);
}

void Form1::styleControls() {
  Go->setFont(legacyFont(9.75));
  info->setFont(legacyFont(9.75));
  azonosito->setFont(legacyFont(12));
  azonosito->setAlignment(Qt::AlignCenter);
  // Film names and server texts land here: never read as markup.
  info->setTextFormat(Qt::PlainText);
  lblEgy->setTextFormat(Qt::PlainText);
  info->setAlignment(Qt::AlignCenter);
  info->setWordWrap(true);
  info->setAttribute(Qt::WA_TranslucentBackground);
  QPalette infoPalette = info->palette();
  infoPalette.setColor(QPalette::WindowText, Qt::white);
  info->setPalette(infoPalette);
  setBackground(processBar, kBusyColour);
  // A flat colour anchored at the left: a wider bar paints only its new strip.
  processBar->setAttribute(Qt::WA_StaticContents);
}

void Form1::orderControls() {
  // Stacking: of two overlapping controls, the one listed first lies on top.
  const QList<QWidget*> listed = {azon2queue, Command1, Frame2,     btQueue2,  q_letolt,
                                  q_del,      queue,    toQueue,    btQueue,   Command2,
                                  Frame1,     Lista,    Go,         Drive1,    directory,
                                  Picture1,   info,     processBar, azonosito, lblEgy};
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) (*it)->raise();

  // Focus order follows the tab indexes; labels and frames take no focus.
  const QList<QWidget*> tabOrder = {directory, azonosito, Drive1,   Go,        Lista,
                                    Command2,  btQueue,   toQueue,  queue,     q_del,
                                    q_letolt,  btQueue2,  Command1, azon2queue};
  for (int i = 0; i + 1 < tabOrder.size(); ++i) setTabOrder(tabOrder[i], tabOrder[i + 1]);
}

void Form1::connectControls() {
  connect(Go, &QPushButton::clicked, this, &Form1::Go_Click);
  connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
  connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
  connect(btQueue, &QPushButton::clicked, this, &Form1::btQueue_Click);
  connect(btQueue2, &QPushButton::clicked, this, &Form1::btQueue2_Click);
  connect(azon2queue, &QPushButton::clicked, this, &Form1::azon2queue_Click);
  connect(toQueue, &QPushButton::clicked, this, &Form1::toQueue_Click);
  connect(q_del, &QPushButton::clicked, this, &Form1::q_del_Click);
  connect(q_letolt, &QPushButton::clicked, this, &Form1::q_letolt_Click);
  connect(Drive1, &ui::DriveListBox::driveChanged, this, &Form1::Drive1_Change);
  connect(directory, &ui::DirListBox::pathChanged, this,
          [this](const QString& path) { driveFolders_[ui::volumeRootOf(path, volumes_)] = path; });
  azonosito->installEventFilter(this);
}

void Form1::Form_Load() {
  setOuterWidth(kNarrowWidth);
  setOuterHeight(kClosedHeight);
  agentName = QStringLiteral("zv5_progression");
  barFullWidth = static_cast<float>(ui::widthTwips(Picture1));
  desktop_->barChanged(processBarTwips_ / barFullWidth);  // the bar as drawn at start-up

  volumes_ = ui::mountedVolumes();
  Drive1->setVolumes(volumes_);
  const QString current = QDir::currentPath();
  if (!directory->setPath(current)) directory->setPath(QStringLiteral("/"));
  Drive1->setDrive(ui::volumeRootOf(directory->path(), volumes_));
  directory->setFocus();
}

// Outer size ---------------------------------------------------------------

void Form1::setOuterWidth(int twips) {
  outerWidthTw_ = twips;
  applyOuterSize();
}

void Form1::setOuterHeight(int twips) {
  outerHeightTw_ = twips;
  applyOuterSize();
}

void Form1::applyOuterSize() {
  if (outerWidthTw_ <= 0 || outerHeightTw_ <= 0) return;  // start-up sets one, then the other
  int frameW = 0;
  int frameH = 0;
  if (isVisible()) {
    frameW = frameGeometry().width() - geometry().width();
    frameH = frameGeometry().height() - geometry().height();
  }
  if (frameH < kMinTitleBarPx) {  // no real title bar: the platform draws no frame
    frameW = kFallbackFrameWidthPx;
    frameH = kFallbackFrameHeightPx;
  }
  setFixedSize(ui::twipsToPx(outerWidthTw_) - frameW, ui::twipsToPx(outerHeightTw_) - frameH);
}

void Form1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  applyOuterSize();
}

void Form1::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  applyOuterSize();  // the window manager may have added its frame by now
}

// States -------------------------------------------------------------------

void Form1::enterBusyState() {
  isDownloading = true;
  setBackground(processBar, kBusyColour);
  Go->setText(QStringLiteral("Állj!"));
  setInfo(QStringLiteral("Film adatait töltöm."));
  for (QWidget* w : {static_cast<QWidget*>(azonosito), static_cast<QWidget*>(directory),
                     static_cast<QWidget*>(Drive1), static_cast<QWidget*>(q_del),
                     static_cast<QWidget*>(q_letolt), static_cast<QWidget*>(toQueue),
                     static_cast<QWidget*>(Command2), static_cast<QWidget*>(azon2queue)})
    w->setEnabled(false);
}

void Form1::enterIdleState() {
  Go->setText(QStringLiteral("Start!"));
  isDownloading = false;
  azonosito->setText(QStringLiteral("Még egy filmet?"));
  placeholderCleared = false;
  azonosito->setEnabled(true);
  directory->setEnabled(true);
  setBackground(processBar, kIdleColour);
  setBarWidth(barFullWidth);
  Drive1->setEnabled(true);
  for (QWidget* w : {static_cast<QWidget*>(q_del), static_cast<QWidget*>(q_letolt),
                     static_cast<QWidget*>(toQueue), static_cast<QWidget*>(Command2),
                     static_cast<QWidget*>(azon2queue)})
    w->setEnabled(true);
  film_->clearProgress();
  queue->clear();
  setWindowTitle(QStringLiteral("Zelvo Letöltés kész"));
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == azonosito && event->type() == QEvent::FocusIn) azonosito_GotFocus();
  return QWidget::eventFilter(watched, event);
}

void Form1::azonosito_GotFocus() {
  if (placeholderCleared) return;
  azonosito->clear();
  placeholderCleared = true;
}

// Queue panel and drive list ------------------------------------------------

void Form1::openQueuePanel() {
  setOuterHeight(kOpenHeight);
  btQueue->hide();
}

void Form1::btQueue_Click() { openQueuePanel(); }

void Form1::btQueue2_Click() {
  setOuterHeight(kClosedHeight);
  btQueue->show();
}

void Form1::Drive1_Change() {
  const QString root = Drive1->drive();
  if (directory->setPath(driveFolders_.value(root, root)) || directory->setPath(root)) return;
  // An unreadable volume: stay where we are, and say so in the drive list.
  Drive1->setDrive(ui::volumeRootOf(directory->path(), volumes_));
}

QString Form1::targetFolder() const { return directory->path(); }

// Example page and shutdown -----------------------------------------------

void Form1::openExamplePage() {
  seams_.opener->open(QStringLiteral("about:blank"), false);
  seams_.opener->open(
      QStringLiteral("http://") + host_ + QStringLiteral("/z/e/zelvo/azonosito_pld.jpg"), true);
}

void Form1::endProgram() {
  ending_ = true;
  film_->abort();  // its handles closed, every byte received so far in the file
  desktop_->abandon();
  seams_.ender->end();
}

void Form1::Form_Unload() { endProgram(); }

void Form1::closeEvent(QCloseEvent* event) {
  Form_Unload();
  event->accept();
}

// Transfers --------------------------------------------------------------

void Form1::countYield() {
  ++yieldCount_;
  if (yieldObserver_) yieldObserver_();
}

void Form1::yield() {
  countYield();
  // The slice loop yields twice per 64-byte read: even a clock read each time shows.
  if ((yieldCount_ & 31) == 0) pump_.some();
}

bool Form1::yieldBeforeStep() {
  countYield();
  // Every time: a click already queued must end the program before the next request.
  pump_.all();
  return !ending_;
}

download::TextReply Form1::fetchText(const QString& mode, const QString& url,
                                     const QString& referrer, std::size_t maxBytes) {
  return download::fetchReply(fetchContext(maxBytes), mode, url, referrer);
}

net::FetchContext Form1::fetchContext(std::size_t maxBytes) {
  net::FetchContext ctx;
  ctx.agentName = agentName;
  ctx.yield = [this] { yield(); };
  ctx.beforeStep = [this] { return yieldBeforeStep(); };
  ctx.sizeLabel = lblEgyTarget_.get();
  ctx.maxBytes = maxBytes;
  return ctx;
}

download::FilmOutcome Form1::downloadFilm(const QString& identifier, download::RunFiles* runFiles) {
  enterBusyState();
  desktop_->begin();
  download::FilmOutcome outcome = film_->run(identifier, runFiles);
  ui::Finished done;  // nothing unless the film finished; inside a queue run it is ignored
  if (outcome.result == download::FilmResult::Finished)
    done = {completionText(outcome), {outcome.savedPath}, targetFolder()};
  desktop_->end(!ending_, done);
  if (ending_) outcome.result = download::FilmResult::Stopped;
  const auto result = outcome.result;
  if (result != download::FilmResult::Stopped && result != download::FilmResult::Finished)
    showFailure(outcome);
  return outcome;
}

void Form1::showFailure(const download::FilmOutcome& outcome) {
  using download::FilmResult;
  if (outcome.result == FilmResult::Refused) {
    if (warn(outcome.message, true)) openExamplePage();
  } else {
    warn(outcome.message, false);
  }
  enterIdleState();
  setInfo(outcome.result == FilmResult::Reported ? QStringLiteral("Hiba történt, jelentés elküldve")
                                                 : QStringLiteral("Hiba történt"));
}

void Form1::setInfo(const QString& text) {
  if (text == info->text()) return;  // nothing to repaint or to announce
  info->setText(text);
  desktop_->statusChanged();
}

void Form1::setWindowCaption(const QString& text) { setWindowTitle(text); }

void Form1::setBarWidth(float twips) {
  if (!(twips >= 0 && twips <= 1e6f)) return;  // the control refuses it; the download goes on
  processBarTwips_ = twips;
  processBar->resize(ui::twipsToPx(twips), processBar->height());
  if (barFullWidth > 0) desktop_->barChanged(twips / barFullWidth);
}

net::TextTarget& Form1::sizeLabel() { return *lblEgyTarget_; }

void Form1::waitBeforeRetry(std::chrono::milliseconds wait) {
  seams_.pauses->pause(wait, [this] { return ending_; });
}

bool Form1::warn(const QString& text, bool withCancel) {
  // Server text: bounded, and no control character reaches the screen.
  return seams_.boxes->warn(this, download::shownText(text), QStringLiteral("Hiba!"),
                            withCancel ? ui::BoxButtons::OkCancel : ui::BoxButtons::Ok) ==
         ui::BoxAnswer::Ok;
}

// Commands ---------------------------------------------------------------

int Form1::selectedIndex(const ui::CatalogueList* list) { return list->selectedRow(); }

int Form1::selectedIndex(const QListWidget* list) {
  const auto items = list->selectedItems();
  return items.isEmpty() ? -1 : list->row(items.first());
}

void Form1::finishSingleFilm(const download::FilmOutcome& outcome) {
  // A refused or failed film has already shown its box, gone idle and left its text.
  if (ending_ || outcome.result != download::FilmResult::Finished) return;
  setInfo(completionText(outcome));
  enterIdleState();
}

QString Form1::completionText(const download::FilmOutcome& outcome) {
  return QStringLiteral("Kész: ") + download::shownText(outcome.savedName) + QStringLiteral(".mpg");
}

void Form1::Go_Click() {
  if (azonosito->text() == kPrompt) return;
  if (isDownloading) {
    endProgram();
    return;
  }
  finishSingleFilm(downloadFilm(azonosito->text()));
}

// The chosen row's identifier goes into the box, as if the user had typed it.
void Form1::takeCatalogRow(int i) {
  catalogFields = catalogRows.fields(i);
  azonosito->setText(catalogFields.at(1));
}

void Form1::Command2_Click() {
  const int i = selectedIndex(Lista);
  if (i < 0) return;
  takeCatalogRow(i);  // the film download enters the busy state
  finishSingleFilm(downloadFilm(azonosito->text()));
}

void Form1::Command1_Click() {
  if (outerWidth() >= kOpenThreshold) {
    setOuterWidth(kNarrowWidth);
    Command1->setText(QStringLiteral("Minden film"));
    Command2->setVisible(false);
    return;
  }
  setOuterWidth(kWideWidth);
  Command1->setText(QStringLiteral("Becsuk >"));
  Command2->setVisible(true);
  if (!Lista->isHidden()) return;  // loaded once per run

  Lista->setVisible(true);
  loadCatalogue();
}

void Form1::loadCatalogue() {
  Frame1->setTitle(QStringLiteral("Listát töltöm"));
  net::FetchContext ctx = fetchContext(ui::kCatalogueLimit);
  QByteArray reply =
      net::fetchBytes(ctx, host_ + QStringLiteral("/z/e/zelvo/basix_raktar.php"), QString());
  if (ending_) return;
  // A list cut short (or over its bound) would pass for the whole catalogue, and an
  // error page for a list of its own lines.
  if (!ctx.complete || ctx.status >= 400) {
    catalogueFailed();
    return;
  }
  // In pieces, with the window's events handled between them: a huge list must not
  // freeze the window.
  constexpr qsizetype kStepBytes = 256 * 1024;
  Lista->catalogue()->clear();
  catalogRows.load(std::move(reply));
  while (!catalogRows.indexed()) {
    catalogRows.index(kStepBytes);
    pump_.some();
    if (ending_) return;
  }
  Lista->catalogue()->showNewRows();
  catalogFields = catalogRows.lastFields();
  Frame1->setTitle(QStringLiteral("Összes film"));
}

void Form1::catalogueFailed() {
  // Hidden and empty, so that the next opening of the panel fetches it again.
  catalogRows.clear();
  Lista->catalogue()->clear();
  Lista->setVisible(false);
  Frame1->setTitle(QStringLiteral("Összes film"));
  warn(QStringLiteral("Nem sikerült letölteni a filmlistát."), false);
}

void Form1::azon2queue_Click() {
  if (azonosito->text() == kPrompt) return;
  queue->addItem(azonosito->text());
  openQueuePanel();
}

void Form1::toQueue_Click() {
  const int i = selectedIndex(Lista);
  if (i < 0) return;
  openQueuePanel();
  takeCatalogRow(i);
  queue->addItem(azonosito->text());
}

void Form1::q_del_Click() {
  const int i = selectedIndex(queue);
  if (i < 0) return;
  delete queue->takeItem(i);
}

void Form1::q_letolt_Click() {
  enterBusyState();
  desktop_->begin();  // one run: the films' own begin and end nest inside it
  // The run works on a copy: a failed film's idle state empties the list box.
  QStringList ids;
  for (int i = 0; i < queue->count(); ++i) ids << queue->item(i)->text();
  int failed = 0;
  download::RunFiles files;  // two films of the run never share a file
  ui::Finished done{{}, {}, targetFolder()};
  for (int i = 0; i < ids.size(); ++i) {
    azonosito->setText(ids.at(i));
    const download::FilmOutcome outcome = downloadFilm(ids.at(i), &files);
    if (ending_) return;
    if (outcome.result == download::FilmResult::Finished) {
      if (!done.files.contains(outcome.savedPath)) done.files << outcome.savedPath;
    } else {
      ++failed;
    }
  }
  done.text = failed == 0 ? QStringLiteral("Kész")
                          : QStringLiteral("Kész, %1 film letöltése nem sikerült").arg(failed);
  desktop_->end(true, done);
  enterIdleState();
  setInfo(done.text);
}
