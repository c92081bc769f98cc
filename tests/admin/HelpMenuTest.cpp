// The help menu hands the maker's web page and a help-request mail link to the shell; the settings
// file may name other addresses; the desktop shell gives them to xdg-open.

#include "platform/qt/DesktopShell.h"
#include "settings/ReadIniValue.h"
#include "tests/support/FormHarness.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString MailLink = u"mailto:support@velmora.example?subject=velmora-net help&Body="
                         u"使用此软件遇到：****问题，需要您的帮助，谢谢！"_s;

class HelpMenuTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;
    void SetUp() override { form = &h.start(); }
};

TEST_F(HelpMenuTest, EachClickOpensThePageOrANewMessageThroughTheShell) {
    form->Menu_help_about->trigger();
    form->Menu_help_conn->trigger();
    form->Menu_help_conn->trigger();
    ASSERT_EQ(h.shell.calls.size(), 3u);
    const auto& about = h.shell.calls[0];
    EXPECT_EQ(about.operation, u"open"_s);
    EXPECT_EQ(about.file, u"www.velmora.example"_s);
    EXPECT_TRUE(about.parameters.isEmpty());
    EXPECT_TRUE(about.directory.isEmpty());
    EXPECT_EQ(about.showCmd, 1);
    for (std::size_t i : {1u, 2u}) {
        EXPECT_EQ(h.shell.calls[i].operation, u"open"_s);
        EXPECT_EQ(h.shell.calls[i].file, MailLink);
        EXPECT_EQ(h.shell.calls[i].showCmd, 1);
    }
    EXPECT_TRUE(h.dialogs.shown.empty()) << "nothing is reported";
}

TEST_F(HelpMenuTest, TheSettingsFileMayNameOtherAddressesAndStartUpWritesNone) {
    EXPECT_FALSE(h.settingsFile().contains("[Help]"));
    form->Menu_help_about->trigger();
    EXPECT_FALSE(h.settingsFile().contains("[Help]")) << "reading the defaults writes nothing";

    auto& profiles = h.machine.profiles();
    ASSERT_TRUE(profiles.WritePrivateProfileString(u"Help"_s, u"WebPage"_s, u"www.hoster.example.net"_s,
                                                   settings::SettingsFile));
    ASSERT_TRUE(profiles.WritePrivateProfileString(u"Help"_s, u"MailAddress"_s, u"help@hoster.example.net"_s,
                                                   settings::SettingsFile));
    form->Menu_help_about->trigger();
    form->Menu_help_conn->trigger();
    ASSERT_EQ(h.shell.calls.size(), 3u);
    EXPECT_EQ(h.shell.calls[1].file, u"www.hoster.example.net"_s);
    EXPECT_TRUE(
        h.shell.calls[2].file.startsWith(u"mailto:help@hoster.example.net?subject=velmora-net help&Body="_s));

    // An empty key means the default again.
    ASSERT_TRUE(profiles.WritePrivateProfileString(u"Help"_s, u"WebPage"_s, u""_s, settings::SettingsFile));
    form->Menu_help_about->trigger();
    EXPECT_EQ(h.shell.calls[3].file, u"www.velmora.example"_s);
}

// The desktop shell on Linux: xdg-open gets a web page with its scheme and the mail link encoded
// as a URL, blank and Chinese text included.
TEST(DesktopShell, HandsThePageAndTheMailLinkToXdgOpen) {
    QTemporaryDir bin;
    const QString record = bin.filePath(u"opened.txt"_s);
    {
        QFile script(bin.filePath(u"xdg-open"_s));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + record.toUtf8() + "'\n");
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);
    for (const char* name : {"BROWSER", "DEFAULT_BROWSER", "XDG_CURRENT_DESKTOP", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID", "DESKTOP_SESSION"})
        qunsetenv(name);

    platform::DesktopShell shell;
    shell.ShellExecute(u"open"_s, u"www.velmora.example"_s, QString(), QString(), 1);
    shell.ShellExecute(u"open"_s, MailLink, u""_s, u""_s, 1);
    shell.ShellExecute(u"print"_s, u"www.velmora.example"_s, QString(), QString(), 1); // not an open: ignored
    QStringList opened;
    for (int i = 0; i < 100 && opened.size() < 2; ++i) {
        QTest::qWait(50);
        QFile f(record);
        if (f.open(QIODevice::ReadOnly))
            opened = QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    qputenv("PATH", path);
    ASSERT_EQ(opened.size(), 2) << opened.join(u" | "_s).toStdString();
    EXPECT_EQ(opened.count(u"http://www.velmora.example"_s), 1) << opened.join(u" | "_s).toStdString();
    const QString mail = opened[0].startsWith(u"mailto:"_s) ? opened[0] : opened[1];
    EXPECT_EQ(QUrl(mail, QUrl::StrictMode).toString(), MailLink) << mail.toStdString();
    EXPECT_TRUE(
        mail.startsWith(u"mailto:support@velmora.example?subject=velmora-net%20help&Body=%E4%BD%BF"_s))
        << mail.toStdString();
}

} // namespace
