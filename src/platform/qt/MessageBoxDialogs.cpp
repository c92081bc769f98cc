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
    // Windows lays the buttons out in this order and answers Enter with the default button (the
    // first, the second with 256, the third with 512), Escape and the close box with Cancel where
    // the box has one, and with OK in a box that has only OK; otherwise Escape does nothing. All
    // buttons take one role, so that Qt keeps their order and guesses no escape button of its own.
    std::vector<std::pair<QAbstractButton*, int>> made;
    for (const auto& [caption, answer] : buttons)
        made.emplace_back(box.addButton(caption, QMessageBox::ActionRole), answer);
    const std::size_t preferred = (style & msgbox::DefaultButton3)   ? 2
                                  : (style & msgbox::DefaultButton2) ? 1
                                                                     : 0;
    auto* defaultButton = qobject_cast<QPushButton*>(made[preferred < made.size() ? preferred : 0].first);
    box.setDefaultButton(defaultButton);
    defaultButton->setFocus();
    QAbstractButton* escape = nullptr;
    for (const auto& [button, answer] : made)
        if (answer == msgbox::Cancel)
            escape = button;
    if (!escape && made.size() == 1)
        escape = made.front().first;
    box.setEscapeButton(escape);
    box.exec();
    for (const auto& [button, answer] : made)
        if (box.clickedButton() == button)
            return answer;
    // Not answered by a button (the box was closed by the program): the cancel answer where there
    // is one.
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
