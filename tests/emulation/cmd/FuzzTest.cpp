// cmd.exe under hostile input: random and crafted lines never crash the interpreter, never hang
// it, always end with an exit status, and change nothing outside the machine's drives.

#include "emulation/cmd/Interpreter.h"
#include "tests/support/TempMachine.h"

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <map>

using namespace Qt::Literals::StringLiterals;

namespace {

// Every file and folder below root with its size and time, except the machine's drives and the
// files the machine itself keeps (its database and its journal).
std::map<QString, QString> outsideTheDrives(const QString& root) {
    std::map<QString, QString> out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = path.mid(root.size());
        if (rel.startsWith(u"/machine/drives"_s) || rel.startsWith(u"/machine/machine.db"_s) ||
            rel == u"/machine/journal.log"_s)
            continue;
        const QFileInfo info(path);
        // A folder's time changes with the files the machine keeps in it; a file's must not.
        out[rel] = info.isDir() ? u"folder"_s
                                : QString::number(info.size()) + u' ' +
                                      info.lastModified().toString(Qt::ISODateWithMs);
    }
    return out;
}

// Words and characters that cmd.exe and the machine's programs give a meaning to.
const QStringList Pieces = {
    u"\""_s,
    u"^"_s,
    u"%"_s,
    u"&"_s,
    u"&&"_s,
    u"|"_s,
    u"||"_s,
    u"<"_s,
    u">"_s,
    u">>"_s,
    u"2>&1"_s,
    u"2>"_s,
    u" "_s,
    u"  "_s,
    u"\t"_s,
    u"\x01"_s,
    u"\x1b"_s,
    u"\r"_s,
    u"\n"_s,
    u"\x7f"_s,
    u"cmd /c "_s,
    u"cmd.exe /c \""_s,
    u"net user "_s,
    u"net localgroup "_s,
    u"/add"_s,
    u"/delete"_s,
    u"/active:no"_s,
    u"/expires:"_s,
    u"/fullname:\""_s,
    u" * "_s,
    u"md "_s,
    u"MkDir "_s,
    u"copy "_s,
    u"type "_s,
    u"echo "_s,
    u"echo y| "_s,
    u"icacls "_s,
    u"cacls "_s,
    u" /t /e /g "_s,
    u" /grant "_s,
    u" /grant:r "_s,
    u" /deny "_s,
    u" /remove "_s,
    u"(OI)(CI)(F)"_s,
    u":F"_s,
    u":(RD,WD)"_s,
    u"iisreset "_s,
    u"/status"_s,
    u"D:\\"_s,
    u"C:\\"_s,
    u"Q:\\"_s,
    u"..\\"_s,
    u"\\.."_s,
    u"nul"_s,
    u"con"_s,
    u"aux"_s,
    u"%PATH%"_s,
    u"%COMSPEC%"_s,
    u"%SystemRoot%"_s,
    u"*"_s,
    u"?"_s,
    u"网站"_s,
    u"Administrator"_s,
    u"users"_s,
    u"exit "_s,
    u"rem "_s,
    u"/"_s,
    u":"_s,
    u";"_s,
    u","_s,
    u"="_s,
    u"("_s,
    u")"_s,
    u"*S-1-5-32-544"_s,
    u"x"_s,
    u"site"_s,
    u"."_s,
    u"\\"_s,
    u"D:\\WebRoot\\"_s,
    u"velmoraconv"_s,
    u"\\\\server\\share"_s,
    u"/?"_s,
};

QString randomLine(QRandomGenerator& rng) {
    const int kind = rng.bounded(100);
    // Mostly short lines; some near and over the 8,191-character limit; a few of 100,000.
    const qsizetype length = kind < 88   ? rng.bounded(160)
                             : kind < 98 ? rng.bounded(7000, 9000)
                                         : rng.bounded(90000, 100001);
    QString line;
    while (line.size() < length) {
        if (rng.bounded(4) == 0)
            line += QChar(static_cast<char16_t>(rng.bounded(1, 0x3000)));
        else
            line += Pieces[rng.bounded(static_cast<int>(Pieces.size()))];
    }
    return line.left(length);
}

// Lines an attacker would try on purpose.
QStringList craftedLines() {
    return {
        u"cmd /c "_s.repeated(1200) + u"md D:\\deep"_s,
        u"cmd/c "_s.repeated(1360) + u"echo x"_s,
        u"md D:"_s + u"\\a"_s.repeated(50000),
        u"md D:\\"_s + QString(100000, u'x'),
        u"echo x>"_s.repeated(400),
        u"echo x&"_s.repeated(1100),
        u"echo x|"_s.repeated(1100) + u"echo end"_s,
        u"^"_s.repeated(8000),
        u"\""_s.repeated(8191),
        u"%"_s.repeated(8191),
        u"%PATH%"_s.repeated(1300),
        u"md D:\\x & md D:\\x\\..\\..\\..\\..\\..\\escape & type D:\\..\\..\\machine.db"_s,
        u"echo x > D:\\..\\..\\..\\outside.txt"_s,
        u"echo x > \\\\server\\share\\x.txt"_s,
        u"copy C:\\..\\..\\..\\etc\\passwd D:\\"_s,
        u"type /etc/passwd"_s,
        u"md \"D:\\a\\0b\""_s,
        u"icacls D:\\ /grant \"*S-1-5-"_s + u"1-"_s.repeated(3000) + u"1:F\""_s,
        u"net user "_s + QString(5000, u'a') + u" pw /add"_s,
        u"net localgroup "_s + QString(5000, u'g') + u" /add"_s,
        u"net user x /expires:99999999/1/1"_s,
        u"cacls D:\\ /t /e /g "_s + u"users:F "_s.repeated(900),
        u"<nul"_s,
        u">"_s,
        u"2>&9 echo x"_s,
        u"echo x 1>&2 2>&1"_s,
        QString(8191, QChar(u'\x01')),
    };
}

TEST(InterpreterFuzz, HostileLinesEndWithAStatusAndStayInsideTheDrives) {
    testing_support::TempMachine m;
    const QString root = QFileInfo(m.folder()).path();
    m.writeFile(u"D:\\WebRoot\\site\\index.html"_s, "x");
    const auto before = outsideTheDrives(root);
    ASSERT_FALSE(before.empty());

    QRandomGenerator rng(20261207); // fixed: the same lines on every run
    QStringList lines = craftedLines();
    for (int i = 0; i < 2000; ++i)
        lines << randomLine(rng);
    QElapsedTimer timer;
    for (const QString& line : lines) {
        timer.start();
        const auto result = m->interpreter().RunHidden(u"cmd.exe /c "_s + line);
        const qint64 took = timer.elapsed();
        ASSERT_TRUE(result.ok()) << "not started: " << line.left(200).toStdString();
        // Every line ends, each within a second (the limit is far above what a line takes).
        EXPECT_LT(took, 1000) << line.size() << " characters: " << line.left(200).toStdString();
    }
    EXPECT_EQ(outsideTheDrives(root), before) << "something outside the drives changed";
    EXPECT_EQ(m.readFile(u"D:\\WebRoot\\site\\index.html"_s).isEmpty(), false);
}

} // namespace
