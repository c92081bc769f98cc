// velmoraconv: the W3C extended log of one site, exactly as IIS 6 writes it, and every failure with a
// clear message, a non-zero status and no output file left behind. Run in-process, as the Linux
// executable and as the machine's program started by the interpreter.

#include "emulation/cmd/Interpreter.h"
#include "emulation/files/FileSystem.h"
#include "emulation/iislog/CentralBinaryLog.h"
#include "emulation/programs/velmoraconv/Conversion.h"
#include "tests/emulation/SmallDisk.h"
#include "tests/iislog/BitwiseCrc.h"
#include "tests/support/TempMachine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;
using iislog::LogRecord;

namespace {

constexpr qint64 Jan5 = 1704412800000; // 2024-01-05 00:00:00 UTC

// A small day: two sites interleaved, with empty values, blanks and Chinese text.
QVector<LogRecord> smallDay() {
    LogRecord home;
    home.timeMs = Jan5 + 3661000 + 250; // 01:01:01.250
    home.siteId = 10000;
    home.clientIp = u"192.0.2.10"_s;
    home.serverIp = u"198.51.100.7"_s;
    home.serverPort = 80;
    home.method = u"GET"_s;
    home.uriStem = u"/index.html"_s;
    home.status = 200;
    home.win32Status = 0;
    home.bytesSent = 5322;
    home.bytesReceived = 412;
    home.timeTaken = 15;
    home.protocolVersion = u"HTTP/1.1"_s;
    home.host = u"www.example.com"_s;
    home.userAgent = u"Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)"_s;
    home.referrer = u"http://www.example.com/"_s;

    LogRecord other = home;
    other.siteId = 10001;
    other.host = u"other.example.net"_s;
    other.timeMs += 500;

    LogRecord query = home;
    query.timeMs = Jan5 + 86399000; // 23:59:59
    query.method = u"POST"_s;
    query.uriStem = u"/留言/post.asp"_s;
    query.uriQuery = u"id=7&q=a b"_s;
    query.serverPort = 8080;
    query.userName = u"IUSR_myweb"_s;
    query.status = 404;
    query.substatus = 2;
    query.win32Status = 2;
    query.bytesSent = 1635;
    query.bytesReceived = 0;
    query.timeTaken = 0;
    query.cookie = u"ASPSESSIONID=ABC; lang=zh\tcn"_s;
    query.referrer.clear();
    query.userAgent.clear();
    return {home, other, query};
}

struct RunResult {
    int status;
    QString output;
};

RunResult runTool(const QStringList& args, qint64 partBytes = velmoraconv::defaultPartBytes()) {
    velmoraconv::PathResolver paths;
    paths.input = [](const QString& p) {
        return velmoraconv::Resolved{p, {}, velmoraconv::Success};
    };
    paths.output = [](const QString& p) {
        return velmoraconv::Resolved{p, {}, velmoraconv::Success};
    };
    RunResult r;
    r.status = velmoraconv::run(args, paths, r.output, partBytes);
    return r;
}

QStringList query(const QString& output, const QString& input, const QString& site) {
    return {u"-i:BIN"_s, u"-o:w3c"_s, u"select * into %1 from %2 where siteid=%3"_s.arg(output, input, site)};
}

QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

class Velmoraconv : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString log = dir.filePath(u"ra240105.ibl"_s);
    QString out = dir.filePath(u"ex240105.log"_s);

    void SetUp() override {
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(log, QDate(2024, 1, 5)));
        for (const auto& r : smallDay())
            writer.append(r);
        ASSERT_TRUE(writer.flush());
    }
    // Files in the temporary folder: a failed run leaves no temporary or partial file behind.
    QStringList files() const { return QDir(dir.path()).entryList(QDir::Files, QDir::Name); }
};

TEST_F(Velmoraconv, WritesTheSitesW3cExtendedLogExactly) {
    const auto r = runTool(query(out, log, u"10000"_s));
    EXPECT_EQ(r.status, 0) << r.output.toStdString();
    EXPECT_EQ(r.output, u"网站 10000 的 2 条记录已写入 %1\r\n"_s.arg(out));
    EXPECT_EQ(readBytes(out), readBytes(QStringLiteral(VELMORA_TEST_DATA "/ex240105.log")));
}

TEST_F(Velmoraconv, KeepsOnlyTheAskedSiteAndWritesHeadersForASiteWithoutRequests) {
    ASSERT_EQ(runTool(query(out, log, u"10001"_s)).status, 0);
    const QStringList lines = QString::fromUtf8(readBytes(out)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[4].contains(u" W3SVC10001 "_s));
    EXPECT_TRUE(lines[4].contains(u" other.example.net "_s));

    ASSERT_EQ(runTool(query(out, log, u"4242"_s)).status, 0);
    EXPECT_EQ(readBytes(out), "#Software: velmoraconv 1.0\r\n#Version: 1.0\r\n#Date: 2024-01-05 00:00:00\r\n"
                              "#Fields: date time s-sitename s-ip cs-method cs-uri-stem cs-uri-query s-port "
                              "cs-username c-ip cs-version cs(User-Agent) cs(Cookie) cs(Referer) cs-host "
                              "sc-status sc-substatus sc-win32-status sc-bytes cs-bytes time-taken\r\n");
}

TEST_F(Velmoraconv, EveryBlankOrControlCharacterOfAValueIsWrittenAsPlus) {
    LogRecord r = smallDay()[0];
    r.siteId = 7;
    r.userAgent = u"a\u3000b\u00A0c\u3001d\u2003e\u0085f\u007Fg\u0001h\u00A1i\u2010j"_s;
    r.cookie = u" "_s;
    r.referrer = u"-"_s;
    {
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(log));
        writer.append(r);
    }
    ASSERT_EQ(runTool(query(out, log, u"7"_s)).status, 0);
    const QStringList lines = QString::fromUtf8(readBytes(out)).split(u"\r\n"_s, Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 5);
    const QStringList fields = lines[4].split(u' ');
    ASSERT_EQ(fields.size(), 21) << lines[4].toStdString();
    EXPECT_EQ(fields[11], u"a+b+c\u3001d+e+f+g+h\u00A1i\u2010j"_s);
    EXPECT_EQ(fields[12], u"+"_s);
    EXPECT_EQ(fields[13], u"-"_s);
}

TEST_F(Velmoraconv, TakesSwitchesAndKeywordsInAnyLetterCase) {
    const auto r = runTool(
        {u"-I:bin"_s, u"-O:W3C"_s, u"SELECT *  INTO %1 From %2 WHERE SiteID = 10000"_s.arg(out, log)});
    EXPECT_EQ(r.status, 0) << r.output.toStdString();
    EXPECT_EQ(readBytes(out), readBytes(QStringLiteral(VELMORA_TEST_DATA "/ex240105.log")));
}

TEST_F(Velmoraconv, RefusesWhatItDoesNotUnderstandWithoutWritingAnything) {
    const QString good = u"select * into %1 from %2 where siteid=10000"_s.arg(out, log);
    const std::vector<std::pair<QStringList, QString>> cases = {
        {{}, u"缺少 -i:BIN 或 -o:W3C 参数。"_s},
        {{u"-i:BIN"_s, good}, u"缺少 -i:BIN 或 -o:W3C 参数。"_s},
        {{u"-i:IISW3C"_s, u"-o:w3c"_s, good}, u"不支持的格式“-i:IISW3C”：只能从 BIN 转换为 W3C。"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"-q"_s, good}, u"无法识别的参数“-q”。"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s}, u"缺少查询语句。"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, good, u"extra"_s}, u"多余的参数“extra”。"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"select date into %1 from %2 where siteid=1"_s.arg(out, log)},
         u"无法理解的查询"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"select * into %1 from %2 where siteid=abc"_s.arg(out, log)},
         u"无法理解的查询"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"select * into %1 from %2 where siteid=0"_s.arg(out, log)},
         u"无法理解的查询"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"select * into %1 from %2 where siteid=4294967296"_s.arg(out, log)},
         u"无法理解的查询"_s},
        {{u"-i:BIN"_s, u"-o:w3c"_s, u"select * from %1 where siteid=1"_s.arg(log)}, u"无法理解的查询"_s},
    };
    for (const auto& [args, message] : cases) {
        const auto r = runTool(args);
        EXPECT_EQ(r.status, velmoraconv::BadArguments) << args.join(u' ').toStdString();
        EXPECT_TRUE(r.output.startsWith(message)) << r.output.toStdString();
        EXPECT_TRUE(r.output.contains(u"用法：velmoraconv"_s));
    }
    EXPECT_EQ(files(), QStringList{u"ra240105.ibl"_s});
}

TEST_F(Velmoraconv, AMissingOrDamagedInputFailsAndLeavesThePreviousOutputAlone) {
    {
        QFile previous(out);
        ASSERT_TRUE(previous.open(QIODevice::WriteOnly));
        previous.write("yesterday's extraction\r\n");
    }
    const QString missing = dir.filePath(u"ra240106.ibl"_s);
    auto r = runTool(query(out, missing, u"10000"_s));
    EXPECT_EQ(r.status, velmoraconv::BadInput);
    EXPECT_EQ(r.output, u"日志文件不存在：%1\r\n"_s.arg(missing));

    QByteArray damaged = readBytes(log);
    damaged[3] = 'x';
    {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(damaged);
    }
    r = runTool(query(out, log, u"10000"_s));
    EXPECT_EQ(r.status, velmoraconv::BadInput);
    EXPECT_EQ(r.output, u"日志文件已损坏（文件头无效）：%1\r\n"_s.arg(log));
    EXPECT_EQ(readBytes(out), "yesterday's extraction\r\n");
    EXPECT_EQ(files(), (QStringList{u"ex240105.log"_s, u"ra240105.ibl"_s}));
}

TEST_F(Velmoraconv, AnUnwritableOutputFails) {
    const auto r = runTool(query(dir.filePath(u"no-such-folder/ex.log"_s), log, u"10000"_s));
    EXPECT_EQ(r.status, velmoraconv::BadOutput);
    EXPECT_TRUE(r.output.startsWith(u"无法写入输出文件 %1："_s.arg(dir.filePath(u"no-such-folder/ex.log"_s))))
        << r.output.toStdString();
    ASSERT_TRUE(QDir(dir.path()).mkdir(u"folder"_s));
    EXPECT_EQ(runTool(query(dir.filePath(u"folder"_s), log, u"10000"_s)).status, velmoraconv::BadOutput);
    EXPECT_EQ(files(), QStringList{u"ra240105.ibl"_s});
}

TEST_F(Velmoraconv, ACutOffLastRecordIsLeftOutAndReported) {
    QByteArray bytes = readBytes(log);
    bytes.chop(10);
    {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    const auto r = runTool(query(out, log, u"10000"_s));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.output.startsWith(u"警告：跳过了 1 处损坏或不完整的记录。"_s)) << r.output.toStdString();
    EXPECT_EQ(QString::fromUtf8(readBytes(out)).count(u"\r\n"_s), 5); // four headers, one request
}

TEST_F(Velmoraconv, TheLinuxExecutableReportsOnItsStreamsWithItsExitStatus) {
    QProcess p;
    p.start(QStringLiteral(VELMORACONV_BIN), query(out, log, u"10000"_s));
    ASSERT_TRUE(p.waitForFinished());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardOutput()),
              u"网站 10000 的 2 条记录已写入 %1\n"_s.arg(out));
    EXPECT_EQ(readBytes(out), readBytes(QStringLiteral(VELMORA_TEST_DATA "/ex240105.log")));

    p.start(QStringLiteral(VELMORACONV_BIN), query(out, dir.filePath(u"none.ibl"_s), u"10000"_s));
    ASSERT_TRUE(p.waitForFinished());
    EXPECT_EQ(p.exitCode(), velmoraconv::BadInput);
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
    EXPECT_EQ(QString::fromLocal8Bit(p.readAllStandardError()),
              u"日志文件不存在：%1\n"_s.arg(dir.filePath(u"none.ibl"_s)));
}

// The machine's drivers\velmoraconv.exe, started by the interpreter with the extraction's command line.
class VelmoraconvOnTheMachine : public ::testing::Test {
protected:
    testing_support::TempMachine machine;
    QString run(const QString& line, int* status) {
        auto result = machine->interpreter().RunHidden(line);
        EXPECT_TRUE(result.ok());
        *status = result ? result.value().exitCode : -1;
        return result ? result.value().output : QString();
    }
    void SetUp() override {
        machine.writeFile(u"C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s, "MZ");
        machine.writeFile(u"D:\\WebRoot\\myweb\\log\\placeholder.txt"_s, "");
        QDir().mkpath(machine->hostPath(u"D:\\iislog\\W3SVC"_s));
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(machine->hostPath(u"D:\\iislog\\W3SVC\\ra240105.ibl"_s)));
        for (const auto& r : smallDay())
            writer.append(r);
        ASSERT_TRUE(writer.flush());
    }
};

TEST_F(VelmoraconvOnTheMachine, RunsTheExtractionCommandLine) {
    int status = -1;
    const QString output = run(
        u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \"select * into "
        "D:\\WebRoot\\myweb\\log\\ex240105.log from D:\\iislog\\W3SVC\\ra240105.ibl where siteid=10000\""_s,
        &status);
    EXPECT_EQ(status, 0) << output.toStdString();
    EXPECT_EQ(output, u"网站 10000 的 2 条记录已写入 D:\\WebRoot\\myweb\\log\\ex240105.log\r\n"_s);
    EXPECT_EQ(machine.readFile(u"D:\\WebRoot\\myweb\\log\\ex240105.log"_s),
              readBytes(QStringLiteral(VELMORA_TEST_DATA "/ex240105.log")));
}

TEST_F(VelmoraconvOnTheMachine, NamesMachinePathsInItsFailures) {
    int status = -1;
    QString output =
        run(u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \"select * into "
            "D:\\WebRoot\\myweb\\log\\ex240106.log from D:\\iislog\\W3SVC\\ra240106.ibl where "
            "siteid=10000\""_s,
            &status);
    EXPECT_EQ(status, velmoraconv::BadInput);
    EXPECT_EQ(output, u"日志文件不存在：D:\\iislog\\W3SVC\\ra240106.ibl\r\n"_s);

    output = run(
        u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \"select * into "
        "D:\\WebRoot\\gone\\log\\ex240105.log from D:\\iislog\\W3SVC\\ra240105.ibl where siteid=10000\""_s,
        &status);
    EXPECT_EQ(status, velmoraconv::BadOutput);
    EXPECT_EQ(output, emulation::files::fserr::PathNotFound + u" D:\\WebRoot\\gone\\log\\ex240105.log\r\n"_s);
    EXPECT_FALSE(QFile::exists(machine->hostPath(u"D:\\WebRoot\\gone"_s)));
}

TEST_F(VelmoraconvOnTheMachine, IsNoProgramUntilInstalled) {
    QFile::remove(machine->hostPath(u"C:\\WINDOWS\\system32\\drivers\\velmoraconv.exe"_s));
    auto result = machine->interpreter().RunHidden(
        u"C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \"select * into D:\\x.log from "
        "D:\\iislog\\W3SVC\\ra240105.ibl where siteid=10000\""_s);
    EXPECT_FALSE(result.ok());
    EXPECT_FALSE(QFile::exists(machine->hostPath(u"D:\\x.log"_s)));
}

} // namespace

namespace {

quint32 crc32c(const QByteArray& data) {
    return testing_support::bitwiseCrc(0x82F63B78u, data);
}

// The tool never writes over the log it reads, however the output names it.
TEST_F(Velmoraconv, RefusesAnOutputThatIsItsInput) {
    const QByteArray before = readBytes(log);
    ASSERT_TRUE(QFile::link(log, dir.filePath(u"link.ibl"_s)));
    ASSERT_EQ(::link(QFile::encodeName(log).constData(),
                     QFile::encodeName(dir.filePath(u"hard.ibl"_s)).constData()),
              0);
    QDir().mkpath(dir.filePath(u"sub"_s));
    for (const QString& output : {log, dir.filePath(u"link.ibl"_s), dir.filePath(u"hard.ibl"_s),
                                  dir.filePath(u"sub/../ra240105.ibl"_s)}) {
        const auto r = runTool(query(output, log, u"10000"_s));
        EXPECT_EQ(r.status, 1) << output.toStdString();
        EXPECT_TRUE(r.output.contains(u"输出文件就是输入文件"_s)) << r.output.toStdString();
        EXPECT_EQ(readBytes(log), before);
    }
}

TEST_F(VelmoraconvOnTheMachine, RefusesAnOutputThatIsItsInputInAnotherLetterCase) {
    const QString host = machine->hostPath(u"D:\\iislog\\W3SVC\\ra240105.ibl"_s);
    const QByteArray before = readBytes(host);
    int status = -1;
    const QString output =
        run(u"cmd.exe /c C:\\Windows\\System32\\drivers\\velmoraconv -i:BIN -o:w3c \"select * into "
            "d:\\IISLOG\\w3svc\\RA240105.IBL from D:\\iislog\\W3SVC\\ra240105.ibl where siteid=10000\""_s,
            &status);
    EXPECT_EQ(status, 1) << output.toStdString();
    EXPECT_TRUE(output.contains(u"输出文件就是输入文件"_s)) << output.toStdString();
    EXPECT_EQ(readBytes(host), before);
}

// A named pipe or a device is no day's log: refused at once, never waited on or read as a day.
TEST_F(Velmoraconv, RefusesAnInputThatIsNoRegularFile) {
    const QString pipe = dir.filePath(u"pipe.ibl"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    for (const QString& input : {pipe, u"/dev/zero"_s}) {
        const auto r = runTool(query(out, input, u"10000"_s));
        EXPECT_EQ(r.status, velmoraconv::BadInput) << input.toStdString();
        EXPECT_TRUE(r.output.contains(u"不是普通文件"_s)) << r.output.toStdString();
        EXPECT_FALSE(QFile::exists(out));
    }
}

// The W3C log holds client addresses and cookies: only its owner reads it, whatever the umask.
TEST_F(Velmoraconv, TheLinuxExecutableWritesItsOutputForItsOwnerOnly) {
    const mode_t old = ::umask(0);
    QProcess p;
    p.start(QStringLiteral(VELMORACONV_BIN), query(out, log, u"10000"_s));
    const bool finished = p.waitForFinished();
    ::umask(old);
    ASSERT_TRUE(finished);
    ASSERT_EQ(p.exitCode(), 0);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(out).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Records with a sound checksum that no writer makes: times no W3C line can write are damage, and
// text that is not UTF-8 is escaped, so that the output is always a well-formed log.
TEST_F(Velmoraconv, AbsurdTimesAreDamageAndBadTextIsEscaped) {
    QByteArray bytes = readBytes(log);
    for (qint64 time : {std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min(),
                        qint64(253402300800000) /* 10000-01-01 */}) {
        LogRecord r = smallDay().first();
        r.timeMs = time;
        iislog::encodeRecord(r, bytes);
    }
    LogRecord bad = smallDay().first();
    bad.uriStem = u"/BAD"_s;
    iislog::encodeRecord(bad, bytes);
    // "/BAD" becomes a stray continuation byte and a sequence cut short by a lead byte, under a
    // checksum made again over the changed bytes.
    const qsizetype at = bytes.lastIndexOf("/BAD");
    bytes.replace(at, 4, QByteArray("\x80\xE4\xB8\xC0", 4));
    const qsizetype start = bytes.lastIndexOf(QByteArray("\xFF\xFE\x52\x43", 4));
    const qsizetype end = bytes.size();
    const quint32 sum = crc32c(bytes.mid(start + 4, end - start - 8));
    for (int i = 0; i < 4; ++i)
        bytes[end - 4 + i] = static_cast<char>(sum >> (8 * i));
    {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    const auto r = runTool(query(out, log, u"10000"_s));
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.output.startsWith(u"警告：跳过了 3 处损坏"_s)) << r.output.toStdString();
    const QByteArray text = readBytes(out);
    EXPECT_FALSE(text.contains("10000-")) << text.toStdString();
    EXPECT_FALSE(text.contains("-292275")) << text.toStdString();
    EXPECT_TRUE(text.contains(" %80%E4%B8%C0 ")) << text.toStdString();
    EXPECT_TRUE(QString::fromUtf8(text).toUtf8() == text) << "the log is UTF-8 text";
}

// A log read in parts side by side gives what one reader from start to end gives: the same lines,
// the same count, the same damage reported, whatever lies where one part ends and the next begins.
class VelmoraconvInParts : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString log = dir.filePath(u"ra240105.ibl"_s);
    QString out = dir.filePath(u"ex240105.log"_s);
    QByteArray header;

    void SetUp() override {
        iislog::Writer writer;
        ASSERT_TRUE(writer.open(log, QDate(2024, 1, 5)));
        writer.close();
        header = readBytes(log);
    }
    // Records of three sites, of varying lengths; site 10002 only in the second half.
    static QByteArray records(int from, int to) {
        QByteArray bytes;
        for (int n = from; n < to; ++n) {
            LogRecord r = smallDay()[n % 3];
            r.timeMs = Jan5 + n * 1000;
            r.siteId = n >= 150 && n % 5 == 0 ? 10002 : 10000 + static_cast<quint32>(n % 2);
            r.uriStem = u"/page/%1.html"_s.arg(QString(n % 17, u'x'));
            iislog::encodeRecord(r, bytes);
        }
        return bytes;
    }
    void setLog(const QByteArray& bytes) {
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes);
    }
    // Each site's output and report, read whole, in halves and in many small parts, are the same.
    void expectPartsAsWhole(const char* what) {
        SCOPED_TRACE(what);
        const qint64 size = QFileInfo(log).size();
        for (const QString& site : {u"10000"_s, u"10002"_s, u"10009"_s}) {
            const auto whole = runTool(query(out, log, site), std::numeric_limits<qint64>::max());
            const QByteArray wholeText = readBytes(out);
            for (const qint64 part : {size / 2, qint64(997), qint64(250)}) {
                ASSERT_TRUE(QFile::remove(out));
                const auto parts = runTool(query(out, log, site), part);
                const std::string trace = site.toStdString() + " in parts of " + std::to_string(part);
                EXPECT_EQ(parts.status, whole.status) << trace;
                EXPECT_EQ(parts.output, whole.output) << trace;
                EXPECT_EQ(readBytes(out), wholeText) << trace;
                EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
                    << "no scratch file left";
            }
        }
    }
    qint64 halves() const { return QFileInfo(log).size() / 2; }
};

TEST_F(VelmoraconvInParts, ASoundLogIsTheSame) {
    const QByteArray bytes = header + records(0, 300);
    setLog(bytes);
    expectPartsAsWhole("sound");
    const auto r = runTool(query(out, log, u"10002"_s), halves());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.output.contains(u"网站 10002 的 30 条记录"_s)) << r.output.toStdString();
    // Its first line is the first of the site, in the second half: the header's date is its time.
    EXPECT_TRUE(readBytes(out).contains("#Date: 2024-01-05 00:02:30\r\n")) << readBytes(out).toStdString();
}

TEST_F(VelmoraconvInParts, DamageAroundTheMiddleIsTheSame) {
    const QByteArray sound = header + records(0, 300);
    const qsizetype middle = sound.size() / 2;
    for (qsizetype at = middle - 400; at < middle + 400; at += 47) {
        QByteArray bytes = sound;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x21);
        setLog(bytes);
        expectPartsAsWhole(qPrintable(u"a changed byte at %1"_s.arg(at - middle)));
        // A stretch cut out, so that a record runs into the next one.
        setLog(sound.left(at) + sound.mid(at + 97));
        expectPartsAsWhole(qPrintable(u"97 bytes cut out at %1"_s.arg(at - middle)));
    }
    // False markers claiming the longest record, across the middle.
    QByteArray markers;
    for (int i = 0; i < 2000; ++i)
        markers += QByteArray("\xFF\xFE\x52\x43\x43\x00\x0B\x00", 8); // 720963 bytes long
    const QByteArray front = records(0, 150);
    setLog(header + front + markers + records(150, 300));
    expectPartsAsWhole("false markers");
}

// A disk that fills while the parts are written: the tool fails with the disk's message, the log
// it was to replace is still there, and nothing of the new one is left behind.
TEST_F(VelmoraconvInParts, AFullDiskFailsAndKeepsThePreviousLog) {
    testing_support::SmallDisk disk(1);
    VELMORA_NEED_SMALL_DISK(disk);
    setLog(header + records(0, 30000)); // more lines of site 10000 than the disk holds
    const QString kept = disk.path() + u"/ex240105.log"_s;
    {
        QFile previous(kept);
        ASSERT_TRUE(previous.open(QIODevice::WriteOnly));
        previous.write("#Software: the previous log\r\n");
    }
    const auto r = runTool(query(kept, log, u"10000"_s), 64 * 1024);
    EXPECT_EQ(r.status, velmoraconv::BadOutput);
    EXPECT_TRUE(r.output.contains(u"磁盘空间不足。"_s)) << r.output.toStdString();
    EXPECT_EQ(readBytes(kept), QByteArray("#Software: the previous log\r\n"));
    EXPECT_EQ(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"ex240105.log"_s});
}

// A record may hold the bytes of a whole sound record in a text (written by hand here): a reader
// started at the middle takes it for a record, one reading from the start never does. The output
// is still that of one reader from the start.
TEST_F(VelmoraconvInParts, ARecordHiddenInsideARecordAtTheMiddleIsNoRecord) {
    QByteArray hidden;
    LogRecord inner = smallDay().first();
    inner.uriStem = u"/hidden"_s;
    iislog::encodeRecord(inner, hidden);
    LogRecord outer = smallDay().first();
    outer.siteId = 10001;
    outer.uriQuery = QString(20000, u'a') + QString(hidden.size(), u'b');
    QByteArray carrier;
    iislog::encodeRecord(outer, carrier);
    const qsizetype at = carrier.indexOf(QByteArray(hidden.size(), 'b'));
    carrier.replace(at, hidden.size(), hidden);
    const quint32 sum = crc32c(carrier.mid(4, carrier.size() - 8));
    for (int i = 0; i < 4; ++i)
        carrier[carrier.size() - 4 + i] = static_cast<char>(sum >> (8 * i));
    const QByteArray bytes = header + records(0, 20) + carrier + records(20, 40);
    const qsizetype carrierAt = header.size() + records(0, 20).size();
    ASSERT_LT(carrierAt + at - 20000, bytes.size() / 2) << "the middle is in the text";
    ASSERT_GT(carrierAt + at, bytes.size() / 2) << "the hidden record after it";
    setLog(bytes);
    expectPartsAsWhole("a record inside a record");
    runTool(query(out, log, u"10000"_s), halves());
    EXPECT_FALSE(readBytes(out).contains("/hidden"));
}

} // namespace
