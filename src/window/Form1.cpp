#include "window/Form1.h"

#include "settings/ReadIniValue.h"
#include "window/Twips.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

using namespace Qt::Literals::StringLiterals;
using window::twipsRect;

namespace {

// The window's client area: 9345 by 6615 twips.
constexpr int ClientWidthTwips = 9345;
constexpr int ClientHeightTwips = 6615;

QFont songFont(double points = 9, bool bold = false) {
    QFont f(u"SimSun"_s);
    f.setPointSizeF(points);
    f.setBold(bold);
    return f;
}

void makeRed(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, QColor(255, 0, 0));
    w->setPalette(p);
}

template <typename W> W* place(QWidget* parent, W* w, const char* name, QRect geometry) {
    w->setParent(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(geometry);
    w->setFont(songFont());
    return w;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* l = place(parent, new QLabel(caption), name, geometry);
    l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return l;
}

QLineEdit* textBox(QWidget* parent, const char* name, const QString& text, QRect geometry,
                   const QString& tip = {}) {
    auto* t = place(parent, new QLineEdit(text), name, geometry);
    t->setToolTip(tip);
    return t;
}

QCheckBox* checkBox(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    return place(parent, new QCheckBox(caption), name, geometry);
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                    const QString& tip = {}) {
    auto* b = place(parent, new QPushButton(caption), name, geometry);
    b->setToolTip(tip);
    b->setAutoDefault(false);
    return b;
}

// The label names its field, for the keyboard (buddy) and for screen readers (accessible name).
void nameByLabel(QLabel* label, QWidget* field) {
    label->setBuddy(field);
    QString name = label->text().trimmed();
    while (name.endsWith(u'：') || name.endsWith(u':'))
        name.chop(1);
    field->setAccessibleName(name.trimmed());
}

} // namespace

Form1::Form1(const Form1Services& svc, QWidget* parent) : QMainWindow(parent), services(svc) {
    setObjectName(u"Form1"_s);
    setWindowTitle(u"Velmora-Quorrin"_s);
    setWindowIcon(QIcon(u":/velmora/velmora.xpm"_s));
    buildControls();
    buildMenus();
    connectHandlers();
    setTabOrderChain();
    guard.attach(this);
    // The layout is fixed: nothing reacts to a size change, so the size cannot change.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    Command1->setFocus();
}

Form1::~Form1() = default;

void Form1::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(u"client"_s);
    client->setFixedSize(window::twips(ClientWidthTwips), window::twips(ClientHeightTwips));
    setCentralWidget(client);

    Label1 = label(client, "Label1", u"网站名称："_s, twipsRect(120, 285, 900, 255));
    txtSiteName =
        textBox(client, "txtSiteName", u"myweb"_s, twipsRect(1100, 200, 3480, 375), u"输入网站名称"_s);
    Check1 = checkBox(client, "Check1", u"创建匿名用户"_s, twipsRect(4800, 150, 1455, 255));
    Check2 = checkBox(client, "Check2", u"创建/删除独立的程序池"_s, twipsRect(6960, 150, 2295, 300));
    Check2->setChecked(true);
    Label6 = label(client, "Label6", u"多域名用@分隔如：a.com@b.com"_s, twipsRect(1080, 720, 3400, 255));
    Check3 = checkBox(client, "Check3", u"创建/删除独立FTP站点"_s, twipsRect(4800, 650, 2175, 255));
    Check4 = checkBox(client, "Check4", u"64Bit do not access php"_s, twipsRect(6960, 650, 2400, 180));
    Check4->setEnabled(false);
    Label2 = label(client, "Label2", u"绑定域名："_s, twipsRect(120, 1040, 975, 255));
    txtHostName = textBox(client, "txtHostName", u"www.example.com"_s, twipsRect(1080, 960, 3495, 375),
                          u"网站榜定的域名"_s);
    readtable = textBox(client, "readtable", QString(), twipsRect(7800, 960, 1575, 270));
    readtable->setVisible(false);
    readtable->setFocusPolicy(Qt::ClickFocus);
    Check5 = checkBox(client, "Check5", u"创建 301 全站重定向"_s, twipsRect(4800, 1150, 2295, 255));
    Label3 = label(client, "Label3", u"网站 IP："_s, twipsRect(120, 1750, 855, 255));
    Combo1 = place(client, new QComboBox, "Combo1", twipsRect(1080, 1700, 2535, 300));
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->setToolTip(u"选择本机IP"_s);
    Label4 = label(client, "Label4", u":"_s, twipsRect(3600, 1710, 135, 255));
    Label4->setFont(songFont(10.5, true));
    txtSitePort = textBox(client, "txtSitePort", u"80"_s, twipsRect(3840, 1700, 615, 300));
    Label7 = label(client, "Label7", u"FTP用户名："_s, twipsRect(4800, 1750, 1065, 255));
    username = textBox(client, "username", u"myweb"_s, twipsRect(5760, 1650, 1455, 390));
    username->setEnabled(false);
    Label8 = label(client, "Label8", u"密码："_s, twipsRect(7320, 1750, 555, 255));
    password = textBox(client, "password", QString(), twipsRect(7800, 1650, 1455, 375), u"匿名用户密码"_s);
    password->setEnabled(false);
    Label5 = label(client, "Label5", u"网站路径："_s, twipsRect(120, 2350, 975, 255));
    txtSitePath =
        textBox(client, "txtSitePath", u"D:\\WebRoot"_s, twipsRect(1080, 2250, 3495, 375), u"网站程序路径"_s);
    txtSitePath->setEnabled(false);
    Command1 = button(client, "Command1", u"建站"_s, twipsRect(4800, 2250, 735, 375), u"创建站点"_s);
    Command2 =
        button(client, "Command2", u"删站"_s, twipsRect(6000, 2250, 735, 375), u"删除网站名称中的网站"_s);
    Command3 = button(client, "Command3", u"修改"_s, twipsRect(7200, 2250, 735, 375), u"确定修改"_s);
    Command4 = button(client, "Command4", u"提取"_s, twipsRect(8400, 2250, 735, 375));
    Label9 = label(client, "Label9", u"网站列表"_s, twipsRect(4320, 2760, 1005, 375));
    {
        QFont kai(u"FangSong_GB2312"_s);
        kai.setPointSize(12);
        Label9->setFont(kai);
        makeRed(Label9);
    }
    Label13 = label(client, "Label13", u"提取日期："_s, twipsRect(7320, 2760, 975, 255));
    timedate = textBox(client, "timedate", QString(), twipsRect(8250, 2700, 975, 270));
    MSFlexGrid1 = place(client, new window::MSFlexGrid, "MSFlexGrid1", twipsRect(120, 3000, 9135, 3285));
    MSFlexGrid1->setRows(2);
    MSFlexGrid1->setCols(7);
    MSFlexGrid1->setToolTip(u"服务器站点信息"_s);
    Label11 = label(client, "Label11", u"服务器网站数："_s, twipsRect(120, 6360, 1300, 255));
    makeRed(Label11);
    Label10 = label(client, "Label10", QString(), twipsRect(1440, 6360, 405, 255));
    Label12 = label(client, "Label12", QString(), twipsRect(4080, 6360, 1695, 255));
    makeRed(Label12);

    // Every field is named by its label; option boxes and buttons by their captions.
    nameByLabel(Label1, txtSiteName);
    nameByLabel(Label2, txtHostName);
    nameByLabel(Label3, Combo1);
    txtSitePort->setAccessibleName(u"网站端口"_s); // its label is the ":" after the address
    nameByLabel(Label7, username);
    nameByLabel(Label8, password);
    nameByLabel(Label5, txtSitePath);
    nameByLabel(Label13, timedate);
    nameByLabel(Label9, MSFlexGrid1);
    readtable->setAccessibleName(u"选中的网站名称"_s);
    // The count and the status line are read by what they show: no fixed accessible name, so
    // their name is their text and a new text reaches the screen reader as a name change. The
    // caption beside them stays their label.
    Label11->setBuddy(Label10);
    Label10->setAccessibleDescription(u"服务器网站数"_s);
    Label12->setAccessibleDescription(u"状态"_s);

    // The refresh timer is disabled in the design and nothing enables it.
    Timer1 = new QTimer(this);
    Timer1->setObjectName(u"Timer1"_s);
    Timer1->setInterval(60000);
}

template <typename Signal, typename Sender>
void Form1::connectAction(Sender* sender, Signal signal, const char* name, void (Form1::*handler)()) {
    connect(sender, signal, this,
            [this, name, handler] { guard.run(name, [this, handler] { (this->*handler)(); }); });
}

void Form1::connectHandlers() {
    connect(Check1, &QCheckBox::toggled, this, &Form1::Check1_Click);
    connect(Check3, &QCheckBox::toggled, this, &Form1::Check3_Click);
    connect(Check5, &QCheckBox::toggled, this, &Form1::Check5_Click);
    connect(txtSiteName, &QLineEdit::textChanged, this, &Form1::txtSiteName_Change);
    connect(username, &QLineEdit::textChanged, this, &Form1::username_Change);
    // The IP box's click, once per choice of an entry, by the operator or by the program. Choosing
    // the entry already chosen changes nothing; text typed into the box is no choice.
    connect(Combo1, &QComboBox::currentIndexChanged, this, &Form1::Combo1_Click);
    txtHostName->installEventFilter(this);
    timedate->installEventFilter(this);
    txtHostName->setMouseTracking(true);

    connectAction(Command1, &QPushButton::clicked, "Command1_Click", &Form1::Command1_Click);
    connectAction(Command2, &QPushButton::clicked, "Command2_Click", &Form1::Command2_Click);
    connectAction(Command3, &QPushButton::clicked, "Command3_Click", &Form1::Command3_Click);
    connectAction(Command4, &QPushButton::clicked, "Command4_Click", &Form1::Command4_Click);
    connectAction(MSFlexGrid1, &window::MSFlexGrid::Click, "MSFlexGrid1_Click", &Form1::MSFlexGrid1_Click);
    connectAction(Menu_file_home, &QAction::triggered, "Menu_file_home_Click", &Form1::Menu_file_home_Click);
    connectAction(Menu_file_log, &QAction::triggered, "Menu_file_log_Click", &Form1::Menu_file_log_Click);
    connectAction(Menu_help_about, &QAction::triggered, "Menu_help_about_Click",
                  &Form1::Menu_help_about_Click);
    connectAction(Menu_help_conn, &QAction::triggered, "Menu_help_conn_Click", &Form1::Menu_help_conn_Click);
    connectAction(Timer1, &QTimer::timeout, "Timer1_Timer", &Form1::Timer1_Timer);
}

void Form1::buildMenus() {
    auto action = [this](QMenu* menu, const char* name, const QString& caption, const char* shortcut) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        if (shortcut)
            a->setShortcut(QKeySequence(QString::fromLatin1(shortcut)));
        return a;
    };
    auto separator = [](QMenu* menu, const char* name) {
        QAction* s = menu->addSeparator();
        s->setObjectName(QString::fromLatin1(name));
        return s;
    };
    menuBar()->setFont(songFont());
    Menu_file = menuBar()->addMenu(u"文件(&F)"_s);
    Menu_file->setObjectName(u"Menu_file"_s);
    Menu_file_home = action(Menu_file, "Menu_file_home", u"设置主目录(&P)"_s, "Ctrl+P");
    Menu_file_0 = separator(Menu_file, "Menu_file_0");
    Menu_file_log = action(Menu_file, "Menu_file_log", u"日志目录(&L)"_s, "Ctrl+L");
    Menu_file_1 = separator(Menu_file, "Menu_file_1");
    // Backing up IIS is not offered: the item is shown greyed out and has no handler.
    Menu_file_back = action(Menu_file, "Menu_file_back", u"备份IIS(&B)"_s, "Ctrl+B");
    Menu_file_back->setEnabled(false);
    Menu_help = menuBar()->addMenu(u"帮助(&H)"_s);
    Menu_help->setObjectName(u"Menu_help"_s);
    Menu_help_about = action(Menu_help, "Menu_help_about", u"关于我们"_s, nullptr);
    Menu_help_0 = separator(Menu_help, "Menu_help_0");
    Menu_help_conn = action(Menu_help, "Menu_help_conn", u"请求帮助"_s, nullptr);
    for (QMenu* m : {Menu_file, Menu_help})
        m->setFont(songFont());
}

void Form1::setTabOrderChain() {
    const QList<QWidget*> order = {Command1,    txtSiteName, txtHostName, Command2, txtSitePort,
                                   txtSitePath, Combo1,      Check2,      Check1,   username,
                                   password,    Check3,      Check4,      Command3, MSFlexGrid1,
                                   readtable,   Check5,      Command4,    timedate};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
}

void Form1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (m_centred)
        return;
    m_centred = true;
    if (const QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

void Form1::Check1_Click() {
    password->setEnabled(Check1->isChecked());
}

void Form1::Check3_Click() {
    if (Check3->isChecked())
        Check1->setChecked(true);
}

void Form1::Check5_Click() {
    if (Check5->isChecked()) {
        // Redirect mode: the path box takes the target address.
        Check1->setEnabled(false);
        Check1->setChecked(false);
        Check2->setEnabled(false);
        Check2->setChecked(false);
        Check3->setEnabled(false);
        Label5->setText(u"目标地址："_s);
        nameByLabel(Label5, txtSitePath);
        txtSitePath->setText(u"http://"_s);
        txtSitePath->setEnabled(true);
        return;
    }
    Check1->setEnabled(true);
    Check2->setEnabled(true);
    Check2->setChecked(true);
    Check3->setEnabled(true);
    Label5->setText(u"网站路径："_s);
    nameByLabel(Label5, txtSitePath);
    txtSitePath->setText(settings::ReadIniValue(*services.profiles, u"homepath"_s, u"path"_s, std::nullopt));
    txtSitePath->setEnabled(false);
}
