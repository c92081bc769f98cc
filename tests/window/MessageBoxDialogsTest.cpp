// The real message boxes: Windows' Chinese captions, the answers their buttons give, and Qt's own
// texts in Chinese.

#include "platform/qt/MessageBoxDialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

using namespace Qt::Literals::StringLiterals;
namespace msgbox = platform::msgbox;

namespace {

struct Shown {
    QString title;
    QString text;
    QStringList captions;
    int answer = 0;
};

// Shows a box of that style and clicks the button with the caption given, as the operator would.
Shown showAndClick(int style, const QString& click, const QString& title = {}) {
    platform::MessageBoxDialogs dialogs;
    Shown shown;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        shown.title = box->windowTitle();
        shown.text = box->text();
        QAbstractButton* target = nullptr;
        for (QAbstractButton* b : box->buttons()) {
            shown.captions << b->text();
            if (b->text() == click)
                target = b;
        }
        if (target)
            QTest::mouseClick(target, Qt::LeftButton);
        else
            box->reject();
    });
    shown.answer = dialogs.MsgBox(u"提示内容"_s, style, title);
    return shown;
}

TEST(MessageBoxDialogs, ButtonsCarryWindowsChineseCaptionsAndGiveTheirAnswers) {
    const struct {
        int style;
        QStringList captions;
        QString click;
        int answer;
    } cases[] = {
        {msgbox::OKOnly, {u"确定"_s}, u"确定"_s, msgbox::OK},
        {msgbox::OKCancel, {u"确定"_s, u"取消"_s}, u"取消"_s, msgbox::Cancel},
        {msgbox::YesNo | msgbox::Question, {u"是(&Y)"_s, u"否(&N)"_s}, u"是(&Y)"_s, msgbox::Yes},
        {msgbox::YesNoCancel, {u"是(&Y)"_s, u"否(&N)"_s, u"取消"_s}, u"否(&N)"_s, msgbox::No},
        {msgbox::RetryCancel, {u"重试(&R)"_s, u"取消"_s}, u"重试(&R)"_s, msgbox::Retry},
        {msgbox::AbortRetryIgnore,
         {u"终止(&A)"_s, u"重试(&R)"_s, u"忽略(&I)"_s},
         u"忽略(&I)"_s,
         msgbox::Ignore},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.style);
        const Shown shown = showAndClick(c.style, c.click, u"提示"_s);
        EXPECT_EQ(shown.captions, c.captions);
        EXPECT_EQ(shown.answer, c.answer);
        EXPECT_EQ(shown.title, u"提示"_s);
        EXPECT_EQ(shown.text, u"提示内容"_s);
    }
}

TEST(MessageBoxDialogs, ABoxWithoutTitleShowsTheProgramsAndClosingItCancels) {
    EXPECT_EQ(showAndClick(msgbox::Information, u"确定"_s).title, u"Velmora"_s);
    EXPECT_EQ(showAndClick(msgbox::RetryCancel, QString()).answer, msgbox::Cancel) << "closed, not clicked";
}

TEST(QtTranslations, QtsOwnTextsAreChinese) {
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), u"取消"_s);
    QLineEdit edit;
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->text();
    EXPECT_TRUE(texts.join(u'|').contains(u"粘贴"_s)) << texts.join(u'|').toStdString();
}

} // namespace

namespace {

// Shows a box of that style and presses the keys on it, as the operator would; the box's buttons
// stay untouched by the mouse. A box still open after the keys is answered with its last button.
struct Keyed {
    int answer = 0;
    bool openAfterKeys = false;
};
Keyed showAndPress(int style, const QList<Qt::Key>& keys) {
    platform::MessageBoxDialogs dialogs;
    Keyed keyed;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        for (Qt::Key key : keys)
            QTest::keyClick(box->focusWidget() ? box->focusWidget() : box, key);
        keyed.openAfterKeys = box->isVisible();
        if (keyed.openAfterKeys)
            QTest::mouseClick(box->buttons().back(), Qt::LeftButton);
    });
    keyed.answer = dialogs.MsgBox(u"提示内容"_s, style, u"提示"_s);
    return keyed;
}

TEST(MessageBoxDialogs, EnterAnswersTheDefaultButtonAndEscapeTheCancellingOne) {
    const struct {
        int style;
        Qt::Key key;
        int answer; // 0: the key leaves the box open
    } cases[] = {
        {msgbox::YesNo, Qt::Key_Return, msgbox::Yes},
        {msgbox::YesNo | msgbox::DefaultButton2, Qt::Key_Return, msgbox::No}, // 260 with the icon bits
        {msgbox::YesNo | msgbox::Question | msgbox::DefaultButton2, Qt::Key_Enter, msgbox::No},
        {msgbox::YesNoCancel | msgbox::DefaultButton3, Qt::Key_Return, msgbox::Cancel},
        {msgbox::YesNoCancel | msgbox::DefaultButton2, Qt::Key_Return, msgbox::No},
        {msgbox::AbortRetryIgnore | msgbox::DefaultButton2, Qt::Key_Return, msgbox::Retry},
        {msgbox::OKCancel | msgbox::DefaultButton2, Qt::Key_Return, msgbox::Cancel},
        {msgbox::OKOnly | msgbox::DefaultButton3, Qt::Key_Return, msgbox::OK}, // no third button
        {msgbox::YesNoCancel, Qt::Key_Escape, msgbox::Cancel},
        {msgbox::RetryCancel, Qt::Key_Escape, msgbox::Cancel},
        {msgbox::OKOnly | msgbox::Information, Qt::Key_Escape, msgbox::OK},
        {msgbox::YesNo | msgbox::DefaultButton2, Qt::Key_Escape, 0},
        {msgbox::AbortRetryIgnore, Qt::Key_Escape, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "style " << c.style << ", key " << c.key);
        const Keyed keyed = showAndPress(c.style, {c.key});
        EXPECT_EQ(keyed.openAfterKeys, c.answer == 0);
        if (c.answer != 0) {
            EXPECT_EQ(keyed.answer, c.answer);
        }
    }
}

} // namespace
