// Drive and folder lists for a system without drive letters: the mounted volumes
// stand in for drives, and the folder list shows one volume's tree.
#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QString>
#include <QStringList>
#include <QVector>

namespace ui {

struct Volume {
  QString root;   // mount point, e.g. "/" or "/media/usb"
  QString label;  // what the drive list shows
};

// The mounted volumes, the root first.
QVector<Volume> mountedVolumes();
// The root of the volume that holds path (longest matching mount point).
QString volumeRootOf(const QString& path, const QVector<Volume>& volumes);
// "/a/b" -> {"/", "/a", "/a/b"}.
QStringList pathChain(const QString& path);
// Names of the folder's subfolders, sorted case-insensitively.
QStringList subfolderNames(const QString& path);
// A folder that exists and whose entries can be listed.
bool isReadableFolder(const QString& path);

class DriveListBox : public QComboBox {
  Q_OBJECT
 public:
  explicit DriveListBox(QWidget* parent = nullptr);
  void setVolumes(const QVector<Volume>& volumes);
  QString drive() const;               // root of the selected volume
  void setDrive(const QString& root);  // selects without emitting driveChanged
 signals:
  void driveChanged();  // the user picked another volume
};

class DirListBox : public QListWidget {
  Q_OBJECT
 public:
  explicit DirListBox(QWidget* parent = nullptr);
  QString path() const { return path_; }
  // Shows the chain from the root down to path and path's subfolders.
  // False (and no change) when path cannot be read.
  bool setPath(const QString& path);
 signals:
  void pathChanged(const QString& path);

 private:
  void openItem(QListWidgetItem* item);
  QString path_;
};

}  // namespace ui
