// The site list: laying out the grid, filling it from the metabase, and reporting a result.

#include "platform/Dialogs.h"
#include "platform/Metabase.h"
#include "window/Form1.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

namespace {

struct Column {
    const char16_t* header;
    int width; // twips
};

const Column Columns[] = {
    {u"状态", 500},      {u"网站名称", 1800}, {u"标识符", 800},    {u"绑定域名", 2250},
    {u"匿名用户", 1550}, {u"密 码", 1580},    {u"网站目录", 2850},
};

enum Cell { State = 0, SiteName = 1, Identifier = 2, Domains = 3, Account = 4, Password = 5, Directory = 6 };

QString stateText(std::uint32_t state) {
    switch (state) {
    case 2:
        return u"启动"_s;
    case 4:
        return u"停止"_s;
    case 6:
        return u"暂停"_s;
    default:
        return {}; // starting, stopping, pausing, continuing
    }
}

bool isNumeric(const QString& name) {
    bool ok = false;
    name.toLongLong(&ok);
    return ok && !name.isEmpty();
}

// Fills one row of the list from the site of that number: state, domains, account, password,
// folder; cells the site cannot fill stay empty.
void fillSiteRow(Form1& form, int row, const QString& siteNumber) {
    window::MSFlexGrid* grid = form.MSFlexGrid1;
    // Cells that this site cannot fill stay empty: they never show another site's values.
    for (Cell c : {State, Domains, Account, Password, Directory})
        grid->setTextMatrix(row, c, QString());
    auto site = form.services.metabase->Bind(u"IIS://LocalHost/W3SVC/"_s + siteNumber);
    if (!site)
        return;
    if (auto state = site.value()->Get(u"ServerState"_s))
        grid->setTextMatrix(row, State, stateText(state.value().toNumber() & 0xFFFF));
    // The host of each binding "ip:port:host", the third piece, each followed by a space.
    QString domains;
    for (const QString& binding : site.value()->Get(u"ServerBindings"_s).valueOr({}).toStringList()) {
        const qsizetype first = binding.indexOf(u':');
        const qsizetype second = first < 0 ? -1 : binding.indexOf(u':', first + 1);
        if (second < 0)
            continue;
        const qsizetype third = binding.indexOf(u':', second + 1);
        domains += QStringView(binding).sliced(second + 1, (third < 0 ? binding.size() : third) - second - 1);
        domains += u' ';
    }
    grid->setTextMatrix(row, Domains, domains);
    auto root = site.value()->GetObject(u"IIsWebVirtualDir"_s, u"ROOT"_s);
    if (!root)
        return;
    if (auto v = root.value()->Get(u"AnonymousUserName"_s))
        grid->setTextMatrix(row, Account, v.value().toString());
    if (auto v = root.value()->Get(u"AnonymousUserPass"_s))
        grid->setTextMatrix(row, Password, v.value().toString());
    if (auto v = root.value()->Get(u"Path"_s))
        grid->setTextMatrix(row, Directory, v.value().toString());
}

} // namespace

void Form1::SetupSiteGrid() {
    MSFlexGrid1->Clear();
    MSFlexGrid1->setRows(2);
    MSFlexGrid1->centreFixedRow();
    int c = 0;
    for (const Column& col : Columns) {
        MSFlexGrid1->setColWidth(c, col.width);
        MSFlexGrid1->setTextMatrix(0, c, QString::fromUtf16(col.header));
        ++c;
    }
}

void Form1::RefreshSiteList() {
    int row = 1;
    MSFlexGrid1->beginBatch();
    SetupSiteGrid();
    // Every read of this refresh sees one state of the metabase.
    const auto scope = services.metabase->ReadScope();
    if (auto service = services.metabase->Bind(u"IIS://LocalHost/W3SVC"_s)) {
        auto children = service.value()->Enumerate();
        for (auto& child : std::move(children).valueOr({})) {
            if (auto comment = child->Get(u"ServerComment"_s))
                MSFlexGrid1->setTextMatrix(row, SiteName, comment.value().toString());
            if (!MSFlexGrid1->TextMatrix(row, SiteName).isEmpty())
                MSFlexGrid1->setTextMatrix(row, Identifier, child->Name());
            if (isNumeric(child->Name()))
                fillSiteRow(*this, row, child->Name());
            // A row is kept only for a child with a name (compared by character codes).
            if (QString::compare(MSFlexGrid1->TextMatrix(row, SiteName), u" "_s, Qt::CaseSensitive) > 0) {
                MSFlexGrid1->setRows(MSFlexGrid1->Rows() + 1);
                ++row;
            }
        }
    }
    MSFlexGrid1->endBatch();
    Label10->setText(QString::number(MSFlexGrid1->Rows() - 2));
}

void Form1::ReportResult(const QString& mode) {
    // The name each message names: the created site, the site in the name box, the selection.
    QString name;
    QString done;
    QString unfinished;
    if (mode == u"creat"_s) {
        name = state.CreatedSiteName;
        done = u" 创建成功!"_s;
        unfinished = u" 创建未完成，以下步骤失败："_s;
    } else if (mode == u"delet"_s) {
        name = txtSiteName->text().trimmed();
        done = u" 删除成功!"_s;
        unfinished = u" 删除未完成，以下步骤失败："_s;
    } else if (mode == u"Editweb"_s) {
        name = state.SelectedSiteId;
        done = u" 修改成功!"_s;
        unfinished = u" 修改未完成，以下步骤失败："_s;
    }
    if (!done.isEmpty()) {
        // A failure is never reported as success.
        if (operation && operation->failed())
            services.dialogs->MsgBox(u"网站 "_s + name + unfinished + u'\n' +
                                         operation->failures().join(u'\n'),
                                     platform::msgbox::Exclamation, u"警告"_s);
        else
            services.dialogs->MsgBox(u"网站 "_s + name + done, platform::msgbox::Information);
    }
    if (mode == u"delet"_s)
        state.DeleteReported = true;
    operation.reset();
    txtSiteName->clear();
    txtHostName->clear();
    password->clear();
    Check1->setChecked(false);
    Check3->setChecked(false);
    RefreshSiteList();
    state.SelectedSiteId.clear();
}

// The refresh timer is disabled and never started; were it to tick, it would rebuild the list.
void Form1::Timer1_Timer() {
    RefreshSiteList();
}
