// The SmartPop page with its Add/Edit SmartPop and SmartPop Domains dialogs: the provider
// mailboxes the server collects from (subkeys of `SmartPop`) and the provider domains
// (`SmartPop_Domains`).
#pragma once

#include <QDialog>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <optional>

class QCheckBox;
class QComboBox;
class QDialogButtonBox;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;
class QTreeWidget;

namespace pv {

// What an account key holds, as the dialog is given it and hands it back. The key may hold
// more (values of later versions, the collector's own): the page keeps whatever the dialog
// does not return.
struct SmartPopAccount {
    QString account;
    QString deliverTo;
    QString security;     // as stored; "" reads as none
    QString fingerprint;  // as stored; "" for no pin
    bool hasPassword = false;      // a password is stored; it is never shown
    std::optional<uint32_t> port;  // none: the usual port for the security
};

// One account: USER@HOST, its password, the local recipient, how the connection is protected
// (none, STLS, TLS; a certificate pin) and the provider's port.
class CSmartPopAccountDlg : public QDialog {
    Q_OBJECT
public:
    // `taken`: the other accounts' names, which this one may not take over.
    CSmartPopAccountDlg(const SmartPopAccount& stored, const QStringList& taken, QWidget* parent = nullptr);

    // What OK accepted: the account, recipient, security and normalised pin ("" for none),
    // and the port only when one was entered.
    const SmartPopAccount& Result() const { return result_; }
    // The password typed; empty when the stored one stays.
    QString NewPassword() const;

    // The rule for OK: an account with an at sign and no space, and a password (typed, or one
    // stored already); an account that logs in with
    // OAuth2 passes true for storedPassword, as it needs none.
    static bool Complete(const QString& account, const QString& password, bool storedPassword);
    // An account name that stays a plain file name in the spool folder, with a user before the
    // at sign and a host after it, as the collector takes it.
    static bool IsSafeAccount(const QString& account);

private:
    void UpdateOk();
    void ShowUsualPort();
    void TryAccept();
    // The refusal for the values as they stand, "" when OK may write them: one shared check
    // per kind of field, the same ones postvane-admin applies.
    QString Refusal();

    SmartPopAccount stored_;
    SmartPopAccount result_;
    void SignIn();

    bool oauth_ = false;  // the account logs in with OAuth2: no password needed, "Sign in..." works
    QStringList taken_;
    QLineEdit* account_;
    QLineEdit* password_;
    QLineEdit* deliverTo_;
    QComboBox* security_;
    QLineEdit* fingerprint_;
    QLineEdit* portEdit_;
    QDialogButtonBox* buttons_;
    QMessageBox* refusal_ = nullptr;
};

// The provider domains; every change is written at once, OK only closes.
class CSmartPopDomainsDlg : public QDialog {
    Q_OBJECT
public:
    explicit CSmartPopDomainsDlg(QWidget* parent = nullptr);

private:
    void Add();
    void Delete();

    QListWidget* list_;
    QPushButton* delete_;
};

class CSmartPop : public QWidget {
    Q_OBJECT
public:
    explicit CSmartPop(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Fill();
    QStringList Accounts(const QString& except) const;
    // Writes what the dialog returned into the account's key (made when missing), leaving
    // every value it does not show; false (and a message) when the key cannot be written.
    bool WriteAccount(const CSmartPopAccountDlg& dlg);
    // The account under a new name: every value of the old key goes along, then the old key
    // goes. False (the old key untouched) when the new one cannot be written.
    bool MoveAccount(const QString& from, const QString& to);
    void Add();
    void Edit();
    void Delete();

    bool initialised_ = false;
    QCheckBox* enable_;
    QTreeWidget* accounts_;
    QMessageBox* failure_ = nullptr;
};

}  // namespace pv
