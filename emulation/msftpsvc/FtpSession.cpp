#include "emulation/msftpsvc/FtpSession.h"

#include "emulation/accounts/Security.h"
#include "emulation/msftpsvc/FtpListing.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;
namespace asio = boost::asio;
using asio::ip::tcp;
namespace rights = emulation::accounts::rights;

namespace {

// Windows' error numbers as the log writes them.
constexpr std::uint32_t FileNotFound = 2;
constexpr std::uint32_t PathNotFound = 3;
constexpr std::uint32_t AccessDenied = 5;
constexpr std::uint32_t DiskFull = 112;
constexpr std::uint32_t AlreadyExists = 183;
constexpr std::uint32_t DirNotEmpty = 145;
constexpr std::uint32_t LogonFailure = 1326;

const std::string Denied = "550 Access is denied.";
// An upload is written beside its file under this name until it is whole; listings leave it out.
constexpr const char* TempPrefix = ".~velmora-upload-";

std::string upper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// Telnet's IAC sequences (the interrupt and synch clients send before ABOR) are no part of a command.
std::string withoutTelnet(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    for (size_t i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c == 0xff && i + 1 < line.size()) {
            const auto next = static_cast<unsigned char>(line[i + 1]);
            i += next >= 0xfb && next <= 0xfe ? 2 : 1; // WILL/WONT/DO/DONT take an option byte
            continue;
        }
        if (c == 0xf2 && out.empty())
            continue; // the Data Mark after urgent data
        out.push_back(line[i]);
    }
    return out;
}

// A command as it may be repeated in a reply: printable, bounded.
std::string echo(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 256))
        out.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c);
    return out;
}

QString nameOf(const VirtualPath& p) {
    return p.names.isEmpty() ? u"/"_s : p.names.back();
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

FtpSession::FtpSession(tcp::socket socket, FtpService& service, std::shared_ptr<const FtpEndpoint> endpoint)
    : m_control(std::move(socket)), m_service(service), m_endpoint(std::move(endpoint)),
      m_idle(m_control.get_executor()), m_delay(m_control.get_executor()) {
    boost::system::error_code ec;
    const auto peer = m_control.remote_endpoint(ec);
    if (!ec) {
        m_clientAddress = peer.address();
        m_clientIp = QString::fromStdString(peer.address().to_string());
    }
}

FtpSession::~FtpSession() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_tempPath.empty())
        ::unlink(m_tempPath.c_str());
    if (m_admitted)
        m_service.release(m_siteId);
}

void FtpSession::start() {
    m_snap = m_service.current();
    m_site = m_snap->table->match(m_endpoint->address, m_endpoint->port);
    if (!m_snap->running || !m_site || m_site->state != state::Started) {
        // A paused site takes no new sessions; the ones it has go on.
        m_closing = true;
        reply("421 Service not available, closing control connection.");
        return;
    }
    m_siteId = m_site->id;
    m_timeoutSeconds = std::max<std::uint32_t>(1, m_site->connectionTimeout);
    m_logging = m_site->logging;
    m_logDirectory = m_site->logFileDirectory;
    m_number = m_service.nextSessionNumber();
    if (!m_service.admit(m_siteId, m_site->maxConnections)) {
        m_closing = true;
        const QString text = m_site->maxClientsMessage.isEmpty()
                                 ? u"Too many users are connected, please try again later."_s
                                 : m_site->maxClientsMessage;
        reply("421 " + text.toStdString());
        return;
    }
    m_admitted = true;
    reply("220 Microsoft FTP Service");
    armIdle();
    readLine();
}

void FtpSession::terminate() {
    asio::post(m_control.get_executor(), [self = shared_from_this()] {
        if (self->m_closed)
            return;
        self->m_queued.clear();
        self->m_closing = true;
        self->reply("421 Service not available, closing control connection.");
    });
}

void FtpSession::armIdle() {
    m_idle.expires_at(m_lastActivity + std::chrono::seconds(m_timeoutSeconds));
    m_idle.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
        if (ec || self->m_closed)
            return;
        // Activity since the timer was set (a command, bytes of a transfer) moves the deadline.
        if (Clock::now() < self->m_lastActivity + std::chrono::seconds(self->m_timeoutSeconds)) {
            self->armIdle();
            return;
        }
        self->closeData();
        self->m_queued.clear();
        self->m_closing = true;
        self->reply("421 Timeout (" + std::to_string(self->m_timeoutSeconds) +
                    " seconds): closing control connection.");
    });
}

void FtpSession::readLine() {
    if (m_reading || m_closing || m_closed || m_queued.size() >= MaxQueued)
        return;
    m_reading = true;
    asio::async_read_until(m_control, m_in, '\n',
                           [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                               self->m_reading = false;
                               if (self->m_closed)
                                   return;
                               if (ec == asio::error::not_found) {
                                   // A line longer than any command: the client is not speaking FTP.
                                   self->m_closing = true;
                                   self->reply("500 Command line too long.");
                                   return;
                               }
                               if (ec) {
                                   self->close();
                                   return;
                               }
                               std::string line(asio::buffers_begin(self->m_in.data()),
                                                asio::buffers_begin(self->m_in.data()) +
                                                    static_cast<long>(n));
                               self->m_in.consume(n);
                               self->m_lastActivity = Clock::now();
                               self->onLine(std::move(line));
                               self->readLine();
                           });
}

void FtpSession::onLine(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    line = withoutTelnet(line);
    if (line.empty())
        return;
    // ABOR and STAT answer at once, also during a transfer; everything else waits its turn.
    const size_t space = line.find(' ');
    const std::string verb = upper(line.substr(0, space));
    if (m_busy && (verb == "ABOR" || verb == "STAT") && m_queued.empty()) {
        execute(verb, space == std::string::npos ? std::string() : line.substr(space + 1));
        return;
    }
    m_queued.push_back(std::move(line));
    runQueued();
}

void FtpSession::runQueued() {
    while (!m_busy && !m_closing && !m_queued.empty()) {
        const std::string line = std::move(m_queued.front());
        m_queued.pop_front();
        const size_t space = line.find(' ');
        const std::string verb = upper(line.substr(0, space));
        const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
        execute(verb, argument);
    }
    readLine();
}

void FtpSession::reply(const std::string& text) {
    m_out.push_back(text + "\r\n");
    writeNext();
}

void FtpSession::writeNext() {
    if (m_writing || m_closed)
        return;
    if (m_out.empty()) {
        if (m_closing)
            close();
        return;
    }
    m_writing = true;
    asio::async_write(m_control, asio::buffer(m_out.front()),
                      [self = shared_from_this()](const boost::system::error_code& ec, std::size_t) {
                          self->m_writing = false;
                          if (ec) {
                              self->close();
                              return;
                          }
                          self->m_out.pop_front();
                          self->writeNext();
                      });
}

void FtpSession::close() {
    if (m_closed)
        return;
    m_closed = true;
    closeData();
    boost::system::error_code ec;
    m_idle.cancel();
    m_delay.cancel();
    m_control.shutdown(tcp::socket::shutdown_both, ec);
    m_control.close(ec);
}

void FtpSession::logCommand(const QString& method, const QString& stem, int status, std::uint32_t win32) {
    if (!m_logging || m_siteId == 0)
        return;
    FtpLogEntry e;
    e.siteId = m_siteId;
    e.logFileDirectory = m_logDirectory;
    e.timeMs = QDateTime::currentMSecsSinceEpoch();
    e.clientIp = m_clientIp;
    e.session = m_number;
    e.method = method;
    e.uriStem = stem;
    e.status = status;
    e.win32Status = win32;
    m_service.log(e);
}

void FtpSession::refuse(const char* verb, const QString& stem, const Outcome& outcome,
                        const std::string& text) {
    reply(text);
    logCommand(QString::fromLatin1(verb), stem, outcome.status, outcome.win32);
}

void FtpSession::execute(const std::string& verb, const std::string& argumentBytes) {
    // The state may have changed since the last command: the site stopped, its directories moved.
    m_snap = m_service.current();
    m_site = m_snap->table->site(m_siteId);
    if (!m_snap->running || !m_site || m_site->state == state::Stopped) {
        m_closing = true;
        reply("421 Service not available, closing control connection.");
        return;
    }
    m_logging = m_site->logging;
    m_logDirectory = m_site->logFileDirectory;
    const QString argument = QString::fromUtf8(argumentBytes);
    const QString v = QString::fromStdString(verb);
    auto simple = [&](const std::string& text) {
        reply(text);
        logCommand(v, argument.isEmpty() ? QString() : argument, std::stoi(text.substr(0, 3)), 0);
    };

    if (verb == "USER")
        return user(argument);
    if (verb == "PASS")
        return pass(argument);
    if (verb == "QUIT") {
        m_closing = true;
        const QString message = m_site->exitMessage.isEmpty() ? u"Goodbye."_s : m_site->exitMessage;
        reply("221 " + message.toStdString());
        logCommand(v, QString(), 221, 0);
        return;
    }
    if (verb == "NOOP")
        return simple("200 NOOP command successful.");
    if (verb == "SYST")
        return simple("215 Windows_NT");
    if (verb == "HELP") {
        reply("214-The following  commands are recognized(* ==>'s unimplemented).\r\n"
              "   ABOR\r\n   ACCT\r\n   ALLO\r\n   APPE\r\n   CDUP\r\n   CWD \r\n   DELE\r\n   EPRT\r\n"
              "   EPSV\r\n   HELP\r\n   LIST\r\n   MDTM\r\n   MKD \r\n   MODE\r\n   NLST\r\n   NOOP\r\n"
              "   PASS\r\n   PASV\r\n   PORT\r\n   PWD \r\n   QUIT\r\n   REIN\r\n   REST\r\n   RETR\r\n"
              "   RMD \r\n   RNFR\r\n   RNTO\r\n   SITE\r\n   SIZE\r\n   SMNT\r\n   STAT\r\n   STOR\r\n"
              "   STOU\r\n   STRU\r\n   SYST\r\n   TYPE\r\n   USER\r\n   XCUP\r\n   XCWD\r\n   XMKD\r\n"
              "   XPWD\r\n   XRMD\r\n"
              "214  HELP command successful.");
        logCommand(v, argument, 214, 0);
        return;
    }
    if (verb == "ABOR")
        return abort();
    static const char* const known[] = {
        "ACCT", "ALLO", "APPE", "CDUP", "CWD",  "DELE", "EPRT", "EPSV", "LIST", "MDTM", "MKD",  "MODE",
        "NLST", "PASV", "PORT", "PWD",  "REIN", "REST", "RETR", "RMD",  "RNFR", "RNTO", "SITE", "SIZE",
        "SMNT", "STAT", "STOR", "STOU", "STRU", "TYPE", "XCUP", "XCWD", "XMKD", "XPWD", "XRMD"};
    if (std::none_of(std::begin(known), std::end(known), [&](const char* k) { return verb == k; })) {
        reply("500 '" + echo(verb + (argumentBytes.empty() ? "" : " " + argumentBytes)) +
              "': command not understood");
        logCommand(v, QString(), 500, 0);
        return;
    }
    if (!m_account)
        return simple("530 Please login with USER and PASS.");

    if (verb == "PWD" || verb == "XPWD") {
        std::string path = m_cwd.toString().toStdString();
        size_t at = 0;
        while ((at = path.find('"', at)) != std::string::npos) { // a quote in a name is doubled
            path.insert(at, 1, '"');
            at += 2;
        }
        return simple("257 \"" + path + "\" is current directory.");
    }
    if (verb == "CWD" || verb == "XCWD")
        return changeFolder(argument, "CWD");
    if (verb == "CDUP" || verb == "XCUP")
        return changeFolder(u".."_s, "CDUP");
    if (verb == "TYPE") {
        const std::string t = upper(argumentBytes);
        if (t == "A" || t == "A N") {
            m_type = 'A';
            return simple("200 Type set to A.");
        }
        if (t == "I" || t == "L 8") {
            m_type = 'I';
            return simple("200 Type set to I.");
        }
        if (t == "E" || t.rfind("A ", 0) == 0 || t.rfind("E ", 0) == 0 || t.rfind("L ", 0) == 0)
            return simple("504 Command not implemented for that parameter.");
        return simple("501 Syntax error in parameters or arguments.");
    }
    if (verb == "MODE") {
        const std::string m = upper(argumentBytes);
        if (m == "S")
            return simple("200 MODE S command successful.");
        return simple(m == "B" || m == "C" ? "504 Command not implemented for that parameter."
                                           : "501 Syntax error in parameters or arguments.");
    }
    if (verb == "STRU") {
        const std::string s = upper(argumentBytes);
        if (s == "F")
            return simple("200 STRU F command successful.");
        return simple(s == "R" || s == "P" ? "504 Command not implemented for that parameter."
                                           : "501 Syntax error in parameters or arguments.");
    }
    if (verb == "ALLO")
        return simple("202 ALLO command ignored.");
    if (verb == "ACCT" || verb == "REIN" || verb == "SMNT" || verb == "SITE") {
        // ACCT's argument is account information: it stays out of the log, as a password does.
        reply("502 Command not implemented.");
        logCommand(v, verb == "ACCT" ? QString() : argument, 502, 0);
        return;
    }
    if (verb == "PASV")
        return passive(false);
    if (verb == "EPSV") {
        if (upper(argumentBytes) == "ALL")
            return simple("200 EPSV ALL command successful.");
        if (!argumentBytes.empty() && argumentBytes != "1")
            return simple("522 Network protocol not supported, use (1)");
        return passive(true);
    }
    if (verb == "PORT")
        return active(argumentBytes, false);
    if (verb == "EPRT")
        return active(argumentBytes, true);
    if (verb == "REST") {
        char* end = nullptr;
        errno = 0;
        const unsigned long long at = std::strtoull(argumentBytes.c_str(), &end, 10);
        if (argumentBytes.empty() || *end != '\0' || errno != 0 || argumentBytes[0] == '-')
            return simple("501 Reply marker is invalid.");
        m_restart = at;
        return simple("350 Restarting at " + std::to_string(at) + ".");
    }
    if (verb == "LIST" || verb == "NLST")
        return list(argument, verb == "NLST");
    if (verb == "RETR")
        return retrieve(argument);
    if (verb == "STOR")
        return store(argument, false, false);
    if (verb == "APPE")
        return store(argument, true, false);
    if (verb == "STOU")
        return store(argument, false, true);
    if (verb == "DELE")
        return remove(argument);
    if (verb == "MKD" || verb == "XMKD")
        return makeFolder(argument);
    if (verb == "RMD" || verb == "XRMD")
        return removeFolder(argument);
    if (verb == "RNFR")
        return renameFrom(argument);
    if (verb == "RNTO")
        return renameTo(argument);
    if (verb == "SIZE" || verb == "MDTM")
        return sizeOrTime(argument, verb == "SIZE");
    if (verb == "STAT")
        return status(argument);
}

// ---- logon ----

void FtpSession::user(const QString& name) {
    m_account.reset();
    m_renameFrom.reset();
    m_user = name.trimmed();
    if (m_user.isEmpty()) {
        reply("501 Syntax error in parameters or arguments.");
        logCommand(u"USER"_s, QString(), 501, 0);
        return;
    }
    const bool anonymous = m_user.compare(u"anonymous"_s, Qt::CaseInsensitive) == 0 ||
                           m_user.compare(u"ftp"_s, Qt::CaseInsensitive) == 0;
    if (anonymous && m_site->allowAnonymous)
        reply("331 Anonymous access allowed, send identity (e-mail name) as password.");
    else
        reply("331 Password required for " + echo(m_user.toStdString()) + ".");
    logCommand(u"USER"_s, m_user, 331, 0);
}

void FtpSession::pass(const QString& password) {
    if (m_user.isEmpty() || m_account) {
        reply(m_account ? "230 User " + echo(m_user.toStdString()) + " logged in."
                        : "503 Login with USER first.");
        logCommand(u"PASS"_s, QString(), m_account ? 230 : 503, 0);
        return;
    }
    auto account = m_service.logon(*m_site, m_user, password);
    if (!account) {
        // The answer waits, and the session reads nothing meanwhile: guessing passwords is slow.
        m_busy = true;
        m_delay.expires_after(std::chrono::milliseconds(m_service.failedLogonDelayMs()));
        m_delay.async_wait([self = shared_from_this()](const boost::system::error_code& ec) {
            if (ec || self->m_closed)
                return;
            self->m_busy = false;
            self->reply("530 User " + echo(self->m_user.toStdString()) + " cannot log in.");
            self->logCommand(u"PASS"_s, QString(), 530, LogonFailure);
            self->m_user.clear();
            self->m_lastActivity = Clock::now();
            self->runQueued();
        });
        return;
    }
    m_account = std::move(account);
    m_cwd = landingFolder(*m_site, m_account->anonymous ? QString() : m_user);
    std::string text;
    for (const QString& line : m_site->greeting)
        text += "230-" + echo(line.toStdString()) + "\r\n";
    text += m_account->anonymous ? "230 Anonymous user logged in."
                                 : "230 User " + echo(m_user.toStdString()) + " logged in.";
    reply(text);
    logCommand(u"PASS"_s, QString(), 230, 0);
}

// ---- paths and rights ----

std::uint32_t FtpSession::rights(const emulation::files::WinPath& path) {
    return m_service.rightsOf(*m_snap, m_account->sid, path);
}

std::uint32_t FtpSession::parentRights(const Target& t) {
    emulation::files::WinPath parent = t.placed.path;
    if (parent.names.isEmpty())
        return 0;
    parent.names.removeLast();
    return rights(parent);
}

std::string FtpSession::notFound(const Target& t) const {
    return "550 " + nameOf(t.path).toStdString() + ": The system cannot find the file specified.";
}

std::optional<FtpSession::Target> FtpSession::target(const QString& argument, const char* verb,
                                                     bool forWrite) {
    const QString stem = argument.isEmpty() ? m_cwd.toString() : argument;
    auto path = resolvePath(m_cwd, argument);
    if (!path) {
        refuse(verb, stem, {550, 123},
               "550 " + echo(argument.toStdString()) +
                   ": The filename, directory name, or volume label syntax is incorrect.");
        return std::nullopt;
    }
    auto placed = place(*m_site, *path);
    if (!placed) {
        refuse(verb, path->toString(), {550, PathNotFound},
               "550 " + nameOf(*path).toStdString() + ": The system cannot find the path specified.");
        return std::nullopt;
    }
    Target t;
    t.path = *path;
    t.placed = *placed;
    if (forWrite ? !placed->dir->write : !placed->dir->read) {
        refuse(verb, path->toString(), {550, AccessDenied}, Denied);
        return std::nullopt;
    }
    t.host = m_service.hostPath(*placed);
    if (t.host.empty()) {
        refuse(verb, path->toString(), {550, PathNotFound},
               "550 " + nameOf(*path).toStdString() + ": The system cannot find the path specified.");
        return std::nullopt;
    }
    struct stat st {};
    if (::stat(t.host.c_str(), &st) == 0) {
        t.exists = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
        t.folder = S_ISDIR(st.st_mode);
    }
    return t;
}

void FtpSession::changeFolder(const QString& argument, const char* verb) {
    const auto t = target(argument.isEmpty() ? u"/"_s : argument, verb, false);
    if (!t)
        return;
    if (!t->exists || !t->folder) {
        refuse(verb, t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    if (!(rights(t->placed.path) & (rights::ReadData | rights::Execute))) {
        refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    m_cwd = t->path;
    reply(std::string("250 ") + verb + " command successful.");
    logCommand(QString::fromLatin1(verb), t->path.toString(), 250, 0);
}

// ---- data connections ----

void FtpSession::closeData() {
    boost::system::error_code ec;
    if (m_passive)
        m_passive->close(ec);
    m_passive.reset();
    if (m_data) {
        m_data->shutdown(tcp::socket::shutdown_both, ec);
        m_data->close(ec);
    }
    m_data.reset();
    m_dataConnected = false;
    m_onData = nullptr;
    m_mode = DataMode::None;
}

void FtpSession::passive(bool extended) {
    const char* verb = extended ? "EPSV" : "PASV";
    closeData();
    boost::system::error_code ec;
    const auto local = m_control.local_endpoint(ec);
    auto acceptor = std::make_unique<tcp::acceptor>(m_control.get_executor());
    if (!ec)
        acceptor->open(local.protocol(), ec);
    if (!ec)
        acceptor->bind(tcp::endpoint(local.address(), 0), ec);
    if (!ec)
        acceptor->listen(1, ec);
    if (ec) {
        refuse(verb, QString(), {425, 0}, "425 Can't open data connection.");
        return;
    }
    const auto port = acceptor->local_endpoint(ec).port();
    m_passive = std::move(acceptor);
    m_mode = DataMode::Passive;
    acceptData();
    std::string text;
    if (extended) {
        text = "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)";
    } else {
        const auto bytes = local.address().to_v4().to_bytes();
        char buf[96];
        std::snprintf(buf, sizeof buf, "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).", bytes[0], bytes[1],
                      bytes[2], bytes[3], port >> 8, port & 0xff);
        text = buf;
    }
    reply(text);
    logCommand(QString::fromLatin1(verb), QString(), extended ? 229 : 227, 0);
}

void FtpSession::acceptData() {
    auto socket = std::make_shared<tcp::socket>(m_control.get_executor());
    auto peer = std::make_shared<tcp::endpoint>();
    m_passive->async_accept(*socket, *peer,
                            [self = shared_from_this(), socket, peer](const boost::system::error_code& ec) {
                                if (ec || self->m_closed || !self->m_passive)
                                    return;
                                boost::system::error_code e;
                                // Only the client itself may connect: a data connection from elsewhere is
                                // dropped. The address is the one accept() saw, so that a connection already
                                // reset is still the client's.
                                if (peer->address() != self->m_clientAddress) {
                                    socket->close(e);
                                    self->acceptData();
                                    return;
                                }
                                self->m_passive->close(e);
                                self->m_passive.reset();
                                self->m_data = std::make_unique<tcp::socket>(std::move(*socket));
                                self->m_dataConnected = true;
                                if (self->m_onData) {
                                    auto go = std::move(self->m_onData);
                                    self->m_onData = nullptr;
                                    go();
                                }
                            });
}

void FtpSession::active(const std::string& argument, bool extended) {
    const char* verb = extended ? "EPRT" : "PORT";
    closeData();
    boost::system::error_code ec;
    asio::ip::address address;
    unsigned long port = 0;
    if (extended) {
        // "|1|127.0.0.1|50000|": the first character delimits.
        if (argument.size() < 2) {
            refuse(verb, QString(), {501, 0}, "501 Syntax error in parameters or arguments.");
            return;
        }
        const char d = argument[0];
        std::vector<std::string> parts;
        size_t at = 1;
        for (size_t next; (next = argument.find(d, at)) != std::string::npos; at = next + 1)
            parts.push_back(argument.substr(at, next - at));
        if (parts.size() != 3) {
            refuse(verb, QString(), {501, 0}, "501 Syntax error in parameters or arguments.");
            return;
        }
        if (parts[0] != "1") {
            refuse(verb, QString(), {522, 0}, "522 Network protocol not supported, use (1)");
            return;
        }
        address = asio::ip::make_address_v4(parts[1], ec);
        char* end = nullptr;
        port = std::strtoul(parts[2].c_str(), &end, 10);
        if (parts[2].empty() || *end != '\0')
            ec = asio::error::invalid_argument;
    } else {
        unsigned n[6];
        char tail = 0;
        if (std::sscanf(argument.c_str(), "%u,%u,%u,%u,%u,%u%c", &n[0], &n[1], &n[2], &n[3], &n[4], &n[5],
                        &tail) != 6 ||
            std::any_of(std::begin(n), std::end(n), [](unsigned v) { return v > 255; })) {
            refuse(verb, QString(), {501, 0}, "501 Syntax error in parameters or arguments.");
            return;
        }
        address = asio::ip::address_v4(asio::ip::address_v4::bytes_type{
            static_cast<unsigned char>(n[0]), static_cast<unsigned char>(n[1]),
            static_cast<unsigned char>(n[2]), static_cast<unsigned char>(n[3])});
        port = n[4] * 256 + n[5];
    }
    // The service answers on loopback only, and opens data connections nowhere else: a PORT to
    // another host would make it a bounce for attacks on third parties.
    if (ec || port == 0 || port > 65535 || !address.is_loopback()) {
        refuse(verb, QString(), {501, 0}, "501 Server cannot accept argument.");
        return;
    }
    m_activeTo = tcp::endpoint(address, static_cast<unsigned short>(port));
    m_mode = DataMode::Active;
    reply(std::string("200 ") + verb + " command successful.");
    logCommand(QString::fromLatin1(verb), QString(), 200, 0);
}

void FtpSession::withData(const std::string& opening, std::function<void()> go) {
    m_busy = true;
    m_transferring = true;
    m_bytes = 0;
    if (m_mode == DataMode::None) {
        endTransfer(false, "425 Can't open data connection.");
        return;
    }
    if (m_mode == DataMode::Passive) {
        if (m_dataConnected) {
            reply("125 Data connection already open; Transfer starting.");
            go();
            return;
        }
        reply("150 " + opening);
        m_onData = std::move(go); // the client connects after reading the reply
        return;
    }
    reply("150 " + opening);
    m_data = std::make_unique<tcp::socket>(m_control.get_executor());
    m_data->async_connect(
        m_activeTo, [self = shared_from_this(), go = std::move(go)](const boost::system::error_code& ec) {
            if (self->m_closed || !self->m_transferring)
                return;
            if (ec) {
                self->endTransfer(false, "425 Can't open data connection.");
                return;
            }
            self->m_dataConnected = true;
            go();
        });
}

void FtpSession::endTransfer(bool ok, const std::string& failure) {
    if (!m_transferring)
        return;
    m_transferring = false;
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    int status = 226;
    std::uint32_t win32 = 0;
    if (!m_tempPath.empty()) {
        // An upload is put in place when whole; one cut off takes the place of no existing file
        // but is kept where there was none, so that the client can resume it.
        if (ok || (!m_replacing && m_bytes > 0)) {
            if (::rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0)
                ok = false;
        }
        if (!ok)
            ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
    std::string text = "226 Transfer complete.";
    if (!ok) {
        text = failure.empty() ? "426 Connection closed; transfer aborted." : failure;
        status = std::stoi(text.substr(0, 3));
        win32 = text.find("space") != std::string::npos ? DiskFull : 0;
    }
    closeData();
    m_restart = 0;
    reply(text);
    logCommand(m_transferMethod, m_transferStem, status, win32);
    m_busy = false;
    m_lastActivity = Clock::now();
    // Whatever arrived meanwhile is answered now, in order; reading goes on once it is.
    asio::post(m_control.get_executor(), [self = shared_from_this()] { self->runQueued(); });
}

void FtpSession::abort() {
    if (!m_transferring) {
        closeData();
        reply("225 ABOR command successful.");
        logCommand(u"ABOR"_s, QString(), 225, 0);
        return;
    }
    endTransfer(false, "426 Connection closed; transfer aborted.");
    reply("226 ABOR command successful.");
    logCommand(u"ABOR"_s, QString(), 226, 0);
}

void FtpSession::sendBytes(std::shared_ptr<std::string> bytes) {
    asio::async_write(*m_data, asio::buffer(*bytes),
                      [self = shared_from_this(), bytes](const boost::system::error_code& ec, std::size_t n) {
                          if (!self->m_transferring || self->m_closed)
                              return;
                          self->m_bytes += n;
                          self->endTransfer(!ec);
                      });
}

void FtpSession::sendFile() {
    // sendfile on the non-blocking socket; when it would block, wait until it can write.
    const int out = m_data->native_handle();
    for (;;) {
        const ssize_t n = ::sendfile(out, m_fd, nullptr, 1 << 20);
        if (n > 0) {
            m_bytes += static_cast<std::uint64_t>(n);
            m_lastActivity = Clock::now();
            continue;
        }
        if (n == 0) {
            endTransfer(true);
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            m_data->async_wait(tcp::socket::wait_write,
                               [self = shared_from_this()](const boost::system::error_code& ec) {
                                   if (!self->m_transferring || self->m_closed)
                                       return;
                                   if (ec) {
                                       self->endTransfer(false);
                                       return;
                                   }
                                   self->sendFile();
                               });
            return;
        }
        endTransfer(false);
        return;
    }
}

void FtpSession::receive() {
    m_data->async_read_some(asio::buffer(m_chunk), [self = shared_from_this()](
                                                       const boost::system::error_code& ec, std::size_t n) {
        if (!self->m_transferring || self->m_closed)
            return;
        if (n > 0) {
            self->m_lastActivity = Clock::now();
            if (!writeAll(self->m_fd, self->m_chunk.data(), n)) {
                const bool full = errno == ENOSPC || errno == EDQUOT;
                const std::string name =
                    self->m_transferStem.mid(self->m_transferStem.lastIndexOf(u'/') + 1).toStdString();
                self->endTransfer(false, "550 " + name +
                                             (full ? ": There is not enough space on the disk."
                                                   : ": The request could not be performed because of an I/O "
                                                     "device error."));
                return;
            }
            self->m_bytes += n;
        }
        if (ec == asio::error::eof) {
            self->endTransfer(true);
            return;
        }
        if (ec) {
            self->endTransfer(false);
            return;
        }
        self->receive();
    });
}

// ---- listings ----

void FtpSession::list(const QString& argumentIn, bool namesOnly) {
    const char* verb = namesOnly ? "NLST" : "LIST";
    // Options of ls ("-la") are no part of the path.
    QString argument = argumentIn.trimmed();
    while (argument.startsWith(u'-')) {
        const qsizetype space = argument.indexOf(u' ');
        argument = space < 0 ? QString() : argument.mid(space + 1).trimmed();
    }
    const auto t = target(argument, verb, false);
    if (!t)
        return;
    if (!t->exists) {
        refuse(verb, t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    const bool msdos = m_site->msdosListing;
    const QDateTime now = QDateTime::currentDateTime();
    auto entryOf = [](const std::string& hostPath, const QString& name) -> std::optional<ListEntry> {
        struct stat st {};
        if (::stat(hostPath.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
            return std::nullopt;
        ListEntry e;
        e.name = name;
        e.folder = S_ISDIR(st.st_mode);
        e.size = static_cast<std::uint64_t>(st.st_size);
        e.modified = QDateTime::fromSecsSinceEpoch(st.st_mtime);
        return e;
    };
    std::vector<ListEntry> entries;
    if (t->folder) {
        if (!(rights(t->placed.path) & rights::ReadData)) {
            refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
            return;
        }
        QStringList seen;
        if (DIR* dir = ::opendir(t->host.c_str())) {
            while (const dirent* d = ::readdir(dir)) {
                const std::string raw = d->d_name;
                if (raw == "." || raw == ".." || raw.rfind(TempPrefix, 0) == 0)
                    continue;
                const QString name = QFile::decodeName(d->d_name);
                if (name.toUtf8() != QByteArray(d->d_name)) // no name Windows could show
                    continue;
                if (auto e = entryOf(t->host + '/' + raw, name)) {
                    entries.push_back(*e);
                    seen << name.toLower();
                }
            }
            ::closedir(dir);
        }
        // The virtual directories below this folder show as folders of it.
        for (const QString& child : virtualChildren(*m_site, t->path)) {
            if (seen.contains(child.toLower()))
                continue;
            VirtualPath p = t->path;
            p.names << child;
            const auto placed = place(*m_site, p);
            if (!placed)
                continue;
            const std::string host = m_service.hostPath(*placed);
            if (auto e = host.empty() ? std::nullopt : entryOf(host, child); e && e->folder)
                entries.push_back(*e);
        }
        std::sort(entries.begin(), entries.end(), [](const ListEntry& a, const ListEntry& b) {
            return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
        });
    } else {
        if (!(rights(t->placed.path) & (rights::ReadData | rights::ReadAttributes))) {
            refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
            return;
        }
        if (auto e = entryOf(t->host, nameOf(t->path)))
            entries.push_back(*e);
    }
    auto bytes = std::make_shared<std::string>();
    for (const ListEntry& e : entries) {
        if (namesOnly)
            *bytes += e.name.toStdString() + "\r\n";
        else
            *bytes += listLine(e, msdos, now).toStdString();
    }
    m_transferMethod = QString::fromLatin1(verb);
    m_transferStem = t->path.toString();
    withData("Opening ASCII mode data connection for /bin/ls.",
             [this, self = shared_from_this(), bytes] { sendBytes(bytes); });
}

// ---- files ----

void FtpSession::retrieve(const QString& argument) {
    const auto t = target(argument, "RETR", false);
    if (!t)
        return;
    if (!t->exists || t->folder) {
        refuse("RETR", t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    if (!(rights(t->placed.path) & rights::ReadData)) {
        refuse("RETR", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    const int fd = ::open(t->host.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        refuse("RETR", t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (m_restart > 0)
        ::lseek(fd, static_cast<off_t>(std::min(m_restart, size)), SEEK_SET);
    m_fd = fd;
    m_transferMethod = u"sent"_s;
    m_transferStem = t->path.toString();
    const std::string mode = m_type == 'I' ? "BINARY" : "ASCII";
    withData("Opening " + mode + " mode data connection for " + nameOf(t->path).toStdString() + "(" +
                 std::to_string(size) + " bytes).",
             [this, self = shared_from_this()] {
                 boost::system::error_code ec;
                 m_data->native_non_blocking(true, ec);
                 sendFile();
             });
}

void FtpSession::store(const QString& argumentIn, bool append, bool unique) {
    const char* verb = unique ? "STOU" : append ? "APPE" : "STOR";
    QString argument = argumentIn;
    if (unique) {
        // A name of the current folder that nothing holds yet.
        QString base = argument.isEmpty() ? u"FTP"_s : argument;
        argument = base;
        for (int n = 0; n < 10000; ++n) {
            const auto probe = target(argument, verb, true);
            if (!probe)
                return;
            if (!probe->exists)
                break;
            argument = base + QString::number(n + 1);
        }
    }
    if (argument.isEmpty()) {
        refuse(verb, QString(), {501, 0}, "501 Syntax error in parameters or arguments.");
        return;
    }
    const auto t = target(argument, verb, true);
    if (!t)
        return;
    if (t->path.isRoot() || t->placed.isDirItself || t->folder) {
        refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    const std::string parent = t->host.substr(0, t->host.rfind('/'));
    struct stat st {};
    if (::stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        refuse(verb, t->path.toString(), {550, PathNotFound},
               "550 " + nameOf(t->path).toStdString() + ": The system cannot find the path specified.");
        return;
    }
    // Writing a file that exists needs the right on it; making one, the right to add a file to its folder.
    const std::uint32_t needed = append ? rights::AppendData : rights::WriteData;
    const bool allowed =
        t->exists ? (rights(t->placed.path) & needed) != 0 : (parentRights(*t) & rights::WriteData) != 0;
    if (!allowed) {
        refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    int fd = -1;
    m_replacing = t->exists;
    if (append || m_restart > 0) {
        // Appending and resuming write into the file itself.
        fd = ::open(t->host.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : 0),
                    0644);
        if (fd >= 0 && !append &&
            (::ftruncate(fd, static_cast<off_t>(m_restart)) != 0 ||
             ::lseek(fd, static_cast<off_t>(m_restart), SEEK_SET) < 0)) {
            ::close(fd);
            fd = -1;
        }
    } else {
        // A new file is written beside its place and renamed over it when whole, so that a cut-off
        // or refused upload never destroys the file it was to replace.
        for (int n = 0; n < 100 && fd < 0; ++n) {
            m_tempPath = parent + '/' + TempPrefix + std::to_string(::getpid()) + '-' +
                         std::to_string(m_number) + '-' + std::to_string(n);
            fd = ::open(m_tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd < 0)
            m_tempPath.clear();
        m_finalPath = t->host;
    }
    if (fd < 0) {
        refuse(verb, t->path.toString(), {550, errno == ENOSPC ? DiskFull : AccessDenied},
               errno == ENOSPC
                   ? "550 " + nameOf(t->path).toStdString() + ": There is not enough space on the disk."
                   : Denied);
        return;
    }
    m_fd = fd;
    m_chunk.resize(ChunkBytes);
    m_transferMethod = append ? u"appended"_s : u"created"_s;
    m_transferStem = t->path.toString();
    const std::string mode = m_type == 'I' ? "BINARY" : "ASCII";
    withData("Opening " + mode + " mode data connection for " + nameOf(t->path).toStdString() + ".",
             [this, self = shared_from_this()] { receive(); });
}

void FtpSession::remove(const QString& argument) {
    const auto t = target(argument, "DELE", true);
    if (!t)
        return;
    if (!t->exists || t->folder) {
        refuse("DELE", t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    if (!(rights(t->placed.path) & rights::Delete) && !(parentRights(*t) & rights::DeleteChild)) {
        refuse("DELE", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    if (::unlink(t->host.c_str()) != 0) {
        refuse("DELE", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    m_service.forgetAces(t->placed.path);
    reply("250 DELE command successful.");
    logCommand(u"DELE"_s, t->path.toString(), 250, 0);
}

void FtpSession::makeFolder(const QString& argument) {
    const auto t = target(argument, "MKD", true);
    if (!t)
        return;
    if (t->exists || t->placed.isDirItself) {
        refuse("MKD", t->path.toString(), {550, AlreadyExists},
               "550 " + nameOf(t->path).toStdString() +
                   ": Cannot create a file when that file already exists.");
        return;
    }
    if (!(parentRights(*t) & rights::AppendData)) {
        refuse("MKD", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    if (::mkdir(t->host.c_str(), 0755) != 0) {
        const bool missing = errno == ENOENT;
        refuse("MKD", t->path.toString(), {550, missing ? PathNotFound : AccessDenied},
               missing
                   ? "550 " + nameOf(t->path).toStdString() + ": The system cannot find the path specified."
                   : Denied);
        return;
    }
    reply("257 MKD command successful.");
    logCommand(u"MKD"_s, t->path.toString(), 257, 0);
}

void FtpSession::removeFolder(const QString& argument) {
    const auto t = target(argument, "RMD", true);
    if (!t)
        return;
    if (!t->exists || !t->folder) {
        refuse("RMD", t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    // A virtual directory is the operator's, not the client's.
    if (t->placed.isDirItself ||
        (!(rights(t->placed.path) & rights::Delete) && !(parentRights(*t) & rights::DeleteChild))) {
        refuse("RMD", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    if (::rmdir(t->host.c_str()) != 0) {
        const bool full = errno == ENOTEMPTY || errno == EEXIST;
        refuse("RMD", t->path.toString(), {550, full ? DirNotEmpty : AccessDenied},
               full ? "550 " + nameOf(t->path).toStdString() + ": The directory is not empty." : Denied);
        return;
    }
    m_service.forgetAces(t->placed.path);
    reply("250 RMD command successful.");
    logCommand(u"RMD"_s, t->path.toString(), 250, 0);
}

void FtpSession::renameFrom(const QString& argument) {
    m_renameFrom.reset();
    const auto t = target(argument, "RNFR", true);
    if (!t)
        return;
    if (!t->exists) {
        refuse("RNFR", t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    if (t->placed.isDirItself ||
        (!(rights(t->placed.path) & rights::Delete) && !(parentRights(*t) & rights::DeleteChild))) {
        refuse("RNFR", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    m_renameFrom = t;
    reply("350 File exists, ready for destination name");
    logCommand(u"RNFR"_s, t->path.toString(), 350, 0);
}

void FtpSession::renameTo(const QString& argument) {
    if (!m_renameFrom) {
        refuse("RNTO", argument, {503, 0}, "503 Bad sequence of commands.");
        return;
    }
    const Target from = *m_renameFrom;
    m_renameFrom.reset();
    const auto t = target(argument, "RNTO", true);
    if (!t)
        return;
    const bool sameObject =
        from.host == t->host ||
        (from.placed.path.toString().compare(t->placed.path.toString(), Qt::CaseInsensitive) == 0);
    if ((t->exists && !sameObject) || t->placed.isDirItself) {
        refuse("RNTO", t->path.toString(), {550, AlreadyExists},
               "550 " + nameOf(t->path).toStdString() +
                   ": Cannot create a file when that file already exists.");
        return;
    }
    // A folder may not move into itself.
    const QString fromKey = from.placed.path.toString().toLower() + u'\\';
    if (from.folder && t->placed.path.toString().toLower().startsWith(fromKey)) {
        refuse("RNTO", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    if (!(parentRights(*t) & (from.folder ? rights::AppendData : rights::WriteData))) {
        refuse("RNTO", t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    // Only the letter case changes: the new name as the client wrote it.
    std::string to = t->host;
    if (sameObject && !t->path.names.isEmpty())
        to = to.substr(0, to.rfind('/') + 1) + QFile::encodeName(t->path.names.back()).toStdString();
    if (::rename(from.host.c_str(), to.c_str()) != 0) {
        const bool missing = errno == ENOENT;
        refuse("RNTO", t->path.toString(), {550, missing ? PathNotFound : AccessDenied},
               missing
                   ? "550 " + nameOf(t->path).toStdString() + ": The system cannot find the path specified."
                   : Denied);
        return;
    }
    m_service.moveAces(from.placed.path, t->placed.path);
    reply("250 RNTO command successful.");
    logCommand(u"RNTO"_s, t->path.toString(), 250, 0);
}

void FtpSession::sizeOrTime(const QString& argument, bool size) {
    const char* verb = size ? "SIZE" : "MDTM";
    const auto t = target(argument, verb, false);
    if (!t)
        return;
    struct stat st {};
    if (!t->exists || t->folder || ::stat(t->host.c_str(), &st) != 0) {
        refuse(verb, t->path.toString(), {550, FileNotFound}, notFound(*t));
        return;
    }
    if (!(rights(t->placed.path) & (rights::ReadData | rights::ReadAttributes))) {
        refuse(verb, t->path.toString(), {550, AccessDenied}, Denied);
        return;
    }
    const std::string value = size ? std::to_string(st.st_size)
                                   : mdtmText(QDateTime::fromSecsSinceEpoch(st.st_mtime)).toStdString();
    reply("213 " + value);
    logCommand(QString::fromLatin1(verb), t->path.toString(), 213, 0);
}

void FtpSession::status(const QString& argument) {
    if (!argument.isEmpty()) {
        const auto t = target(argument, "STAT", false);
        if (!t)
            return;
        if (!t->exists) {
            refuse("STAT", t->path.toString(), {550, FileNotFound}, notFound(*t));
            return;
        }
        reply("213-status of " + echo(argument.toStdString()) + ":\r\n213 End of status.");
        logCommand(u"STAT"_s, t->path.toString(), 213, 0);
        return;
    }
    std::string text = "211-Microsoft FTP Service status:\r\n";
    text += "     Connected to " + m_endpoint->loopback.toStdString() + "\r\n";
    text += "     Logged in as " + echo(m_user.toStdString()) + "\r\n";
    text += std::string("     TYPE: ") + (m_type == 'I' ? "BINARY" : "ASCII") +
            ", FORM: Nonprint; STRUcture: File; transfer MODE: STREAM\r\n";
    text += m_transferring ? "     Data connection established.\r\n" : "     No data connection\r\n";
    text += "211 End of status.";
    reply(text);
    logCommand(u"STAT"_s, QString(), 211, 0);
}

} // namespace msftpsvc
