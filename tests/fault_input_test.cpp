// Fault matrix, awkward input: identifiers that a request line or a query could break,
// and film names that a path could break.
#include <sys/inotify.h>
#include <unistd.h>
#include <QApplication>
#include <QDirIterator>
#include <QMessageBox>
#include <QScreen>
#include <QTimer>

#include "download/film_logic.h"
#include "service/internal.h"
#include "tests/fault_fixture.h"

namespace {

const std::string kRecordPrefix = "/z/e/zelvo/basix2.php?a=";

// The identifier as the service reads it from a logged record request.
QString identifierAsReceived(const std::string& target) {
  if (target.rfind(kRecordPrefix, 0) != 0) return QStringLiteral("<not a record request>");
  return QString::fromStdString(service::detail::wireIdText(
      service::detail::percentDecode(target.substr(kRecordPrefix.size()))));
}

// Unknown to the service: it answers with a refusal naming the identifier it understood.
struct IdentifierRow {
  const char* name;
  const char* id;  // UTF-8
};
void PrintTo(const IdentifierRow& row, std::ostream* os) { *os << row.name; }

class UnknownIdentifier : public FaultTest, public ::testing::WithParamInterface<IdentifierRow> {};

TEST_P(UnknownIdentifier, ReachesTheServiceAsTyped) {
  const QString id = QString::fromUtf8(GetParam().id);
  fakes.boxes.answers = {ui::BoxAnswer::Cancel};
  startWith(id);
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(identifierAsReceived(server.requests()[0].target), id);
  // The refusal comes back in Windows-1250: what the code page lacks shows as '?'.
  ASSERT_EQ(fakes.boxes.shown.size(), 1u);
  // Its control characters show as U+FFFD.
  EXPECT_EQ(fakes.boxes.shown[0].text, download::shownText(QStringLiteral("Nincs ilyen film: ") +
                                                           net::fromCp1250(net::toCp1250(id))));
  EXPECT_EQ(fakes.boxes.shown[0].buttons, ui::BoxButtons::OkCancel);
  expectIdleWith(QStringLiteral("Hiba történt"));
  EXPECT_TRUE(filesBelowFolder().isEmpty());
}

const IdentifierRow kIdentifierRows[] = {
    {"blanks inside", "két szó itt"},
    {"leading and trailing blanks", "  szélek  "},
    {"ampersand and equals sign", "a&b=c"},
    {"ampersand posing as an error report", "x&action=error"},
    {"ampersand posing as a second identifier", "x&a=egig01"},
    {"percent sign and an escape", "100% %41%2"},
    {"hash", "#1 film#"},
    {"plus and question mark", "mi? a+b"},
    {"line feed", "első\nmásodik"},
    {"carriage return and line feed", "első\r\nmásodik"},
    {"tab", "a\tb"},
    {"Hungarian letters", "ŐŰőű áé"},
    {"Cyrillic", "фильм"},
    {"Greek", "ταινία"},
    {"Chinese", "电影"},
    {"Hungarian and Chinese mixed", "ő 电影"},
    {"emoji outside the basic plane", "film 🎬"},
};
INSTANTIATE_TEST_SUITE_P(Matrix, UnknownIdentifier, ::testing::ValuesIn(kIdentifierRows),
                         [](const auto& info) { return caseName(info.param.name); });

// Known to the service under an awkward identifier: the whole film arrives.
struct KnownIdentifierRow {
  const char* name;
  const char* id;
};
void PrintTo(const KnownIdentifierRow& row, std::ostream* os) { *os << row.name; }

class KnownIdentifier : public FaultTest,
                        public ::testing::WithParamInterface<KnownIdentifierRow> {};

TEST_P(KnownIdentifier, DownloadsTheFilm) {
  const service::FilmSpec& f = serviceFilm(GetParam().id);
  const QString id = QString::fromStdString(f.id);
  startWith(id);
  ASSERT_FALSE(server.requests().empty());
  EXPECT_EQ(identifierAsReceived(server.requests()[0].target), id);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  const QString name = QString::fromStdString(f.name);
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + name + QStringLiteral(".mpg"));
  EXPECT_TRUE(fileBytes(name) == service::filmContent(f));
}

const KnownIdentifierRow kKnownIdentifierRows[] = {
    {"blank ampersand percent hash", "ű film&x%#"},
    {"Cyrillic and Chinese", "фильм 电影"},
};
INSTANTIATE_TEST_SUITE_P(Matrix, KnownIdentifier, ::testing::ValuesIn(kKnownIdentifierRows),
                         [](const auto& info) { return caseName(info.param.name); });

// ---------------------------------------------------------------------------------------
// Film names: the file always lands inside the chosen folder, under a name the file system
// takes, and holds the film.

struct NameRow {
  const char* name;
  const char* film;
  const char* fileName;  // expected; nullptr: checked by its properties (long names)
};
void PrintTo(const NameRow& row, std::ostream* os) { *os << row.name; }

class FilmName : public FaultTest, public ::testing::WithParamInterface<NameRow> {};

TEST_P(FilmName, FileLandsInsideTheFolderUnderItsSafeName) {
  const NameRow& row = GetParam();
  const service::FilmSpec& f = serviceFilm(row.film);
  const QString chosen = folder.filePath(QStringLiteral("egy/ketto"));
  ASSERT_TRUE(QDir().mkpath(chosen));
  ASSERT_TRUE(w->directory->setPath(chosen));
  startWith(QString::fromStdString(f.id));

  const QString filmName = QString::fromStdString(f.name);
  EXPECT_TRUE(fakes.boxes.shown.empty());
  EXPECT_EQ(w->info->text(),
            QStringLiteral("Kész: ") + download::shownText(filmName) + QStringLiteral(".mpg"));
  const QStringList files = filesBelowFolder();
  ASSERT_EQ(files.size(), 1) << files.join(QLatin1Char(' ')).toStdString();
  ASSERT_TRUE(files[0].startsWith(QStringLiteral("egy/ketto/")));
  const QString fileName = files[0].mid(10);
  EXPECT_FALSE(fileName.contains(QLatin1Char('/')));
  if (row.fileName) {
    EXPECT_EQ(fileName, QString::fromUtf8(row.fileName));
  } else {
    // The longest run of whole characters of the name that fits 255 bytes with the suffix.
    const QString suffix = QStringLiteral("_Zelvoweb.mpg");
    ASSERT_TRUE(fileName.endsWith(suffix));
    const QString stem = fileName.chopped(suffix.size());
    EXPECT_LE(fileName.toUtf8().size(), 255);
    EXPECT_TRUE(filmName.startsWith(stem.chopped(1)));
    EXPECT_GT(filmName.left(stem.size() + 1).toUtf8().size() + suffix.size(), 255);
  }
  QFile file(chosen + QLatin1Char('/') + fileName);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_TRUE(file.readAll().toStdString() == service::filmContent(f));
}

const NameRow kNameRows[] = {
    {"slash and backslash", "nev-utvonal", "a_b_c_Zelvoweb.mpg"},
    {"parent folder parts and a control character", "nev-feljebb", ".._.._x_.._y__Zelvoweb.mpg"},
    {"two dots", "nev-ketpont", "film_Zelvoweb.mpg"},
    {"one dot", "nev-pont", "film_Zelvoweb.mpg"},
    {"control characters", "nev-vezerlo", "Vezérlő_jel_film_Zelvoweb.mpg"},
    {"characters Windows refuses", "nev-tiltott", "Tiltott_ _ _ _ _ jelek_Zelvoweb.mpg"},
    {"device name", "nev-con", "_CON_Zelvoweb.mpg"},
    {"empty", "nev-ures", "film_Zelvoweb.mpg"},
    {"three hundred characters", "nev-hosszu", nullptr},
    {"fifteen mebibytes", "nev-orias", nullptr},
};
INSTANTIATE_TEST_SUITE_P(Matrix, FilmName, ::testing::ValuesIn(kNameRows),
                         [](const auto& info) { return caseName(info.param.name); });

// ---------------------------------------------------------------------------------------
// Server texts that look like markup reach the user as the characters they are: through
// the real message box and the real widgets, painted, with no file read and no link.

namespace markup {

const QString kProbe = QStringLiteral("/tmp/zelvo-markup-probe.png");

// What a modal box showed while it was open.
struct SeenBox {
  QString text;
  QSize size;
  Qt::TextFormat format = Qt::AutoText;
  bool painted = false;
};

// Watches for message boxes, records and paints each, then answers it with its last
// button (Cancel where there is one, so no page is opened).
class BoxWatcher : public QObject {
 public:
  BoxWatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { look(); });
    timer_.start();
  }
  std::vector<SeenBox> seen;

 private:
  void look() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(top);
      if (!box || !box->isVisible() || box == handled_) continue;
      handled_ = box;
      const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
      SeenBox s;
      s.text = label ? label->text() : QStringLiteral("<no label>");
      s.format = label ? label->textFormat() : Qt::AutoText;
      s.painted = !box->grab().isNull();
      s.size = box->size();
      seen.push_back(s);
      box->buttons().last()->click();
    }
  }
  QTimer timer_;
  QMessageBox* handled_ = nullptr;
};

// Sees reads of the probe file that the markup names. Cases running beside this one may
// create it, so only reads count.
class ProbeWatch {
 public:
  ProbeWatch() {
    QFile f(kProbe);
    if (!f.exists() && f.open(QIODevice::WriteOnly)) f.write("not a picture");
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_add_watch(fd_, kProbe.toLocal8Bit().constData(), IN_ACCESS) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~ProbeWatch() { ::close(fd_); }
  bool touched() const {
    char buffer[4096];
    return ::read(fd_, buffer, sizeof buffer) > 0;
  }
  bool watching() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

enum class Shown { Box, Info, ListEntry };
struct MarkupRow {
  const char* name;
  const char* id;  // film to start; nullptr: the catalogue carries the markup
  Shown where;
};
void PrintTo(const MarkupRow& row, std::ostream* os) { *os << row.name; }

}  // namespace markup

// The window again, with the real message boxes.
class RealBoxTest : public FaultTest {
 protected:
  void reopenWithRealBoxes() {
    w.reset();
    w = std::make_unique<Form1>(QString::fromStdString(host),
                                ui::Seams{&ui::desktopMessageBoxes(), &fakes.opener, &fakes.ender,
                                          &fakes.pauses, &fakes.desktop});
    w->show();
    ASSERT_TRUE(w->directory->setPath(folder.path()));
  }
};

class ServerMarkup : public RealBoxTest, public ::testing::WithParamInterface<markup::MarkupRow> {};

TEST_P(ServerMarkup, IsShownAsPlainTextWithNothingReadOrOpened) {
  using namespace markup;
  const MarkupRow& row = GetParam();
  ProbeWatch probe;
  ASSERT_TRUE(probe.watching());
  const QString text = QString::fromStdString(serviceFilm("jelolo-nev").name);
  ASSERT_TRUE(text.contains(QStringLiteral("<img src=") + kProbe));

  reopenWithRealBoxes();
  BoxWatcher boxes;
  if (row.id) {
    startWith(QString::fromUtf8(row.id));
  } else {
    server.setCatalogue(
        net::toCp1250(QStringLiteral("1\tjelolo-nev\t") + text + QStringLiteral("\tx\n"))
            .toStdString());
    QTest::mouseClick(w->Command1, Qt::LeftButton);
  }
  EXPECT_FALSE(w->grab().isNull());

  switch (row.where) {
    case Shown::Box:
      ASSERT_EQ(boxes.seen.size(), 1u);
      EXPECT_EQ(boxes.seen[0].text, text);
      EXPECT_EQ(boxes.seen[0].format, Qt::PlainText);
      EXPECT_TRUE(boxes.seen[0].painted);
      break;
    case Shown::Info:
      EXPECT_TRUE(boxes.seen.empty());
      EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + text + QStringLiteral(".mpg"));
      break;
    case Shown::ListEntry:
      ASSERT_EQ(w->Lista->count(), 1);
      EXPECT_EQ(w->Lista->text(0), text);
      break;
  }
  // Every label that may carry server text is plain, the hidden size label included.
  EXPECT_EQ(w->info->textFormat(), Qt::PlainText);
  EXPECT_EQ(w->lblEgy->textFormat(), Qt::PlainText);
  EXPECT_FALSE(w->windowTitle().contains(QLatin1Char('<')));
  EXPECT_FALSE(probe.touched());
  EXPECT_TRUE(fakes.opener.opened.empty());
}

const markup::MarkupRow kMarkupRows[] = {
    {"refusal message", "jelolo-elutasitas", markup::Shown::Box},
    {"error report answer", "jelolo-jelentes", markup::Shown::Box},
    {"film name", "jelolo-nev", markup::Shown::Info},
    {"catalogue entry", nullptr, markup::Shown::ListEntry},
};
INSTANTIATE_TEST_SUITE_P(Matrix, ServerMarkup, ::testing::ValuesIn(kMarkupRows),
                         [](const auto& info) { return caseName(info.param.name); });

// Server texts of any length or with control characters, through the real box: cut to
// what a box may show, never past the screen, control characters as U+FFFD.
struct ServerTextRow {
  const char* name;
  const char* id;
  const char* shown;  // UTF-8; nullptr: the server's text, cut
};
void PrintTo(const ServerTextRow& row, std::ostream* os) { *os << row.name; }

class ServerText : public RealBoxTest, public ::testing::WithParamInterface<ServerTextRow> {};

TEST_P(ServerText, ReachesTheRealBoxBoundedAndPlain) {
  const ServerTextRow& row = GetParam();
  reopenWithRealBoxes();
  markup::BoxWatcher boxes;
  startWith(QString::fromUtf8(row.id));
  ASSERT_EQ(boxes.seen.size(), 1u);
  const markup::SeenBox& seen = boxes.seen[0];
  if (row.shown) {
    EXPECT_EQ(seen.text, QString::fromUtf8(row.shown));
  } else {
    const service::FilmSpec& f = serviceFilm(row.id);
    const QString sent = QString::fromStdString(f.message.empty() ? f.errorAnswer : f.message);
    ASSERT_TRUE(seen.text.endsWith(QChar(0x2026))) << seen.text.left(100).toStdString();
    EXPECT_LE(seen.text.size(), download::kShownChars);
    EXPECT_TRUE(sent.startsWith(seen.text.chopped(1)));
  }
  const QRect screen = w->screen()->availableGeometry();
  EXPECT_LE(seen.size.height(), screen.height());
  EXPECT_LE(seen.size.width(), screen.width());
}

const ServerTextRow kServerTextRows[] = {
    {"refusal of sixteen mebibytes", "elutasitas-orias", nullptr},
    {"error report just under its bound", "jelentes-majdnem", nullptr},
    {"refusal with control characters", "elutasitas-vezerlo",
     "Elutasítva:\uFFFD[31m piros\uFFFD csengő\uFFFD vissza\ttab\núj sor"},
    {"refusal with CRLF line ends", "elutasitas-crlf",
     "Ez a film nem érhető el.\nA tulajdonos kérte.\nBocsánat!\n"},
    {"error report with CRLF line ends", "jelentes-crlf", "Köszönjük.\nA hibát rögzítettük.\n"},
};
INSTANTIATE_TEST_SUITE_P(Matrix, ServerText, ::testing::ValuesIn(kServerTextRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace
