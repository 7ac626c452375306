#include "ui/look.h"

#include <QApplication>
#include <QFont>
#include <QLibraryInfo>
#include <QStyleFactory>
#include <QTranslator>

namespace ui {

QStringList dialogFontFamilies() {
  // Arial's metrics are close to the original dialog font; DejaVu is too wide for the buttons.
  return {QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
          QStringLiteral("Arial"), QStringLiteral("sans-serif")};
}

void applyLook() {
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows")))
    QApplication::setStyle(style);
  QFont font = QApplication::font();
  font.setFamilies(dialogFontFamilies());
  font.setPointSizeF(8);
  QApplication::setFont(font);
}

bool installQtHungarian() {
  // Lives as long as the program: the application only keeps a pointer to it.
  static QTranslator translator;
  if (translator.isEmpty() && !translator.load(QStringLiteral("qtbase_hu"),
                                               QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    return false;
  return QCoreApplication::installTranslator(&translator);
}

}  // namespace ui
