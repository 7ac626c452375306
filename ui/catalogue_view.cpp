#include "ui/catalogue_view.h"

#include "ui/catalogue.h"

namespace ui {

CatalogueModel::CatalogueModel(const CatalogueRows& rows, QObject* parent)
    : QAbstractListModel(parent), rows_(rows) {}

int CatalogueModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shown_;
}

QVariant CatalogueModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= shown_ ||
      index.row() >= rows_.size())
    return {};
  return rows_.entry(index.row());
}

void CatalogueModel::showNewRows() {
  const int total = int(rows_.size());
  if (total <= shown_) return;
  beginInsertRows(QModelIndex(), shown_, total - 1);
  shown_ = total;
  endInsertRows();
}

void CatalogueModel::clear() {
  beginResetModel();
  shown_ = 0;
  endResetModel();
}

CatalogueList::CatalogueList(const CatalogueRows& rows, QWidget* parent)
    : QListView(parent), model_(new CatalogueModel(rows, this)) {
  setModel(model_);
  setUniformItemSizes(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
}

QString CatalogueList::text(int row) const {
  return model_->data(model_->index(row), Qt::DisplayRole).toString();
}

int CatalogueList::currentRow() const {
  const QModelIndex i = currentIndex();
  return i.isValid() ? i.row() : -1;
}

void CatalogueList::setCurrentRow(int row) { setCurrentIndex(model_->index(row)); }

int CatalogueList::selectedRow() const {
  const QModelIndexList chosen = selectionModel()->selectedIndexes();
  return chosen.isEmpty() ? -1 : chosen.first().row();
}

}  // namespace ui
