#include "applet/PropertySheet.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "applet/ConnectionDlg.h"
#include "applet/DomainDlg.h"
#include "applet/GeneralDlg.h"
#include "applet/ScheduleDlg.h"
#include "applet/SmartPopDlg.h"
#include "core/RegistryKey.h"
#include "platform/Events.h"
#include "platform/Hive.h"

namespace pv {

namespace {
// How often the open sheet looks for a second opening's request to come to the front.
constexpr int kRaiseCheckMs = 250;
}  // namespace

CPropertySheet::CPropertySheet(const QString& caption, QWidget* parent) : QDialog(parent) {
    setWindowTitle(caption);
    pages_ = new QTabWidget(this);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    // Apply stays off: no page ever holds a change that is not written yet.
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(false);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addWidget(buttons_);
}

void CPropertySheet::AddPage(QWidget* page, const QString& title) { pages_->addTab(page, title); }

void RunPropertySheet() {
    // One sheet at a time: two would each write what they show, and the later one would undo
    // the earlier one's changes. A second opening brings the open sheet to the front instead.
    platform::FileLock one;
    if (!one.Lock(platform::PropertiesLockPath(platform::HivePath()), false) && one.Error().empty()) {
        platform::NamedEvents::Get().PostRequest(platform::ControlRequest::RaiseProperties);
        return;
    }
    CPropertySheet sheet("Postvane Properties");
    QTimer raise;
    QObject::connect(&raise, &QTimer::timeout, &sheet, [&sheet] {
        if (!platform::NamedEvents::Get().TakeRequest(platform::ControlRequest::RaiseProperties)) return;
        sheet.showNormal();
        sheet.raise();
        sheet.activateWindow();
    });
    raise.start(kRaiseCheckMs);
    // Both keys exist before any page reads, and stay open while the sheet is up.
    CRegistryKey root("", true);
    CRegistryKey schedule("Schedule", true);
    auto* general = new CGeneralDlg;
    auto* connection = new CConnectionDlg;
    auto* schedulePage = new CSchedule;
    auto* domains = new CDomainDlg;
    auto* smartPop = new CSmartPop;
    sheet.AddPage(general, "General");
    sheet.AddPage(connection, "Connection");
    sheet.AddPage(schedulePage, "Schedule");
    sheet.AddPage(domains, "Domains");
    sheet.AddPage(smartPop, "SmartPop");
    sheet.Pages()->setCurrentIndex(0);
    sheet.exec();
}

}  // namespace pv
