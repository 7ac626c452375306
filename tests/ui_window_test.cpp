// The window without a server: layout, states, prompt, queue panel, lists, shutdown.
#include <gtest/gtest.h>
#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPaintEvent>
#include <QScreen>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <functional>

#include "net/codepage.h"
#include "tests/fakes.h"
#include "ui/catalogue_view.h"
#include "ui/desktop.h"
#include "ui/folders.h"
#include "ui/form1.h"
#include "ui/layout.h"
#include "ui/seams.h"

namespace {

// A host nobody listens on: nothing in these tests may reach the network.
const QString kNoHost = QStringLiteral("127.0.0.1:9");
// The client area the layout was drawn in, 6480 x 4590 twips.
const QRect kDesignArea(0, 0, 6480 / 15, 4590 / 15);

QString textOf(QWidget* w) {
  if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
  if (auto* g = qobject_cast<QGroupBox*>(w)) return g->title();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  return {};
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    w = std::make_unique<Form1>(kNoHost, fakes.seams());
    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  }
  FakeSeams fakes;
  std::unique_ptr<Form1> w;
};

TEST_F(WindowTest, StartUpLayoutMatchesTheDesign) {
  // What each control of the layout table shows, in the table's order.
  const struct {
    const char* name;
    const char* text;  // nullptr: not a text control
    bool hidden;
  } rows[] = {
      {"azon2queue", "> Listához", false},
      {"Command1", "Minden film", false},
      {"Frame2", "Letöltési sor", false},
      {"btQueue2", "Becsuk", false},
      {"q_letolt", "Mindet letölt!", false},
      {"q_del", "> Töröl", false},
      {"queue", nullptr, false},
      {"toQueue", "<< Listához", false},
      {"btQueue", "Letöltési sor", false},
      {"Command2", "Letölt!", true},
      {"Frame1", "Összes film", false},
      {"Lista", nullptr, true},
      {"Go", "Start!", false},
      {"Drive1", nullptr, false},
      {"directory", nullptr, false},
      {"Picture1", nullptr, false},
      {"info", "v0.51", false},
      {"processBar", "", false},
      {"azonosito", "Ide írd az azonosítót!", false},
      {"lblEgy", "", true},
  };
  ASSERT_EQ(std::size(rows), std::size(ui::kLayout));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    const ui::ControlPlace& at = ui::kLayout[i];
    SCOPED_TRACE(row.name);
    ASSERT_STREQ(at.name, row.name);
    auto* c = w->findChild<QWidget*>(QLatin1String(row.name));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->parentWidget()->objectName(), QLatin1String(at.container));
    // Children of the bordered panel sit inside its border.
    const int inset = QLatin1String(at.container) == QLatin1String("Picture1") ? 1 : 0;
    EXPECT_EQ(c->geometry(), QRect(qRound(at.left / 15.0) + inset, qRound(at.top / 15.0) + inset,
                                   qRound(at.width / 15.0), qRound(at.height / 15.0)));
    if (row.text) {
      EXPECT_EQ(textOf(c), QString::fromUtf8(row.text));
    }
    EXPECT_EQ(c->isHidden(), row.hidden);
    EXPECT_TRUE(c->parentWidget() != w.get() || kDesignArea.contains(c->geometry()));
  }
  for (const QAbstractItemView* list :
       {static_cast<QAbstractItemView*>(w->queue), static_cast<QAbstractItemView*>(w->Lista)})
    EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo"));
  EXPECT_EQ(w->outerWidth(), 4020);
  EXPECT_EQ(w->outerHeight(), 2750);
  EXPECT_EQ(w->agentName, QStringLiteral("zv5_progression"));
  EXPECT_FLOAT_EQ(w->barFullWidth, 3900.0f);
  EXPECT_FLOAT_EQ(w->processBarWidth(), 3855.0f);
  EXPECT_EQ(w->processBar->palette().color(QPalette::Window), QColor(192, 0, 0));
  EXPECT_FALSE(w->isDownloading);
}

TEST_F(WindowTest, OnlyTheMainRegionShowsAtStartUp) {
  const QRect client = w->rect();
  // Everything of the main region lies inside; the strip and the panel lie outside.
  for (QWidget* c : {static_cast<QWidget*>(w->azonosito), static_cast<QWidget*>(w->Go),
                     static_cast<QWidget*>(w->Picture1), static_cast<QWidget*>(w->btQueue)})
    EXPECT_TRUE(client.contains(c->geometry())) << c->objectName().toStdString();
  EXPECT_FALSE(client.intersects(w->Frame1->geometry()));
  EXPECT_FALSE(client.intersects(w->Frame2->geometry()));
  EXPECT_FALSE(client.intersects(w->toQueue->geometry()));
  // Wide and open, the window shows the whole design area.
  w->setOuterWidth(6600);
  QTest::mouseClick(w->btQueue, Qt::LeftButton);
  EXPECT_TRUE(w->rect().contains(kDesignArea));
}

TEST_F(WindowTest, FontsColoursAndStacking) {
  EXPECT_DOUBLE_EQ(w->Go->font().pointSizeF(), 9.75);
  EXPECT_DOUBLE_EQ(w->info->font().pointSizeF(), 9.75);
  EXPECT_DOUBLE_EQ(w->azonosito->font().pointSizeF(), 12.0);
  EXPECT_TRUE(w->azonosito->font().families().contains(QStringLiteral("MS Sans Serif")));
  // Central European character set: every letter of the code page has a glyph.
  QByteArray upper;
  for (int b = 0x80; b <= 0xFF; ++b) upper += char(b);
  const QString letters = net::fromCp1250(upper);
  for (QWidget* c : {static_cast<QWidget*>(w->Go), static_cast<QWidget*>(w->info),
                     static_cast<QWidget*>(w->azonosito)}) {
    SCOPED_TRACE(c->objectName().toStdString());
    const QFontInfo shown(c->font());
    EXPECT_EQ(shown.weight(), QFont::Normal);
    EXPECT_FALSE(shown.italic() || shown.underline() || shown.strikeOut());
    const QFontMetrics metrics(c->font());
    for (const QChar ch : letters)
      EXPECT_TRUE(!ch.isLetter() || metrics.inFont(ch)) << ch.unicode();
  }
  // The window's own background, in the scroll-bar colour, shows above the identifier box.
  EXPECT_EQ(w->palette().color(QPalette::Window), QColor(212, 208, 200));
  EXPECT_EQ(QColor(w->grab().toImage().pixel(3, 2)), QColor(212, 208, 200));
  EXPECT_EQ(w->info->palette().color(QPalette::WindowText), QColor(255, 255, 255));
  EXPECT_TRUE(w->info->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(w->azonosito->alignment() & Qt::AlignHCenter);
  // The status text lies above the bar, and the two catalogue buttons above the frame.
  const QObjectList& panel = w->Picture1->children();
  EXPECT_GT(panel.indexOf(w->info), panel.indexOf(w->processBar));
  const QObjectList& top = w->children();
  EXPECT_GT(top.indexOf(w->toQueue), top.indexOf(w->Frame1));
  EXPECT_GT(top.indexOf(w->Command2), top.indexOf(w->Frame1));
  // The bar really shows through the label: red pixels in the middle of the text area.
  const QImage image = w->Picture1->grab().toImage();
  EXPECT_EQ(QColor(image.pixel(5, image.height() / 2)), QColor(192, 0, 0));
}

TEST_F(WindowTest, FocusStartsOnTheFolderListAndFollowsTheTabOrder) {
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  EXPECT_EQ(QApplication::focusWidget(), w->directory);
  EXPECT_EQ(w->azonosito->text(), Form1::kPrompt);  // keeps its prompt until entered
  const QList<QWidget*> order = {w->directory, w->azonosito, w->Drive1,   w->Go,        w->Lista,
                                 w->Command2,  w->btQueue,   w->toQueue,  w->queue,     w->q_del,
                                 w->q_letolt,  w->btQueue2,  w->Command1, w->azon2queue};
  for (int i = 0; i + 1 < order.size(); ++i) {
    QWidget* next = order[i]->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus) next = next->nextInFocusChain();
    EXPECT_EQ(next, order[i + 1]) << order[i]->objectName().toStdString();
  }
}

TEST_F(WindowTest, BusyAndIdleStates) {
  w->info->setText(QStringLiteral("x"));
  w->queue->addItems({QStringLiteral("a"), QStringLiteral("b")});
  w->enterBusyState();
  EXPECT_TRUE(w->isDownloading);
  EXPECT_EQ(w->Go->text(), QStringLiteral("Állj!"));
  EXPECT_EQ(w->info->text(), QStringLiteral("Film adatait töltöm."));
  EXPECT_EQ(w->processBar->palette().color(QPalette::Window), QColor(192, 0, 0));
  for (QWidget* c : {static_cast<QWidget*>(w->azonosito), static_cast<QWidget*>(w->directory),
                     static_cast<QWidget*>(w->Drive1), static_cast<QWidget*>(w->q_del),
                     static_cast<QWidget*>(w->q_letolt), static_cast<QWidget*>(w->toQueue),
                     static_cast<QWidget*>(w->Command2), static_cast<QWidget*>(w->azon2queue)})
    EXPECT_FALSE(c->isEnabled()) << c->objectName().toStdString();
  for (QWidget* c : {static_cast<QWidget*>(w->Go), static_cast<QWidget*>(w->Command1),
                     static_cast<QWidget*>(w->btQueue), static_cast<QWidget*>(w->btQueue2),
                     static_cast<QWidget*>(w->Lista), static_cast<QWidget*>(w->queue)})
    EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo"));
  EXPECT_EQ(w->outerWidth(), 4020);

  w->enterIdleState();
  EXPECT_FALSE(w->isDownloading);
  EXPECT_EQ(w->Go->text(), QStringLiteral("Start!"));
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  EXPECT_EQ(w->info->text(), QStringLiteral("Film adatait töltöm."));  // left alone
  EXPECT_EQ(w->processBar->palette().color(QPalette::Window), QColor(0, 192, 0));
  EXPECT_FLOAT_EQ(w->processBarWidth(), 3900.0f);  // the whole frame, not the laid-out 3855
  EXPECT_EQ(w->processBar->width(), 260);
  EXPECT_EQ(w->queue->count(), 0);
  EXPECT_EQ(w->windowTitle(), QStringLiteral("Zelvo Letöltés kész"));
  for (QWidget* c : {static_cast<QWidget*>(w->azonosito), static_cast<QWidget*>(w->directory),
                     static_cast<QWidget*>(w->Drive1), static_cast<QWidget*>(w->q_del),
                     static_cast<QWidget*>(w->q_letolt), static_cast<QWidget*>(w->toQueue),
                     static_cast<QWidget*>(w->Command2), static_cast<QWidget*>(w->azon2queue)})
    EXPECT_TRUE(c->isEnabled()) << c->objectName().toStdString();
  EXPECT_TRUE(w->Command2->isHidden());  // enabled, but the strip is closed
}

// A progress update repaints only what changed on the screen: nothing for a bar width
// that is the same in pixels or for the same text, only the new strip of a wider bar.
TEST_F(WindowTest, ProgressRepaintsOnlyWhatChangedOnTheScreen) {
  struct Paints : QObject {
    int count = 0;
    QRect area;
    void clear() {
      count = 0;
      area = {};
    }
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) {
        ++count;
        area |= static_cast<QPaintEvent*>(e)->region().boundingRect();
      }
      return false;
    }
  } bar, text;
  w->processBar->installEventFilter(&bar);
  w->info->installEventFilter(&text);
  download::FilmView& view = *w;
  auto settle = [&] {
    // Repaints are posted; the second round handles what the first one posted.
    for (int i = 0; i < 2; ++i) QCoreApplication::processEvents();
  };
  auto update = [&](float twips, const QString& info) {
    settle();
    bar.clear();
    text.clear();
    view.setBarWidth(twips);
    view.setInfo(info);
    settle();
  };
  update(1500, QStringLiteral("10Kb/391Kb 2.56%"));  // 100 px
  update(1507, QStringLiteral("10Kb/391Kb 2.56%"));  // still 100 px, same text
  EXPECT_EQ(bar.count, 0);
  EXPECT_EQ(text.count, 0);
  update(1515, QStringLiteral("10Kb/391Kb 2.56%"));  // 101 px
  EXPECT_GE(bar.count, 1);
  EXPECT_EQ(bar.area.left(), 100);  // the new pixel's column, as far as the frame shows it
  EXPECT_EQ(bar.area.width(), 1);
  update(1515, QStringLiteral("11Kb/391Kb 2.81%"));
  EXPECT_GE(text.count, 1);
  // What the screen holds after these partial repaints is the window drawn whole.
  for (int px = 102; px < 140; ++px)
    update(float(px * 15), QStringLiteral("%1Kb/391Kb").arg(px));
  const QImage shown = w->screen()->grabWindow(w->winId()).toImage();
  const QImage whole = w->grab().toImage();
  ASSERT_FALSE(shown.isNull());
  EXPECT_TRUE(shown.convertToFormat(QImage::Format_RGB32) ==
              whole.convertToFormat(QImage::Format_RGB32));
  w->processBar->removeEventFilter(&bar);
  w->info->removeEventFilter(&text);
}

// What a screen reader hears of each control; the bar and its status text are one
// progress bar, and no other control of the window is left without a name.
TEST_F(WindowTest, EveryControlHasAHungarianAccessibleNameAndRole) {
  const struct {
    const char* object;
    const char* name;
    QAccessible::Role role;
  } rows[] = {
      {"azonosito", "Film azonosítója", QAccessible::EditableText},
      {"Go", "Start!", QAccessible::Button},
      {"azon2queue", "Azonosító a letöltési sorba", QAccessible::Button},
      {"Command1", "Minden film", QAccessible::Button},
      {"btQueue", "Letöltési sor", QAccessible::Button},
      {"Drive1", "Meghajtó", QAccessible::ComboBox},
      {"directory", "Mappa", QAccessible::List},
      {"Picture1", "Letöltés állapota", QAccessible::ProgressBar},
      {"Frame1", "Összes film", QAccessible::Grouping},
      {"Lista", "Filmlista", QAccessible::List},
      {"Command2", "Letölt!", QAccessible::Button},
      {"toQueue", "Kijelölt film a letöltési sorba", QAccessible::Button},
      {"Frame2", "Letöltési sor", QAccessible::Grouping},
      {"queue", "Sorra váró filmek", QAccessible::List},
      {"q_del", "Törlés a sorból", QAccessible::Button},
      {"q_letolt", "Mindet letölt!", QAccessible::Button},
      {"btQueue2", "Becsuk", QAccessible::Button},
  };
  QStringList covered = {QStringLiteral("info"), QStringLiteral("processBar"),
                         QStringLiteral("lblEgy")};  // spoken by the bar, or never shown
  for (const auto& row : rows) {
    SCOPED_TRACE(row.object);
    covered << QLatin1String(row.object);
    QAccessibleInterface* a =
        QAccessible::queryAccessibleInterface(w->findChild<QWidget*>(QLatin1String(row.object)));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(row.name));
    EXPECT_EQ(a->role(), row.role);
  }
  for (QWidget* c : w->findChildren<QWidget*>())
    if (!c->objectName().isEmpty() && !c->objectName().startsWith(QLatin1String("qt_"))) {
      EXPECT_TRUE(covered.contains(c->objectName())) << c->objectName().toStdString();
    }

  QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(w->Picture1);
  EXPECT_EQ(bar->childCount(), 0);
  w->enterBusyState();
  EXPECT_EQ(bar->text(QAccessible::Description), QStringLiteral("Film adatait töltöm."));
  ASSERT_NE(bar->valueInterface(), nullptr);
  EXPECT_EQ(bar->valueInterface()->minimumValue().toInt(), 0);
  EXPECT_EQ(bar->valueInterface()->maximumValue().toInt(), 100);
  w->enterIdleState();
  EXPECT_EQ(bar->valueInterface()->currentValue().toInt(), 100);  // the whole bar
}

// What assistive technology is told as the bar moves: each new whole per cent once (never
// the same value twice, never outside 0..100), and each change of the status text.
TEST(DesktopPresence, ScreenReadersHearEachNewPercentAndEachStatusText) {
  QWidget window;
  auto* panel = new ui::ProgressPanel(&window);
  auto* status = new QLabel(panel);
  FakeDesktop session;
  ui::DesktopPresence presence(window, *panel, *status, session);
  QStringList heard;
  QObject::connect(panel, &ui::ProgressPanel::announced, [&](QAccessible::Event e, int percent) {
    heard << (e == QAccessible::ValueChanged ? QString::number(percent)
              : e == QAccessible::DescriptionChanged ? QStringLiteral("text")
                                                     : QStringLiteral("other"));
  });
  const double steps[] = {0.001, 0.004, 0.006, 0.01, 0.014, 0.5, 0.5, 0.504, 2.0, 1.0,
                          std::nan(""), -1.0};
  for (double f : steps) presence.barChanged(f);
  status->setText(QStringLiteral("Kész"));
  presence.statusChanged();
  EXPECT_EQ(heard, (QStringList{"1", "50", "100", "0", "text"}));
}

// The dock redraws the icon for each update: during a run it hears at most four a second
// (counted against the time the run really took, however slow the machine), the same
// figure never twice in a row, and the latest figure once the pause is over.
TEST(DesktopPresence, TheDockHearsAtMostFourUpdatesASecondAndTheLatestLast) {
  QWidget window;
  auto* panel = new ui::ProgressPanel(&window);
  QLabel status(&window);
  FakeDesktop session;
  ui::DesktopPresence presence(window, *panel, status, session);
  QElapsedTimer run;
  run.start();
  presence.begin();
  for (int i = 0; i <= 2000; ++i) presence.barChanged(i / 2000.0);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return session.log.last() == QStringLiteral("progress 1"); }, 60000));
  const qint64 took = run.elapsed();
  const QStringList sent = session.log.filter(QStringLiteral("progress "));
  EXPECT_EQ(sent.front(), QStringLiteral("progress 0"));  // at the start
  EXPECT_LE(sent.size(), 2 + took / 250) << took << " ms: " << sent.join(' ').toStdString();
  for (int i = 1; i < sent.size(); ++i) EXPECT_NE(sent[i], sent[i - 1]);
  presence.end(false);
  EXPECT_EQ(session.log.mid(session.log.size() - 2), (QStringList{"hidden", "sleep"}));
}

TEST_F(WindowTest, PromptEmptiesOnFirstFocusOnlyAndAgainAfterEachIdleState) {
  w->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
  w->azonosito->setFocus();
  EXPECT_EQ(w->azonosito->text(), QString());
  QTest::keyClicks(w->azonosito, QStringLiteral("abc"));
  w->directory->setFocus();
  w->azonosito->setFocus();
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("abc"));

  w->enterBusyState();
  w->enterIdleState();
  w->directory->setFocus();
  EXPECT_EQ(w->azonosito->text(), QStringLiteral("Még egy filmet?"));
  w->azonosito->setFocus();
  EXPECT_EQ(w->azonosito->text(), QString());
}

TEST_F(WindowTest, QueuePanelOpensClosesAndKeepsItsEntries) {
  w->queue->addItems({QStringLiteral("x"), QStringLiteral("y")});
  for (int round = 0; round < 3; ++round) {
    QTest::mouseClick(w->btQueue, Qt::LeftButton);
    EXPECT_EQ(w->outerHeight(), 5000);
    EXPECT_TRUE(w->btQueue->isHidden());
    EXPECT_TRUE(w->rect().contains(w->Frame2->geometry()));
    QTest::mouseClick(w->btQueue2, Qt::LeftButton);
    EXPECT_EQ(w->outerHeight(), 2750);
    EXPECT_FALSE(w->btQueue->isHidden());
    EXPECT_EQ(w->outerWidth(), 4020);
  }
  EXPECT_EQ(w->queue->count(), 2);
  EXPECT_EQ(w->queue->item(1)->text(), QStringLiteral("y"));
}

TEST_F(WindowTest, ExamplePageOpensTheServicePicture) {
  w->openExamplePage();
  ASSERT_EQ(fakes.opener.opened.size(), 2u);
  EXPECT_EQ(fakes.opener.opened[0], std::make_pair(QStringLiteral("about:blank"), false));
  EXPECT_EQ(fakes.opener.opened[1],
            std::make_pair(QStringLiteral("http://127.0.0.1:9/z/e/zelvo/azonosito_pld.jpg"), true));
}

// Texts that Qt itself supplies, through the real message box and the real line edit.
TEST_F(WindowTest, QtOwnTextsAreHungarian) {
  QStringList buttons;
  std::function<void()> readAndClose = [&] {
    QMessageBox* box = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
      if (auto* b = qobject_cast<QMessageBox*>(top); b && b->isVisible()) box = b;
    if (!box) return QTimer::singleShot(0, readAndClose);  // not shown yet
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    box->button(QMessageBox::Cancel)->click();
  };
  QTimer::singleShot(0, readAndClose);
  EXPECT_EQ(ui::desktopMessageBoxes().warn(w.get(), QStringLiteral("A film nem található."),
                                           QStringLiteral("Hiba!"), ui::BoxButtons::OkCancel),
            ui::BoxAnswer::Cancel);
  buttons.sort();
  EXPECT_EQ(buttons, (QStringList{QStringLiteral("Mégse"), QStringLiteral("OK")}));

  const std::unique_ptr<QMenu> menu(w->azonosito->createStandardContextMenu());
  QStringList entries;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) entries << a->text().section(QLatin1Char('\t'), 0, 0);
  EXPECT_EQ(entries.size(), 7) << entries.join(QStringLiteral(", ")).toStdString();
  for (const char* english : {"&Undo", "&Redo", "Cu&t", "&Copy", "&Paste", "Delete", "Select All"})
    EXPECT_FALSE(entries.contains(QLatin1String(english))) << english;
}

TEST_F(WindowTest, ClosingEndsTheProgram) {
  w->close();
  EXPECT_EQ(fakes.ender.calls, 1);
  EXPECT_EQ(w->film().hSession + w->film().hConnect + w->film().hRequest, 0u);
  EXPECT_TRUE(w->ending());
}

// What closing the window (or "Állj!") closes: one open handle, one closed one, one zero:
// all harmless, all left at 0.
TEST(Handles, ClosingIsHarmlessWhateverTheyHold) {
  net::HINTERNET session = net::InternetOpenA("t", 0, nullptr, nullptr, 0);
  net::HINTERNET connect = net::InternetOpenA("t", 0, nullptr, nullptr, 0);
  net::HINTERNET request = 0;
  const net::HINTERNET open = session;
  ASSERT_NE(open, 0u);
  net::InternetCloseHandle(connect);
  net::Request(net::HandleSlots{&session, &connect, &request}).close();
  EXPECT_FALSE(net::InternetCloseHandle(open));  // already closed
  EXPECT_EQ(session + connect + request, 0u);
}

TEST_F(WindowTest, FolderListOpensFoldersByDoubleClick) {
  QTemporaryDir tmp;
  ASSERT_TRUE(QDir(tmp.path()).mkpath(QStringLiteral("alpha/inner")));
  ASSERT_TRUE(QDir(tmp.path()).mkpath(QStringLiteral("beta")));
  const QString root = QDir(tmp.path()).canonicalPath();
  ASSERT_TRUE(w->directory->setPath(root));
  auto rowOf = [&](const QString& path) {
    for (int i = 0; i < w->directory->count(); ++i)
      if (w->directory->item(i)->data(Qt::UserRole).toString() == path) return i;
    return -1;
  };
  const int alpha = rowOf(root + QStringLiteral("/alpha"));
  ASSERT_GE(alpha, 0);
  EXPECT_GE(rowOf(root + QStringLiteral("/beta")), 0);
  EXPECT_EQ(rowOf(QStringLiteral("/")), 0);  // the chain starts at the root
  QListWidget* list = w->directory;
  list->scrollToItem(list->item(alpha));
  const QPoint at = list->visualItemRect(list->item(alpha)).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    at);  // a double click starts with a press
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
  EXPECT_EQ(w->directory->path(), root + QStringLiteral("/alpha"));
  EXPECT_GE(rowOf(root + QStringLiteral("/alpha/inner")), 0);
  EXPECT_EQ(rowOf(root + QStringLiteral("/beta")), -1);
  // Back up through the chain.
  w->directory->setPath(root);
  EXPECT_EQ(w->directory->path(), root);
}

// A drive picked in the list: the folder list moves to it, or stays where it was when the
// drive cannot be read.
TEST_F(WindowTest, PickedDriveMovesTheFolderListThereWhenReadable) {
  QTemporaryDir volume;
  const QString readable = QDir(volume.path()).canonicalPath();
  const QString before = w->directory->path();
  const struct {
    const char* name;
    QString root;
    QString folder;  // where the list is afterwards
    QString drive;   // what the drive list shows afterwards
  } rows[] = {
      {"readable", readable, readable, readable},
      {"unreadable", QStringLiteral("/no/such/volume"), before, QStringLiteral("/")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(w->directory->setPath(before));
    w->Drive1->setVolumes({{QStringLiteral("/"), QStringLiteral("/")}, {row.root, row.name}});
    w->Drive1->setDrive(QStringLiteral("/"));
    QTest::keyClick(w->Drive1, Qt::Key_Down);  // the user picks the second drive
    EXPECT_EQ(w->directory->path(), row.folder);
    EXPECT_EQ(w->Drive1->drive(), row.drive);
  }
}

// The icon comes from compiled-in files: a lost resource would leave the window without one.
TEST_F(WindowTest, WindowIconIsTheFilmStripInEverySize) {
  const QIcon icon = w->windowIcon();
  for (int size : {32, 48, 256}) {
    EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
  }
  const QImage image = icon.pixmap(QSize(32, 32)).toImage();
  ASSERT_EQ(image.size(), QSize(32, 32));
  const struct {
    int x, y;
    QRgb rgb;
  } points[] = {{0, 0, qRgb(192, 0, 0)},     {31, 31, qRgb(192, 0, 0)},
                {4, 8, qRgb(0, 0, 0)},       {5, 9, qRgb(0, 0, 0)},
                {6, 9, qRgb(255, 255, 255)}, {27, 22, qRgb(255, 255, 255)},
                {28, 9, qRgb(192, 0, 0)},    {8, 13, qRgb(0, 192, 0)},
                {23, 18, qRgb(0, 192, 0)},   {24, 18, qRgb(0, 0, 0)}};
  for (const auto& p : points) {
    EXPECT_EQ(image.pixel(p.x, p.y), p.rgb) << p.x << "," << p.y;
  }
}

TEST(Volumes, RootComesFirstAndPathsMapToTheirVolume) {
  const QVector<ui::Volume> volumes = ui::mountedVolumes();
  ASSERT_FALSE(volumes.isEmpty());
  EXPECT_EQ(volumes.front().root, QStringLiteral("/"));
  const QVector<ui::Volume> table = {{"/", "/"}, {"/media/usb", "usb"}, {"/media/usb2", "usb2"}};
  EXPECT_EQ(ui::volumeRootOf("/media/usb/films", table), QStringLiteral("/media/usb"));
  EXPECT_EQ(ui::volumeRootOf("/media/usb2", table), QStringLiteral("/media/usb2"));
  EXPECT_EQ(ui::volumeRootOf("/media/usb22/x", table), QStringLiteral("/"));
  EXPECT_EQ(ui::pathChain("/a/b"), QStringList({"/", "/a", "/a/b"}));
  EXPECT_EQ(ui::pathChain("/"), QStringList({"/"}));
}

}  // namespace

TEST(BoxText, CutByLinesSoThatNoBoxOutgrowsTheScreen) {
  const QString cut = QString(QChar(0x2026));
  const struct {
    const char* name;
    QString in;
    int lines;
    QString out;
  } rows[] = {
      {"fits", "a\nb\nc", 3, "a\nb\nc"},
      {"too many lines", "a\nb\nc\nd", 2, "a\nb" + cut},
      {"a long line counts as the lines it wraps to", "abcdefgh\nx", 2, "abcdefg" + cut},
      {"empty lines count too", "\n\n\n", 2, "\n" + cut},
  };
  for (const auto& r : rows) EXPECT_EQ(ui::fitLines(r.in, r.lines, 4), r.out) << r.name;
}
