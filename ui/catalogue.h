// The catalogue reply split into rows and list entries (no widgets).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ui {

// A catalogue reply larger than this is a failed load, and reading stops there.
constexpr std::size_t kCatalogueLimit = 128u * 1024 * 1024;
// Characters one list entry shows at most.
constexpr int kEntryChars = 1000;

// The catalogue's rows, kept as the reply's own Windows-1250 bytes with an index of the
// rows: text is decoded only when asked for, so that a catalogue of any shape costs
// little more than its reply, and an entry costs the same whatever its row's length.
// Rows end at line feeds (a carriage return stays in the row), fields at tabs; rows of
// fewer than three fields, the empty last row included, are left out.
class CatalogueRows {
 public:
  // Starts over on a reply; index() then goes through it a piece at a time, so that the
  // window can handle its events between pieces.
  void load(QByteArray reply);
  bool indexed() const { return pos_ >= bytes_.size(); }
  // Indexes the rows that start within the next `bytes` bytes (at least one row).
  void index(qsizetype bytes);

  int size() const { return int(rows_.size()); }
  bool isEmpty() const { return rows_.empty(); }
  QString at(int i) const;  // row i, whole
  QString operator[](int i) const { return at(i); }
  QStringList fields(int i) const;  // row i split at tabs
  QString entry(int i) const;       // what entry i of the list shows: field 2, cut
  // The fields of the reply's last row (kept or not), once indexed.
  QStringList lastFields() const;
  void clear();

 private:
  struct Row {
    std::uint32_t start;
    std::uint32_t length;
    std::uint32_t entry;  // where field 2 starts
  };
  QByteArray bytes_;
  qsizetype pos_ = 0;
  qsizetype lastRow_ = -1;  // start of the reply's last row, once indexed
  std::vector<Row> rows_;
};

struct Catalogue {
  QStringList rows;        // the rows that got an entry, in reply order
  QStringList shown;       // what entry i shows, of rows[i]
  QStringList lastFields;  // the fields of the reply's last row
};

// The whole reply at once.
Catalogue splitCatalogue(const QByteArray& reply);

}  // namespace ui
