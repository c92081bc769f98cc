#include "emulation/w3svc/HttpErrorLog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace w3svc {

using namespace Qt::Literals::StringLiterals;

HttpErrorLog::HttpErrorLog(std::function<QString(const QString&)> hostPath)
    : m_hostPath(std::move(hostPath)) {}

QByteArray HttpErrorLog::line(const Entry& e) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC);
    QByteArray out = t.toString(u"yyyy-MM-dd hh:mm:ss "_s).toLatin1();
    appendW3cField(out, e.clientIp);
    out += QByteArray::number(e.clientPort) + ' ';
    appendW3cField(out, e.serverIp);
    out += QByteArray::number(e.serverPort) + ' ';
    appendW3cField(out, e.version);
    appendW3cField(out, e.method);
    appendW3cField(out, e.uri);
    out += QByteArray::number(e.status) + ' ';
    out += e.siteId == 0 ? QByteArray("- ") : QByteArray::number(e.siteId) + ' ';
    appendW3cField(out, e.reason);
    out += "-\r\n";
    return out;
}

void HttpErrorLog::write(const Entry& e) {
    std::lock_guard lock(m_lock);
    if (!m_file.isOpen() && !m_tried) {
        m_tried = true;
        const QString path = m_hostPath(u"C:\\WINDOWS\\system32\\LogFiles\\HTTPERR\\httperr1.log"_s);
        if (!path.isEmpty() && QDir().mkpath(QFileInfo(path).path())) {
            const QDateTime t = QDateTime::fromMSecsSinceEpoch(e.timeMs, Qt::UTC);
            m_file.open(path,
                        "#Software: Microsoft HTTP API 1.0\r\n#Version: 1.0\r\n#Date: " +
                            t.toString(u"yyyy-MM-dd hh:mm:ss"_s).toLatin1() +
                            "\r\n#Fields: date time c-ip c-port s-ip s-port cs-version cs-method cs-uri "
                            "sc-status s-siteid s-reason s-queuename \r\n");
        }
    }
    if (m_file.isOpen())
        m_file.append(line(e));
}

void HttpErrorLog::flush() {
    std::lock_guard lock(m_lock);
    m_file.flush();
}

} // namespace w3svc
