// The Connection page (gateway, LAN or dial-up, the phone-book entry) and the two dialogs it
// opens: Dialup Options (account, attempts, time-outs, the command after logging on) and
// Advanced Connections (ports and time-outs of the services).
#pragma once

#include <QDialog>
#include <QWidget>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/SettingChecks.h"

class QButtonGroup;
class QComboBox;
class QDialogButtonBox;
class QFormLayout;
class QMessageBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;

namespace pv {

class CConnectionDlg : public QWidget {
    Q_OBJECT
public:
    // The most phone-book entries the page lists; more count as a phone book it cannot show.
    static constexpr size_t kMaxEntries = 100;

    explicit CConnectionDlg(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Initialise();
    void ApplyConnectionMethod();
    void OnEntryChosen(int index);

    bool useLan_ = false;
    std::string gateway_;
    bool phoneBookUnavailable_ = false;
    bool initialised_ = false;

    QLineEdit* gatewayEdit_;
    QRadioButton* lan_;
    QRadioButton* dialup_;
    QButtonGroup* method_;
    QComboBox* entries_;
    QPushButton* options_;
    QPushButton* advanced_;
};

// Written by OK only, except the three defaults it writes when it opens on a configuration
// without them.
class CDialupOptionsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr uint32_t kDefaultRetries = 5;
    static constexpr uint32_t kDefaultLogonSeconds = 60;
    static constexpr uint32_t kDefaultInactivitySeconds = 180;
    static constexpr int kSecondsPerStep = 30;

    explicit CDialupOptionsDlg(QWidget* parent = nullptr);

private:
    void ShowLabels();
    void Save();

    QLineEdit* username_;
    QLineEdit* password_;
    QLineEdit* command_;
    QSlider* attempts_;
    QSlider* logon_;
    QSlider* inactivity_;
    QLabel* attemptsLabel_;
    QLabel* logonLabel_;
    QLabel* inactivityLabel_;
};

// Ports of the SMTP service, the gateway and the POP3 service, and four inactivity time-outs;
// the relay's security and login; the LAN services' own certificate and TLS ports; the caps on
// conversations. Written by OK only (after every field passed its shared check), except the
// defaults it writes when it opens.
class CAdvancedConnectionsDlg : public QDialog {
    Q_OBJECT
public:
    // Ports from here on are refused. Every TCP port is one: a limit of 32768 would leave a
    // configuration that uses a higher one unable to save anything in this dialog.
    static constexpr uint32_t kPortLimit = kMaxPort + 1;
    static constexpr int kSecondsPerStep = 30;

    explicit CAdvancedConnectionsDlg(QWidget* parent = nullptr);

    // A port text OK takes: digits only, below kPortLimit; the empty text stands for 0.
    static bool IsPortText(const QString& text);

private:
    // An optional whole-number value of `AdvCon`: empty while missing, which means its default.
    struct OptionalNumber {
        const char* value;
        QLineEdit* edit;
    };

    QWidget* MakeRelayGroup();
    QWidget* MakeLanTlsGroup();
    QWidget* MakeLimitsGroup();
    QLineEdit* AddOptionalNumber(QFormLayout* form, const QString& label, const char* value, uint32_t usual,
                                 const char* hint);
    // The three port fields: the two services' below kPortLimit (empty: 0), the relay's a port
    // postvane-admin takes or empty.
    bool PortsTakeable() const;
    void UpdateOk();
    void ShowLabels();
    void ShowUsualRelayPort();
    // The refusal for the fields as they stand, "" when OK may write them: one shared check
    // per kind of field, the same ones postvane-admin applies.
    QString Refusal();
    // False, with nothing written, while a field is not one OK takes.
    bool Save();

    std::array<QLineEdit*, 3> ports_ {};
    std::array<QSlider*, 4> timeouts_ {};
    std::array<QLabel*, 4> labels_ {};
    QComboBox* relaySecurity_ = nullptr;
    QLineEdit* relayUser_ = nullptr;
    QLineEdit* relayPassword_ = nullptr;
    bool relayPasswordStored_ = false;
    QLineEdit* relayPin_ = nullptr;
    QLineEdit* tlsCertificate_ = nullptr;
    QLineEdit* tlsKey_ = nullptr;
    std::vector<OptionalNumber> tlsPorts_;
    std::vector<OptionalNumber> limits_;
    QDialogButtonBox* buttons_;
    QMessageBox* refusal_ = nullptr;
};

}  // namespace pv
