// The input fields as the operator types into them: real key events on the window.

#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/FormHarness.h"
#include "window/Form1.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString Refused = u"输入域名错误！"_s;

class InputFieldsTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    testing_support::TempMachine& m = h.machine;
    Form1* form = nullptr;

    void SetUp() override {
        form = &h.build();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
        form->txtHostName->clear();
        form->txtHostName->setFocus();
    }
    QLineEdit* host() { return form->txtHostName; }
    void commit(const QString& text) {
        QInputMethodEvent e;
        e.setCommitString(text);
        QCoreApplication::sendEvent(host(), &e);
    }
};

TEST_F(InputFieldsTest, HostNamesWithDigitsAreTypeable) {
    QTest::keyClicks(host(), u"web1.example-2.com@Shop.COM"_s);
    EXPECT_EQ(host()->text(), u"web1.example-2.com@Shop.COM"_s);
    EXPECT_EQ(form->Label12->text(), QString());
}

TEST_F(InputFieldsTest, OtherCharactersAreRefusedWithAMessage) {
    QTest::keyClicks(host(), u"a_b c!d"_s);
    EXPECT_EQ(host()->text(), u"abcd"_s);
    EXPECT_EQ(form->Label12->text(), Refused);
    // An accepted key leaves the message where it is.
    QTest::keyClicks(host(), u"e"_s);
    EXPECT_EQ(form->Label12->text(), Refused);
}

TEST_F(InputFieldsTest, BackspaceWorksEnterAndPasteShortcutAreRefused) {
    QTest::keyClicks(host(), u"abc"_s);
    QTest::keyClick(host(), Qt::Key_Backspace);
    EXPECT_EQ(host()->text(), u"ab"_s);
    EXPECT_EQ(form->Label12->text(), QString());
    QTest::keyClick(host(), Qt::Key_Return);
    EXPECT_EQ(form->Label12->text(), Refused);
    form->Label12->clear();
    QGuiApplication::clipboard()->setText(u"pasted.com"_s);
    QTest::keyClick(host(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(host()->text(), u"ab"_s);
    EXPECT_EQ(form->Label12->text(), Refused);
}

TEST_F(InputFieldsTest, ContextMenuPasteBypassesTheFilter) {
    QGuiApplication::clipboard()->setText(u"odd_name here"_s);
    std::unique_ptr<QMenu> menu(host()->createStandardContextMenu());
    QAction* paste = nullptr;
    for (QAction* a : menu->actions())
        if (a->objectName() == u"edit-paste"_s || a->text().startsWith(u"粘贴(&P)"_s))
            paste = a;
    ASSERT_NE(paste, nullptr);
    paste->trigger();
    EXPECT_EQ(host()->text(), u"odd_name here"_s);
    EXPECT_EQ(form->Label12->text(), QString());
}

TEST_F(InputFieldsTest, InputMethodTextIsRefusedLikeTypedDoubleByteCharacters) {
    commit(u"网站"_s);
    EXPECT_EQ(host()->text(), QString());
    EXPECT_EQ(form->Label12->text(), Refused);
    form->Label12->clear();
    commit(u"abc"_s);
    EXPECT_EQ(host()->text(), u"abc"_s);
    EXPECT_EQ(form->Label12->text(), QString());
}

TEST_F(InputFieldsTest, KeysWithoutACharacterAreNoKeyPresses) {
    QTest::keyClicks(host(), u"abc"_s);
    QTest::keyClick(host(), Qt::Key_Left);
    QTest::keyClick(host(), Qt::Key_Delete);
    QTest::keyClick(host(), Qt::Key_Home);
    EXPECT_EQ(host()->text(), u"ab"_s);
    EXPECT_EQ(form->Label12->text(), QString());
}

TEST_F(InputFieldsTest, MouseOverTheDomainBoxClearsTheMessage) {
    QTest::keyClicks(host(), u" "_s);
    ASSERT_EQ(form->Label12->text(), Refused);
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), host()->mapToGlobal(QPointF(5, 5)), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(host(), &move);
    EXPECT_EQ(form->Label12->text(), QString());
}

TEST_F(InputFieldsTest, SiteNameIsMirroredIntoTheAccountNameAndEmptiesThePassword) {
    form->Check1->setChecked(true);
    form->password->setText(u"pw"_s);
    form->state.SiteExists = true;
    form->txtSiteName->selectAll();
    QTest::keyClicks(form->txtSiteName, u" myweb "_s);
    EXPECT_EQ(form->username->text(), u"myweb"_s);
    EXPECT_EQ(form->password->text(), QString());
    EXPECT_FALSE(form->state.SiteExists);
    // Emptying the name by program runs the same chain.
    form->password->setText(u"pw2"_s);
    form->txtSiteName->clear();
    EXPECT_EQ(form->username->text(), QString());
    EXPECT_EQ(form->password->text(), QString());
}

TEST_F(InputFieldsTest, ABlankThatLeavesTheAccountNameAsItWasKeepsThePassword) {
    form->Check1->setChecked(true);
    form->txtSiteName->setText(u"shop"_s);
    form->password->setText(u"Secret9"_s);
    form->state.SiteExists = true;
    form->txtSiteName->setFocus();
    form->txtSiteName->end(false);
    QTest::keyClick(form->txtSiteName, Qt::Key_Space);
    EXPECT_EQ(form->txtSiteName->text(), u"shop "_s);
    EXPECT_EQ(form->username->text(), u"shop"_s);
    EXPECT_EQ(form->password->text(), u"Secret9"_s) << "the account name did not change";
    EXPECT_FALSE(form->state.SiteExists) << "the site name did";
    QTest::keyClick(form->txtSiteName, Qt::Key_S);
    EXPECT_EQ(form->password->text(), QString()) << "another account name empties the password";
}

TEST_F(InputFieldsTest, EachChoiceRunsTheIpBoxClickOnce) {
    form->Combo1->addItems({u"(全部未分配)"_s, u"10.0.0.5"_s, u"10.0.0.6"_s});
    // Right after the click that a choice runs, the test marks BindingIP; a second run of the click
    // for the same choice would overwrite the mark.
    QObject::connect(form->Combo1, &QComboBox::currentIndexChanged, form,
                     [this] { form->state.BindingIP = u"mark"_s; });
    form->Combo1->setFocus();
    QTest::keyClick(form->Combo1, Qt::Key_Down);
    EXPECT_EQ(form->Combo1->currentIndex(), 1);
    EXPECT_EQ(form->state.BindingIP, u"mark"_s);
    form->Combo1->showPopup();
    QAbstractItemView* list = form->Combo1->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(list->window()));
    const QRect entry = list->visualRect(list->model()->index(2, 0));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, entry.center());
    EXPECT_EQ(form->Combo1->currentIndex(), 2);
    EXPECT_EQ(form->state.BindingIP, u"mark"_s);
}

TEST_F(InputFieldsTest, ChosenAddressBecomesTheBindingAddress) {
    form->Combo1->addItems({u"(全部未分配)"_s, u"10.0.0.5"_s, u"10.0.0.6"_s});
    form->Combo1->setCurrentIndex(2);
    EXPECT_EQ(form->state.BindingIP, u"10.0.0.6"_s);
    form->Combo1->setFocus();
    QTest::keyClick(form->Combo1, Qt::Key_Up);
    EXPECT_EQ(form->state.BindingIP, u"10.0.0.5"_s);
    form->Combo1->setCurrentIndex(0);
    EXPECT_EQ(form->state.BindingIP, QString()) << "all unassigned";
    // Text typed into the editable part is not taken, also not by Enter.
    form->Combo1->lineEdit()->selectAll();
    QTest::keyClicks(form->Combo1->lineEdit(), u"192.168.1.9"_s);
    EXPECT_EQ(form->state.BindingIP, QString());
    QTest::keyClick(form->Combo1->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(form->state.BindingIP, QString());
    // Neither when an entry is chosen again while typed text stands in the box.
    form->Combo1->setCurrentIndex(1);
    form->Combo1->lineEdit()->selectAll();
    QTest::keyClicks(form->Combo1->lineEdit(), u"10.9.9.9"_s);
    QTest::keyClick(form->Combo1->lineEdit(), Qt::Key_Return);
    EXPECT_EQ(form->state.BindingIP, u"10.0.0.5"_s);
    form->Combo1->setCurrentIndex(1);
    EXPECT_EQ(form->state.BindingIP, u"10.0.0.5"_s);
}

} // namespace
