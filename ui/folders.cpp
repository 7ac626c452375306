#include "ui/folders.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>
#include <QStyle>
#include <algorithm>

namespace ui {

QVector<Volume> mountedVolumes() {
  QVector<Volume> volumes;
  for (const QStorageInfo& s : QStorageInfo::mountedVolumes()) {
    if (!s.isValid() || !s.isReady()) continue;
    const QString root = s.rootPath();
    if (std::any_of(volumes.begin(), volumes.end(),
                    [&](const Volume& v) { return v.root == root; }))
      continue;
    QString label = root;
    const QString device = QString::fromLocal8Bit(s.device()).section(QLatin1Char('/'), -1);
    if (!device.isEmpty() && device != root)
      label += QStringLiteral("  [") + device + QLatin1Char(']');
    volumes.push_back({root, label});
  }
  std::sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) {
    if (a.root == QLatin1String("/")) return b.root != QLatin1String("/");
    if (b.root == QLatin1String("/")) return false;
    return a.root < b.root;
  });
  if (volumes.isEmpty() || volumes.front().root != QLatin1String("/"))
    volumes.prepend({QStringLiteral("/"), QStringLiteral("/")});
  return volumes;
}

QString volumeRootOf(const QString& path, const QVector<Volume>& volumes) {
  QString best = QStringLiteral("/");
  for (const Volume& v : volumes) {
    const bool inside = path == v.root ||
                        path.startsWith(v.root.endsWith('/') ? v.root : v.root + QLatin1Char('/'));
    if (inside && v.root.size() > best.size()) best = v.root;
  }
  return best;
}

QStringList pathChain(const QString& path) {
  QStringList chain{QStringLiteral("/")};
  QString sofar;
  for (const QString& part : QDir::cleanPath(path).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
    sofar += QLatin1Char('/') + part;
    chain << sofar;
  }
  return chain;
}

QStringList subfolderNames(const QString& path) {
  QDir dir(path);
  QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
  std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
  });
  return names;
}

bool isReadableFolder(const QString& path) {
  const QFileInfo info(path);
  return info.isDir() && info.isReadable() && info.isExecutable();
}

DriveListBox::DriveListBox(QWidget* parent) : QComboBox(parent) {
  connect(this, QOverload<int>::of(&QComboBox::activated), this, [this] { emit driveChanged(); });
}

void DriveListBox::setVolumes(const QVector<Volume>& volumes) {
  QSignalBlocker block(this);
  clear();
  for (const Volume& v : volumes) addItem(v.label, v.root);
}

QString DriveListBox::drive() const { return currentData().toString(); }

void DriveListBox::setDrive(const QString& root) {
  QSignalBlocker block(this);
  const int i = findData(root);
  if (i >= 0) setCurrentIndex(i);
}

DirListBox::DirListBox(QWidget* parent) : QListWidget(parent) {
  setSelectionMode(QAbstractItemView::SingleSelection);
  connect(this, &QListWidget::itemDoubleClicked, this, &DirListBox::openItem);
  connect(this, &QListWidget::itemActivated, this, &DirListBox::openItem);
}

bool DirListBox::setPath(const QString& wanted) {
  const QString path = QDir::cleanPath(QFileInfo(wanted).absoluteFilePath());
  if (!isReadableFolder(path)) return false;
  const QIcon openIcon = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closedIcon = style()->standardIcon(QStyle::SP_DirClosedIcon);
  clear();
  const QStringList chain = pathChain(path);
  int depth = 0;
  for (const QString& p : chain) {
    const QString name = p == QLatin1String("/") ? p : p.section(QLatin1Char('/'), -1);
    auto* item = new QListWidgetItem(openIcon, QString(depth * 2, QLatin1Char(' ')) + name, this);
    item->setData(Qt::UserRole, p);
    ++depth;
  }
  setCurrentRow(count() - 1);
  const QString base = path == QLatin1String("/") ? QString() : path;
  for (const QString& name : subfolderNames(path)) {
    auto* item = new QListWidgetItem(closedIcon, QString(depth * 2, QLatin1Char(' ')) + name, this);
    item->setData(Qt::UserRole, base + QLatin1Char('/') + name);
  }
  const bool changed = path != path_;
  path_ = path;
  if (changed) emit pathChanged(path_);
  return true;
}

void DirListBox::openItem(QListWidgetItem* item) {
  if (!item) return;
  if (!setPath(item->data(Qt::UserRole).toString())) setPath(path_);  // unreadable: stay
}

}  // namespace ui
