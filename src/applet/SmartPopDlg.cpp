#include "applet/SmartPopDlg.h"

#include <QCheckBox>
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

namespace pv {

namespace {
constexpr const char* kSmartPopKey = "SmartPop";
constexpr const char* kDomainsKey = "SmartPop_Domains";
constexpr uint32_t kMaxPort = 65535;

std::string AccountKey(const QString& account) { return std::string(kSmartPopKey) + "\\" + account.toStdString(); }
}  // namespace

// ---- Add/Edit SmartPop ------------------------------------------------------------------------

CSmartPopAccountDlg::CSmartPopAccountDlg(const QString& account, const QString& deliverTo, const QString& password,
                                         uint32_t port, const QStringList& taken, QWidget* parent)
    : QDialog(parent), port_(port), taken_(taken) {
    setWindowTitle("Add/Edit SmartPop");
    auto* layout = new QVBoxLayout(this);
    auto* accountLabel = new QLabel("Remote POP3 Account", this);
    auto* example = new QLabel("e.g. mailbox@pop.provider.example", this);
    account_ = new QLineEdit(account, this);
    account_->setObjectName("Account");
    accountLabel->setBuddy(account_);
    layout->addWidget(accountLabel);
    layout->addWidget(example);
    layout->addWidget(account_);

    auto* form = new QFormLayout;
    password_ = new QLineEdit(password, this);
    password_->setObjectName("Password");
    password_->setEchoMode(QLineEdit::Password);
    form->addRow("Password", password_);
    deliverTo_ = new QLineEdit(deliverTo, this);
    deliverTo_->setObjectName("DeliverTo");
    form->addRow("Deliver to", deliverTo_);
    layout->addLayout(form);
    auto* note = new QLabel(
        "Note : Leave this box blank if you wish Postvane to determine the recipient from the message header.", this);
    note->setWordWrap(true);
    layout->addWidget(note);
    auto* portRow = new QFormLayout;
    portEdit_ = new QLineEdit(QString::number(port), this);
    portEdit_->setObjectName("Port");
    portEdit_->setMaximumWidth(80);
    portRow->addRow("Connect on port", portEdit_);
    layout->addLayout(portRow);

    // An account that logs in with OAuth2 (set up by postvane-admin smartpop oauth setup) needs
    // no password; its sign-in is made here or with postvane-admin smartpop oauth login.
    std::string method;
    if (!account.isEmpty()) CRegistryKey(AccountKey(account), false).ReadString(auth::kSmartPopAuthValue, method);
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
    UpdateOk();
}

void CSmartPopAccountDlg::SignIn() {
    CSignInDlg dlg(auth::SmartPopOAuthPlace(account_->text().toStdString()), this);
    dlg.exec();
}

QString CSmartPopAccountDlg::Account() const { return account_->text(); }
QString CSmartPopAccountDlg::DeliverTo() const { return deliverTo_->text(); }
QString CSmartPopAccountDlg::Password() const { return password_->text(); }

bool CSmartPopAccountDlg::Complete(const QString& account, const QString& password, bool oauth) {
    return !account.isEmpty() && !account.contains(' ') && account.contains('@') && (oauth || !password.isEmpty());
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
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(Complete(account_->text(), password_->text(), oauth_));
}

void CSmartPopAccountDlg::TryAccept() {
    if (!Complete(account_->text(), password_->text(), oauth_)) return;
    const QString account = account_->text();
    if (!IsSafeAccount(account)) {
        ShowRefusal(this, refusal_,
                    QString("'%1' cannot be an account: write the mailbox name, \"@\" and the provider's POP3 "
                            "server (a name, an address, or an IPv6 address in brackets such as [2001:db8::1]), without "
                            "\"/\", \"\\\", \"..\" or control characters.")
                        .arg(account));
        return;
    }
    if (!IsProtocolSafe(password_->text().toStdString())) {
        ShowRefusal(this, refusal_, QString::fromStdString(Format(kProtocolUnsafeText, "The password")));
        return;
    }
    if (taken_.contains(account, Qt::CaseInsensitive)) {
        ShowRefusal(this, refusal_,
                    QString("The account '%1' is already listed. Choose Edit on its row to change it.").arg(account));
        return;
    }
    const std::optional<uint32_t> port = ParseWhole(portEdit_->text(), 1, kMaxPort);
    if (!port) {
        ShowRefusal(this, refusal_, QString("Enter a port number between 1 and %1.").arg(kMaxPort));
        return;
    }
    port_ = *port;
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
    accounts_->setColumnWidth(0, 170);
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
        std::string deliverTo;
        key.ReadString("for", deliverTo);
        // Without a port value the collector uses the POP3 port, and the list says so.
        uint32_t port = CSmartPopAccountDlg::kDefaultPort;
        key.ReadInt("Port", port);
        new QTreeWidgetItem(accounts_, {QString::fromStdString(name), QString::fromStdString(deliverTo),
                                        QString::number(port)});
    }
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
    CRegistryKey key(AccountKey(dlg.Account()), true);
    const bool ok = key.IsOpen() && key.WriteString("for", dlg.DeliverTo().toStdString()) &&
                    key.WriteString("pwd", dlg.Password().toStdString()) && key.WriteInt("port", dlg.Port());
    if (!ok) {
        ShowRefusal(this, failure_,
                    QString("The account '%1' could not be saved. Check that the configuration file can be written, "
                            "then add the account again.")
                        .arg(dlg.Account()));
    }
    return ok;
}

void CSmartPop::Add() {
    CSmartPopAccountDlg dlg("", "", "", CSmartPopAccountDlg::kDefaultPort, Accounts(QString()), this);
    if (dlg.exec() != QDialog::Accepted) return;
    WriteAccount(dlg);
    Fill();
}

void CSmartPop::Edit() {
    QTreeWidgetItem* row = accounts_->currentItem();
    if (!row || !row->isSelected()) return;
    const QString old = row->text(0);
    std::string deliverTo, password;
    uint32_t port = CSmartPopAccountDlg::kDefaultPort;
    {
        CRegistryKey key(AccountKey(old), true);
        key.ReadString("for", deliverTo);
        key.ReadString("pwd", password);
        key.ReadInt("port", port);
    }
    CSmartPopAccountDlg dlg(old, QString::fromStdString(deliverTo), QString::fromStdString(password), port,
                            Accounts(old), this);
    if (dlg.exec() != QDialog::Accepted) return;
    const QString now = dlg.Account();
    CRegistryKey accounts(kSmartPopKey, true);
    if (now.compare(old, Qt::CaseInsensitive) != 0) {
        // The new key is complete before the old one goes, so a failure loses nothing.
        if (WriteAccount(dlg)) accounts.DeleteSubkey(old.toStdString());
    } else {
        // Only the case changed: both spellings are one key, which is made again to take it.
        if (now != old) accounts.DeleteSubkey(old.toStdString());
        WriteAccount(dlg);
    }
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
