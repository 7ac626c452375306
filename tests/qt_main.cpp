// Test entry for binaries that need a QApplication (offscreen unless told otherwise).
#include <gtest/gtest.h>
#include <QApplication>

#include "ui/look.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  ui::applyLook();
  ui::installQtHungarian();
  return RUN_ALL_TESTS();
}
