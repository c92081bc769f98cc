// Clicks on the site list: selecting a site and changing its run state.

#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "window/Form1.h"
#include "window/Twips.h"

#include <QCheckBox>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

enum Cell { State = 0, SiteName = 1, Identifier = 2, Domains = 3, Account = 4, Password = 5, Directory = 6 };

} // namespace

void Form1::MSFlexGrid1_Click() {
    // The cell under the mouse pointer at the click, not the grid's current cell.
    const int R = MSFlexGrid1->MouseRow();
    const int C = MSFlexGrid1->MouseCol();
    if (R < 0 || C < 0)
        return;

    if (C == State) {
        const QString text = MSFlexGrid1->TextMatrix(R, State);
        if (text == u"启动"_s)
            SetSiteRunState(1, R);
        else if (text == u"暂停"_s)
            SetSiteRunState(2, R);
        else if (text == u"停止"_s)
            SetSiteRunState(0, R);
    } else if (C == SiteName) {
        // An editable copy of the name laid over the current cell, so that it can be copied.
        readtable->setVisible(true);
        readtable->setGeometry(MSFlexGrid1->x() + window::twips(MSFlexGrid1->CellLeft()),
                               MSFlexGrid1->y() + window::twips(MSFlexGrid1->CellTop()),
                               window::twips(MSFlexGrid1->CellWidth()),
                               window::twips(MSFlexGrid1->CellHeight()));
        readtable->raise();
        if (R > 0)
            readtable->setText(MSFlexGrid1->TextMatrix(R, SiteName));
        readtable->setFocus();
    } else if (R != 0) {
        // Loading the row: the order matters, since the name fills the account name and a new
        // account name empties the password.
        readtable->setVisible(false);
        txtSiteName->setText(MSFlexGrid1->TextMatrix(R, SiteName));
        txtHostName->setText(MSFlexGrid1->TextMatrix(R, Domains).trimmed().replace(u' ', u'@'));
        txtSitePath->setText(MSFlexGrid1->TextMatrix(R, Directory));
        state.SelectedSitePath = txtSitePath->text();
        username->setText(MSFlexGrid1->TextMatrix(R, Account));
        password->setText(MSFlexGrid1->TextMatrix(R, Password));
        state.SelectedSiteId = MSFlexGrid1->TextMatrix(R, Identifier);
    }

    if (state.SelectedSitePath.size() > 7) {
        state.SelectedSiteFolder = state.SelectedSitePath.left(state.SelectedSitePath.size() - 4);
        Check3->setChecked(true);
    }
    // Leaving redirect mode puts the sites root back into the path box.
    Check5->setChecked(false);
}

void Form1::SetSiteRunState(int action, int row) {
    const auto refuse = [this] {
        if (services.dialogs)
            services.dialogs->MsgBox(u"站点使用的端口或域名已被占用无法启动！"_s,
                                     platform::msgbox::Information, u"信息提示"_s);
    };
    // The site is the one whose identifier stands in the row; its name is checked too, so that a
    // number reused since the list was read never changes another site.
    const QString number = MSFlexGrid1->TextMatrix(row, Identifier).trimmed();
    const QString name = MSFlexGrid1->TextMatrix(row, SiteName).trimmed();
    bool numeric = false;
    number.toUInt(&numeric);
    if (!numeric || action < 0 || action > 2)
        return refuse();
    auto site = services.metabase->Bind(u"IIS://localhost/w3svc/"_s + number);
    if (!site)
        return refuse();
    const auto comment = site.value()->Get(u"ServerComment"_s);
    if (!comment || comment.value().toString().trimmed() != name)
        return refuse();

    static const char16_t* const Texts[] = {u"启动", u"暂停", u"停止"};
    platform::Status done;
    switch (action) {
    case 0:
        done = site.value()->Start();
        break;
    case 1:
        done = site.value()->Pause();
        break;
    default:
        done = site.value()->Stop();
        break;
    }
    if (!done)
        return refuse();
    MSFlexGrid1->setTextMatrix(row, State, QString::fromUtf16(Texts[action]));
}
