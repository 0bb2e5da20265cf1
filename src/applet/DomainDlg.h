// The Domains page and the New Domain dialog: the local domains in the `Domain` key.
#pragma once

#include <QDialog>
#include <QWidget>

#include <string>

class QDialogButtonBox;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace pv {

// Asks for one new domain name. OK is offered only for a name that is not empty and holds
// neither an at sign nor a space.
class CNewDomainDlg : public QDialog {
    Q_OBJECT
public:
    explicit CNewDomainDlg(QWidget* parent = nullptr);
    QString Name() const;
    static bool Acceptable(const QString& name);

private:
    void UpdateOk();
    QLineEdit* name_;
    QDialogButtonBox* buttons_;
};

// One DWORD value per domain under `Domain`: 1 for the primary domain, 0 for the others.
class CDomainDlg : public QWidget {
    Q_OBJECT
public:
    explicit CDomainDlg(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Load();
    void OnSelection();
    void Add();
    void Remove();
    void MakePrimary();

    bool initialised_ = false;
    std::string primary_;
    QLineEdit* primary_edit_;
    QListWidget* others_;
    QPushButton* add_;
    QPushButton* remove_;
    QPushButton* makePrimary_;
};

}  // namespace pv
