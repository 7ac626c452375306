// download::outputFileName / outputPath on any film name, read both as Windows-1250 (as
// the service sends it) and as UTF-8 (to reach characters outside the code page).
#include <QDir>
#include <QFileInfo>
#include <cstddef>
#include <cstdint>

#include "download/film_logic.h"
#include "net/codepage.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

const QString kSuffix = QStringLiteral("_Zelvoweb.mpg");

void checkName(const QString& film) {
  const QString name = download::outputFileName(film);
  for (QChar c : name) {
    FUZZ_CHECK_TEXT(c != QLatin1Char('/') && c != QLatin1Char('\\') && c.unicode() != 0, film);
    FUZZ_CHECK_TEXT(c.category() != QChar::Other_Control, film);
    FUZZ_CHECK_TEXT(!QStringLiteral(":*?\"<>|").contains(c), film);
  }
  FUZZ_CHECK(name != QLatin1String(".") && name != QLatin1String(".."));
  FUZZ_CHECK_TEXT(name.endsWith(kSuffix), film);
  const QByteArray utf8 = name.toUtf8();
  FUZZ_CHECK_TEXT(utf8.size() <= 255, film);
  // No character cut in half: the name survives a UTF-8 round trip unchanged.
  FUZZ_CHECK_TEXT(QString::fromUtf8(utf8) == name, film);
  // Its work file's name fits too, and is the name's own beginning.
  const QByteArray work = download::workFileName(name).toUtf8();
  FUZZ_CHECK_TEXT(work.size() <= 255 && work.endsWith(".part"), film);
  FUZZ_CHECK_TEXT(utf8.startsWith(work.chopped(5)), film);

  // The file never leaves its folder, with or without a trailing slash.
  const QString folder = QStringLiteral("/tmp/films");
  for (const QString& f : {folder, folder + QLatin1Char('/')}) {
    const QString path = download::outputPath(f, film);
    FUZZ_CHECK_TEXT(path == folder + QLatin1Char('/') + name, film);
    FUZZ_CHECK_TEXT(QDir::cleanPath(QFileInfo(path).absolutePath()) == folder, film);
    FUZZ_CHECK_TEXT(QFileInfo(path).fileName() == name, film);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* bytes = reinterpret_cast<const char*>(data);
  checkName(net::fromCp1250(bytes, int(size)));
  checkName(QString::fromUtf8(bytes, qsizetype(size)));
  return 0;
}
