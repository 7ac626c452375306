#pragma once

#include <QWidget>
#include <cmath>

namespace ui {

// The layout is in twips: 15 to a pixel at 96 dots per inch.
constexpr int kTwipsPerPixel = 15;

inline int twipsToPx(double twips) { return static_cast<int>(std::lround(twips / kTwipsPerPixel)); }
inline int widthTwips(const QWidget* w) { return w->width() * kTwipsPerPixel; }

inline void place(QWidget* w, int left, int top, int width, int height) {
  w->setGeometry(twipsToPx(left), twipsToPx(top), twipsToPx(width), twipsToPx(height));
}

}  // namespace ui
