// The catalogue reply split into rows and list entries (no widgets).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>

namespace ui {

// A catalogue reply larger than this is a failed load, and reading stops there.
constexpr std::size_t kCatalogueLimit = 128u * 1024 * 1024;

// Splits a catalogue reply (Windows-1250 bytes) a piece at a time, so that the window
// can handle its events between pieces. Rows end at line feeds (a carriage return stays
// in the row), fields at tabs. Rows of fewer than three fields, the empty last row
// included, are left out.
class CatalogueSplitter {
 public:
  explicit CatalogueSplitter(QByteArray reply);
  bool done() const { return done_; }
  // Splits the rows that start within the next `bytes` bytes of the reply (at least
  // one row), appending the kept ones to rows.
  void step(qsizetype bytes, QStringList& rows);
  // The fields of the reply's last row, once done.
  const QStringList& lastFields() const { return lastFields_; }

 private:
  QByteArray reply_;
  qsizetype pos_ = 0;
  bool done_ = false;
  QStringList lastFields_;
};

// Field 2 of a kept row: what its list entry shows.
QString entryText(const QString& row);

struct Catalogue {
  QStringList rows;        // the rows that got an entry, in reply order
  QStringList shown;       // field 2 of each kept row: entry i belongs to rows[i]
  QStringList lastFields;  // the fields of the reply's last row
};

// The whole reply at once.
Catalogue splitCatalogue(const QByteArray& reply);

}  // namespace ui
