#include "applet/ConnectionDlg.h"

#include <QButtonGroup>
#include <QComboBox>
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
#include "dialup/DialerConfig.h"

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
    uint32_t defaultPort;
    const char* timeout;     // as it is read and as OK writes it (the names compare without case)
};
constexpr Service kServices[4] = {
    {"SMTP Receive", "smtpinport", 25, "SMTPInTimeout"},
    {"SMTP Send", "smtpoutport", 25, "smtpouttimeout"},
    {"POP3 Receive", "popport", 110, "poptimeout"},
    {"SmartPop", nullptr, 0, "SmartPopTimeout"},
};
constexpr uint32_t kDefaultTimeoutSeconds = 30;
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
            ports_[i]->setMaximumWidth(80);
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
    auto* hint = new QLabel("Ports are whole numbers below 32768.", this);
    hint->setObjectName("PortHint");
    layout->addWidget(hint);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, [this] {
        if (Save()) accept();
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // Every value is there once the dialog has opened, whatever button closes it.
    CRegistryKey advCon("AdvCon", true);
    for (int i = 0; i < 4; ++i) {
        if (kServices[i].port)
            ports_[i]->setText(QString::number(ReadOrSeed(advCon, kServices[i].port, kServices[i].defaultPort)));
    }
    for (int i = 0; i < 4; ++i) {
        const uint32_t seconds = ReadOrSeed(advCon, kServices[i].timeout, kDefaultTimeoutSeconds);
        timeouts_[i]->blockSignals(true);
        timeouts_[i]->setValue(StepsOf(seconds, kSecondsPerStep, timeouts_[i]));
        timeouts_[i]->blockSignals(false);
        // Until a slider moves its label shows the stored value, also one between the steps.
        labels_[i]->setText(QString::asprintf("%u Seconds", seconds));
    }
    UpdateOk();
}

bool CAdvancedConnectionsDlg::IsPortText(const QString& text) {
    if (text.isEmpty()) return true;
    return ParseWhole(text, 0, kPortLimit - 1).has_value() && text.trimmed() == text;
}

void CAdvancedConnectionsDlg::UpdateOk() {
    bool ok = true;
    for (QLineEdit* port : ports_) {
        if (port && !IsPortText(port->text())) ok = false;
    }
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(ok);
    if (auto* hint = findChild<QLabel*>("PortHint")) hint->setVisible(!ok);
}

void CAdvancedConnectionsDlg::ShowLabels() {
    for (int i = 0; i < 4; ++i) labels_[i]->setText(QString::asprintf("%d Seconds", timeouts_[i]->value() * kSecondsPerStep));
}

bool CAdvancedConnectionsDlg::Save() {
    // Every port is checked before anything is written: OK is only offered then.
    for (QLineEdit* port : ports_) {
        if (port && !IsPortText(port->text())) return false;
    }
    CRegistryKey advCon("AdvCon", true);
    for (int i = 0; i < 3; ++i)
        advCon.WriteInt(kServices[i].port, ParseWhole(ports_[i]->text(), 0, kPortLimit - 1).value_or(0));
    for (int i : {3, 1, 2, 0})
        advCon.WriteInt(kServices[i].timeout, static_cast<uint32_t>(timeouts_[i]->value() * kSecondsPerStep));
    return true;
}

}  // namespace pv
