#include "ui/catalogue.h"

#include <cstring>
#include <utility>

#include "download/film_logic.h"
#include "net/codepage.h"

namespace ui {
namespace {

// Code page text is one byte per character, so any piece decodes on its own.
QStringList splitFields(const char* row, qsizetype length) {
  QStringList fields;
  const char* end = row + length;
  for (const char* p = row;;) {
    const char* tab = static_cast<const char*>(std::memchr(p, '\t', std::size_t(end - p)));
    fields << net::fromCp1250(p, int((tab ? tab : end) - p));
    if (!tab) return fields;
    p = tab + 1;
  }
}

}  // namespace

void CatalogueRows::load(QByteArray reply) {
  clear();
  bytes_ = std::move(reply);
}

void CatalogueRows::clear() {
  bytes_ = QByteArray();
  pos_ = 0;
  lastRow_ = -1;
  rows_ = {};
}

void CatalogueRows::index(qsizetype bytes) {
  const char* data = bytes_.constData();
  const qsizetype size = bytes_.size();
  const qsizetype stop = pos_ + (bytes > 0 ? bytes : 1);
  while (pos_ < size && pos_ < stop) {
    const void* lf = std::memchr(data + pos_, '\n', std::size_t(size - pos_));
    const qsizetype end = lf ? static_cast<const char*>(lf) - data : size;
    // Field 2 starts after the second tab; a row without one gets no entry.
    const char* p = data + pos_;
    for (int tabs = 0; tabs < 2 && p; ++tabs) {
      p = static_cast<const char*>(std::memchr(p, '\t', std::size_t(data + end - p)));
      if (p) ++p;
    }
    if (p)
      rows_.push_back({std::uint32_t(pos_), std::uint32_t(end - pos_), std::uint32_t(p - data)});
    if (!lf) lastRow_ = pos_;
    pos_ = end + 1;
    if (pos_ == size) lastRow_ = size;  // the reply ends in a line feed: an empty last row
  }
}

QString CatalogueRows::at(int i) const {
  const Row& r = rows_.at(std::size_t(i));
  return net::fromCp1250(bytes_.constData() + r.start, int(r.length));
}

QStringList CatalogueRows::fields(int i) const {
  const Row& r = rows_.at(std::size_t(i));
  return splitFields(bytes_.constData() + r.start, r.length);
}

QString CatalogueRows::entry(int i) const {
  const Row& r = rows_.at(std::size_t(i));
  const char* field = bytes_.constData() + r.entry;
  const qsizetype left = qsizetype(r.start) + r.length - r.entry;
  // Only as much as can be shown is ever decoded.
  const qsizetype look = std::min<qsizetype>(left, kEntryChars + 1);
  const void* tab = std::memchr(field, '\t', std::size_t(look));
  qsizetype length = tab ? static_cast<const char*>(tab) - field : look;
  // The CR of a CRLF row end is kept in the row, but shows as the line end it is.
  const bool rowEnd = !tab && look == left && qsizetype(r.start) + r.length < bytes_.size();
  if (rowEnd && length > 0 && field[length - 1] == '\r') --length;
  return download::shownText(net::fromCp1250(field, int(length)), kEntryChars);
}

QStringList CatalogueRows::lastFields() const {
  if (lastRow_ < 0) return {};
  return splitFields(bytes_.constData() + lastRow_, bytes_.size() - lastRow_);
}

Catalogue splitCatalogue(const QByteArray& reply) {
  Catalogue c;
  CatalogueRows rows;
  rows.load(reply);
  while (!rows.indexed()) rows.index(64);  // small steps, as the window takes them
  for (int i = 0; i < rows.size(); ++i) {
    c.rows << rows.at(i);
    c.shown << rows.entry(i);
  }
  c.lastFields = rows.lastFields();
  return c;
}

}  // namespace ui
