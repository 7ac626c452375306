#pragma once

#include <QStringList>

namespace ui {
// "MS Sans Serif" where the system has it, else a sans-serif face of similar width.
QStringList dialogFontFamilies();
// The classic flat-grey look the layout was drawn for.
void applyLook();
}  // namespace ui
