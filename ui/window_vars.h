// The window's variables, under their names: the film download's state and the window's own.
#pragma once

#include <QStringList>
#include <QVariant>

#include "download/film_state.h"
#include "ui/catalogue.h"

struct WindowVars : download::FilmState {
  bool placeholderCleared = false;
  bool isDownloading = false;

  ui::CatalogueRows catalogRows;
  QStringList catalogFields;
};
