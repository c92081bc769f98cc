#include "platform/qt/MessageBoxDialogs.h"

#include "platform/qt/FolderDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <cstdlib>
#include <utility>
#include <vector>

namespace platform {

using namespace Qt::Literals::StringLiterals;

int MessageBoxDialogs::MsgBox(const QString& prompt, int style, const QString& title) {
    QMessageBox box(m_parent);
    box.setWindowTitle(title.isEmpty() ? ProgramTitle : title);
    box.setText(prompt);
    switch (style & 0x70) {
    case msgbox::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    case msgbox::Question:
        box.setIcon(QMessageBox::Question);
        break;
    case msgbox::Exclamation:
        box.setIcon(QMessageBox::Warning);
        break;
    case msgbox::Information:
        box.setIcon(QMessageBox::Information);
        break;
    default:
        box.setIcon(QMessageBox::NoIcon);
    }
    // The buttons with Windows' Chinese captions and the answers they give.
    std::vector<std::pair<QString, int>> buttons;
    switch (style & 0x7) {
    case msgbox::OKCancel:
        buttons = {{u"确定"_s, msgbox::OK}, {u"取消"_s, msgbox::Cancel}};
        break;
    case msgbox::AbortRetryIgnore:
        buttons = {
            {u"终止(&A)"_s, msgbox::Abort}, {u"重试(&R)"_s, msgbox::Retry}, {u"忽略(&I)"_s, msgbox::Ignore}};
        break;
    case msgbox::YesNoCancel:
        buttons = {{u"是(&Y)"_s, msgbox::Yes}, {u"否(&N)"_s, msgbox::No}, {u"取消"_s, msgbox::Cancel}};
        break;
    case msgbox::YesNo:
        buttons = {{u"是(&Y)"_s, msgbox::Yes}, {u"否(&N)"_s, msgbox::No}};
        break;
    case msgbox::RetryCancel:
        buttons = {{u"重试(&R)"_s, msgbox::Retry}, {u"取消"_s, msgbox::Cancel}};
        break;
    default:
        buttons = {{u"确定"_s, msgbox::OK}};
    }
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (const auto& [caption, answer] : buttons) {
        const auto role = answer == msgbox::Cancel || answer == msgbox::No ? QMessageBox::RejectRole
                                                                           : QMessageBox::AcceptRole;
        made.emplace_back(box.addButton(caption, role), answer);
    }
    box.setDefaultButton(qobject_cast<QPushButton*>(made.front().first));
    box.exec();
    for (const auto& [button, answer] : made)
        if (box.clickedButton() == button)
            return answer;
    // Closed with the window's close box: the cancel answer where there is one.
    for (const auto& [caption, answer] : buttons)
        if (answer == msgbox::Cancel)
            return answer;
    return buttons.front().second;
}

QString MessageBoxDialogs::BrowseFolder(const QString& title) {
    FolderDialog dialog(m_drives, title, m_parent);
    return dialog.exec() == QDialog::Accepted ? dialog.selectedPath() : QString();
}

void ProcessEnd::End() {
    // The End statement: the program stops here, whatever is still on the stack.
    std::exit(0);
}

} // namespace platform
