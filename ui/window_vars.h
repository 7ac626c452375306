// The window's own variables, under their names (the film download keeps its own).
#pragma once

#include <QStringList>
#include <QVariant>

#include "ui/catalogue.h"

struct WindowVars {
  QString agentName;
  float barFullWidth = 0;
  bool placeholderCleared = false;
  bool isDownloading = false;

  ui::CatalogueRows catalogRows;
  QStringList catalogFields;
};
