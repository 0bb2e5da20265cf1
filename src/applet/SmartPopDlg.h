// The SmartPop page with its Add/Edit SmartPop and SmartPop Domains dialogs: the provider
// mailboxes the server collects from (subkeys of `SmartPop`) and the provider domains
// (`SmartPop_Domains`).
#pragma once

#include <QDialog>
#include <QStringList>
#include <QWidget>

#include <cstdint>

class QCheckBox;
class QDialogButtonBox;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;
class QTreeWidget;

namespace pv {

// One account: USER@HOST, its password, the local recipient and the provider's port.
class CSmartPopAccountDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr uint32_t kDefaultPort = 110;

    // `taken`: the other accounts' names, which this one may not take over.
    CSmartPopAccountDlg(const QString& account, const QString& deliverTo, const QString& password, uint32_t port,
                        const QStringList& taken, QWidget* parent = nullptr);

    QString Account() const;
    QString DeliverTo() const;
    QString Password() const;
    uint32_t Port() const { return port_; }

    // The rule for OK: an account with an at sign and no space, and a password (unless the
    // account logs in with OAuth2).
    static bool Complete(const QString& account, const QString& password, bool oauth = false);
    // An account name that stays a plain file name in the spool folder, with a user before the
    // at sign and a host after it, as the collector takes it.
    static bool IsSafeAccount(const QString& account);

private:
    void UpdateOk();
    void TryAccept();
    void SignIn();

    uint32_t port_;
    bool oauth_ = false;  // the account logs in with OAuth2: no password needed, "Sign in..." works
    QStringList taken_;
    QLineEdit* account_;
    QLineEdit* password_;
    QLineEdit* deliverTo_;
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
    // Writes one account's values; false (and a message) when its key cannot be written.
    bool WriteAccount(const CSmartPopAccountDlg& dlg);
    void Add();
    void Edit();
    void Delete();

    bool initialised_ = false;
    QCheckBox* enable_;
    QTreeWidget* accounts_;
    QMessageBox* failure_ = nullptr;
};

}  // namespace pv
