#include "ui/catalogue.h"

#include <cstring>
#include <utility>

#include "net/codepage.h"

namespace ui {

CatalogueSplitter::CatalogueSplitter(QByteArray reply) : reply_(std::move(reply)) {
  done_ = reply_.isEmpty();  // no rows at all, not one empty row
}

void CatalogueSplitter::step(qsizetype bytes, QStringList& rows) {
  const char* data = reply_.constData();
  const qsizetype size = reply_.size();
  const qsizetype stop = pos_ + (bytes > 0 ? bytes : 1);
  while (!done_ && pos_ < stop) {
    const void* lf = std::memchr(data + pos_, '\n', std::size_t(size - pos_));
    const qsizetype end = lf ? static_cast<const char*>(lf) - data : size;
    const char* row = data + pos_;
    const qsizetype length = end - pos_;
    // Code page text is one byte per character, so each row decodes on its own.
    int tabs = 0;
    for (const char* p = row;
         tabs < 2 &&
         (p = static_cast<const char*>(std::memchr(p, '\t', std::size_t(row + length - p))));
         ++p)
      ++tabs;
    pos_ = end + 1;
    if (tabs >= 2) rows << net::fromCp1250(row, int(length));
    if (!lf) {
      lastFields_ = net::fromCp1250(row, int(length)).split(QLatin1Char('\t'));
      done_ = true;
      reply_ = QByteArray();  // the rows hold the text now
    }
  }
}

QString entryText(const QString& row) { return row.section(QLatin1Char('\t'), 2, 2); }

Catalogue splitCatalogue(const QByteArray& reply) {
  Catalogue c;
  CatalogueSplitter splitter(reply);
  while (!splitter.done()) splitter.step(64, c.rows);  // small steps, as the window takes them
  for (const QString& row : c.rows) c.shown << entryText(row);
  c.lastFields = splitter.lastFields();
  return c;
}

}  // namespace ui
