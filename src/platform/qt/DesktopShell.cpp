#include "platform/qt/DesktopShell.h"

#include <QDesktopServices>
#include <QUrl>

namespace platform {

using namespace Qt::Literals::StringLiterals;

void DesktopShell::ShellExecute(const QString& operation, const QString& file, const QString&, const QString&,
                                int) {
    if (operation.compare(u"open"_s, Qt::CaseInsensitive) != 0)
        return;
    // A web address without a scheme is a host name, as the shell takes it.
    QUrl url(file, QUrl::TolerantMode);
    if (url.scheme().isEmpty())
        url = QUrl(u"http://"_s + file, QUrl::TolerantMode);
    QDesktopServices::openUrl(url);
}

} // namespace platform
