#include "applet/SmartPopDlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <string>
#include <vector>

#include "applet/Controls.h"
#include "net/Address.h"
#include "applet/DomainDlg.h"
#include "applet/SignInDlg.h"
#include "auth/OAuth2.h"
#include "core/Format.h"
#include "core/ProtocolText.h"
#include "core/RegistryKey.h"
#include "core/SettingChecks.h"

namespace pv {

namespace {
constexpr const char* kSmartPopKey = "SmartPop";
constexpr const char* kDomainsKey = "SmartPop_Domains";
// The choices of the security box, in the order shown; each item's data is the stored name.
constexpr PopSecurity kSecurities[] = {PopSecurity::None, PopSecurity::Stls, PopSecurity::Tls};
const char* SecurityLabel(PopSecurity security) {
    switch (security) {
        case PopSecurity::Stls: return "STLS (TLS after the greeting, usually port 110)";
        case PopSecurity::Tls: return "TLS from the first byte (usually port 995)";
        default: return "None (password in clear)";
    }
}

constexpr int kAccountColumnPx = 240;
constexpr int kFieldMarginPx = 16;

std::string AccountKey(const QString& account) { return std::string(kSmartPopKey) + "\\" + account.toStdString(); }
QString Q(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

// ---- Add/Edit SmartPop ------------------------------------------------------------------------

CSmartPopAccountDlg::CSmartPopAccountDlg(const SmartPopAccount& stored, const QStringList& taken, QWidget* parent)
    : QDialog(parent), stored_(stored), taken_(taken) {
    setWindowTitle("Add/Edit SmartPop");
    auto* layout = new QVBoxLayout(this);
    auto* accountLabel = new QLabel("Remote POP3 &Account", this);
    auto* example = new QLabel("e.g. mailbox@pop.provider.example", this);
    account_ = new QLineEdit(stored.account, this);
    account_->setObjectName("Account");
    accountLabel->setBuddy(account_);
    layout->addWidget(accountLabel);
    layout->addWidget(example);
    layout->addWidget(account_);

    auto* form = new QFormLayout;
    // The stored password is never put into the field: it could be read off the screen or
    // copied out. An empty field keeps it.
    password_ = new QLineEdit(this);
    password_->setObjectName("Password");
    password_->setEchoMode(QLineEdit::Password);
    if (stored.hasPassword) password_->setPlaceholderText("(unchanged)");
    form->addRow("&Password", password_);
    deliverTo_ = new QLineEdit(stored.deliverTo, this);
    deliverTo_->setObjectName("DeliverTo");
    form->addRow("&Deliver to", deliverTo_);
    layout->addLayout(form);
    auto* note = new QLabel(
        "Note : Leave this box blank if you wish Postvane to determine the recipient from the message header.", this);
    note->setWordWrap(true);
    layout->addWidget(note);

    QGroupBox* secured = Group("Connection security", this);
    auto* securityForm = new QFormLayout;
    security_ = new QComboBox(secured);
    security_->setObjectName("Security");
    for (PopSecurity choice : kSecurities) security_->addItem(SecurityLabel(choice), PopSecurityName(choice));
    const PopSecurity current = ParsePopSecurity(stored.security.toStdString());
    if (current == PopSecurity::Invalid) {
        // Shown as it is, so that nothing is changed behind the operator's back; OK asks for
        // a valid choice.
        security_->addItem(QString("'%1' (not valid)").arg(stored.security), stored.security);
        security_->setCurrentIndex(security_->count() - 1);
    } else {
        security_->setCurrentIndex(security_->findData(PopSecurityName(current)));
    }
    securityForm->addRow("&Security", security_);
    fingerprint_ = new QLineEdit(stored.fingerprint, secured);
    fingerprint_->setObjectName("Fingerprint");
    fingerprint_->setPlaceholderText("none: the system's trusted certificates");
    // A pin is 64 hex digits: the field shows one whole.
    fingerprint_->setMinimumWidth(fingerprint_->fontMetrics().horizontalAdvance(QString(64, '0')) + kFieldMarginPx);
    securityForm->addRow("Certificate &pin (SHA-256)", fingerprint_);
    static_cast<QVBoxLayout*>(secured->layout())->addLayout(securityForm);
    layout->addWidget(secured);

    auto* portRow = new QFormLayout;
    portEdit_ = new QLineEdit(stored.port ? QString::number(*stored.port) : QString(), this);
    portEdit_->setObjectName("Port");
    portEdit_->setMaximumWidth(160);
    portRow->addRow("Connect on p&ort", portEdit_);
    layout->addLayout(portRow);

    // An account that logs in with OAuth2 (set up by postvane-admin smartpop oauth setup) needs
    // no password; its sign-in is made here or with postvane-admin smartpop oauth login.
    std::string method;
    if (!stored.account.isEmpty()) {
        CRegistryKey(AccountKey(stored.account), false).ReadString(auth::kSmartPopAuthValue, method);
    }
    oauth_ = auth::ParseLoginMethod(method) == auth::LoginMethod::OAuth2;
    auto* signIn = new QPushButton("Sign &in ...", this);
    signIn->setObjectName("SignIn");
    signIn->setEnabled(oauth_);
    signIn->setToolTip(oauth_ ? "Sign in at the provider with OAuth2"
                              : "For accounts set up for OAuth2 with postvane-admin smartpop oauth setup");
    layout->addWidget(signIn, 0, Qt::AlignLeft);
    connect(signIn, &QPushButton::clicked, this, &CSmartPopAccountDlg::SignIn);

    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, &CSmartPopAccountDlg::TryAccept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(account_, &QLineEdit::textChanged, this, &CSmartPopAccountDlg::UpdateOk);
    connect(password_, &QLineEdit::textChanged, this, &CSmartPopAccountDlg::UpdateOk);
    connect(security_, &QComboBox::currentIndexChanged, this, &CSmartPopAccountDlg::ShowUsualPort);
    ShowUsualPort();
    UpdateOk();
}

void CSmartPopAccountDlg::SignIn() {
    CSignInDlg dlg(auth::SmartPopOAuthPlace(account_->text().toStdString()), this);
    dlg.exec();
}

QString CSmartPopAccountDlg::NewPassword() const { return password_->text(); }

bool CSmartPopAccountDlg::Complete(const QString& account, const QString& password, bool storedPassword) {
    return !account.isEmpty() && !account.contains(' ') && account.contains('@') &&
           (!password.isEmpty() || storedPassword);
}

bool CSmartPopAccountDlg::IsSafeAccount(const QString& account) {
    // The account names the subkey and the collector's files in the spool folder.
    const qsizetype at = account.indexOf('@');
    if (at <= 0 || at + 1 == account.size()) return false;
    if (account == "." || account.contains("..")) return false;
    for (QChar c : account) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c == '/' || c == '\\') return false;
    }
    // The provider: a name, an IPv4 address or an IPv6 one in brackets, as the collector takes it.
    return !net::CanonicalHost(account.mid(at + 1).toStdString()).empty();
}

void CSmartPopAccountDlg::UpdateOk() {
    buttons_->button(QDialogButtonBox::Ok)
        ->setEnabled(Complete(account_->text(), password_->text(), stored_.hasPassword || oauth_));
}

void CSmartPopAccountDlg::ShowUsualPort() {
    // An empty port field means the collector's usual port for the security, which it shows.
    const PopSecurity security = ParsePopSecurity(security_->currentData().toString().toStdString());
    portEdit_->setPlaceholderText(QString("%1 (the usual port)").arg(DefaultPopPort(security)));
}

QString CSmartPopAccountDlg::Refusal() {
    const QString account = account_->text();
    if (!IsSafeAccount(account)) {
        return QString("'%1' cannot be an account: write the mailbox name, \"@\" and the provider's POP3 server (a "
                       "name, an address, or an IPv6 address in brackets such as [2001:db8::1]), without \"/\", "
                       "\"\\\", \"..\" or control characters.")
            .arg(account);
    }
    // Only a typed password is checked: an empty field keeps the stored one.
    if (!IsProtocolSafe(password_->text().toStdString()))
        return QString::fromStdString(Format(kProtocolUnsafeText, "The password"));
    if (taken_.contains(account, Qt::CaseInsensitive)) {
        return QString("The account '%1' is already listed. Choose Edit on its row to change it.").arg(account);
    }
    PopSecurity security = PopSecurity::None;
    if (std::string why = CheckPopSecurity(security_->currentData().toString().toStdString(), security); !why.empty())
        return Q(why);
    std::string pin;
    const QString pinText = fingerprint_->text().trimmed();
    if (!pinText.isEmpty()) {
        if (std::string why = CheckFingerprint(pinText.toStdString(), pin); !why.empty()) return Q(why);
    }
    std::optional<uint32_t> port;
    if (!portEdit_->text().isEmpty()) {
        uint32_t number = 0;
        if (std::string why = CheckPort(portEdit_->text().toStdString(), number); !why.empty()) return Q(why);
        port = number;
    }
    result_ = stored_;
    result_.account = account;
    result_.deliverTo = deliverTo_->text();
    result_.security = PopSecurityName(security);
    result_.fingerprint = Q(pin);
    result_.port = port;
    return {};
}

void CSmartPopAccountDlg::TryAccept() {
    if (!Complete(account_->text(), password_->text(), stored_.hasPassword || oauth_)) return;
    const QString why = Refusal();
    if (!why.isEmpty()) {
        // The shared checks speak as a tool does; the sheet starts its sentence with a capital.
        ShowRefusal(this, refusal_, why.left(1).toUpper() + why.mid(1));
        return;
    }
    accept();
}

// ---- SmartPop Domains -----------------------------------------------------------------------

CSmartPopDomainsDlg::CSmartPopDomainsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("SmartPop Domains");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(
        "List below the domains that you wish to be used when trying to resolve mail that has been retrieved with "
        "SmartPop.",
        this);
    text->setWordWrap(true);
    layout->addWidget(text);
    QGroupBox* group = Group("Domains", this);
    list_ = new QListWidget(group);
    list_->setObjectName("SmartPopDomains");
    list_->setSortingEnabled(true);
    auto* add = new QPushButton("&Add", group);
    delete_ = new QPushButton("&Delete", group);
    auto* row = new QHBoxLayout;
    row->addWidget(list_, 1);
    auto* column = new QVBoxLayout;
    column->addWidget(add);
    column->addWidget(delete_);
    column->addStretch();
    row->addLayout(column);
    static_cast<QVBoxLayout*>(group->layout())->addLayout(row);
    layout->addWidget(group);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(add, &QPushButton::clicked, this, &CSmartPopDomainsDlg::Add);
    connect(delete_, &QPushButton::clicked, this, &CSmartPopDomainsDlg::Delete);
    connect(list_, &QListWidget::itemSelectionChanged, this,
            [this] { delete_->setEnabled(!list_->selectedItems().isEmpty()); });

    std::vector<std::string> names;
    CRegistryKey(kDomainsKey, true).ListValueNames(names);
    for (const std::string& name : names) list_->addItem(QString::fromStdString(name));
    delete_->setEnabled(false);
}

void CSmartPopDomainsDlg::Add() {
    CNewDomainDlg ask(this);
    if (ask.exec() != QDialog::Accepted || !CNewDomainDlg::Acceptable(ask.Name())) return;
    const QString name = ask.Name();
    CRegistryKey(kDomainsKey, true).WriteInt(name.toStdString(), 0);
    // The value names compare without case: a name listed already is not listed twice.
    for (int i = 0; i < list_->count(); ++i) {
        if (list_->item(i)->text().compare(name, Qt::CaseInsensitive) == 0) return;
    }
    list_->addItem(name);
}

void CSmartPopDomainsDlg::Delete() {
    const QList<QListWidgetItem*> chosen = list_->selectedItems();
    if (chosen.isEmpty()) return;
    CRegistryKey(kDomainsKey, true).DeleteValue(chosen.first()->text().toStdString());
    delete chosen.first();
    list_->clearSelection();
    delete_->setEnabled(false);
}

// ---- SmartPop page --------------------------------------------------------------------------

CSmartPop::CSmartPop(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(
        "If your Internet Service Provider stores your mail in a POP3 postbox you can specify its details here. "
        "This will enable automatic retreval and distribution of the messages stored there.",
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    enable_ = new QCheckBox("Use SmartPop", this);
    enable_->setObjectName("Enable");
    layout->addWidget(enable_);

    accounts_ = new QTreeWidget(this);
    accounts_->setObjectName("Accounts");
    accounts_->setRootIsDecorated(false);
    accounts_->setColumnCount(3);
    accounts_->setHeaderLabels({"Account", "Deliver to", "port"});
    // Wide enough for a realistic account (a long mailbox name at a provider's pop host).
    accounts_->setColumnWidth(0, kAccountColumnPx);
    accounts_->setColumnWidth(1, 80);
    accounts_->setColumnWidth(2, 50);
    auto* row = new QHBoxLayout;
    row->addWidget(accounts_, 1);
    auto* column = new QVBoxLayout;
    auto* add = new QPushButton("&Add ...", this);
    auto* edit = new QPushButton("&Edit ...", this);
    auto* remove = new QPushButton("&Delete", this);
    auto* domains = new QPushButton("Domain&s", this);
    for (QPushButton* b : {add, edit, remove, domains}) column->addWidget(b);
    column->addStretch();
    row->addLayout(column);
    layout->addLayout(row);

    connect(enable_, &QCheckBox::clicked, this,
            [this](bool on) { CRegistryKey(kSmartPopKey, true).WriteInt("Enable", on ? 1 : 0); });
    connect(add, &QPushButton::clicked, this, &CSmartPop::Add);
    connect(edit, &QPushButton::clicked, this, &CSmartPop::Edit);
    connect(accounts_, &QTreeWidget::itemDoubleClicked, this, &CSmartPop::Edit);
    connect(remove, &QPushButton::clicked, this, &CSmartPop::Delete);
    connect(domains, &QPushButton::clicked, this, [this] {
        CSmartPopDomainsDlg dlg(this);
        dlg.exec();
    });
}

void CSmartPop::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        uint32_t enabled = 0;
        CRegistryKey(kSmartPopKey, true).ReadIntOrZero("Enable", enabled);
        enable_->setChecked(enabled != 0);
        Fill();
    }
    QWidget::showEvent(event);
}

void CSmartPop::Fill() {
    accounts_->clear();
    std::vector<std::string> names;
    CRegistryKey(kSmartPopKey, false).ListSubkeys(names);
    for (const std::string& name : names) {
        CRegistryKey key(std::string(kSmartPopKey) + "\\" + name, false);
        std::string deliverTo, security;
        key.ReadString("for", deliverTo);
        key.ReadString(kPopSecurityValue, security);
        // Without a port value the collector uses the usual port of the account's security,
        // and the list says which.
        uint32_t port = DefaultPopPort(ParsePopSecurity(security));
        key.ReadInt(kPopPortValue, port);
        new QTreeWidgetItem(accounts_, {Q(name), Q(deliverTo), QString::number(port)});
    }
    // Long provider account names are common: the column grows to show them whole.
    accounts_->resizeColumnToContents(0);
    if (accounts_->columnWidth(0) < kAccountColumnPx) accounts_->setColumnWidth(0, kAccountColumnPx);
}

QStringList CSmartPop::Accounts(const QString& except) const {
    QStringList names;
    for (int i = 0; i < accounts_->topLevelItemCount(); ++i) {
        const QString name = accounts_->topLevelItem(i)->text(0);
        if (name.compare(except, Qt::CaseInsensitive) != 0) names << name;
    }
    return names;
}

bool CSmartPop::WriteAccount(const CSmartPopAccountDlg& dlg) {
    const SmartPopAccount& a = dlg.Result();
    CRegistryKey key(AccountKey(a.account), true);
    bool ok = key.IsOpen() && key.WriteString("for", a.deliverTo.toStdString());
    if (ok && !dlg.NewPassword().isEmpty()) ok = key.WriteString("pwd", dlg.NewPassword().toStdString());
    // "none" is what a missing value means: it is written only over a stored choice.
    std::string stored;
    if (ok && (key.ReadString(kPopSecurityValue, stored) || a.security != PopSecurityName(PopSecurity::None)))
        ok = key.WriteString(kPopSecurityValue, a.security.toStdString());
    if (ok) {
        ok = a.fingerprint.isEmpty()
                 ? (key.DeleteValue(kPopFingerprintValue), true)
                 : key.WriteString(kPopFingerprintValue, a.fingerprint.toStdString());
    }
    // A port is stored only when one was entered; an empty field leaves the usual one.
    if (ok) ok = a.port ? key.WriteInt(kPopPortValue, *a.port) : (key.DeleteValue(kPopPortValue), true);
    if (!ok) {
        ShowRefusal(this, failure_,
                    QString("The account '%1' could not be saved. Check that the configuration file can be written, "
                            "then try again.")
                        .arg(a.account));
    }
    return ok;
}

bool CSmartPop::MoveAccount(const QString& from, const QString& to) {
    CRegistryKey accounts(kSmartPopKey, true);
    CRegistryKey old(AccountKey(from), false);
    if (from.compare(to, Qt::CaseInsensitive) != 0) {
        // The new key is complete before the old one goes, so a failure loses nothing.
        CRegistryKey moved(AccountKey(to), true);
        if (!moved.IsOpen() || !old.CopyValuesTo(moved)) return false;
        accounts.DeleteSubkey(from.toStdString());
        return true;
    }
    // Only the case changed: both spellings name one key, which is made again under the new
    // spelling from a copy kept aside in a key of its own until the move is done.
    const std::string aside = from.toStdString() + ".renaming";
    CRegistryKey spare(std::string(kSmartPopKey) + "\\" + aside, true);
    if (!spare.IsOpen() || !old.CopyValuesTo(spare)) {
        accounts.DeleteSubkey(aside);
        return false;
    }
    accounts.DeleteSubkey(from.toStdString());
    CRegistryKey moved(AccountKey(to), true);
    const bool ok = moved.IsOpen() && spare.CopyValuesTo(moved);
    if (!ok) return false;  // the values stay in the spare key, where the list shows them
    accounts.DeleteSubkey(aside);
    return true;
}

void CSmartPop::Add() {
    CSmartPopAccountDlg dlg(SmartPopAccount {}, Accounts(QString()), this);
    if (dlg.exec() != QDialog::Accepted) return;
    WriteAccount(dlg);
    Fill();
}

void CSmartPop::Edit() {
    QTreeWidgetItem* row = accounts_->currentItem();
    if (!row || !row->isSelected()) return;
    const QString old = row->text(0);
    SmartPopAccount stored;
    stored.account = old;
    {
        CRegistryKey key(AccountKey(old), false);
        std::string text;
        key.ReadString("for", text);
        stored.deliverTo = Q(text);
        key.ReadString(kPopSecurityValue, text);
        stored.security = Q(text);
        key.ReadString(kPopFingerprintValue, text);
        stored.fingerprint = Q(text);
        stored.hasPassword = key.ReadString("pwd", text) && !text.empty();
        uint32_t port = 0;
        if (key.ReadInt(kPopPortValue, port)) stored.port = port;
    }
    CSmartPopAccountDlg dlg(stored, Accounts(old), this);
    if (dlg.exec() != QDialog::Accepted) return;
    const QString now = dlg.Result().account;
    if (now != old && !MoveAccount(old, now)) {
        ShowRefusal(this, failure_,
                    QString("The account '%1' could not be renamed. Check that the configuration file can be "
                            "written, then try again.")
                        .arg(old));
        Fill();
        return;
    }
    WriteAccount(dlg);
    Fill();
}

void CSmartPop::Delete() {
    QTreeWidgetItem* row = accounts_->currentItem();
    if (!row || !row->isSelected()) return;
    const QString account = row->text(0);
    const auto answer =
        QMessageBox::question(this, "Delete Account",
                              QString("Are you sure you wish to stop obtaining mail from\n'%1'").arg(account),
                              QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
    delete row;
    CRegistryKey(kSmartPopKey, true).DeleteSubkey(account.toStdString());
    Fill();
}

}  // namespace pv
