#include "platform/qt/FolderDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace platform {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int PathRole = Qt::UserRole;       // the Windows path; empty for the desktop and the computer
constexpr int FilledRole = Qt::UserRole + 1; // the folder's subfolders have been read

QTreeWidgetItem* item(const QString& caption, const QString& path) {
    auto* i = new QTreeWidgetItem(QStringList{caption});
    i->setData(0, PathRole, path);
    i->setIcon(0, QIcon::fromTheme(path.isEmpty() ? u"user-desktop"_s : u"folder"_s));
    return i;
}

QStringList subfolders(const QString& hostFolder) {
    return QDir(hostFolder).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
}

} // namespace

FolderDialog::FolderDialog(QString drivesFolder, const QString& text, QWidget* parent)
    : QDialog(parent), m_drives(std::move(drivesFolder)) {
    setObjectName(u"FolderDialog"_s);
    setWindowTitle(u"浏览文件夹"_s);
    auto* layout = new QVBoxLayout(this);
    this->text = new QLabel(text, this);
    this->text->setObjectName(u"folderText"_s);
    this->text->setWordWrap(true);
    layout->addWidget(this->text);
    tree = new QTreeWidget(this);
    tree->setObjectName(u"folderTree"_s);
    tree->setHeaderHidden(true);
    tree->setMinimumSize(300, 260);
    layout->addWidget(tree);
    auto* buttons = new QDialogButtonBox(this);
    ok = buttons->addButton(u"确定"_s, QDialogButtonBox::AcceptRole);
    ok->setObjectName(u"okButton"_s);
    cancel = buttons->addButton(u"取消"_s, QDialogButtonBox::RejectRole);
    cancel->setObjectName(u"cancelButton"_s);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* desktop = item(u"桌面"_s, {});
    auto* computer = item(u"我的电脑"_s, {});
    computer->setIcon(0, QIcon::fromTheme(u"computer"_s));
    desktop->addChild(computer);
    for (const QString& letter : subfolders(m_drives)) {
        if (letter.size() != 1 || !letter[0].isLetter())
            continue;
        auto* drive = item(letter.toUpper() + u':', letter.toUpper() + u":\\"_s);
        drive->setIcon(0, QIcon::fromTheme(u"drive-harddisk"_s));
        drive->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        computer->addChild(drive);
    }
    tree->addTopLevelItem(desktop);
    desktop->setExpanded(true);
    computer->setExpanded(true);
    tree->setCurrentItem(desktop);
    connect(tree, &QTreeWidget::itemExpanded, this, &FolderDialog::fill);
    // Only a file-system folder can be chosen.
    auto update = [this] {
        ok->setEnabled(!selectedPath().isEmpty());
    };
    connect(tree, &QTreeWidget::currentItemChanged, this, update);
    update();
}

QString FolderDialog::hostPath(const QString& windowsPath) const {
    QString rest = windowsPath.mid(3);
    rest.replace(u'\\', u'/');
    return m_drives + u'/' + windowsPath.left(1) + (rest.isEmpty() ? QString() : u'/' + rest);
}

void FolderDialog::fill(QTreeWidgetItem* folder) {
    const QString path = folder->data(0, PathRole).toString();
    if (path.isEmpty() || folder->data(0, FilledRole).toBool())
        return;
    folder->setData(0, FilledRole, true);
    for (const QString& name : subfolders(hostPath(path))) {
        const QString child = path.endsWith(u'\\') ? path + name : path + u'\\' + name;
        auto* i = item(name, child);
        i->setChildIndicatorPolicy(subfolders(hostPath(child)).isEmpty() ? QTreeWidgetItem::DontShowIndicator
                                                                         : QTreeWidgetItem::ShowIndicator);
        folder->addChild(i);
    }
    if (folder->childCount() == 0)
        folder->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

QString FolderDialog::selectedPath() const {
    const QTreeWidgetItem* current = tree->currentItem();
    return current ? current->data(0, PathRole).toString() : QString();
}

bool FolderDialog::select(const QString& windowsPath) {
    QTreeWidgetItem* at = tree->topLevelItem(0)->child(0); // 我的电脑
    const QStringList names = windowsPath.split(u'\\', Qt::SkipEmptyParts);
    for (qsizetype n = 0; n < names.size(); ++n) {
        QTreeWidgetItem* next = nullptr;
        at->setExpanded(true);
        for (int c = 0; c < at->childCount() && !next; ++c) {
            const QString caption = at->child(c)->text(0);
            if (caption.compare(n == 0 ? names[n].toUpper() : names[n], Qt::CaseInsensitive) == 0)
                next = at->child(c);
        }
        if (!next)
            return false;
        at = next;
    }
    tree->setCurrentItem(at);
    return true;
}

} // namespace platform
