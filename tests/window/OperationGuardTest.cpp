// One operation at a time: while a handler runs, its waits included, the window takes no input
// from the operator, but the program's own changes and the dialogs the handler opens work as usual.

#include "platform/qt/MessageBoxDialogs.h"
#include "tests/support/FormHarness.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QtTest/qtestspontaneevent.h>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

std::optional<Qt::CursorShape> overrideCursor() {
    if (const QCursor* c = QApplication::overrideCursor())
        return c->shape();
    return std::nullopt;
}

class BusyWindowTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;

    void SetUp() override {
        form = &h.start();
        ASSERT_FALSE(form->ended());
        ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    }
    // An action handler that waits, as a create does before its steps.
    void runWaitingHandler(std::function<void()> duringWait) {
        h.clock.duringWait([&](int) { duringWait(); });
        EXPECT_TRUE(form->guard.run("Command1_Click", [&] { form->Delay(30); }));
        h.clock.duringWait(nullptr);
    }
};

TEST_F(BusyWindowTest, TypingIntoTheSiteNameDuringAWaitChangesNothing) {
    form->txtSiteName->setFocus();
    std::optional<Qt::CursorShape> cursor;
    runWaitingHandler([&] {
        cursor = overrideCursor();
        QTest::keyClicks(form->txtSiteName, u"half"_s);
        QTest::keyClick(form->txtSiteName, Qt::Key_Backspace);
        QGuiApplication::clipboard()->setText(u"pasted"_s);
        QTest::keyClick(form->txtSiteName, Qt::Key_V, Qt::ControlModifier);
    });
    EXPECT_EQ(form->txtSiteName->text(), u"myweb"_s);
    EXPECT_EQ(form->username->text(), u"myweb"_s);
    EXPECT_EQ(cursor, Qt::WaitCursor) << "the window shows that it is busy";
    EXPECT_EQ(overrideCursor(), std::nullopt) << "and stops showing it afterwards";

    // Input given meanwhile was dropped, not kept: afterwards only new typing counts.
    QTest::keyClicks(form->txtSiteName, u"2"_s);
    EXPECT_EQ(form->txtSiteName->text(), u"myweb2"_s);
}

TEST_F(BusyWindowTest, ClicksWheelAndMenuShortcutsReachNothing) {
    form->Combo1->addItem(u"10.0.0.7"_s);
    runWaitingHandler([&] {
        QTest::mouseClick(form->Check3, Qt::LeftButton);
        QTest::mouseClick(form->Command2, Qt::LeftButton);
        QTest::mouseClick(form->MSFlexGrid1->viewport(), Qt::LeftButton);
        QTest::keyClick(form, Qt::Key_L, Qt::ControlModifier);
        QTest::keyClick(form, Qt::Key_P, Qt::ControlModifier);
        QWheelEvent wheel(QPointF(5, 5), form->Combo1->mapToGlobal(QPointF(5, 5)), QPoint(), QPoint(0, -120),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        // Delivered as the window system delivers them (sendEvent would make them the program's).
        QSpontaneKeyEvent::setSpontaneous(&wheel);
        qApp->notify(form->Combo1, &wheel);
        QCloseEvent close;
        QSpontaneKeyEvent::setSpontaneous(&close);
        qApp->notify(form, &close);
        EXPECT_FALSE(close.isAccepted()) << "the close box is refused while busy";
    });
    EXPECT_FALSE(form->Check3->isChecked());
    EXPECT_FALSE(form->Check1->isChecked());
    EXPECT_EQ(form->Combo1->currentIndex(), 0);
    EXPECT_EQ(form->guard.refused(), 0) << "no click or shortcut even reached the one-operation check";
    EXPECT_TRUE(form->isVisible());

    // Afterwards the same input works again; a second handler would be refused only while busy.
    QTest::mouseClick(form->Check3, Qt::LeftButton);
    EXPECT_TRUE(form->Check1->isChecked());
}

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* e) override {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

TEST_F(BusyWindowTest, TheProgramsOwnChangesStillRunTheirReactionsAndArePainted) {
    form->Check1->setChecked(false);
    PaintCounter counter;
    form->txtSiteName->installEventFilter(&counter);
    runWaitingHandler([&] {
        form->txtSiteName->setText(u" shop "_s);
        form->Check3->setChecked(true);
        form->Menu_file_log->trigger();    // a second handler started by the program is refused
        QCoreApplication::processEvents(); // what a real wait does meanwhile
    });
    EXPECT_GT(counter.paints, 0) << "the window keeps painting while busy";
    EXPECT_EQ(form->username->text(), u"shop"_s);
    EXPECT_TRUE(form->Check1->isChecked());
    EXPECT_TRUE(form->password->isEnabled());
    EXPECT_EQ(form->guard.refused(), 1);
    EXPECT_EQ(form->guard.current(), nullptr);
}

TEST_F(BusyWindowTest, AMessageBoxOpenedByTheHandlerIsAnsweredByTheOperator) {
    platform::MessageBoxDialogs dialogs;
    dialogs.setParent(form);
    std::optional<Qt::CursorShape> cursorOverBox;
    QStringList captions;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        cursorOverBox = overrideCursor();
        for (QAbstractButton* b : box->buttons())
            captions << b->text();
        for (QAbstractButton* b : box->buttons())
            if (b->text() == u"否(&N)"_s)
                QTest::mouseClick(b, Qt::LeftButton);
    });
    int answer = 0;
    EXPECT_TRUE(form->guard.run("Command2_Click", [&] {
        answer = dialogs.MsgBox(u"确实要删除吗？"_s, platform::msgbox::YesNo | platform::msgbox::Question,
                                u"提示"_s);
    }));
    EXPECT_EQ(captions, (QStringList{u"是(&Y)"_s, u"否(&N)"_s}));
    EXPECT_EQ(answer, platform::msgbox::No) << "the operator's click on the box was taken";
    EXPECT_EQ(cursorOverBox, Qt::ArrowCursor);
}

TEST(OperationGuard, NestedRunIsRefusedAndTheGuardIsReleasedAfterwards) {
    OperationGuard guard;
    int inner = 0;
    EXPECT_TRUE(guard.run("outer", [&] { EXPECT_FALSE(guard.run("inner", [&] { ++inner; })); }));
    EXPECT_EQ(inner, 0);
    EXPECT_EQ(guard.refused(), 1);
    EXPECT_TRUE(guard.run("again", [&] { ++inner; }));
    EXPECT_EQ(inner, 1);
}

} // namespace
