#include "applet/SignInDlg.h"

#include <QDialogButtonBox>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace pv {

namespace {
// The browser sign-in's redirect address, as postvane-admin's default.
constexpr const char* kRedirect = "http://127.0.0.1:8765/";
// Wide enough for a provider's address on one line.
constexpr int kMinimumWidth = 460;
}  // namespace

CSignInDlg::CSignInDlg(const auth::OAuthPlace& place, QWidget* parent) : QDialog(parent), place_(place) {
    setWindowTitle("Sign In");
    setMinimumWidth(kMinimumWidth);
    auto* layout = new QVBoxLayout(this);
    instructions_ = new QLabel(this);
    instructions_->setObjectName("Instructions");
    instructions_->setWordWrap(true);
    instructions_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    progress_ = new QLabel(this);
    progress_->setObjectName("Progress");
    progress_->setWordWrap(true);
    layout->addWidget(instructions_);
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &CSignInDlg::Poll);

    std::string problem, error;
    if (!auth::ReadOAuthSettings(place_, settings_, problem)) {
        instructions_->setText(QString::fromStdString(problem));
    } else if (!settings_.deviceUrl.empty()) {
        device_ = std::make_unique<auth::CDeviceSignIn>(place_, settings_);
        if (device_->Start(error)) {
            instructions_->setText(QString("To sign in %1, open %2 in a browser on any device and enter the code %3")
                                       .arg(QString::fromStdString(place_.what),
                                            QString::fromStdString(device_->Grant().verificationUri),
                                            QString::fromStdString(device_->Grant().userCode)));
            // The code again, large: it is what the user types on the other device.
            auto* code = new QLabel(QString::fromStdString(device_->Grant().userCode), this);
            code->setObjectName("Code");
            code->setTextInteractionFlags(Qt::TextSelectableByMouse);
            QFont font = code->font();
            font.setPointSizeF(font.pointSizeF() * 1.8);
            font.setBold(true);
            code->setFont(font);
            layout->addWidget(code, 0, Qt::AlignHCenter);
            timer_->start(device_->IntervalSeconds() * 1000);
            Say("Waiting for the sign-in ...");
        } else {
            instructions_->setText("The sign-in could not start: " + QString::fromStdString(error));
        }
    } else if (auth::StartPkce(settings_, kRedirect, browser_, error)) {
        instructions_->setText(QString("Open this address in a browser and sign in:\n\n%1\n\nThe browser is then sent "
                                       "to %2... Copy the whole address from its address bar and paste it here:")
                                   .arg(QString::fromStdString(browser_.address), kRedirect));
        pasted_ = new QLineEdit(this);
        pasted_->setObjectName("Redirected");
        layout->addWidget(pasted_);
        finish_ = new QPushButton("&Finish", this);
        layout->addWidget(finish_);
        connect(finish_, &QPushButton::clicked, this, &CSignInDlg::FinishBrowser);
    } else {
        instructions_->setText("The sign-in could not start: " + QString::fromStdString(error));
    }
    layout->addWidget(progress_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CSignInDlg::Say(const QString& text) { progress_->setText(text); }

void CSignInDlg::Poll() {
    std::string error;
    switch (device_->Poll(error)) {
        case auth::PollOutcome::Pending:
        case auth::PollOutcome::SlowDown:
            Say(QString("Waiting for the sign-in ... %1 s left").arg(device_->SecondsLeft()));
            timer_->start(device_->IntervalSeconds() * 1000);
            return;
        case auth::PollOutcome::Done:
            signedIn_ = true;
            Say(QString("Signed in: %1 is ready.").arg(QString::fromStdString(place_.what)));
            return;
        case auth::PollOutcome::Failed:
            Say("The sign-in did not succeed: " + QString::fromStdString(error));
            return;
    }
}

void CSignInDlg::FinishBrowser() {
    std::string error;
    if (auth::FinishBrowserSignIn(place_, settings_, browser_, pasted_->text().trimmed().toStdString(), error)) {
        signedIn_ = true;
        finish_->setEnabled(false);
        Say(QString("Signed in: %1 is ready.").arg(QString::fromStdString(place_.what)));
    } else {
        Say("The sign-in did not succeed: " + QString::fromStdString(error));
    }
}

}  // namespace pv
