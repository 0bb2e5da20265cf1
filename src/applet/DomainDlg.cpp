#include "applet/DomainDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <vector>

#include "core/RegistryKey.h"

namespace pv {

CNewDomainDlg::CNewDomainDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("New Domain");
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel("New domain name", this);
    name_ = new QLineEdit(this);
    name_->setObjectName("NewDomain");
    label->setBuddy(name_);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(label);
    layout->addWidget(name_);
    layout->addWidget(buttons_);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(name_, &QLineEdit::textChanged, this, &CNewDomainDlg::UpdateOk);
    UpdateOk();
}

QString CNewDomainDlg::Name() const { return name_->text(); }

bool CNewDomainDlg::Acceptable(const QString& name) {
    return !name.isEmpty() && !name.contains('@') && !name.contains(' ');
}

void CNewDomainDlg::UpdateOk() { buttons_->button(QDialogButtonBox::Ok)->setEnabled(Acceptable(name_->text())); }

CDomainDlg::CDomainDlg(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    auto* primaryLabel = new QLabel("Primary Domain name for this site", this);
    primary_edit_ = new QLineEdit(this);
    primary_edit_->setObjectName("PrimaryDomain");
    primary_edit_->setReadOnly(true);
    primaryLabel->setBuddy(primary_edit_);
    auto* othersLabel = new QLabel("Additional domain names to be used for accepting mail", this);
    others_ = new QListWidget(this);
    others_->setObjectName("Domains");
    others_->setSortingEnabled(true);
    othersLabel->setBuddy(others_);
    add_ = new QPushButton("&Add ...", this);
    remove_ = new QPushButton("&Remove", this);
    makePrimary_ = new QPushButton("&Make Primary", this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(add_);
    buttons->addWidget(remove_);
    buttons->addWidget(makePrimary_);
    layout->addWidget(primaryLabel);
    layout->addWidget(primary_edit_);
    layout->addWidget(othersLabel);
    layout->addWidget(others_);
    layout->addLayout(buttons);

    connect(others_, &QListWidget::itemSelectionChanged, this, &CDomainDlg::OnSelection);
    connect(add_, &QPushButton::clicked, this, &CDomainDlg::Add);
    connect(remove_, &QPushButton::clicked, this, &CDomainDlg::Remove);
    connect(makePrimary_, &QPushButton::clicked, this, &CDomainDlg::MakePrimary);
}

void CDomainDlg::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        Load();
    }
    QWidget::showEvent(event);
}

void CDomainDlg::Load() {
    CRegistryKey key("Domain", true);
    std::vector<std::string> names;
    key.ListValueNames(names);
    others_->clear();
    primary_.clear();
    for (const std::string& name : names) {
        uint32_t value = 0;
        key.ReadIntOrZero(name, value);
        if (value != 0)
            primary_ = name;
        else
            others_->addItem(QString::fromStdString(name));
    }
    primary_edit_->setText(QString::fromStdString(primary_));
    remove_->setEnabled(false);
    makePrimary_->setEnabled(false);
}

void CDomainDlg::OnSelection() {
    const bool selected = others_->currentItem() && others_->currentItem()->isSelected();
    remove_->setEnabled(selected);
    makePrimary_->setEnabled(selected);
}

void CDomainDlg::Add() {
    CNewDomainDlg ask(this);
    if (ask.exec() != QDialog::Accepted || !CNewDomainDlg::Acceptable(ask.Name())) return;
    const std::string name = ask.Name().toStdString();
    CRegistryKey key("Domain", true);
    // A name already listed keeps its value: writing 0 over the primary domain would leave the
    // site without one. Names compare without regard to case, as the key's values do.
    uint32_t existing = 0;
    if (key.ReadInt(name, existing)) {
        auto* box = new QMessageBox(QMessageBox::Information, "New Domain",
                                    QString("The domain %1 is already listed.").arg(ask.Name()), QMessageBox::Ok,
                                    this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    key.WriteInt(name, 0);
    others_->addItem(QString::fromStdString(name));
}

void CDomainDlg::Remove() {
    QListWidgetItem* item = others_->currentItem();
    if (!item || !item->isSelected()) return;
    CRegistryKey("Domain", true).DeleteValue(item->text().toStdString());
    delete item;
    others_->clearSelection();
    remove_->setEnabled(false);
    makePrimary_->setEnabled(false);
}

void CDomainDlg::MakePrimary() {
    QListWidgetItem* item = others_->currentItem();
    if (!item || !item->isSelected()) return;
    CRegistryKey key("Domain", true);
    if (!primary_.empty()) key.WriteInt(primary_, 0);
    key.WriteInt(item->text().toStdString(), 1);
    Load();
}

}  // namespace pv
