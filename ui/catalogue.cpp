#include "catalogue.h"

namespace ui {

Catalogue splitCatalogue(const QString& reply) {
  Catalogue c;
  if (reply.isEmpty()) return c;
  for (const QString& row : reply.split(QLatin1Char('\n'))) {
    c.lastFields = row.split(QLatin1Char('\t'));
    if (c.lastFields.size() < 3) continue;
    c.rows << row;
    c.shown << c.lastFields.at(2);
  }
  return c;
}

}  // namespace ui
