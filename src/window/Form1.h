#pragma once

#include "platform/CommandRunner.h"
#include "platform/SystemInfo.h"
#include "window/MSFlexGrid.h"
#include "window/Operation.h"
#include "window/OperationGuard.h"

#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;

namespace platform {
class Accounts;
class CommandRunner;
class Dialogs;
class Files;
class Metabase;
class MetabaseObject;
class Pacing;
class ProfileStore;
class ProgramEnd;
class Shell;
class SystemInfo;
} // namespace platform

// The platform services the window's handlers use.
struct Form1Services {
    platform::ProfileStore* profiles = nullptr;
    platform::Metabase* metabase = nullptr;
    platform::CommandRunner* commands = nullptr;
    platform::Pacing* pacing = nullptr;
    platform::Accounts* accounts = nullptr;
    platform::Files* files = nullptr;
    platform::Dialogs* dialogs = nullptr;
    platform::ProgramEnd* end = nullptr;
    platform::SystemInfo* system = nullptr;
    platform::Shell* shell = nullptr;
};

// Main-window state shared by the handlers; it lives as long as the program.
struct Form1State {
    QString HomeRoot;            // sites root folder
    QString RunStatus;           // "True"/"False": the sites root has been secured
    QString SecureCount;         // how often the sites root has been secured, as text
    QString LogFolder;           // IIS central log folder
    QString LogConfigured;       // "TRUE"/"FALSE": the log folder has been set
    QString SharedAnonymousUser; // the web service's anonymous account
    QString BindingIP;           // IP address of new bindings; empty for all unassigned
    bool SiteExists = false;     // the last create found the name taken
    std::int32_t SiteNumber = 0; // number of the site being created
    QString CreatedSiteName;
    QString SelectedSiteId;
    QString SelectedSitePath;
    QString SelectedSiteFolder;
    std::int32_t FtpSiteNumber = 0; // the default FTP site, 0 when none
    QString FtpDirPath;
    bool DeleteReported = false;
    QString CreatingSiteName; // the create under way: the name, trimmed once at the press
};

// The program's only window. Controls carry their design names, also as object names.
class Form1 final : public QMainWindow {
    Q_OBJECT
public:
    explicit Form1(const Form1Services& services, QWidget* parent = nullptr);
    ~Form1() override;

    // Controls, top to bottom as the window shows them.
    QLabel* Label1;
    QLineEdit* txtSiteName;
    QCheckBox* Check1;
    QCheckBox* Check2;
    QLabel* Label6;
    QCheckBox* Check3;
    QCheckBox* Check4;
    QLabel* Label2;
    QLineEdit* txtHostName;
    QLineEdit* readtable;
    QCheckBox* Check5;
    QLabel* Label3;
    QComboBox* Combo1;
    QLabel* Label4;
    QLineEdit* txtSitePort;
    QLabel* Label7;
    QLineEdit* username;
    QLabel* Label8;
    QLineEdit* password;
    QLabel* Label5;
    QLineEdit* txtSitePath;
    QPushButton* Command1;
    QPushButton* Command2;
    QPushButton* Command3;
    QPushButton* Command4;
    QLabel* Label9;
    QLabel* Label13;
    QLineEdit* timedate;
    window::MSFlexGrid* MSFlexGrid1;
    QLabel* Label11;
    QLabel* Label10;
    QLabel* Label12;
    QTimer* Timer1;

    QMenu* Menu_file;
    QAction* Menu_file_home;
    QAction* Menu_file_0;
    QAction* Menu_file_log;
    QAction* Menu_file_1;
    QAction* Menu_file_back;
    QMenu* Menu_help;
    QAction* Menu_help_about;
    QAction* Menu_help_0;
    QAction* Menu_help_conn;

    Form1State state;
    Form1Services services;

    // Start-up: the settings phase, which runs the window phase in its course.
    void Form_Initialize();
    void Form_Load();
    // The Windows version: GetVersionEx with the full 148-byte record; only the numbers are kept.
    platform::Outcome<platform::OsVersionRecord> GetOsVersion();
    // True once the program has been ended (the window must not be shown).
    bool ended() const { return m_ended; }

    // The site list.
    void SetupSiteGrid();
    void RefreshSiteList();
    // Reports a finished create ("creat"), delete ("delet") or edit ("Editweb") and resets the form.
    void ReportResult(const QString& mode);
    void SetupDefaultFtpSite();

    // The create, delete or edit under way: its failed steps decide the final report.
    std::optional<window::Operation> operation;
    // Runs a command line hidden and waits for it. During an operation, a command whose effect the
    // machine does not show afterwards is recorded on it as a failed step.
    platform::Outcome<platform::CommandResult> RunHidden(const QString& commandLine);
    // Waits at least ms milliseconds; the window keeps painting meanwhile.
    void Delay(int ms);
    // Ends the program at once.
    void EndProgram();

    // Option-box reactions: each runs whenever its box changes state, by hand or by program.
    void Check1_Click();
    void Check3_Click();
    void Check5_Click();

    // Input-field handlers.
    void txtSiteName_Change();
    void username_Change();
    // KeyAscii is the character code of the key; setting it to 0 discards the key.
    void txtHostName_KeyPress(int& KeyAscii);
    void txtHostName_MouseMove();
    void Combo1_Click();

    // Action handlers; each runs through the operation guard.
    OperationGuard guard;
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void MSFlexGrid1_Click();
    void Menu_file_home_Click();
    void Menu_file_log_Click();
    void Menu_help_about_Click();
    void Menu_help_conn_Click();
    void Timer1_Timer();

    // Site creation (provisioning/). Extra procedures of this subsystem are declared here.
    void PrepareSiteFolders();
    void ProvisionSite();
    void CreateIISWebServer(const QString& siteName, const QString& webFolder, int port,
                            const QString& domainList);
    // Binds an IIS service; while it cannot be bound, tells the operator (notStarted) and offers
    // Retry and Cancel. Cancel ends the program and gives null.
    std::unique_ptr<platform::MetabaseObject> BindServiceOrEnd(const QString& adsPath,
                                                               const QString& notStarted);
    // end of site creation

    // The sites root, the log folder and log extraction (admin/). Extra procedures go here.
    void SecureHomeRoot(const QString& path);
    // The extraction date's key filter: digits, Backspace and Enter pass; any other key is
    // discarded (KeyAscii set to 0) and the status line says why.
    void timedate_KeyPress(int& KeyAscii);
    // The number at the start of SecureCount (0 when it holds none), as a script's Val reads it.
    double SecureCountNumber() const;
    // end of server administration

    // Site selection and run state (catalogue/). Extra procedures go here.
    // action: 0 start, 1 pause, 2 stop; row: the list row of the site.
    void SetSiteRunState(int action, int row);
    // end of site selection

    // Edit and delete (maintenance/). Extra procedures go here.
    void ReadFtpDirPath();
    // Deletes the IIS site of that number, which must carry the name; false when the site still
    // exists afterwards (nothing else of it may then be removed). Three binds of the web service,
    // a second apart, before the operator is told that IIS is not running.
    bool DeleteIISWebSite(const QString& name, const QString& siteNumber);
    // end of edit and delete

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void buildMenus();
    void setTabOrderChain();
    void connectHandlers();
    template <typename Signal, typename Sender>
    void connectAction(Sender* sender, Signal signal, const char* name, void (Form1::*handler)());
    bool m_centred = false;
    bool m_ended = false;
};
