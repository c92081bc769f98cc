// Reactions of the input fields while the operator types.

#include "window/Form1.h"

#include <QComboBox>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString AllUnassigned = u"(全部未分配)"_s;

// Trims blanks only, as the site name's trimming does; tabs and other white space stay.
QString trimBlanks(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.mid(begin, end - begin);
}

// The character code a key press delivers: Backspace 8, Enter 13, Ctrl+letter 1 to 26, a character
// its code, a character beyond ASCII (a double-byte character) a negative code. Keys without a
// character (arrows, Delete, Home) are no key presses: nullopt.
std::optional<int> keyAscii(const QKeyEvent* e) {
    switch (e->key()) {
    case Qt::Key_Backspace:
        return 8;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return 13;
    case Qt::Key_Escape:
        return 27;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return std::nullopt; // moves the focus
    default:
        break;
    }
    if ((e->modifiers() & Qt::ControlModifier) && e->key() >= Qt::Key_A && e->key() <= Qt::Key_Z)
        return e->key() - Qt::Key_A + 1;
    const QString text = e->text();
    if (text.isEmpty() || (text.size() == 1 && text[0].unicode() == 127))
        return std::nullopt;
    const char16_t c = text[0].unicode();
    return c < 128 ? int(c) : -int(c);
}

} // namespace

void Form1::txtSiteName_Change() {
    // An account name that stays the same raises no change: a blank added at either end of the
    // site name keeps the password.
    username->setText(trimBlanks(txtSiteName->text()));
    state.SiteExists = false;
}

void Form1::username_Change() {
    password->clear();
}

void Form1::txtHostName_KeyPress(int& KeyAscii) {
    // Host names: letters, digits, "-", "." and the "@" that separates them.
    const bool accepted = KeyAscii == 8 || KeyAscii == 45 || KeyAscii == 46 ||
                          (KeyAscii >= 48 && KeyAscii <= 57) || (KeyAscii >= 64 && KeyAscii <= 90) ||
                          (KeyAscii >= 97 && KeyAscii <= 122);
    if (accepted)
        return;
    KeyAscii = 0;
    Label12->setText(u"输入域名错误！"_s);
}

void Form1::txtHostName_MouseMove() {
    Label12->setText(QString());
}

void Form1::Combo1_Click() {
    // The chosen entry, never what was typed into the box's editable part.
    const QString text = Combo1->itemText(Combo1->currentIndex());
    state.BindingIP = text == AllUnassigned ? QString() : text;
}

bool Form1::eventFilter(QObject* watched, QEvent* event) {
    // The boxes with a key filter: the domain box and the extraction date.
    QLineEdit* box = nullptr;
    void (Form1::*keyPress)(int&) = nullptr;
    if (watched == txtHostName) {
        box = txtHostName;
        keyPress = &Form1::txtHostName_KeyPress;
    } else if (watched == timedate) {
        box = timedate;
        keyPress = &Form1::timedate_KeyPress;
    } else {
        return QMainWindow::eventFilter(watched, event);
    }
    switch (event->type()) {
    case QEvent::KeyPress: {
        const auto code = keyAscii(static_cast<QKeyEvent*>(event));
        if (!code)
            return false;
        int KeyAscii = *code;
        (this->*keyPress)(KeyAscii);
        return KeyAscii == 0;
    }
    case QEvent::InputMethod: {
        // Text committed by an input method arrives as key presses of its characters.
        auto* im = static_cast<QInputMethodEvent*>(event);
        QString kept;
        for (QChar c : im->commitString()) {
            int KeyAscii = c.unicode() < 128 ? int(c.unicode()) : -int(c.unicode());
            (this->*keyPress)(KeyAscii);
            if (KeyAscii != 0)
                kept += c;
        }
        if (kept == im->commitString())
            return false;
        if (!kept.isEmpty())
            box->insert(kept);
        return true;
    }
    case QEvent::MouseMove:
        if (box == txtHostName)
            txtHostName_MouseMove();
        return false;
    default:
        return false;
    }
}
