// CSignInDlg: "Sign in..." for a SmartPop account or the relay that logs in with OAuth2. It runs
// the same sign-in as postvane-admin's `oauth login`: the device code where the provider
// allows it (the dialog shows the address and the code and waits, with the time left), else
// the browser sign-in, whose redirect address the user pastes into the dialog.
#pragma once

#include <QDialog>
#include <memory>

#include "auth/OAuth2.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace pv {

class CSignInDlg : public QDialog {
    Q_OBJECT
public:
    CSignInDlg(const auth::OAuthPlace& place, QWidget* parent = nullptr);
    bool SignedIn() const { return signedIn_; }

private:
    void Poll();
    void FinishBrowser();
    void Say(const QString& text);

    auth::OAuthPlace place_;
    auth::OAuthSettings settings_;
    std::unique_ptr<auth::CDeviceSignIn> device_;
    auth::PkceRequest browser_;
    QLabel* instructions_;
    QLabel* progress_;
    QLineEdit* pasted_ = nullptr;
    QPushButton* finish_ = nullptr;
    QTimer* timer_;
    bool signedIn_ = false;
};

}  // namespace pv
