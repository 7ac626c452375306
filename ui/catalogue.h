// The catalogue reply split into rows and list entries (no widgets).
#pragma once

#include <QString>
#include <QStringList>

namespace ui {

struct Catalogue {
  QStringList rows;        // the rows that got an entry, in reply order
  QStringList shown;       // field 2 of each kept row: entry i belongs to rows[i]
  QStringList lastFields;  // the fields of the reply's last row
};

// Rows end at line feeds (a carriage return stays in the row), fields at tabs. Rows of
// fewer than three fields, the empty last row included, get no entry.
Catalogue splitCatalogue(const QString& reply);

}  // namespace ui
