// The sheet "Postvane Properties": its pages write the server's configuration as they change.
#pragma once

#include <QDialog>

class QTabWidget;
class QDialogButtonBox;

namespace pv {

// A modal sheet of pages with OK, Cancel and Apply. There is nothing to apply or undo: every
// page has written its values by the time a button is pressed.
class CPropertySheet : public QDialog {
    Q_OBJECT
public:
    explicit CPropertySheet(const QString& caption, QWidget* parent = nullptr);
    void AddPage(QWidget* page, const QString& title);
    QTabWidget* Pages() const { return pages_; }

private:
    QTabWidget* pages_;
    QDialogButtonBox* buttons_;
};

// Opens the root key and `Schedule` (creating them), builds the pages and runs the sheet
// modally until any button closes it.
void RunPropertySheet();

}  // namespace pv
