// Fault matrix, awkward input: identifiers that a request line or a query could break,
// and film names that a path could break.
#include <QDirIterator>

#include "fault_fixture.h"
#include "internal.h"

namespace {

const std::string kRecordPrefix = "/z/e/zelvo/basix2.php?a=";

// The identifier as the service reads it from a logged record request.
QString identifierAsReceived(const std::string& target) {
  if (target.rfind(kRecordPrefix, 0) != 0) return QStringLiteral("<not a record request>");
  return QString::fromStdString(
      service::detail::wireIdText(service::detail::percentDecode(target.substr(kRecordPrefix.size()))));
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
  EXPECT_EQ(fakes.boxes.shown[0].text,
            QStringLiteral("Nincs ilyen film: ") + net::fromCp1250(net::toCp1250(id)));
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

class KnownIdentifier : public FaultTest, public ::testing::WithParamInterface<KnownIdentifierRow> {};

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
  EXPECT_EQ(w->info->text(), QStringLiteral("Kész: ") + filmName + QStringLiteral(".mpg"));
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
    {"two dots", "nev-ketpont", "film_Zelvoweb.mpg"},
    {"one dot", "nev-pont", "film_Zelvoweb.mpg"},
    {"control characters", "nev-vezerlo", "Vezérlő_jel_film_Zelvoweb.mpg"},
    {"characters Windows refuses", "nev-tiltott", "Tiltott_ _ _ _ _ jelek_Zelvoweb.mpg"},
    {"device name", "nev-con", "_CON_Zelvoweb.mpg"},
    {"empty", "nev-ures", "film_Zelvoweb.mpg"},
    {"three hundred characters", "nev-hosszu", nullptr},
};
INSTANTIATE_TEST_SUITE_P(Matrix, FilmName, ::testing::ValuesIn(kNameRows),
                         [](const auto& info) { return caseName(info.param.name); });

}  // namespace
