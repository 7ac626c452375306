// ui::splitCatalogue on any catalogue reply: the rows are those of the reply decoded whole.
#include <cstddef>
#include <cstdint>

#include "download/film_logic.h"
#include "net/codepage.h"
#include "tests/fuzz/fuzz_check.h"
#include "ui/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
  const QString reply = net::fromCp1250(bytes);
  const ui::Catalogue c = ui::splitCatalogue(bytes);

  FUZZ_CHECK(c.rows.size() == c.shown.size());
  const QStringList replyRows = reply.split(QLatin1Char('\n'));
  const bool lastRowKept = replyRows.last().split(QLatin1Char('\t')).size() >= 3;
  // Entry i shows field 2 of row i, as a server text is shown: a row's CR before its LF
  // is the line end.
  for (qsizetype i = 0; i < c.rows.size(); ++i) {
    const QStringList fields = c.rows.at(i).split(QLatin1Char('\t'));
    FUZZ_CHECK_TEXT(fields.size() >= 3, c.rows.at(i));
    QString field = fields.at(2);
    const bool beforeLf = !(lastRowKept && i == c.rows.size() - 1);
    if (fields.size() == 3 && beforeLf && field.endsWith(QLatin1Char('\r'))) field.chop(1);
    FUZZ_CHECK_TEXT(download::shownText(field, ui::kEntryChars) == c.shown.at(i), c.rows.at(i));
    FUZZ_CHECK_TEXT(!c.rows.at(i).contains(QLatin1Char('\n')), c.rows.at(i));
  }
  if (reply.isEmpty()) {
    FUZZ_CHECK(c.rows.isEmpty() && c.lastFields.isEmpty());
    return 0;
  }
  // Kept rows are the reply's own rows, in reply order, and every row of three or
  // more fields is kept.
  qsizetype kept = 0;
  for (const QString& row : replyRows) {
    if (row.split(QLatin1Char('\t')).size() < 3) continue;
    FUZZ_CHECK_TEXT(kept < c.rows.size() && c.rows.at(kept) == row, row);
    ++kept;
  }
  FUZZ_CHECK(kept == c.rows.size());
  FUZZ_CHECK_TEXT(c.lastFields == replyRows.last().split(QLatin1Char('\t')), reply);
  return 0;
}
