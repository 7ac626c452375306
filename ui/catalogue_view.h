// The catalogue list: a view over the catalogue rows, so that a million films cost no
// million widgets. Entry i shows field 2 of row i, cut.
#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <QStringList>

#include "ui/catalogue.h"

namespace ui {

class CatalogueModel : public QAbstractListModel {
  Q_OBJECT

 public:
  CatalogueModel(const CatalogueRows& rows, QObject* parent);
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  // Shows the rows added to the list since the last call.
  void showNewRows();
  void clear();

 private:
  const CatalogueRows& rows_;
  int shown_ = 0;
};

class CatalogueList : public QListView {
  Q_OBJECT

 public:
  CatalogueList(const CatalogueRows& rows, QWidget* parent);
  CatalogueModel* catalogue() const { return model_; }
  int count() const { return model_->rowCount(); }
  QString text(int row) const;
  int currentRow() const;
  void setCurrentRow(int row);
  // The single selected entry, or -1.
  int selectedRow() const;

 private:
  CatalogueModel* model_;
};

}  // namespace ui
