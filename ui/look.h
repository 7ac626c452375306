#pragma once

#include <QStringList>

namespace ui {
// "MS Sans Serif" where the system has it, else a sans-serif face of similar width.
QStringList dialogFontFamilies();
// The classic flat-grey look the layout was drawn for.
void applyLook();
// Qt's own texts (standard buttons, context menus) in Hungarian, whatever the user's
// locale. False when Qt's Hungarian translation is not installed.
bool installQtHungarian();
}  // namespace ui
