// Log extraction on the real window over a real machine: the checks in their order, the command
// line, the tool's W3C log in the site's "\log" folder, and the tool's failure reported as one.

#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/metabase/MetabaseStore.h"
#include "tests/support/FormHarness.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 March15 = 1773532800000; // 2026-03-15 00:00:00 UTC, the machine's date in the harness

iislog::LogRecord request(quint32 site, int n) {
    iislog::LogRecord r;
    r.timeMs = March15 + n * 60000;
    r.siteId = site;
    r.clientIp = u"203.0.113.9"_s;
    r.serverIp = u"192.168.1.10"_s;
    r.serverPort = 80;
    r.method = u"GET"_s;
    r.uriStem = u"/page%1.html"_s.arg(n);
    r.status = 200;
    r.bytesSent = 1000;
    r.bytesReceived = 300;
    r.timeTaken = 10;
    r.protocolVersion = u"HTTP/1.1"_s;
    r.host = site == 10000 ? u"www.myweb.example"_s : u"www.other.example"_s;
    return r;
}

class LogExtractionTest : public ::testing::Test {
protected:
    testing_support::FormHarness h;
    Form1* form = nullptr;

    void SetUp() override { form = &h.start(); }

    // The log folder set through the menu, on drive D:'s root.
    void setLogFolder() {
        h.dialogs.folder(u"D:\\"_s);
        form->Menu_file_log->trigger();
        ASSERT_EQ(form->state.LogFolder, u"D:\\iislog"_s);
        h.dialogs.shown.clear();
    }
    // A site as the program makes it, with its folders, selected as a row click selects it.
    void makeSite(const QString& number, const QString& name) {
        auto service = h.machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
        auto site = service->Create(u"IIsWebServer"_s, number).value();
        site->Put(u"ServerComment"_s, name);
        site->Put(u"ServerBindings"_s,
                  platform::MetaValue(QStringList{u":80:www."_s + name + u".example"_s}));
        ASSERT_TRUE(site->SetInfo().ok());
        auto root = site->Create(u"IIsWebVirtualDir"_s, u"ROOT"_s).value();
        root->Put(u"Path"_s, u"D:\\WebRoot\\"_s + name + u"\\web"_s);
        ASSERT_TRUE(root->SetInfo().ok());
        for (const QString& sub : {u"web"_s, u"log"_s})
            ASSERT_TRUE(QDir().mkpath(h.machine->hostPath(u"D:\\WebRoot\\"_s + name + u'\\' + sub)));
    }
    void select(const QString& number, const QString& path) {
        form->state.SelectedSiteId = number;
        form->state.SelectedSitePath = path;
        form->txtSitePath->setText(path);
    }
    void writeDay(const QVector<iislog::LogRecord>& records) {
        ASSERT_TRUE(QDir().mkpath(h.machine->hostPath(u"D:\\iislog\\W3SVC"_s)));
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(h.machine->hostPath(u"D:\\iislog\\W3SVC\\ra260315.ibl"_s)));
        for (const auto& r : records)
            writer.append(r);
        ASSERT_TRUE(writer.flush());
    }
    void extract() {
        h.dialogs.shown.clear();
        QTest::mouseClick(form->Command4, Qt::LeftButton);
    }
    QStringList toolRuns() const {
        QStringList lines = h.journal();
        lines.removeIf([](const QString& l) { return !l.contains(u"velmoraconv"_s); });
        return lines;
    }
    QStringList logLines(const QString& windowsPath) const {
        return QString::fromUtf8(h.machine.readFile(windowsPath)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    }
    void expectOnlyBox(const QString& prompt, int style, const QString& title) {
        ASSERT_EQ(h.dialogs.shown.size(), 1u) << prompt.toStdString();
        EXPECT_EQ(h.dialogs.shown[0].prompt, prompt);
        EXPECT_EQ(h.dialogs.shown[0].style, style);
        EXPECT_EQ(h.dialogs.shown[0].title, title);
    }
};

TEST_F(LogExtractionTest, RefusesInOrderWithoutRunningTheTool) {
    using platform::msgbox::Information;
    EXPECT_EQ(form->timedate->text(), u"20260315"_s);
    extract(); // nothing selected, log folder never set
    expectOnlyBox(u"未选网站无法提取，请选择！"_s, Information, u"错误"_s);

    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    // Exactly eight digits; a date that is no day passes (the tool finds no log for it).
    for (const QString& date : {u"2026031"_s, u"202603150"_s, QString(), u"2026031x"_s, u"２０２６０３１５"_s,
                                u" 2026031"_s, u"20260315\n"_s}) {
        form->timedate->setText(date);
        extract();
        expectOnlyBox(u"提取日期格式不正确！"_s, Information, u"错误"_s);
    }
    form->timedate->setText(u"20269999"_s);
    extract();
    expectOnlyBox(u"您还未设置日志目录，无法提取！"_s, Information, u"错误信息"_s);

    setLogFolder();
    form->timedate->setText(u"20260315"_s);
    select(u"10000"_s, u"D:\\"_s);
    extract();
    expectOnlyBox(u"网站目录不正确，无法提取！"_s, Information, u"错误"_s);
    EXPECT_TRUE(toolRuns().isEmpty());
}

TEST_F(LogExtractionTest, APastedOrDroppedDateThatIsNoDateRunsNothing) {
    setLogFolder();
    makeSite(u"10000"_s, u"myweb"_s);
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    const QStringList before = h.journal();
    // The key filter sees no key: the text arrives through the clipboard and the context menu's
    // paste, as the operator pastes it.
    form->timedate->clear();
    QApplication::clipboard()->setText(u"20\"&md x"_s);
    form->timedate->setFocus();
    form->timedate->paste();
    ASSERT_EQ(form->timedate->text(), u"20\"&md x"_s);
    extract();
    expectOnlyBox(u"提取日期格式不正确！"_s, platform::msgbox::Information, u"错误"_s);
    EXPECT_EQ(h.journal(), before) << "nothing ran";
    EXPECT_FALSE(QFileInfo::exists(h.machine->hostPath(u"C:\\x"_s)));
    EXPECT_FALSE(QFileInfo::exists(h.machine->hostPath(u"D:\\x"_s)));

    // A site whose directory another tool stored with a quote: its path would end the quoted query.
    form->timedate->setText(u"20260315"_s);
    select(u"10000"_s, u"D:\\WebRoot\\a\"&md y&\"\\web"_s);
    extract();
    expectOnlyBox(u"网站目录不正确，无法提取！"_s, platform::msgbox::Information, u"错误"_s);
    EXPECT_EQ(h.journal(), before) << "nothing ran";
}

TEST_F(LogExtractionTest, AReportClearsTheSelection) {
    setLogFolder();
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    form->ReportResult(u"Editweb"_s);
    extract();
    ASSERT_FALSE(h.dialogs.shown.empty());
    EXPECT_EQ(h.dialogs.shown.back().prompt, u"未选网站无法提取，请选择！"_s);
}

TEST_F(LogExtractionTest, WritesTheSitesRequestsOfTheDayIntoItsLogFolder) {
    setLogFolder();
    makeSite(u"10000"_s, u"myweb"_s);
    makeSite(u"10001"_s, u"other"_s);
    QVector<iislog::LogRecord> day;
    for (int n = 0; n < 30; ++n)
        day << request(n % 3 == 0 ? 10001 : 10000, n);
    writeDay(day);
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    form->txtSitePath->setText(u"D:\\WebRoot\\other\\web"_s); // the path box no longer shows the site
    const std::size_t waitsBefore = h.clock.waits().size();
    extract();

    expectOnlyBox(u"提取成功，请在FTP\\log下察看"_s, platform::msgbox::Information, u"提示"_s);
    EXPECT_EQ(toolRuns(), QStringList{u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c "
                                      "\"select * into D:\\WebRoot\\myweb\\log\\ex260315.log from "
                                      "D:\\iislog\\W3SVC\\ra260315.ibl where siteid=10000\""_s});
    EXPECT_EQ(std::vector<int>(h.clock.waits().begin() + static_cast<std::ptrdiff_t>(waitsBefore),
                               h.clock.waits().end()),
              (std::vector<int>{500, 500}));
    const QStringList lines = logLines(u"D:\\WebRoot\\myweb\\log\\ex260315.log"_s);
    ASSERT_EQ(lines.size(), 4 + 20);
    EXPECT_EQ(lines[1], u"#Version: 1.0"_s);
    for (const QString& line : lines.mid(4)) {
        EXPECT_TRUE(line.startsWith(u"2026-03-15 "_s)) << line.toStdString();
        EXPECT_TRUE(line.contains(u" W3SVC10000 "_s)) << line.toStdString();
    }
    EXPECT_TRUE(h.machine.readFile(u"D:\\WebRoot\\other\\log\\ex260315.log"_s).isEmpty());
}

TEST_F(LogExtractionTest, ADayWithoutALogIsAFailedExtraction) {
    setLogFolder();
    makeSite(u"10000"_s, u"myweb"_s);
    writeDay({request(10000, 1)});
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    form->timedate->setText(u"20260316"_s);
    extract();
    expectOnlyBox(u"提取失败：日志文件不存在：D:\\iislog\\W3SVC\\ra260316.ibl"_s,
                  platform::msgbox::Exclamation, u"错误"_s);
    EXPECT_FALSE(QFile::exists(h.machine->hostPath(u"D:\\WebRoot\\myweb\\log\\ex260316.log"_s)));
}

TEST_F(LogExtractionTest, AMissingToolIsAFailedExtraction) {
    setLogFolder();
    makeSite(u"10000"_s, u"myweb"_s);
    writeDay({request(10000, 1)});
    QFile::remove(h.machine->hostPath(u"C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s));
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    extract();
    ASSERT_EQ(h.dialogs.shown.size(), 1u);
    EXPECT_TRUE(h.dialogs.shown[0].prompt.startsWith(u"提取失败："_s))
        << h.dialogs.shown[0].prompt.toStdString();
    EXPECT_EQ(h.dialogs.shown[0].style, platform::msgbox::Exclamation);
}

// A new operator's first day: the log folder on D:\, a thousand requests of the site, one extraction.
TEST_F(LogExtractionTest, TrafficOfTheToolIsExtractedLineForLine) {
    setLogFolder();
    makeSite(u"10000"_s, u"myweb"_s);
    makeSite(u"10001"_s, u"other"_s);
    for (const auto& [site, count] : {std::pair{u"10000"_s, u"1000"_s}, std::pair{u"10001"_s, u"250"_s}}) {
        QProcess traffic;
        traffic.start(QStringLiteral(VELMORA_MACHINE_BIN),
                      {u"traffic"_s, u"--machine"_s, h.machine.folder(), u"--site"_s, site, u"--requests"_s,
                       count}); // the day: the machine's today, as the date box shows it
        ASSERT_TRUE(traffic.waitForFinished(60000));
        ASSERT_EQ(traffic.exitCode(), 0) << traffic.readAllStandardError().toStdString();
        EXPECT_EQ(QString::fromUtf8(traffic.readAllStandardOutput()).trimmed(),
                  u"已向 D:\\iislog\\W3SVC\\ra260315.ibl 写入网站 %1 的 %2 条请求。"_s.arg(site, count));
    }
    select(u"10000"_s, u"D:\\WebRoot\\myweb\\web"_s);
    extract();
    expectOnlyBox(u"提取成功，请在FTP\\log下察看"_s, platform::msgbox::Information, u"提示"_s);

    const QStringList lines = logLines(u"D:\\WebRoot\\myweb\\log\\ex260315.log"_s);
    ASSERT_EQ(lines.size(), 4 + 1000);
    QString previous;
    for (const QString& line : lines.mid(4)) {
        const QStringList fields = line.split(u' ');
        ASSERT_EQ(fields.size(), 21) << line.toStdString();
        EXPECT_EQ(fields[0], u"2026-03-15"_s);
        EXPECT_EQ(fields[2], u"W3SVC10000"_s);
        EXPECT_EQ(fields[14], u"www.myweb.example"_s) << "the host comes from the site's binding";
        EXPECT_GE(fields[1], previous) << "in time order";
        previous = fields[1];
    }
}

TEST_F(LogExtractionTest, TheDateTakesDigitsBackspaceAndEnterOnly) {
    for (int code : {48, 57, 53, 8, 13}) {
        int key = code;
        form->timedate_KeyPress(key);
        EXPECT_EQ(key, code);
    }
    EXPECT_TRUE(form->Label12->text().isEmpty());
    for (int code : {97, 45, 32, 47, 22, -27700}) {
        int key = code;
        form->timedate_KeyPress(key);
        EXPECT_EQ(key, 0) << code;
        EXPECT_EQ(form->Label12->text(), u"日期必须是数字！"_s);
    }
    int digit = 49;
    form->timedate_KeyPress(digit);
    EXPECT_EQ(form->Label12->text(), u"日期必须是数字！"_s) << "nothing clears the hint again";
}

TEST_F(LogExtractionTest, TypingIntoTheDateBoxKeepsOnlyDigits) {
    form->timedate->clear();
    form->timedate->setFocus();
    QTest::keyClicks(form->timedate, u"2026a12-07"_s);
    EXPECT_EQ(form->timedate->text(), u"20261207"_s);
    EXPECT_EQ(form->Label12->text(), u"日期必须是数字！"_s);
    QTest::keyClick(form->timedate, Qt::Key_Backspace);
    EXPECT_EQ(form->timedate->text(), u"2026120"_s);
}

TEST(TrafficCommand, RefusesWithoutCentralLoggingAnUnknownSiteOrABadDate) {
    testing_support::TempMachine machine;
    auto run = [&](const QStringList& args) {
        QProcess p;
        p.start(QStringLiteral(VELMORA_MACHINE_BIN),
                QStringList{u"traffic"_s, u"--machine"_s, machine.folder()} + args);
        EXPECT_TRUE(p.waitForFinished(60000));
        return std::pair{p.exitCode(), QString::fromUtf8(p.readAllStandardError()).trimmed()};
    };
    EXPECT_EQ(run({u"--site"_s, u"1"_s}),
              std::pair(1, u"Web 服务未启用中央二进制日志：请先在 Velmora 中设置日志目录。"_s));
    auto service = machine->metabase().Bind(u"IIS://LocalHost/W3SVC"_s).value();
    service->Put(u"CentralBinaryLoggingEnabled"_s, true);
    service->Put(u"LogFileDirectory"_s, u"D:\\iislog"_s);
    ASSERT_TRUE(service->SetInfo().ok());
    EXPECT_EQ(run({u"--site"_s, u"10000"_s}), std::pair(1, u"网站 10000 不存在。"_s));
    EXPECT_EQ(run({u"--site"_s, u"1"_s, u"--date"_s, u"20260230"_s}),
              std::pair(1, u"日期不正确（应为 yyyymmdd）：20260230"_s));
    EXPECT_EQ(run({u"--site"_s, u"1"_s, u"--date"_s, u"20260228"_s, u"--requests"_s, u"3"_s}).first, 0);
    iislog::Reader reader;
    ASSERT_TRUE(reader.open(machine->hostPath(u"D:\\iislog\\W3SVC\\ra260228.ibl"_s)));
    EXPECT_EQ(reader.header().day, 20260228u);
    iislog::LogRecord r;
    int n = 0;
    while (reader.next(r)) {
        EXPECT_EQ(r.siteId, 1u);
        EXPECT_EQ(QDateTime::fromMSecsSinceEpoch(r.timeMs, QTimeZone::utc()).date(), QDate(2026, 2, 28));
        ++n;
    }
    EXPECT_EQ(n, 3);
}

} // namespace
