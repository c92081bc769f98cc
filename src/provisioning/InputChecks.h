#pragma once

#include <QString>

#include <optional>

namespace platform {
class Accounts;
}

// Checks of what the operator typed, made before anything is created or changed. Each returns the
// message to show (information icon, OK, title "系统信息"), or "" when the input is fine.
namespace InputChecks {

// The site name, already trimmed: it becomes a folder, an account and a command-line word.
// Refuses an empty name, a blank, a control character or one of " / \ [ ] : ; | = , + * ? < > @ & ^ %,
// a trailing ".", a reserved device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an
// extension), and, when the site gets an account of its own, more than 20 characters.
QString SiteName(const QString& name, bool ownAccount);

// The site's longest path, homeRoot + "\" + name + "\web\index.html", must fit in 259 characters.
QString SitePath(const QString& homeRoot, const QString& name);

// An account of that name already on the machine (compared without regard to case).
QString AccountFree(platform::Accounts& accounts, const QString& name);

// The password goes into a command line: no blank, control character or one of " & | < > ^ %, and
// no "/" in front, where net would take it for a switch.
QString Password(const QString& password);

// Every "@"-separated piece of the domain list holds only letters, digits, "-" and ".".
QString DomainList(const QString& domainList);

// A whole number from 1 to 65535.
QString Port(const QString& port);

// The redirect target becomes HttpRedirect ("target$S$Q, EXACT_DESTINATION, PERMANENT") and the
// Location of every answer: no blank, control character, quote, "<", ">" or "," (which would start
// the flags).
QString RedirectTarget(const QString& target);

// A folder chosen in the folder browser goes quoted into command lines: none of " % * ? < > | and
// no control character.
QString ChosenFolder(const QString& path);

// The sites root must have been chosen, and be a folder a quoted command line can hold.
QString HomeRoot(const QString& homeRoot);

// Everything the create button checks, in the order the operator meets the messages.
struct CreateInput {
    QString siteName; // trimmed
    QString homeRoot;
    bool ownAccount = false;
    QString accountName; // trimmed; it follows the site name as it is typed
    QString password;    // trimmed
    QString domainList;
    QString port;
    std::optional<QString> redirect; // the target, when the site is a redirect
};
QString CreateSite(platform::Accounts& accounts, const CreateInput& input);

} // namespace InputChecks
