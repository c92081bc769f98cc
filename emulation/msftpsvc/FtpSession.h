#pragma once

#include "emulation/msftpsvc/FtpPath.h"
#include "emulation/msftpsvc/FtpService.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace msftpsvc {

// Where a listener listens: what its sessions are told about the address they came in on.
struct FtpEndpoint {
    QString address; // machine address, empty for 127.0.0.1
    QString loopback;
    std::uint16_t port = 0;       // the binding's port
    std::uint16_t listenPort = 0; // port + offset
};

// One FTP control connection and its data connections, on one event-loop thread for its life: the
// commands of RFC 959 with IIS 6's replies, every file operation made as the logged-on account
// under the access check and the virtual directory's Read and Write, every command logged. A
// transfer runs while the control connection goes on being read: ABOR ends it at once, other
// commands wait for it, in order.
class FtpSession : public std::enable_shared_from_this<FtpSession> {
public:
    FtpSession(boost::asio::ip::tcp::socket socket, FtpService& service,
               std::shared_ptr<const FtpEndpoint> endpoint);
    ~FtpSession();
    void start();
    // Ends the session from any thread (the site or the service stopped).
    void terminate();
    // The site the session belongs to; 0 before start() found one.
    std::uint32_t siteId() const { return m_siteId; }

    static constexpr std::size_t MaxLine = 8 * 1024;
    static constexpr std::size_t MaxQueued = 64;
    static constexpr std::size_t ChunkBytes = 256 * 1024;

private:
    using Clock = std::chrono::steady_clock;
    enum class DataMode { None, Passive, Active };
    struct Outcome {
        int status = 0;
        std::uint32_t win32 = 0;
    };

    void readLine();
    void onLine(std::string line);
    void runQueued();
    void execute(const std::string& verb, const std::string& argument);
    void reply(const std::string& text);
    void writeNext();
    void logCommand(const QString& method, const QString& stem, int status, std::uint32_t win32);
    void close();
    void armIdle();

    // Commands.
    void user(const QString& name);
    void pass(const QString& password);
    void changeFolder(const QString& argument, const char* verb);
    void passive(bool extended);
    void active(const std::string& argument, bool extended);
    void list(const QString& argument, bool namesOnly);
    void retrieve(const QString& argument);
    void store(const QString& argument, bool append, bool unique);
    void remove(const QString& argument);
    void makeFolder(const QString& argument);
    void removeFolder(const QString& argument);
    void renameFrom(const QString& argument);
    void renameTo(const QString& argument);
    void sizeOrTime(const QString& argument, bool size);
    void status(const QString& argument);
    void abort();

    // Where a command's path lies and what it may do there.
    struct Target {
        VirtualPath path;
        Placement placed;
        std::string host;
        bool exists = false;
        bool folder = false;
    };
    // The target of an argument; a refusal has been replied and logged when it is nullopt.
    std::optional<Target> target(const QString& argument, const char* verb, bool forWrite);
    std::uint32_t rights(const emulation::files::WinPath& path);
    std::uint32_t parentRights(const Target& t);
    void refuse(const char* verb, const QString& stem, const Outcome& outcome, const std::string& text);
    std::string notFound(const Target& t) const;

    // Data connections.
    void withData(const std::string& opening, std::function<void()> go);
    void acceptData();
    void endTransfer(bool ok, const std::string& failure = {});
    void closeData();
    void sendBytes(std::shared_ptr<std::string> bytes);
    void sendFile();
    void receive();

    boost::asio::ip::tcp::socket m_control;
    FtpService& m_service;
    std::shared_ptr<const FtpEndpoint> m_endpoint;
    std::shared_ptr<const FtpSnapshot> m_snap; // the state the session started in, renewed per command
    const FtpSite* m_site = nullptr;
    std::uint32_t m_siteId = 0;
    bool m_admitted = false;
    std::uint64_t m_number = 0;
    QString m_clientIp;
    boost::asio::ip::address m_clientAddress;
    QString m_logDirectory;
    bool m_logging = true;

    boost::asio::streambuf m_in{MaxLine + 2};
    std::deque<std::string> m_queued; // commands that arrived during a transfer or a logon's delay
    bool m_reading = false;
    bool m_busy = false; // a transfer or a failed logon's delay is under way
    std::deque<std::string> m_out;
    bool m_writing = false;
    bool m_closing = false;
    bool m_closed = false;
    boost::asio::steady_timer m_idle;
    boost::asio::steady_timer m_delay;
    Clock::time_point m_lastActivity = Clock::now();
    std::uint32_t m_timeoutSeconds = 120;

    // Logon and position.
    QString m_user;
    std::optional<FtpAccount> m_account;
    VirtualPath m_cwd;
    char m_type = 'A';
    std::uint64_t m_restart = 0;
    std::optional<Target> m_renameFrom;

    // The data connection.
    DataMode m_mode = DataMode::None;
    std::unique_ptr<boost::asio::ip::tcp::acceptor> m_passive;
    boost::asio::ip::tcp::endpoint m_activeTo;
    std::unique_ptr<boost::asio::ip::tcp::socket> m_data;
    bool m_dataConnected = false;
    std::function<void()> m_onData; // what waits for the data connection
    bool m_transferring = false;
    int m_fd = -1;
    std::string m_tempPath;  // an upload's file until it is whole
    std::string m_finalPath; // where it goes then
    bool m_replacing = false;
    std::uint64_t m_bytes = 0;
    std::vector<char> m_chunk;
    QString m_transferMethod; // "sent", "created", "appended"
    QString m_transferStem;
};

} // namespace msftpsvc
