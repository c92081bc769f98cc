#include "platform/qt/DesktopShell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

namespace platform {

using namespace Qt::Literals::StringLiterals;

void DesktopShell::ShellExecute(const QString& operation, const QString& file, const QString&, const QString&,
                                int) {
    if (operation.compare(u"open"_s, Qt::CaseInsensitive) != 0)
        return;
    // A web address without a scheme is a host name, as the shell takes it. Blanks and Chinese text
    // of a mail link are percent-encoded on their way to the desktop.
    QUrl url(file, QUrl::TolerantMode);
    if (url.scheme().isEmpty())
        url = QUrl(u"http://"_s + file, QUrl::TolerantMode);
    if (!url.isValid())
        return;
    if (QDesktopServices::openUrl(url))
        return;
    // A display without desktop services (the offscreen and minimal platforms): the freedesktop
    // opener itself. Nothing waits for it and its result is not reported, as with the shell.
    QProcess::startDetached(u"xdg-open"_s, {QString::fromLatin1(url.toEncoded())});
}

} // namespace platform
