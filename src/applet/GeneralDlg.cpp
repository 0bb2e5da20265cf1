#include "applet/GeneralDlg.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QVBoxLayout>

#include "applet/Controls.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

namespace pv {

CGeneralDlg::CGeneralDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);

    QGroupBox* storage = Group("Temporary Storage", this);
    // The example is the spool of a system installation.
    auto* prompt = new QLabel(QString("Enter the path to the directory into which you wish to store temporary "
                                      "files.\ne.g. %1")
                                  .arg(platform::kSystemSpoolPath),
                              storage);
    maildrop_edit_ = new QLineEdit(storage);
    maildrop_edit_->setObjectName("Maildrop");
    prompt->setBuddy(maildrop_edit_);
    keep_ = new QCheckBox("Keep temporary files", storage);
    keep_->setObjectName("KeepFiles");
    storage->layout()->addWidget(prompt);
    storage->layout()->addWidget(maildrop_edit_);
    storage->layout()->addWidget(keep_);
    layout->addWidget(storage);

    QGroupBox* startup = Group("Startup", this);
    hide_ = new QCheckBox("Hide status window at start", startup);
    hide_->setObjectName("HideDialog");
    startup->layout()->addWidget(hide_);
    layout->addWidget(startup);

    QGroupBox* logging = Group("Logging", this);
    logAll_box_ = new QCheckBox("Log all events to files in the temporary directory", logging);
    logAll_box_->setObjectName("LogAll");
    logging->layout()->addWidget(logAll_box_);
    layout->addWidget(logging);

    QGroupBox* unknown = Group("Unknown Users", this);
    reject_ = new QRadioButton("Reject mail for unknown users", unknown);
    postmaster_ = new QRadioButton("Deliver mail for unknown users to the postmaster", unknown);
    deliver_ = new QButtonGroup(this);
    deliver_->addButton(reject_, 0);
    deliver_->addButton(postmaster_, 1);
    unknown->layout()->addWidget(reject_);
    unknown->layout()->addWidget(postmaster_);
    layout->addWidget(unknown);
    layout->addStretch();

    // Only the operator's own edits and clicks write; loading the page never does.
    connect(maildrop_edit_, &QLineEdit::textEdited, this, &CGeneralDlg::OnMaildropEdited);
    connect(keep_, &QCheckBox::clicked, this, [this] {
        ReadBack();
        if (initialised_) WriteFlag("KeepFiles", keepFiles_ ? 1 : 0);
    });
    connect(hide_, &QCheckBox::clicked, this, [this] {
        ReadBack();
        if (initialised_) WriteFlag("HideDialog", hideDialog_ ? 1 : 0);
    });
    connect(logAll_box_, &QCheckBox::clicked, this, [this] {
        ReadBack();
        WriteFlag("LogAll", logAll_ ? 1 : 0);
    });
    connect(deliver_, &QButtonGroup::idClicked, this, [this](int) {
        ReadBack();
        if (defaultDeliver_ >= 0) WriteFlag("DefaultDeliver", static_cast<uint32_t>(defaultDeliver_));
    });
}

void CGeneralDlg::showEvent(QShowEvent* event) {
    if (!initialised_) Initialise();
    QWidget::showEvent(event);
}

void CGeneralDlg::Initialise() {
    CRegistryKey root("", true);
    root.ReadString("Maildrop", maildrop_);
    uint32_t value = 0;
    root.ReadIntOrZero("KeepFiles", value);
    keepFiles_ = value != 0;
    root.ReadIntOrZero("HideDialog", value);
    hideDialog_ = value != 0;
    root.ReadIntOrZero("LogAll", value);
    logAll_ = value != 0;
    int32_t deliver = -1;
    if (root.ReadInt("DefaultDeliver", deliver)) defaultDeliver_ = deliver;
    initialised_ = true;
    PushToControls();
}

void CGeneralDlg::PushToControls() {
    maildrop_edit_->setText(QString::fromStdString(maildrop_));
    keep_->setChecked(keepFiles_);
    hide_->setChecked(hideDialog_);
    logAll_box_->setChecked(logAll_);
    // Any value other than 0 sends mail for unknown users to the postmaster, as the server reads it.
    if (defaultDeliver_ < 0) {
        deliver_->setExclusive(false);
        reject_->setChecked(false);
        postmaster_->setChecked(false);
        deliver_->setExclusive(true);
    } else {
        (defaultDeliver_ == 0 ? reject_ : postmaster_)->setChecked(true);
    }
}

void CGeneralDlg::ReadBack() {
    keepFiles_ = keep_->isChecked();
    hideDialog_ = hide_->isChecked();
    logAll_ = logAll_box_->isChecked();
    if (deliver_->checkedId() >= 0) defaultDeliver_ = deliver_->checkedId();
}

void CGeneralDlg::OnMaildropEdited() {
    ReadBack();
    const QString text = maildrop_edit_->text();
    if (text.size() > kMaxMaildrop) {
        // Refused whole: the registry keeps the last path that fitted.
        if (!tooLong_) {
            tooLong_ = new QMessageBox(QMessageBox::Warning, "Postvane Properties",
                                       QString("Enter no more than %1 characters.").arg(kMaxMaildrop),
                                       QMessageBox::Ok, this);
        }
        tooLong_->open();
        return;
    }
    maildrop_ = text.toStdString();
    CRegistryKey("", true).WriteString("Maildrop", maildrop_);
}

void CGeneralDlg::WriteFlag(const char* name, uint32_t value) { CRegistryKey("", true).WriteInt(name, value); }

}  // namespace pv
