// One operation at a time: a click during another handler's wait does not start a second handler.

#include "emulation/MetabaseStore.h"
#include "tests/support/TempMachine.h"
#include "tests/support/VirtualClock.h"
#include "window/Form1.h"

#include <QAction>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

TEST(OperationGuard, ClicksDuringAWaitStartNoSecondHandler) {
    testing_support::TempMachine m;
    testing_support::VirtualClock clock;
    Form1Services services;
    services.profiles = &m.profiles();
    services.pacing = &clock;
    Form1 form(services);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    QStringList seenDuringWait;
    clock.duringWait([&](int) {
        seenDuringWait << QString::fromLatin1(form.guard.current());
        QTest::mouseClick(form.Command2, Qt::LeftButton);
        QTest::mouseClick(form.Command1, Qt::LeftButton);
        form.Menu_file_log->trigger();
    });
    const bool ran = form.guard.run("Command3_Click", [&] { clock.Delay(500); });
    EXPECT_TRUE(ran);
    EXPECT_EQ(seenDuringWait, QStringList{u"Command3_Click"_s});
    EXPECT_EQ(form.guard.refused(), 3);
    EXPECT_EQ(form.guard.current(), nullptr);

    // Once the handler has ended, the next click goes through.
    clock.duringWait(nullptr);
    QTest::mouseClick(form.Command2, Qt::LeftButton);
    EXPECT_EQ(form.guard.refused(), 3);
}

TEST(OperationGuard, NestedRunIsRefusedAndTheGuardIsReleasedAfterwards) {
    OperationGuard guard;
    int inner = 0;
    EXPECT_TRUE(guard.run("outer", [&] { EXPECT_FALSE(guard.run("inner", [&] { ++inner; })); }));
    EXPECT_EQ(inner, 0);
    EXPECT_TRUE(guard.run("again", [&] { ++inner; }));
    EXPECT_EQ(inner, 1);
}

} // namespace
