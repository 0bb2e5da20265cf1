// The General page: spool root, keeping temporary files, start-up, logging, unknown users.
#pragma once

#include <QWidget>

#include <string>

class QButtonGroup;
class QCheckBox;
class QLineEdit;
class QMessageBox;
class QRadioButton;

namespace pv {

class CGeneralDlg : public QWidget {
    Q_OBJECT
public:
    // The longest spool root the page writes.
    static constexpr int kMaxMaildrop = 255;

    explicit CGeneralDlg(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Initialise();
    void PushToControls();
    void ReadBack();
    void OnMaildropEdited();
    void WriteFlag(const char* name, uint32_t value);

    // One member per control value.
    std::string maildrop_;
    bool keepFiles_ = false;
    bool hideDialog_ = false;
    int defaultDeliver_ = -1;  // -1: neither button chosen
    bool logAll_ = false;
    bool initialised_ = false;

    QLineEdit* maildrop_edit_;
    QCheckBox* keep_;
    QCheckBox* hide_;
    QCheckBox* logAll_box_;
    QRadioButton* reject_;
    QRadioButton* postmaster_;
    QButtonGroup* deliver_;
    QMessageBox* tooLong_ = nullptr;
};

}  // namespace pv
