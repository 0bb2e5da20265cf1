#include "applet/ConnectionDlg.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QMessageBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

#include "applet/Controls.h"
#include "applet/SignInDlg.h"
#include "auth/OAuth2.h"
#include "core/RegistryKey.h"
#include "core/SettingChecks.h"
#include "dialup/DialerConfig.h"
// For the names and defaults of their limits only: nothing of them is linked.
#include "pop3/SmartPop.h"
#include "smtp/SmtpServer.h"

namespace pv {

namespace {
QSlider* MakeSlider(int min, int max, QWidget* parent) {
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setRange(min, max);
    slider->setMinimumWidth(160);
    return slider;
}

QString MinutesSeconds(int seconds) { return QString::asprintf("%dm %ds", seconds / 60, seconds % 60); }

// A DWORD that must be there: a missing one gets its default, written at once.
uint32_t ReadOrSeed(CRegistryKey& key, const char* name, uint32_t fallback) {
    uint32_t value = 0;
    if (key.ReadInt(name, value)) return value;
    key.WriteInt(name, fallback);
    return fallback;
}

// The slider step for a number of seconds, kept to the slider's range.
int StepsOf(uint32_t seconds, int perStep, const QSlider* slider) {
    const int64_t steps = seconds / static_cast<uint32_t>(perStep);
    return static_cast<int>(std::clamp<int64_t>(steps, slider->minimum(), slider->maximum()));
}
}  // namespace

// ---- Connection page ------------------------------------------------------------------------

CConnectionDlg::CConnectionDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);

    QGroupBox* gateway = Group("Gateway Mailhost", this);
    auto* prompt = new QLabel(
        "Enter the name or IP number of the mail gateway machine to which outgoing mail should be sent "
        "(an IPv6 address in brackets, for instance [2001:db8::1]).", gateway);
    prompt->setWordWrap(true);
    gatewayEdit_ = new QLineEdit(gateway);
    gatewayEdit_->setObjectName("Gateway");
    prompt->setBuddy(gatewayEdit_);
    gateway->layout()->addWidget(prompt);
    gateway->layout()->addWidget(gatewayEdit_);
    // A relay that logs in with OAuth2 (postvane-admin relay oauth setup) is signed in here.
    std::string relayAuth;
    CRegistryKey("AdvCon", false).ReadString(auth::kRelayAuthValue, relayAuth);
    auto* signIn = new QPushButton("Sign &in ...", gateway);
    signIn->setObjectName("RelaySignIn");
    signIn->setEnabled(auth::ParseLoginMethod(relayAuth) == auth::LoginMethod::OAuth2);
    signIn->setToolTip("Sign in at the provider for the relay's OAuth2 login (postvane-admin relay oauth setup)");
    gateway->layout()->addWidget(signIn);
    connect(signIn, &QPushButton::clicked, this, [this] {
        CSignInDlg dlg(auth::RelayOAuthPlace(), this);
        dlg.exec();
    });
    layout->addWidget(gateway);

    QGroupBox* method = Group("Connection Method", this);
    lan_ = new QRadioButton("I connect using a LAN.", method);
    dialup_ = new QRadioButton("I connect using the following dialup connection", method);
    method_ = new QButtonGroup(this);
    method_->addButton(lan_, 1);
    method_->addButton(dialup_, 0);
    method->layout()->addWidget(lan_);
    method->layout()->addWidget(dialup_);
    layout->addWidget(method);

    QGroupBox* entry = Group("Dialup connection", this);
    auto* entryRow = new QHBoxLayout;
    entries_ = new QComboBox(entry);
    entries_->setObjectName("Connection");
    entries_->setMinimumWidth(200);
    options_ = new QPushButton("&Options ...", entry);
    entryRow->addWidget(entries_, 1);
    entryRow->addWidget(options_);
    static_cast<QVBoxLayout*>(entry->layout())->addLayout(entryRow);
    layout->addWidget(entry);

    auto* bottom = new QHBoxLayout;
    advanced_ = new QPushButton("&Advanced", this);
    bottom->addStretch();
    bottom->addWidget(advanced_);
    layout->addLayout(bottom);
    layout->addStretch();

    connect(gatewayEdit_, &QLineEdit::textEdited, this, [this](const QString& text) {
        gateway_ = text.toStdString();
        CRegistryKey("", true).WriteString("Gateway", gateway_);
    });
    connect(method_, &QButtonGroup::idClicked, this, [this](int id) {
        useLan_ = id == 1;
        ApplyConnectionMethod();
    });
    connect(entries_, &QComboBox::currentIndexChanged, this, &CConnectionDlg::OnEntryChosen);
    connect(options_, &QPushButton::clicked, this, [this] {
        CDialupOptionsDlg dlg(this);
        dlg.exec();
    });
    connect(advanced_, &QPushButton::clicked, this, [this] {
        CAdvancedConnectionsDlg dlg(this);
        dlg.exec();
    });
}

void CConnectionDlg::showEvent(QShowEvent* event) {
    if (!initialised_) Initialise();
    QWidget::showEvent(event);
}

void CConnectionDlg::Initialise() {
    CRegistryKey root("", true);
    uint32_t useLan = 0;
    root.ReadIntOrZero("UseLan", useLan);
    useLan_ = useLan != 0;

    // The same back end the connection manager dials with. An empty phone book counts as one
    // that cannot be listed: there is nothing to dial.
    std::vector<std::string> names = dialup::MakeConfiguredDialer()->ListEntries();
    if (names.empty() || names.size() > kMaxEntries) {
        phoneBookUnavailable_ = true;
        useLan_ = true;
    } else {
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) < 0;
        });
        for (const std::string& name : names) entries_->addItem(QString::fromStdString(name));
    }

    std::string connection;
    root.ReadString("Connection", connection);
    if (!phoneBookUnavailable_ && connection.empty() && entries_->count() > 0) {
        connection = entries_->itemText(0).toStdString();
        root.WriteString("Connection", connection);
    }
    int chosen = -1;
    for (int i = 0; i < entries_->count(); ++i) {
        if (entries_->itemText(i).startsWith(QString::fromStdString(connection), Qt::CaseInsensitive)) {
            chosen = i;
            break;
        }
    }
    entries_->setCurrentIndex(chosen);
    dialup_->setEnabled(!phoneBookUnavailable_);

    root.ReadString("Gateway", gateway_);
    gatewayEdit_->setText(QString::fromStdString(gateway_));
    ApplyConnectionMethod();
    initialised_ = true;
}

void CConnectionDlg::ApplyConnectionMethod() {
    if (phoneBookUnavailable_) {
        // Nothing to dial: LAN is the only choice, and the stored one is left alone.
        useLan_ = true;
        lan_->setChecked(true);
        entries_->setEnabled(false);
        options_->setEnabled(false);
        return;
    }
    (useLan_ ? lan_ : dialup_)->setChecked(true);
    entries_->setEnabled(!useLan_);
    options_->setEnabled(!useLan_);
    CRegistryKey("", true).WriteInt("UseLan", useLan_ ? 1 : 0);
}

void CConnectionDlg::OnEntryChosen(int index) {
    if (!initialised_ || index < 0) return;
    CRegistryKey("", true).WriteString("Connection", entries_->itemText(index).toStdString());
}

// ---- Dialup Options -------------------------------------------------------------------------

CDialupOptionsDlg::CDialupOptionsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Dialup Options");
    auto* layout = new QVBoxLayout(this);

    QGroupBox* account = Group("Dial up account settings", this);
    auto* accountForm = new QFormLayout;
    username_ = new QLineEdit(account);
    username_->setObjectName("username");
    password_ = new QLineEdit(account);
    password_->setObjectName("password");
    password_->setEchoMode(QLineEdit::Password);
    accountForm->addRow("Username", username_);
    accountForm->addRow("Password", password_);
    static_cast<QVBoxLayout*>(account->layout())->addLayout(accountForm);
    layout->addWidget(account);

    auto sliderRow = [](QGroupBox* group, const QString& text, QSlider* slider, QLabel* label) {
        auto* grid = new QGridLayout;
        grid->addWidget(new QLabel(text, group), 0, 0, 1, 2);
        grid->addWidget(slider, 1, 0);
        grid->addWidget(label, 1, 1);
        label->setMinimumWidth(60);
        static_cast<QVBoxLayout*>(group->layout())->addLayout(grid);
    };
    QGroupBox* connecting = Group("When connecting", this);
    attempts_ = MakeSlider(1, 10, connecting);
    attempts_->setObjectName("Retries");
    logon_ = MakeSlider(1, 10, connecting);
    logon_->setObjectName("InitialTimeout");
    attemptsLabel_ = new QLabel(connecting);
    logonLabel_ = new QLabel(connecting);
    sliderRow(connecting, "Number of attempts :", attempts_, attemptsLabel_);
    sliderRow(connecting, "Timeout waiting for logon :", logon_, logonLabel_);
    layout->addWidget(connecting);

    QGroupBox* online = Group("When Online", this);
    inactivity_ = MakeSlider(1, 120, online);
    inactivity_->setObjectName("TimeOut");
    inactivityLabel_ = new QLabel(online);
    sliderRow(online, "Disconnect when there has been no activity for :", inactivity_, inactivityLabel_);
    auto* commandLabel = new QLabel("Execute this command after logging on", online);
    command_ = new QLineEdit(online);
    command_->setObjectName("Command");
    commandLabel->setBuddy(command_);
    online->layout()->addWidget(commandLabel);
    online->layout()->addWidget(command_);
    layout->addWidget(online);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        Save();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    CRegistryKey advCon("AdvCon", true);
    CRegistryKey schedule("Schedule", true);
    const uint32_t retries = ReadOrSeed(advCon, "Retries", kDefaultRetries);
    const uint32_t logon = ReadOrSeed(advCon, "InitialTimeout", kDefaultLogonSeconds);
    const uint32_t inactivity = ReadOrSeed(schedule, "TimeOut", kDefaultInactivitySeconds);
    attempts_->setValue(static_cast<int>(std::min<uint32_t>(retries, 10)));
    logon_->setValue(StepsOf(logon, kSecondsPerStep, logon_));
    inactivity_->setValue(StepsOf(inactivity, kSecondsPerStep, inactivity_));
    std::string text;
    schedule.ReadString("password", text);
    password_->setText(QString::fromStdString(text));
    schedule.ReadString("username", text);
    username_->setText(QString::fromStdString(text));
    schedule.ReadString("Command", text);
    command_->setText(QString::fromStdString(text));
    ShowLabels();
    for (QSlider* slider : {attempts_, logon_, inactivity_})
        connect(slider, &QSlider::valueChanged, this, &CDialupOptionsDlg::ShowLabels);
}

void CDialupOptionsDlg::ShowLabels() {
    attemptsLabel_->setText(QString::number(attempts_->value()));
    logonLabel_->setText(MinutesSeconds(logon_->value() * kSecondsPerStep));
    inactivityLabel_->setText(MinutesSeconds(inactivity_->value() * kSecondsPerStep));
}

void CDialupOptionsDlg::Save() {
    CRegistryKey schedule("Schedule", true);
    schedule.WriteString("password", password_->text().toStdString());
    schedule.WriteString("username", username_->text().toStdString());
    schedule.WriteString("Command", command_->text().toStdString());
    CRegistryKey advCon("AdvCon", true);
    advCon.WriteInt("Retries", static_cast<uint32_t>(attempts_->value()));
    advCon.WriteInt("InitialTimeout", static_cast<uint32_t>(logon_->value() * kSecondsPerStep));
    schedule.WriteInt("TimeOut", static_cast<uint32_t>(inactivity_->value() * kSecondsPerStep));
}

// ---- Advanced Connections -------------------------------------------------------------------

namespace {
struct Service {
    const char* title;
    const char* port;        // nullptr: no port field
    uint32_t defaultPort;    // 0: not written when missing (the usual one depends on other values)
    const char* timeout;     // as it is read and as OK writes it (the names compare without case)
};
constexpr Service kServices[4] = {
    {"SMTP Receive", "smtpinport", 25, "SMTPInTimeout"},
    {"SMTP Send", kRelayPortValue, 0, "smtpouttimeout"},
    {"POP3 Receive", "popport", 110, "poptimeout"},
    {"SmartPop", nullptr, 0, "SmartPopTimeout"},
};
constexpr int kRelayService = 1;
constexpr uint32_t kDefaultTimeoutSeconds = 30;

// The relay security box: its items' data is the stored name, "" for a value left unset.
struct RelayChoice {
    RelaySecurity security;
    const char* label;
};
constexpr RelayChoice kRelayChoices[] = {
    {RelaySecurity::Unset, "Not set (no password is ever sent)"},
    {RelaySecurity::None, "None (password in clear)"},
    {RelaySecurity::StartTls, "STARTTLS (usually port 587)"},
    {RelaySecurity::Tls, "TLS from the first byte (usually port 465)"},
};
QString StoredName(RelaySecurity security) {
    return security == RelaySecurity::Unset ? QString() : QString(RelaySecurityName(security));
}

// The LAN services' TLS ports and the conversation caps: missing means the server's default
// (0 for a TLS port: no such listener).
struct OptionalValue {
    const char* label;
    const char* value;
    uint32_t usual;
    uint32_t most;
    const char* hint = nullptr;  // what an empty field means, when it is not a number
};
constexpr OptionalValue kTlsPorts[] = {
    {"SMTP with TLS from the first byte, p&ort", "SmtpsPort", 0, kMaxPort},
    {"POP3 with TLS from the first byte, por&t", "Pop3sPort", 0, kMaxPort},
};
// A missing value is never written by the dialog: the field shows the default it means.
constexpr OptionalValue kLimits[] = {
    {"Conversations per s&ervice at once", kMaxConnectionsValue, kDefaultMaxConnections, kMostConnections},
    {"Conversations per client &address at once", kMaxPerAddressValue, kDefaultMaxPerAddress, kMostConnections},
    {"Longest conversation, secon&ds", kSessionLimitValue, kDefaultSessionSeconds, kMostSessionSeconds},
    {"Largest message received, b&ytes", kMaxMessageSizeValue, CSMTPServer::kDefaultMaxMessageSize, UINT32_MAX},
    {"Largest message collected by SmartPop, bytes", CSmartPop::kMaxSizeValue, 0, UINT32_MAX,
     "as received"},
};

QString Q(const std::string& text) { return QString::fromStdString(text); }
constexpr int kFieldMarginPx = 16;
}  // namespace

CAdvancedConnectionsDlg::CAdvancedConnectionsDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Advanced Connections");
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    layout->addLayout(grid);
    for (int i = 0; i < 4; ++i) {
        QGroupBox* group = Group(kServices[i].title, this);
        auto* rows = new QGridLayout;
        static_cast<QVBoxLayout*>(group->layout())->addLayout(rows);
        if (kServices[i].port) {
            ports_[i] = new QLineEdit(group);
            ports_[i]->setObjectName(kServices[i].port);
            ports_[i]->setMaximumWidth(120);
            rows->addWidget(new QLabel("Port :", group), 0, 0);
            rows->addWidget(ports_[i], 0, 1, Qt::AlignLeft);
            connect(ports_[i], &QLineEdit::textChanged, this, &CAdvancedConnectionsDlg::UpdateOk);
        }
        timeouts_[i] = MakeSlider(1, 10, group);
        timeouts_[i]->setObjectName(kServices[i].timeout);
        labels_[i] = new QLabel(group);
        labels_[i]->setMinimumWidth(80);
        rows->addWidget(new QLabel("Timeout", group), 1, 0);
        rows->addWidget(timeouts_[i], 1, 1);
        rows->addWidget(labels_[i], 1, 2);
        grid->addWidget(group, i / 2, i % 2);
        connect(timeouts_[i], &QSlider::valueChanged, this, &CAdvancedConnectionsDlg::ShowLabels);
    }
    grid->addWidget(MakeRelayGroup(), 2, 0, 1, 2);
    grid->addWidget(MakeLanTlsGroup(), 3, 0, 1, 2);
    grid->addWidget(MakeLimitsGroup(), 4, 0, 1, 2);
    auto* hint = new QLabel("Ports are whole numbers up to 65535; the relay's port may be left empty for the usual "
                            "one.",
                            this);
    hint->setWordWrap(true);
    hint->setObjectName("PortHint");
    layout->addWidget(hint);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
        if (Save()) accept();
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Every value with a fixed default is there once the dialog has opened, whatever button
    // closes it. The relay's port is not: its usual value follows the relay's security, and a
    // port written here would pin a TLS relay to 25.
    CRegistryKey advCon("AdvCon", true);
    for (int i = 0; i < 4; ++i) {
        if (!kServices[i].port) continue;
        if (kServices[i].defaultPort) {
            ports_[i]->setText(QString::number(ReadOrSeed(advCon, kServices[i].port, kServices[i].defaultPort)));
        } else if (uint32_t port = 0; advCon.ReadInt(kServices[i].port, port)) {
            ports_[i]->setText(QString::number(port));
        }
    }
    for (int i = 0; i < 4; ++i) {
        const uint32_t seconds = ReadOrSeed(advCon, kServices[i].timeout, kDefaultTimeoutSeconds);
        timeouts_[i]->blockSignals(true);
        timeouts_[i]->setValue(StepsOf(seconds, kSecondsPerStep, timeouts_[i]));
        timeouts_[i]->blockSignals(false);
        // Until a slider moves its label shows the stored value, also one between the steps.
        labels_[i]->setText(QString::asprintf("%u Seconds", seconds));
    }
    ShowUsualRelayPort();
    UpdateOk();
}

QWidget* CAdvancedConnectionsDlg::MakeRelayGroup() {
    QGroupBox* group = Group("Relay security and login (SMTP Send)", this);
    auto* form = new QFormLayout;
    CRegistryKey advCon("AdvCon", false);
    std::string text;

    relaySecurity_ = new QComboBox(group);
    relaySecurity_->setObjectName(kRelaySecurityValue);
    for (const RelayChoice& choice : kRelayChoices) relaySecurity_->addItem(choice.label, StoredName(choice.security));
    const bool securitySet = advCon.ReadString(kRelaySecurityValue, text);
    const RelaySecurity security = securitySet ? ParseRelaySecurity(text) : RelaySecurity::Unset;
    if (security == RelaySecurity::Invalid) {
        // Shown as it is; OK asks for a valid choice instead of changing it unseen.
        relaySecurity_->addItem(QString("'%1' (not valid)").arg(Q(text)), Q(text));
        relaySecurity_->setCurrentIndex(relaySecurity_->count() - 1);
    } else {
        relaySecurity_->setCurrentIndex(relaySecurity_->findData(StoredName(security)));
    }
    form->addRow("Se&curity", relaySecurity_);
    connect(relaySecurity_, &QComboBox::currentIndexChanged, this, &CAdvancedConnectionsDlg::ShowUsualRelayPort);

    advCon.ReadString(kRelayUserValue, text);
    relayUser_ = new QLineEdit(Q(text), group);
    relayUser_->setObjectName(kRelayUserValue);
    relayUser_->setPlaceholderText("none: no login");
    form->addRow("&User", relayUser_);

    // The stored password is never put into the field; an empty field keeps it.
    relayPassword_ = new QLineEdit(group);
    relayPassword_->setObjectName(kRelayPasswordValue);
    relayPassword_->setEchoMode(QLineEdit::Password);
    char probe = 0;
    relayPasswordStored_ = advCon.ReadBinary(kRelayPasswordValue, &probe, 1) && probe != 0;
    relayPassword_->setPlaceholderText(relayPasswordStored_ ? "(unchanged)" : "(not set)");
    form->addRow("Pass&word", relayPassword_);

    advCon.ReadString(kRelayFingerprintValue, text);
    relayPin_ = new QLineEdit(Q(text), group);
    relayPin_->setObjectName(kRelayFingerprintValue);
    relayPin_->setPlaceholderText("none: the system's trusted certificates");
    relayPin_->setMinimumWidth(relayPin_->fontMetrics().horizontalAdvance(QString(64, '0')) + kFieldMarginPx);
    form->addRow("Certificate &pin (SHA-256)", relayPin_);
    static_cast<QVBoxLayout*>(group->layout())->addLayout(form);
    return group;
}

QLineEdit* CAdvancedConnectionsDlg::AddOptionalNumber(QFormLayout* form, const QString& label, const char* value,
                                                      uint32_t usual, const char* hint) {
    auto* edit = new QLineEdit(form->parentWidget());
    edit->setObjectName(value);
    edit->setPlaceholderText(hint ? QString(hint) : usual ? QString("%1 (default)").arg(usual) : QString("off"));
    edit->setFixedWidth(edit->fontMetrics().horizontalAdvance(edit->placeholderText() + "0000") + kFieldMarginPx);
    uint32_t stored = 0;
    if (CRegistryKey("AdvCon", false).ReadInt(value, stored)) edit->setText(QString::number(stored));
    form->addRow(label, edit);
    return edit;
}

QWidget* CAdvancedConnectionsDlg::MakeLanTlsGroup() {
    QGroupBox* group = Group("This gateway's TLS certificate (LAN clients)", this);
    auto* form = new QFormLayout;
    static_cast<QVBoxLayout*>(group->layout())->addLayout(form);
    CRegistryKey advCon("AdvCon", false);
    std::string text;
    advCon.ReadString(kTlsCertificateValue, text);
    tlsCertificate_ = new QLineEdit(Q(text), group);
    tlsCertificate_->setObjectName(kTlsCertificateValue);
    tlsCertificate_->setPlaceholderText("e.g. /etc/postvane/tls/cert.pem");
    form->addRow("Ce&rtificate file (PEM)", tlsCertificate_);
    advCon.ReadString(kTlsKeyValue, text);
    tlsKey_ = new QLineEdit(Q(text), group);
    tlsKey_->setObjectName(kTlsKeyValue);
    tlsKey_->setPlaceholderText("e.g. /etc/postvane/tls/key.pem");
    form->addRow("Private &key file (PEM)", tlsKey_);
    for (const OptionalValue& v : kTlsPorts)
        tlsPorts_.push_back({v.value, AddOptionalNumber(form, v.label, v.value, v.usual, v.hint)});
    auto* note = new QLabel("Read when Postvane starts.", group);
    group->layout()->addWidget(note);
    return group;
}

QWidget* CAdvancedConnectionsDlg::MakeLimitsGroup() {
    QGroupBox* group = Group("Connection and message limits", this);
    auto* form = new QFormLayout;
    static_cast<QVBoxLayout*>(group->layout())->addLayout(form);
    for (const OptionalValue& v : kLimits)
        limits_.push_back({v.value, AddOptionalNumber(form, v.label, v.value, v.usual, v.hint)});
    auto* note = new QLabel("Empty: the default. The conversation limits are read when Postvane starts, the message "
                            "sizes at each conversation or collection.",
                            group);
    note->setWordWrap(true);
    group->layout()->addWidget(note);
    return group;
}

bool CAdvancedConnectionsDlg::IsPortText(const QString& text) {
    if (text.isEmpty()) return true;
    return ParseWhole(text, 0, kPortLimit - 1).has_value() && text.trimmed() == text;
}

bool CAdvancedConnectionsDlg::PortsTakeable() const {
    for (int i = 0; i < 3; ++i) {
        const QString text = ports_[i]->text();
        if (i == kRelayService) {
            // The provider's port, not one this machine listens on: any port postvane-admin
            // takes, or empty for the usual one.
            uint32_t port = 0;
            if (!text.isEmpty() && !CheckPort(text.toStdString(), port).empty()) return false;
        } else if (!IsPortText(text)) {
            return false;
        }
    }
    return true;
}

void CAdvancedConnectionsDlg::UpdateOk() {
    const bool ok = PortsTakeable();
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(ok);
    if (auto* hint = findChild<QLabel*>("PortHint")) hint->setVisible(!ok);
}

void CAdvancedConnectionsDlg::ShowLabels() {
    for (int i = 0; i < 4; ++i) labels_[i]->setText(QString::asprintf("%d Seconds", timeouts_[i]->value() * kSecondsPerStep));
}

void CAdvancedConnectionsDlg::ShowUsualRelayPort() {
    // An empty relay port is the usual one for the chosen security, and the field says which.
    const RelaySecurity security = ParseRelaySecurity(relaySecurity_->currentData().toString().toStdString());
    ports_[kRelayService]->setPlaceholderText(QString("%1 (usual)").arg(DefaultRelayPort(security)));
}

QString CAdvancedConnectionsDlg::Refusal() {
    const QString security = relaySecurity_->currentData().toString();
    RelaySecurity parsed = RelaySecurity::Unset;
    if (!security.isEmpty()) {
        if (std::string why = CheckRelaySecurity(security.toStdString(), parsed); !why.empty()) return Q(why);
    }
    if (std::string why = CheckRelayUser(relayUser_->text().toStdString()); !why.empty()) return Q(why);
    if (!relayPassword_->text().isEmpty()) {
        if (std::string why = CheckRelayPassword(relayPassword_->text().toStdString()); !why.empty()) return Q(why);
    }
    if (!relayPin_->text().trimmed().isEmpty()) {
        std::string pin;
        if (std::string why = CheckFingerprint(relayPin_->text().trimmed().toStdString(), pin); !why.empty())
            return Q(why);
    }
    if (std::string why = CheckTlsFiles(tlsCertificate_->text().trimmed().toStdString(),
                                        tlsKey_->text().trimmed().toStdString());
        !why.empty())
        return Q(why);
    for (const OptionalNumber& port : tlsPorts_) {
        uint32_t n = 0;
        if (!port.edit->text().isEmpty()) {
            if (std::string why = CheckPort(port.edit->text().toStdString(), n); !why.empty()) return Q(why);
        }
    }
    for (size_t i = 0; i < limits_.size(); ++i) {
        uint32_t n = 0;
        if (limits_[i].edit->text().isEmpty()) continue;
        QString what = QString(kLimits[i].label).remove('&');
        if (std::string why = CheckLimit(limits_[i].edit->text().toStdString(), kLimits[i].most, what.toStdString(), n);
            !why.empty())
            return Q(why);
    }
    return {};
}

bool CAdvancedConnectionsDlg::Save() {
    // Every field is checked before anything is written.
    if (!PortsTakeable()) return false;
    if (const QString why = Refusal(); !why.isEmpty()) {
        ShowRefusal(this, refusal_, why.left(1).toUpper() + why.mid(1));
        return false;
    }
    CRegistryKey advCon("AdvCon", true);
    for (int i = 0; i < 3; ++i) {
        const QString text = ports_[i]->text();
        if (i == kRelayService && text.isEmpty()) {
            advCon.DeleteValue(kServices[i].port);  // the usual port for the security
            continue;
        }
        advCon.WriteInt(kServices[i].port, ParseWhole(text, 0, i == kRelayService ? kMaxPort : kPortLimit - 1).value_or(0));
    }
    for (int i : {3, 1, 2, 0})
        advCon.WriteInt(kServices[i].timeout, static_cast<uint32_t>(timeouts_[i]->value() * kSecondsPerStep));

    const QString security = relaySecurity_->currentData().toString();
    if (security.isEmpty()) {
        advCon.DeleteValue(kRelaySecurityValue);
    } else {
        advCon.WriteString(kRelaySecurityValue, RelaySecurityName(ParseRelaySecurity(security.toStdString())));
    }
    const std::string user = relayUser_->text().toStdString();
    if (user.empty()) {
        advCon.DeleteValue(kRelayUserValue);
        advCon.DeleteValue(kRelayPasswordValue);  // a password for nobody has no use
    } else {
        advCon.WriteString(kRelayUserValue, user);
        const std::string password = relayPassword_->text().toStdString();
        // Kept as bytes, as the mailbox passwords are; an empty field keeps the stored one.
        if (!password.empty()) advCon.WriteBinary(kRelayPasswordValue, password.data(), password.size());
    }
    std::string pin;
    if (relayPin_->text().trimmed().isEmpty()) {
        advCon.DeleteValue(kRelayFingerprintValue);
    } else if (CheckFingerprint(relayPin_->text().trimmed().toStdString(), pin).empty()) {
        advCon.WriteString(kRelayFingerprintValue, pin);
    }

    const std::string certificate = tlsCertificate_->text().trimmed().toStdString();
    const std::string key = tlsKey_->text().trimmed().toStdString();
    if (certificate.empty()) {
        advCon.DeleteValue(kTlsCertificateValue);
        advCon.DeleteValue(kTlsKeyValue);
    } else {
        advCon.WriteString(kTlsCertificateValue, certificate);
        advCon.WriteString(kTlsKeyValue, key);
    }
    // Optional numbers: a value only where one was entered; an emptied field gives the default.
    for (const std::vector<OptionalNumber>* fields : {&tlsPorts_, &limits_}) {
        for (const OptionalNumber& f : *fields) {
            const std::optional<uint32_t> n = ParseWhole(f.edit->text(), 1, UINT32_MAX);
            if (n) {
                advCon.WriteInt(f.value, *n);
            } else {
                advCon.DeleteValue(f.value);
            }
        }
    }
    return true;
}

}  // namespace pv
