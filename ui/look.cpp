#include "look.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace ui {

QStringList dialogFontFamilies() {
  // Arial's metrics are close to the original dialog font; DejaVu is too wide for the buttons.
  return {QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"), QStringLiteral("Arial"),
          QStringLiteral("sans-serif")};
}

void applyLook() {
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) QApplication::setStyle(style);
  QFont font = QApplication::font();
  font.setFamilies(dialogFontFamilies());
  font.setPointSizeF(8);
  QApplication::setFont(font);
}

}  // namespace ui
