#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace platform {

// The folder browser in the manner of the Windows one: the caller's text above a tree that starts
// at the desktop, with "我的电脑" and the machine's drives below it, folders only, and "确定" and
// "取消". Only a drive or a folder can be chosen; the result is its Windows path ("D:\WebRoot",
// "D:\" for a drive root).
class FolderDialog final : public QDialog {
    Q_OBJECT
public:
    // drivesFolder holds one folder per drive letter ("C", "D") with the drive's files.
    FolderDialog(QString drivesFolder, const QString& text, QWidget* parent = nullptr);

    // The chosen folder's Windows path, "" while nothing that can be chosen is selected.
    QString selectedPath() const;
    // Selects the item of a Windows path, opening the folders above it; false when it is not shown.
    bool select(const QString& windowsPath);

    QLabel* text;
    QTreeWidget* tree;
    QPushButton* ok;
    QPushButton* cancel;

private:
    void fill(QTreeWidgetItem* folder);
    QString hostPath(const QString& windowsPath) const;
    QString m_drives;
};

} // namespace platform
