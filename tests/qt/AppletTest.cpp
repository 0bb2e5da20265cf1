// The applet library as the control panel loads it: the CPlApplet messages, and the General
// page on a temporary hive under the offscreen platform.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QSlider>
#include <QTreeWidget>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <sstream>

#include "applet/AppletHost.h"
#include "core/RegistryKey.h"
#include "dialup/Schedule.h"
#include "platform/Events.h"
#include "platform/Hive.h"
#include "pop3/SmartPop.h"

namespace fs = std::filesystem;
using pv::CAppletHost;
using pv::CRegistryKey;
namespace cpl = pv::cpl;

namespace {
const std::string kLibrary = std::string(POSTVANE_BIN_DIR) + "/postvane.cpl";
// The pages in the sheet's order.
constexpr int kGeneralPage = 0;
constexpr int kConnectionPage = 1;
constexpr int kSchedulePage = 2;
constexpr int kDomainsPage = 3;
constexpr int kSmartPopPage = 4;
// A certificate pin as an operator pastes it, and as it is stored.
constexpr const char* kPinColons =
    "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
constexpr const char* kPin = "abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789";

QDialog* FindSheet() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dlg = qobject_cast<QDialog*>(w);
        if (dlg && dlg->isVisible() && dlg->windowTitle() == "Postvane Properties" &&
            !qobject_cast<QMessageBox*>(w))
            return dlg;
    }
    return nullptr;
}

QAbstractButton* ByText(QWidget* in, const QString& text) {
    for (auto* b : in->findChildren<QAbstractButton*>()) {
        if (b->text() == text) return b;
    }
    return nullptr;
}

QDialog* FindDialog(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* dlg = qobject_cast<QDialog*>(w);
        if (dlg && dlg->isVisible() && dlg->windowTitle() == title && !qobject_cast<QMessageBox*>(w)) return dlg;
    }
    return nullptr;
}

// Clicks `trigger`, which runs a modal dialog titled `title`; `drive` works that dialog and
// then it is closed with `close` (or rejected when that button is missing or disabled).
void RunModal(QAbstractButton* trigger, const QString& title, const std::function<void(QDialog*)>& drive,
              const QString& close) {
    bool seen = false;
    QTimer::singleShot(0, [&] {
        QDialog* dlg = FindDialog(title);
        if (!dlg) return;
        seen = true;
        drive(dlg);
        QAbstractButton* button = nullptr;
        for (auto* b : dlg->findChildren<QAbstractButton*>()) {
            if (b->text() == close) button = b;
        }
        if (button && button->isEnabled()) button->click();
        if (dlg->isVisible()) dlg->reject();
    });
    trigger->click();
    QVERIFY(seen);
}

uint32_t DomainValue(const char* name) {
    uint32_t n = 0xDEADBEEF;
    CRegistryKey("Domain", false).ReadInt(name, n);
    return n;
}

QStringList Items(QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
    return items;
}

// The stored type and bytes of a value of the root ("") or of a key below it; type 0 when it
// is missing.
pv::platform::HiveValue RawIn(const std::string& subkey, const std::string& name) {
    pv::platform::HiveValue value;
    const std::string path = subkey.empty() ? std::string(pv::kDefaultConfigRoot)
                                            : std::string(pv::kDefaultConfigRoot) + "\\" + subkey;
    if (auto key = pv::platform::Hive::FindKey(path)) pv::platform::Hive::ReadValue(*key, name, value);
    return value;
}
pv::platform::HiveValue Raw(const char* name) { return RawIn("", name); }

// A REG_DWORD's number; 0xDEADBEEF when it is missing or of another type.
uint32_t DwordIn(const std::string& subkey, const std::string& name) {
    pv::platform::HiveValue v = RawIn(subkey, name);
    uint32_t n = 0xDEADBEEF;
    if (v.type == pv::platform::kRegDword && v.data.size() == 4) std::memcpy(&n, v.data.data(), 4);
    return n;
}
uint32_t Dword(const char* name) { return DwordIn("", name); }

// A REG_SZ's text; "<not a string>" for a missing value or one of another type.
std::string TextIn(const std::string& subkey, const std::string& name) {
    pv::platform::HiveValue v = RawIn(subkey, name);
    if (v.type != pv::platform::kRegSz) return "<not a string>";
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}
std::string Text(const char* name) { return TextIn("", name); }

// The visible non-modal refusal among `in`'s children, or nullptr.
QMessageBox* VisibleRefusal(QWidget* in) {
    for (auto* b : in->findChildren<QMessageBox*>()) {
        if (b->isVisible()) return b;
    }
    return nullptr;
}
}  // namespace

class AppletTest : public QObject {
    Q_OBJECT
    fs::path dir_;

    // An empty configuration for the next case. The library keeps its own connection to the
    // hive it first opened, so the cases share one hive file and empty it in between.
    void FreshHive() {
        pv::platform::HiveLease hive = pv::platform::Hive::Acquire();
        QVERIFY(hive);
        hive->DeleteTree(pv::platform::kHiveRoot, "Software");
    }

    // Opens the applet as the control panel does; `drive` works the sheet, then the button
    // `close` ("OK" or "Cancel") ends it, whatever `drive` found.
    void OpenSheet(const std::function<void(QDialog*)>& drive, const QString& close) {
        CAppletHost host;
        QVERIFY2(host.Load(kLibrary), host.Error().c_str());
        QVERIFY(host.Initialise());
        bool driven = false;
        std::function<void()> attempt;
        int tries = 0;
        attempt = [&] {
            QDialog* sheet = FindSheet();
            if (!sheet) {
                if (++tries < 200) QTimer::singleShot(10, attempt);
                return;
            }
            driven = true;
            drive(sheet);
            auto* box = sheet->findChild<QDialogButtonBox*>();
            QAbstractButton* button = box ? ByText(box, close) : nullptr;
            if (button) button->click();
            if (sheet->isVisible()) sheet->reject();
        };
        QTimer::singleShot(0, attempt);
        QCOMPARE(host.DoubleClick(0), 0);
        QVERIFY(driven);
        host.Stop(0);
    }

private slots:
    void initTestCase() {
        dir_ = fs::temp_directory_path() / ("pv-applet-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        const fs::path hive = dir_ / "registry.db";
        setenv("POSTVANE_HIVE", hive.c_str(), 1);
        pv::platform::SetHivePath(hive.string());
    }
    void cleanupTestCase() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Every message number answers as the control panel expects.
    void messageTable() {
        CAppletHost host;
        QVERIFY2(host.Load(kLibrary), host.Error().c_str());
        QCOMPARE(host.Send(cpl::kInit), 1);
        QCOMPARE(host.Send(cpl::kGetCount), 1);
        QCOMPARE(host.Send(cpl::kSelect, 0), 1);
        QCOMPARE(host.Send(cpl::kStop, 0), 1);
        QCOMPARE(host.Send(9), 1);
        QCOMPARE(host.Send(0), 1);

        // The old-style inquiry answers 0 and leaves the reply alone.
        cpl::NewCplInfo untouched;
        std::memset(&untouched, 0xAB, sizeof untouched);
        cpl::NewCplInfo reply = untouched;
        QCOMPARE(host.Send(cpl::kInquire, 0, reinterpret_cast<intptr_t>(&reply)), 0);
        QCOMPARE(std::memcmp(&reply, &untouched, sizeof reply), 0);

        std::memset(&reply, 0xAB, sizeof reply);
        QCOMPARE(host.Send(cpl::kNewInquire, 0, reinterpret_cast<intptr_t>(&reply)), 0);
        QCOMPARE(reply.size, 244u);
        QCOMPARE(reply.flags, 0u);
        QCOMPARE(reply.helpContext, 0u);
        QCOMPARE(reply.appletData, 0);
        QCOMPARE(reply.icon, 129u);
        QCOMPARE(QString(reply.name), QString("Mail Gateway"));
        QCOMPARE(QString(reply.info), QString("Postvane Properties"));
        QVERIFY(QString(reply.helpFile).endsWith("/share/doc/postvane/README.md"));

        QCOMPARE(host.Send(cpl::kExit), 0);
    }

    // A file that is no applet is refused with a reason; a missing one too.
    void loadingRefusesNonApplets() {
        CAppletHost host;
        QVERIFY(!host.Load((dir_ / "missing.cpl").string()));
        QVERIFY(!host.Error().empty());
        std::ostringstream err;
        QCOMPARE(pv::RunApplet((dir_ / "missing.cpl").string(), err), 1);
        QVERIFY(err.str().find("postvane-control:") == 0);
    }

    // A second opening while a sheet is up shows no second sheet: it asks the open one to come
    // to the front, which the open one takes.
    void oneSheetAtATime() {
        FreshHive();
        OpenSheet(
            [](QDialog* sheet) {
                CAppletHost second;
                QVERIFY(second.Load(kLibrary) && second.Initialise());
                QCOMPARE(second.DoubleClick(0), 0);  // returns at once: no second modal sheet
                int sheets = 0;
                for (QWidget* w : QApplication::topLevelWidgets())
                    sheets += w->isVisible() && w->windowTitle() == "Postvane Properties" ? 1 : 0;
                QCOMPARE(sheets, 1);
                QTest::qWait(600);  // a few of the sheet's checks
                QVERIFY(!pv::platform::NamedEvents::Get().TakeRequest(pv::platform::ControlRequest::RaiseProperties));
                QVERIFY(sheet->isVisible());
                second.Stop(0);
            },
            "OK");
    }

    // Opening on an empty hive makes the root and Schedule; Cancel then leaves no value behind.
    void cancelledSheetWritesNothing() {
        FreshHive();
        QVERIFY(!pv::platform::Hive::FindKey(pv::kDefaultConfigRoot));
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QVERIFY(tabs);
                QCOMPARE(tabs->currentIndex(), kGeneralPage);
                QCOMPARE(tabs->count(), 5);
                const QStringList titles = {"General", "Connection", "Schedule", "Domains", "SmartPop"};
                for (int i = 0; i < tabs->count(); ++i) QCOMPARE(tabs->tabText(i), titles[i]);
                auto deliver = tabs->widget(kGeneralPage)->findChildren<QRadioButton*>();
                QCOMPARE(deliver.size(), 2);
                // DefaultDeliver is missing: neither button is chosen.
                QVERIFY(!deliver[0]->isChecked() && !deliver[1]->isChecked());
            },
            "Cancel");
        CRegistryKey root("", false);
        QVERIFY(root.IsOpen());
        QVERIFY(CRegistryKey("Schedule", false).IsOpen());
        std::vector<std::string> names;
        QCOMPARE(root.ListValueNames(names), size_t(0));
    }

    // The page shows what the hive holds and writes each change back with the server's types.
    void generalLoadsAndWritesBack() {
        FreshHive();
        {
            CRegistryKey root("", true);
            root.WriteString("MailDrop", "/var/spool/pv");
            root.WriteInt("KeepFiles", 1);
            root.WriteInt("HideDialog", 0);
            root.WriteInt("LogAll", 7);
            root.WriteInt("DefaultDeliver", 1);
        }
        OpenSheet(
            [](QDialog* sheet) {
                auto* edit = sheet->findChild<QLineEdit*>("Maildrop");
                auto* keep = sheet->findChild<QCheckBox*>("KeepFiles");
                auto* hide = sheet->findChild<QCheckBox*>("HideDialog");
                auto* logAll = sheet->findChild<QCheckBox*>("LogAll");
                QVERIFY(edit && keep && hide && logAll);
                QCOMPARE(edit->text(), QString("/var/spool/pv"));
                QVERIFY(keep->isChecked());
                QVERIFY(!hide->isChecked());
                QVERIFY(logAll->isChecked());
                auto* postmaster = qobject_cast<QRadioButton*>(
                    ByText(sheet, "Deliver mail for unknown users to the postmaster"));
                auto* reject = qobject_cast<QRadioButton*>(ByText(sheet, "Reject mail for unknown users"));
                QVERIFY(postmaster && reject);
                QVERIFY(postmaster->isChecked());

                // Every keystroke is written at once.
                edit->setFocus();
                edit->end(false);
                QTest::keyClick(edit, Qt::Key_Backspace);
                QCOMPARE(Text("Maildrop"), std::string("/var/spool/p"));
                QTest::keyClicks(edit, "ostvane");
                QCOMPARE(Text("Maildrop"), std::string("/var/spool/postvane"));

                keep->click();
                QCOMPARE(Dword("KeepFiles"), 0u);
                hide->click();
                QCOMPARE(Dword("HideDialog"), 1u);
                logAll->click();
                QCOMPARE(Dword("LogAll"), 0u);
                reject->click();
                QCOMPARE(Dword("DefaultDeliver"), 0u);
                postmaster->click();
                QCOMPARE(Dword("DefaultDeliver"), 1u);
            },
            "Cancel");
        // Cancel undoes nothing: what was written stays, with the types the server reads.
        QCOMPARE(Raw("Maildrop").type, uint32_t(pv::platform::kRegSz));
        QCOMPARE(Text("Maildrop"), std::string("/var/spool/postvane"));
        for (const char* name : {"KeepFiles", "HideDialog", "LogAll", "DefaultDeliver"})
            QCOMPARE(Raw(name).type, uint32_t(pv::platform::kRegDword));
        QCOMPARE(Dword("KeepFiles"), 0u);
        QCOMPARE(Dword("HideDialog"), 1u);
        QCOMPARE(Dword("LogAll"), 0u);
        QCOMPARE(Dword("DefaultDeliver"), 1u);
    }

    // With DefaultDeliver missing nothing is written until a button is clicked.
    void unknownUsersWrittenOnlyOnClick() {
        FreshHive();
        OpenSheet(
            [](QDialog* sheet) {
                QCOMPARE(Raw("DefaultDeliver").type, 0u);
                auto* reject = ByText(sheet, "Reject mail for unknown users");
                QVERIFY(reject);
                reject->click();
                QCOMPARE(Dword("DefaultDeliver"), 0u);
            },
            "OK");
        QCOMPARE(Dword("DefaultDeliver"), 0u);
        QCOMPARE(Raw("KeepFiles").type, 0u);
    }

    // 255 characters are written; the 256th is refused with a message and the stored path
    // stays the last one that fitted.
    void overlongSpoolRootRefused() {
        FreshHive();
        OpenSheet(
            [](QDialog* sheet) {
                auto* edit = sheet->findChild<QLineEdit*>("Maildrop");
                QVERIFY(edit);
                edit->setFocus();
                const QString fits = "/" + QString(254, 'a');
                QTest::keyClicks(edit, fits);
                QCOMPARE(Text("Maildrop"), fits.toStdString());
                QTest::keyClick(edit, Qt::Key_B);
                QCOMPARE(Text("Maildrop"), fits.toStdString());
                QMessageBox* box = nullptr;
                for (auto* b : sheet->findChildren<QMessageBox*>()) {
                    if (b->isVisible()) box = b;
                }
                QVERIFY(box);
                QCOMPARE(box->text(), QString("Enter no more than 255 characters."));
                box->close();
                // Back to a length that fits: written again.
                QTest::keyClick(edit, Qt::Key_Backspace);
                QTest::keyClick(edit, Qt::Key_Backspace);
                QCOMPARE(Text("Maildrop"), fits.left(254).toStdString());
            },
            "OK");
    }

    // Domains: Make Primary swaps the values and reloads; Remove deletes the value.
    void domainsMakePrimaryAndRemove() {
        FreshHive();
        {
            CRegistryKey key("Domain", true);
            key.WriteInt("a.example", 1);
            key.WriteInt("c.example", 0);
            key.WriteInt("b.example", 0);
        }
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QCOMPARE(tabs->tabText(kDomainsPage), QString("Domains"));
                tabs->setCurrentIndex(kDomainsPage);
                auto* primary = sheet->findChild<QLineEdit*>("PrimaryDomain");
                auto* list = sheet->findChild<QListWidget*>("Domains");
                auto* make = ByText(sheet, "&Make Primary");
                auto* remove = ByText(sheet, "&Remove");
                QVERIFY(primary && list && make && remove);
                QVERIFY(primary->isReadOnly());
                QCOMPARE(primary->text(), QString("a.example"));
                QCOMPARE(Items(list), QStringList({"b.example", "c.example"}));
                QVERIFY(!make->isEnabled() && !remove->isEnabled());

                list->setCurrentRow(0);
                QVERIFY(make->isEnabled() && remove->isEnabled());
                make->click();
                QCOMPARE(DomainValue("a.example"), 0u);
                QCOMPARE(DomainValue("b.example"), 1u);
                QCOMPARE(primary->text(), QString("b.example"));
                QCOMPARE(Items(list), QStringList({"a.example", "c.example"}));
                QVERIFY(!make->isEnabled() && !remove->isEnabled());

                list->setCurrentRow(1);
                remove->click();
                QCOMPARE(DomainValue("c.example"), 0xDEADBEEFu);
                QCOMPARE(Items(list), QStringList({"a.example"}));
                QVERIFY(!make->isEnabled() && !remove->isEnabled());
            },
            "OK");
        std::vector<std::string> names;
        CRegistryKey("Domain", false).ListValueNames(names);
        QCOMPARE(names.size(), size_t(2));
    }

    // New Domain offers OK only for a usable name; a cancelled dialog writes nothing, and a
    // name already listed is refused without touching its value.
    void domainsAdd() {
        FreshHive();
        CRegistryKey("Domain", true).WriteInt("main.example", 1);
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kDomainsPage);
                auto* add = ByText(tabs->widget(kDomainsPage), "&Add ...");
                auto* list = sheet->findChild<QListWidget*>("Domains");
                QVERIFY(add && list);
                RunModal(
                    add, "New Domain",
                    [](QDialog* ask) {
                        auto* edit = ask->findChild<QLineEdit*>("NewDomain");
                        auto* box = ask->findChild<QDialogButtonBox*>();
                        QVERIFY(edit && box);
                        QPushButton* ok = box->button(QDialogButtonBox::Ok);
                        QVERIFY(!ok->isEnabled());
                        QTest::keyClicks(edit, "x y");
                        QVERIFY(!ok->isEnabled());
                        edit->clear();
                        QTest::keyClicks(edit, "x@y");
                        QVERIFY(!ok->isEnabled());
                        edit->clear();
                        QTest::keyClicks(edit, "cancelled.example");
                        QVERIFY(ok->isEnabled());
                    },
                    "Cancel");
                QCOMPARE(DomainValue("cancelled.example"), 0xDEADBEEFu);
                RunModal(
                    add, "New Domain",
                    [](QDialog* ask) { QTest::keyClicks(ask->findChild<QLineEdit*>("NewDomain"), "new.example"); },
                    "OK");
                QCOMPARE(DomainValue("new.example"), 0u);
                QCOMPARE(Items(list), QStringList({"new.example"}));
                RunModal(
                    add, "New Domain",
                    [](QDialog* ask) { QTest::keyClicks(ask->findChild<QLineEdit*>("NewDomain"), "MAIN.example"); },
                    "OK");
                QCOMPARE(DomainValue("main.example"), 1u);
                QCOMPARE(Items(list), QStringList({"new.example"}));
            },
            "OK");
    }

    // ---- Connection page and its dialogs ----------------------------------------------------

    // Phone-book entries come from the dialer the connection manager uses (here the simulator);
    // the first in sorted order is taken and written at once when none is chosen yet.
    void connectionLoadsEntriesAndWritesEachChange() {
        FreshHive();
        {
            CRegistryKey("AdvCon", true).WriteString("Dialer", "simulator");
            for (const char* entry : {"zeta", "Alpha", "mid"})
                CRegistryKey(std::string("Simulator\\") + entry, true).WriteInt("ConnectAfter", 1);
            CRegistryKey root("", true);
            root.WriteInt("UseLan", 0);
            root.WriteString("Gateway", "relay.example");
        }
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QCOMPARE(tabs->tabText(kConnectionPage), QString("Connection"));
                QCOMPARE(Raw("Connection").type, 0u);
                tabs->setCurrentIndex(kConnectionPage);
                QWidget* page = tabs->widget(kConnectionPage);
                auto* combo = page->findChild<QComboBox*>("Connection");
                auto* gateway = page->findChild<QLineEdit*>("Gateway");
                auto* lan = ByText(page, "I connect using a LAN.");
                auto* dialup = ByText(page, "I connect using the following dialup connection");
                auto* options = ByText(page, "&Options ...");
                QVERIFY(combo && gateway && lan && dialup && options && ByText(page, "&Advanced"));
                QStringList items;
                for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
                QCOMPARE(items, QStringList({"Alpha", "mid", "zeta"}));
                QCOMPARE(combo->currentText(), QString("Alpha"));
                QCOMPARE(Text("Connection"), std::string("Alpha"));
                QVERIFY(dialup->isChecked() && dialup->isEnabled());
                QVERIFY(combo->isEnabled() && options->isEnabled());
                QCOMPARE(gateway->text(), QString("relay.example"));

                gateway->setFocus();
                gateway->end(false);
                QTest::keyClicks(gateway, ".net");
                QCOMPARE(Text("Gateway"), std::string("relay.example.net"));

                lan->click();
                QCOMPARE(Dword("UseLan"), 1u);
                QVERIFY(!combo->isEnabled() && !options->isEnabled());
                dialup->click();
                QCOMPARE(Dword("UseLan"), 0u);
                QVERIFY(combo->isEnabled() && options->isEnabled());
                combo->setCurrentIndex(2);
                QCOMPARE(Text("Connection"), std::string("zeta"));
            },
            "Cancel");
        QCOMPARE(Raw("UseLan").type, uint32_t(pv::platform::kRegDword));
        QCOMPARE(Raw("Connection").type, uint32_t(pv::platform::kRegSz));
    }

    // No phone book: LAN shown and forced, dial-up off, and nothing written for UseLan or
    // Connection. A stored entry name selects the first entry it begins.
    void connectionWithoutPhoneBook() {
        FreshHive();
        CRegistryKey("AdvCon", true).WriteString("Dialer", "simulator");
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kConnectionPage);
                QWidget* page = tabs->widget(kConnectionPage);
                auto* lan = ByText(page, "I connect using a LAN.");
                auto* dialup = ByText(page, "I connect using the following dialup connection");
                QVERIFY(lan->isChecked());
                QVERIFY(!dialup->isEnabled());
                QVERIFY(!page->findChild<QComboBox*>("Connection")->isEnabled());
                QVERIFY(!ByText(page, "&Options ...")->isEnabled());
                lan->click();
            },
            "OK");
        QCOMPARE(Raw("UseLan").type, 0u);
        QCOMPARE(Raw("Connection").type, 0u);

        CRegistryKey("Simulator\\office", true).WriteInt("ConnectAfter", 1);
        CRegistryKey("Simulator\\home", true).WriteInt("ConnectAfter", 1);
        CRegistryKey("", true).WriteString("Connection", "off");
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kConnectionPage);
                QCOMPARE(tabs->widget(kConnectionPage)->findChild<QComboBox*>("Connection")->currentText(),
                         QString("office"));
            },
            "Cancel");
        QCOMPARE(Text("Connection"), std::string("off"));
    }

    // Dial-up options: the three defaults are written on opening even when cancelled; OK
    // writes the account, the command and the slider positions in seconds.
    void dialupOptions() {
        FreshHive();
        CRegistryKey("AdvCon", true).WriteString("Dialer", "simulator");
        CRegistryKey("Simulator\\isp", true).WriteInt("ConnectAfter", 1);
        CRegistryKey("", true).WriteInt("UseLan", 0);
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kConnectionPage);
                auto* options = ByText(tabs->widget(kConnectionPage), "&Options ...");
                RunModal(
                    options, "Dialup Options",
                    [](QDialog* dlg) { QTest::keyClicks(dlg->findChild<QLineEdit*>("username"), "dropped"); },
                    "Cancel");
                QCOMPARE(DwordIn("AdvCon", "Retries"), 5u);
                QCOMPARE(DwordIn("AdvCon", "InitialTimeout"), 60u);
                QCOMPARE(DwordIn("Schedule", "TimeOut"), 180u);
                QCOMPARE(RawIn("Schedule", "username").type, 0u);

                CRegistryKey("Schedule", true).WriteInt("TimeOut", 200);
                CRegistryKey("Schedule", true).WriteString("password", "old-secret");
                RunModal(
                    options, "Dialup Options",
                    [](QDialog* dlg) {
                        auto* inactivity = dlg->findChild<QSlider*>("TimeOut");
                        auto* retries = dlg->findChild<QSlider*>("Retries");
                        auto* logon = dlg->findChild<QSlider*>("InitialTimeout");
                        auto* password = dlg->findChild<QLineEdit*>("password");
                        QVERIFY(inactivity && retries && logon && password);
                        QCOMPARE(inactivity->value(), 6);
                        QStringList labels;
                        for (auto* l : dlg->findChildren<QLabel*>()) labels << l->text();
                        QVERIFY(labels.contains("3m 0s"));
                        QVERIFY(labels.contains("5"));
                        QCOMPARE(password->echoMode(), QLineEdit::Password);
                        QCOMPARE(password->text(), QString("old-secret"));
                        retries->setValue(3);
                        logon->setValue(3);
                        labels.clear();
                        for (auto* l : dlg->findChildren<QLabel*>()) labels << l->text();
                        QVERIFY(labels.contains("1m 30s"));
                        QVERIFY(labels.contains("3"));
                        QTest::keyClicks(dlg->findChild<QLineEdit*>("username"), "office");
                        password->clear();
                        QTest::keyClicks(password, "new-secret");
                        QTest::keyClicks(dlg->findChild<QLineEdit*>("Command"), "/usr/bin/true");
                    },
                    "OK");
            },
            "OK");
        QCOMPARE(TextIn("Schedule", "username"), std::string("office"));
        QCOMPARE(TextIn("Schedule", "password"), std::string("new-secret"));
        QCOMPARE(TextIn("Schedule", "Command"), std::string("/usr/bin/true"));
        QCOMPARE(DwordIn("AdvCon", "Retries"), 3u);
        QCOMPARE(DwordIn("AdvCon", "InitialTimeout"), 90u);
        QCOMPARE(DwordIn("Schedule", "TimeOut"), 180u);
    }

    // Advanced connections: defaults written on opening; port texts decide OK; the time-outs
    // are written as slider steps and read back by the server's reader.
    void advancedConnections() {
        FreshHive();
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kConnectionPage);
                auto* advanced = ByText(tabs->widget(kConnectionPage), "&Advanced");
                RunModal(advanced, "Advanced Connections", [](QDialog*) {}, "Cancel");
                QCOMPARE(DwordIn("AdvCon", "smtpinport"), 25u);
                // The relay's port is not seeded: its usual value follows the relay's security.
                QCOMPARE(RawIn("AdvCon", "smtpoutport").type, 0u);
                QCOMPARE(DwordIn("AdvCon", "popport"), 110u);
                for (const char* t : {"smtpintimeout", "smtpouttimeout", "poptimeout", "SmartPoptimeout"})
                    QCOMPARE(DwordIn("AdvCon", t), 30u);

                CRegistryKey("AdvCon", true).WriteInt("SMTPInTimeout", 45);
                CRegistryKey("AdvCon", true).WriteInt("poptimeout", 150);
                RunModal(
                    advanced, "Advanced Connections",
                    [](QDialog* dlg) {
                        auto* in = dlg->findChild<QSlider*>("SMTPInTimeout");
                        auto* pop = dlg->findChild<QSlider*>("poptimeout");
                        auto* smartPop = dlg->findChild<QSlider*>("SmartPopTimeout");
                        auto* inPort = dlg->findChild<QLineEdit*>("smtpinport");
                        auto* outPort = dlg->findChild<QLineEdit*>("smtpoutport");
                        QPushButton* ok = dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
                        QVERIFY(in && pop && smartPop && inPort && outPort);
                        QCOMPARE(in->value(), 1);
                        QCOMPARE(pop->value(), 5);
                        QStringList labels;
                        for (auto* l : dlg->findChildren<QLabel*>()) labels << l->text();
                        QVERIFY(labels.contains("45 Seconds"));
                        QCOMPARE(inPort->text(), QString("25"));
                        QVERIFY(ok->isEnabled());
                        for (const char* bad : {"65536", "80a", "-1", " 80"}) {
                            inPort->setText(bad);
                            QVERIFY2(!ok->isEnabled(), bad);
                        }
                        inPort->clear();
                        QVERIFY(ok->isEnabled());
                        // The relay's port is the provider's: any port, as postvane-admin takes it.
                        for (const char* bad : {"0", "65536", "80a"}) {
                            outPort->setText(bad);
                            QVERIFY2(!ok->isEnabled(), bad);
                        }
                        outPort->setText("40000");
                        QVERIFY(ok->isEnabled());
                        inPort->setText("40000");  // a port above 32767 is still a port
                        QVERIFY(ok->isEnabled());
                        inPort->clear();
                        outPort->setText("32767");
                        QVERIFY(ok->isEnabled());
                        smartPop->setValue(4);
                        labels.clear();
                        for (auto* l : dlg->findChildren<QLabel*>()) labels << l->text();
                        QVERIFY(labels.contains("120 Seconds"));
                        QVERIFY(labels.contains("30 Seconds"));  // SMTP Receive shown again as its step
                    },
                    "OK");
            },
            "OK");
        QCOMPARE(DwordIn("AdvCon", "smtpinport"), 0u);
        QCOMPARE(DwordIn("AdvCon", "smtpoutport"), 32767u);
        QCOMPARE(DwordIn("AdvCon", "popport"), 110u);
        QCOMPARE(pv::ReadTimeoutSeconds("SMTPintimeout"), 30);
        QCOMPARE(pv::ReadTimeoutSeconds("poptimeout"), 150);
        QCOMPARE(pv::ReadTimeoutSeconds("SmartPoptimeout"), 120);
        std::vector<std::string> names;
        CRegistryKey("AdvCon", false).ListValueNames(names);
        QCOMPARE(names.size(), size_t(7));
    }

    // The relay's security, login and pin, the LAN certificate and the connection limits: shown
    // as stored (never the password), refused with the shared checks, written by OK only.
    void advancedConnectionsRelayTlsAndLimits() {
        FreshHive();
        {
            CRegistryKey adv("AdvCon", true);
            adv.WriteString("RelayUser", "jo@provider.test");
            adv.WriteBinary("RelayPassword", "old-secret", 10);
            adv.WriteInt("MaxPerAddress", 7);
        }
        auto field = [](QDialog* dlg, const char* name) { return dlg->findChild<QLineEdit*>(name); };
        OpenSheet(
            [&field](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kConnectionPage);
                auto* advanced = ByText(tabs->widget(kConnectionPage), "&Advanced");
                RunModal(
                    advanced, "Advanced Connections",
                    [&field](QDialog* dlg) {
                        auto* security = dlg->findChild<QComboBox*>("RelaySecurity");
                        QPushButton* ok = dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
                        QVERIFY(security);
                        QCOMPARE(security->currentData().toString(), QString());
                        QCOMPARE(field(dlg, "RelayUser")->text(), QString("jo@provider.test"));
                        QCOMPARE(field(dlg, "RelayPassword")->text(), QString());
                        QCOMPARE(field(dlg, "RelayPassword")->echoMode(), QLineEdit::Password);
                        QCOMPARE(field(dlg, "MaxPerAddress")->text(), QString("7"));
                        QCOMPARE(field(dlg, "MaxConnections")->text(), QString());
                        QVERIFY(field(dlg, "smtpoutport")->placeholderText().startsWith("25"));
                        security->setCurrentIndex(security->findData("tls"));
                        QVERIFY(field(dlg, "smtpoutport")->placeholderText().startsWith("465"));

                        // Each refused field keeps the dialog open and writes nothing.
                        const std::pair<const char*, const char*> refused[] = {
                            {"RelayFingerprint", "ab:cd"}, {"TlsCertificate", "cert.pem"},
                            {"MaxConnections", "0"},       {"SessionLimit", "9999999"},
                            {"SmtpsPort", "70000"},
                        };
                        for (const auto& [name, bad] : refused) {
                            const QString before = field(dlg, name)->text();
                            field(dlg, name)->setText(bad);
                            if (QString(name) == "TlsCertificate") field(dlg, "TlsKey")->setText("/k.pem");
                            ok->click();
                            QVERIFY2(dlg->isVisible(), name);
                            QVERIFY2(VisibleRefusal(dlg), name);
                            VisibleRefusal(dlg)->close();
                            field(dlg, name)->setText(before);
                            if (QString(name) == "TlsCertificate") field(dlg, "TlsKey")->clear();
                        }
                        QCOMPARE(RawIn("AdvCon", "RelaySecurity").type, 0u);

                        field(dlg, "RelayFingerprint")->setText(kPinColons);
                        field(dlg, "TlsCertificate")->setText("/etc/postvane/tls/cert.pem");
                        field(dlg, "TlsKey")->setText("/etc/postvane/tls/key.pem");
                        field(dlg, "SmtpsPort")->setText("465");
                        field(dlg, "MaxConnections")->setText("50");
                        field(dlg, "MaxPerAddress")->clear();
                        QCOMPARE(field(dlg, "SmartPopMaxMessageSize")->placeholderText(), QString("as received"));
                        field(dlg, "SmartPopMaxMessageSize")->setText("2000000");
                        ok->click();
                        if (QMessageBox* why = VisibleRefusal(dlg)) QFAIL(qPrintable(why->text()));
                        QVERIFY(!dlg->isVisible());
                    },
                    "OK");
            },
            "OK");
        QCOMPARE(TextIn("AdvCon", "RelaySecurity"), std::string("tls"));
        QCOMPARE(RawIn("AdvCon", "smtpoutport").type, 0u);  // the usual port for TLS
        QCOMPARE(TextIn("AdvCon", "RelayUser"), std::string("jo@provider.test"));
        const pv::platform::HiveValue password = RawIn("AdvCon", "RelayPassword");
        QCOMPARE(password.type, uint32_t(pv::platform::kRegBinary));
        QCOMPARE(std::string(password.data.begin(), password.data.end()), std::string("old-secret"));
        QCOMPARE(TextIn("AdvCon", "RelayFingerprint"), std::string(kPin));
        QCOMPARE(TextIn("AdvCon", "TlsCertificate"), std::string("/etc/postvane/tls/cert.pem"));
        QCOMPARE(TextIn("AdvCon", "TlsKey"), std::string("/etc/postvane/tls/key.pem"));
        QCOMPARE(DwordIn("AdvCon", "SmtpsPort"), 465u);
        QCOMPARE(RawIn("AdvCon", "Pop3sPort").type, 0u);
        QCOMPARE(DwordIn("AdvCon", "MaxConnections"), 50u);
        QCOMPARE(RawIn("AdvCon", "MaxPerAddress").type, 0u);
        QCOMPARE(DwordIn("AdvCon", "SmartPopMaxMessageSize"), 2000000u);
        QCOMPARE(RawIn("AdvCon", "MaxMessageSize").type, 0u);
    }

    // ---- Schedule page and Advanced Scheduling ----------------------------------------------

    void schedulePageWritesFlagsAndCounts() {
        FreshHive();
        {
            CRegistryKey key("Schedule", true);
            key.WriteInt("CheckIdle", 1);
            key.WriteInt("CountIdle", 0);
            key.WriteInt("CountAge", 45);
        }
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QCOMPARE(tabs->tabText(kSchedulePage), QString("Schedule"));
                tabs->setCurrentIndex(kSchedulePage);
                QWidget* page = tabs->widget(kSchedulePage);
                auto* waiting = page->findChild<QCheckBox*>("CheckWaiting");
                auto* age = page->findChild<QCheckBox*>("CheckAge");
                auto* idle = page->findChild<QCheckBox*>("CheckIdle");
                auto* waitingCount = page->findChild<QLineEdit*>("CountWaitingEdit");
                auto* ageCount = page->findChild<QLineEdit*>("CountAgeEdit");
                auto* idleCount = page->findChild<QLineEdit*>("CountIdleEdit");
                QVERIFY(waiting && age && idle && waitingCount && ageCount && idleCount);
                QVERIFY(!waiting->isChecked() && !age->isChecked() && idle->isChecked());
                // A stored 0 is shown as 1 but stays 0 until the field is changed.
                QCOMPARE(idleCount->text(), QString("1"));
                QCOMPARE(ageCount->text(), QString("45"));
                QCOMPARE(DwordIn("Schedule", "CountIdle"), 0u);

                waiting->click();
                QCOMPARE(DwordIn("Schedule", "CheckWaiting"), 1u);
                QCOMPARE(RawIn("Schedule", "CountWaiting").type, 0u);

                // Each keystroke writes; a text that is no count in range is refused with a
                // message and the last good count stays.
                ageCount->setFocus();
                ageCount->end(false);
                QTest::keyClick(ageCount, Qt::Key_Backspace);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 4u);
                QTest::keyClick(ageCount, Qt::Key_X);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 4u);
                QMessageBox* box = VisibleRefusal(page);
                QVERIFY(box);
                QCOMPARE(box->text(), QString("Enter a whole number between 1 and 1440."));
                box->close();
                ageCount->setText("");
                QTest::keyClicks(ageCount, "2000");
                QCOMPARE(DwordIn("Schedule", "CountAge"), 200u);
                QVERIFY(VisibleRefusal(page));
                VisibleRefusal(page)->close();
                // Up and Down step the count as the arrows do, and write it.
                QTest::keyClick(ageCount, Qt::Key_Backspace);
                QTest::keyClick(ageCount, Qt::Key_Up);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 201u);
                QTest::keyClick(ageCount, Qt::Key_Down);
                QTest::keyClick(ageCount, Qt::Key_Down);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 199u);

                // Dial-up defaults keep the idle check and its count; LAN defaults keep the counts.
                ByText(page, "Set &Dialup defaults")->click();
                QCOMPARE(DwordIn("Schedule", "CheckWaiting"), 1u);
                QCOMPARE(DwordIn("Schedule", "CountWaiting"), 10u);
                QCOMPARE(DwordIn("Schedule", "CheckAge"), 1u);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 20u);
                QCOMPARE(DwordIn("Schedule", "CheckIdle"), 1u);
                QCOMPARE(DwordIn("Schedule", "CountIdle"), 1u);
                QVERIFY(idle->isChecked());
                QCOMPARE(waitingCount->text(), QString("10"));
                ByText(page, "Set &LAN defaults")->click();
                QCOMPARE(DwordIn("Schedule", "CountWaiting"), 1u);
                QCOMPARE(DwordIn("Schedule", "CheckAge"), 0u);
                QCOMPARE(DwordIn("Schedule", "CountAge"), 20u);
                QCOMPARE(DwordIn("Schedule", "CheckIdle"), 0u);
                QVERIFY(!age->isChecked() && !idle->isChecked());
            },
            "Cancel");
        // What the connection manager reads.
        const pv::dialup::CheckSwitches checks = pv::dialup::ReadCheckSwitches();
        QVERIFY(checks.waiting && !checks.age && !checks.idle);
    }

    // Time entry rules, weekdays shared by one set only, the saved encoding, and the schedule
    // check reading the set back.
    void advancedSchedule() {
        FreshHive();
        {
            CRegistryKey b("Schedule\\b", true);
            b.WriteInt("dow", 0x02);  // Tuesday
            b.WriteString("Times", "09:15,10:00");
        }
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kSchedulePage);
                auto* advanced = ByText(tabs->widget(kSchedulePage), "Advanced ...");
                RunModal(
                    advanced, "Advanced Scheduling",
                    [](QDialog* dlg) {
                        ByText(dlg, "Use advanced scheduling")->click();
                        ByText(dlg->findChild<QGroupBox*>("Set_a"), "Friday")->click();
                    },
                    "Cancel");
                QCOMPARE(RawIn("Schedule", "UseAdvanced").type, 0u);
                QVERIFY(!pv::platform::Hive::FindKey(std::string(pv::kDefaultConfigRoot) + "\\Schedule\\a"));

                RunModal(
                    advanced, "Advanced Scheduling",
                    [](QDialog* dlg) {
                        auto* a = dlg->findChild<QGroupBox*>("Set_a");
                        auto* b = dlg->findChild<QGroupBox*>("Set_b");
                        auto* time = dlg->findChild<QLineEdit*>("Time_a");
                        auto* listA = dlg->findChild<QListWidget*>("Times_a");
                        auto* listB = dlg->findChild<QListWidget*>("Times_b");
                        QVERIFY(a && b && time && listA && listB);
                        QCOMPARE(Items(listB), QStringList({"09:15", "10:00"}));
                        QVERIFY(ByText(b, "Tuesday")->property("checked").toBool());
                        QCOMPARE(time->text(), QString("00:00"));
                        QAbstractButton* add = ByText(a, "Add Time");
                        QAbstractButton* remove = ByText(a, "Delete Time");
                        QVERIFY(!remove->isEnabled());
                        for (const char* bad : {"7:30", "07-30", "24:00", "07:60", "07:059", "12:3:", ""}) {
                            time->setText(bad);
                            QVERIFY2(!add->isEnabled(), bad);
                        }
                        time->setText("07:30");
                        QVERIFY(add->isEnabled());
                        const struct {
                            const char* from;
                            const char* button;
                            const char* to;
                        } steps[] = {{"23:50", "Plus_a", "23:50"}, {"00:10", "Minus_a", "00:10"},
                                     {"09:50", "Plus_a", "10:05"}, {"10:05", "Minus_a", "09:50"}};
                        for (const auto& s : steps) {
                            time->setText(s.from);
                            dlg->findChild<QPushButton*>(s.button)->click();
                            QCOMPARE(time->text(), QString(s.to));
                        }
                        time->setText("12:00");
                        add->click();
                        time->setText("08:30");
                        add->click();
                        time->setText("17:45");
                        add->click();
                        QCOMPARE(Items(listA), QStringList({"08:30", "12:00", "17:45"}));
                        listA->setCurrentRow(2);
                        QVERIFY(remove->isEnabled());
                        remove->click();
                        QVERIFY(!remove->isEnabled());
                        QCOMPARE(Items(listA), QStringList({"08:30", "12:00"}));

                        // Monday in A, then Monday in B: A loses it. Tuesday moves from B to A.
                        ByText(a, "Monday")->click();
                        ByText(b, "Monday")->click();
                        QVERIFY(!ByText(a, "Monday")->property("checked").toBool());
                        ByText(a, "Monday")->click();
                        ByText(a, "Tuesday")->click();
                        QVERIFY(!ByText(b, "Tuesday")->property("checked").toBool());
                        ByText(b, "Sunday")->click();
                        ByText(dlg, "Use advanced scheduling")->click();
                    },
                    "OK");
            },
            "OK");
        QCOMPARE(DwordIn("Schedule", "UseAdvanced"), 1u);
        QCOMPARE(DwordIn("Schedule\\a", "dow"), 0x03u);
        QCOMPARE(TextIn("Schedule\\a", "Times"), std::string("08:30,12:00,"));
        QCOMPARE(DwordIn("Schedule\\b", "dow"), 0x40u);
        QCOMPARE(TextIn("Schedule\\b", "Times"), std::string("09:15,10:00,"));

        // The connection manager's check: Monday and Tuesday follow A, Sunday B.
        auto at = [](int wday, int hour, int minute) {
            std::tm t {};
            t.tm_wday = wday;
            t.tm_hour = hour;
            t.tm_min = minute;
            bool lastMatch = false;
            return pv::dialup::ScheduleTimeCheck(t, lastMatch);
        };
        QVERIFY(at(1, 8, 30));
        QVERIFY(at(2, 12, 0));
        QVERIFY(!at(2, 9, 15));
        QVERIFY(at(0, 10, 0));
        QVERIFY(!at(3, 8, 30));

        // A list saved by another program without the final comma opens as two entries.
        CRegistryKey("Schedule\\a", true).WriteString("Times", "08:00,09:00");
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kSchedulePage);
                RunModal(
                    ByText(tabs->widget(kSchedulePage), "Advanced ..."), "Advanced Scheduling",
                    [](QDialog* dlg) {
                        QCOMPARE(Items(dlg->findChild<QListWidget*>("Times_a")), QStringList({"08:00", "09:00"}));
                    },
                    "Cancel");
            },
            "OK");
    }

    // ---- SmartPop page and its dialogs ------------------------------------------------------

    // Adding checks the account before anything is written: OK only for a complete one, a name
    // that would leave the spool folder or a bad port refused with a message.
    void smartPopAddAccount() {
        FreshHive();
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QCOMPARE(tabs->tabText(kSmartPopPage), QString("SmartPop"));
                tabs->setCurrentIndex(kSmartPopPage);
                QWidget* page = tabs->widget(kSmartPopPage);
                auto* enable = page->findChild<QCheckBox*>("Enable");
                auto* list = page->findChild<QTreeWidget*>("Accounts");
                QVERIFY(enable && list && !enable->isChecked());
                QCOMPARE(list->headerItem()->text(0), QString("Account"));
                QCOMPARE(list->headerItem()->text(1), QString("Deliver to"));
                QCOMPARE(list->headerItem()->text(2), QString("port"));
                enable->click();
                QCOMPARE(DwordIn("SmartPop", "Enable"), 1u);
                enable->click();
                QCOMPARE(DwordIn("SmartPop", "Enable"), 0u);

                auto* add = ByText(page, "&Add ...");
                RunModal(
                    add, "Add/Edit SmartPop",
                    [](QDialog* dlg) {
                        auto* account = dlg->findChild<QLineEdit*>("Account");
                        auto* password = dlg->findChild<QLineEdit*>("Password");
                        auto* port = dlg->findChild<QLineEdit*>("Port");
                        QPushButton* ok = dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
                        QVERIFY(account && password && port);
                        QCOMPARE(password->echoMode(), QLineEdit::Password);
                        // No port is proposed: an empty field is the usual one for the security.
                        QCOMPARE(port->text(), QString());
                        QVERIFY(port->placeholderText().startsWith("110"));
                        auto* security = dlg->findChild<QComboBox*>("Security");
                        security->setCurrentIndex(security->findData("tls"));
                        QVERIFY(port->placeholderText().startsWith("995"));
                        QVERIFY(!ok->isEnabled());
                        QTest::keyClicks(password, "pw");
                        for (const char* bad : {"no-at-sign.example", "two words@host", ""}) {
                            account->setText(bad);
                            QVERIFY2(!ok->isEnabled(), bad);
                        }
                        account->setText("user@host");
                        QVERIFY(ok->isEnabled());
                        password->clear();
                        QVERIFY(!ok->isEnabled());
                        QTest::keyClicks(password, "pw");

                        // Names the collector would turn into a path outside the spool folder,
                        // or would not take at all, are refused; the dialog stays.
                        for (const char* bad : {"../up@host", "..@host", "a..b@host", "a/b@host", "a\\b@host", "@host", "user@", "tab\there@host",
                                                "user@host:110", "user@[not-an-address]", "user@2001:db8::1::2"}) {
                            account->setText(bad);
                            ok->click();
                            QVERIFY2(dlg->isVisible(), bad);
                            QMessageBox* box = VisibleRefusal(dlg);
                            QVERIFY2(box && box->text().contains("cannot be an account"), bad);
                            box->close();
                            QVERIFY2(!pv::IsValidSmartPopAccount(bad), bad);
                        }
                        QVERIFY(pv::IsValidSmartPopAccount("user@[2001:db8::1]"));
                        account->setText("user@host");
                        // A password that would end the PASS command early and send another.
                        password->setText("abc\r\nDELE 1");
                        ok->click();
                        QVERIFY(dlg->isVisible());
                        QMessageBox* control = VisibleRefusal(dlg);
                        QVERIFY(control && control->text().contains("control characters"));
                        control->close();
                        password->setText("pw");
                        for (const char* bad : {"80a", "0", "65536", " 80"}) {
                            port->setText(bad);
                            ok->click();
                            QVERIFY2(dlg->isVisible(), bad);
                            QMessageBox* box = VisibleRefusal(dlg);
                            QVERIFY2(box && box->text().contains("is not a port"), bad);
                            box->close();
                        }
                        port->clear();
                        // The pin takes what postvane-admin takes, and refuses what it refuses.
                        auto* pin = dlg->findChild<QLineEdit*>("Fingerprint");
                        pin->setText("AB:CD");
                        ok->click();
                        QVERIFY(dlg->isVisible());
                        QVERIFY(VisibleRefusal(dlg) && VisibleRefusal(dlg)->text().contains("SHA-256"));
                        VisibleRefusal(dlg)->close();
                    },
                    "Cancel");
                QVERIFY(!CRegistryKey("SmartPop", false).IsOpen() ||
                        [] {
                            std::vector<std::string> n;
                            CRegistryKey("SmartPop", false).ListSubkeys(n);
                            return n.empty();
                        }());

                RunModal(
                    add, "Add/Edit SmartPop",
                    [](QDialog* dlg) {
                        dlg->findChild<QLineEdit*>("Account")->setText("jill@pop.example");
                        dlg->findChild<QLineEdit*>("Password")->setText("s3cret");
                        dlg->findChild<QLineEdit*>("DeliverTo")->setText("carol");
                        dlg->findChild<QLineEdit*>("Port")->setText("1110");
                        auto* security = dlg->findChild<QComboBox*>("Security");
                        security->setCurrentIndex(security->findData("stls"));
                        dlg->findChild<QLineEdit*>("Fingerprint")->setText(QString(kPinColons));
                    },
                    "OK");
                QCOMPARE(list->topLevelItemCount(), 1);
                QCOMPARE(list->topLevelItem(0)->text(0), QString("jill@pop.example"));
                QCOMPARE(list->topLevelItem(0)->text(1), QString("carol"));
                QCOMPARE(list->topLevelItem(0)->text(2), QString("1110"));

                // The same account again (in another case) is refused, nothing overwritten.
                RunModal(
                    add, "Add/Edit SmartPop",
                    [](QDialog* dlg) {
                        dlg->findChild<QLineEdit*>("Account")->setText("JILL@pop.example");
                        dlg->findChild<QLineEdit*>("Password")->setText("other");
                        dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->click();
                        QVERIFY(dlg->isVisible());
                        QVERIFY(VisibleRefusal(dlg));
                        VisibleRefusal(dlg)->close();
                    },
                    "Cancel");
            },
            "OK");
        QCOMPARE(TextIn("SmartPop\\jill@pop.example", "pwd"), std::string("s3cret"));
        QCOMPARE(TextIn("SmartPop\\jill@pop.example", "for"), std::string("carol"));
        QCOMPARE(DwordIn("SmartPop\\jill@pop.example", "port"), 1110u);
        QCOMPARE(TextIn("SmartPop\\jill@pop.example", "security"), std::string("stls"));
        QCOMPARE(TextIn("SmartPop\\jill@pop.example", "fingerprint"), std::string(kPin));
    }

    // Editing keeps what the dialog does not change: a TLS account with a pin and no port keeps
    // all three (the list shows the port the collector uses), renamed or not, and a rename
    // moves every value of the key. The stored password is never shown. Delete asks first.
    void smartPopEditAndDelete() {
        FreshHive();
        {
            CRegistryKey key("SmartPop\\old@host", true);
            key.WriteString("for", "carol");
            key.WriteString("pwd", "kept");
            key.WriteString("security", "tls");
            key.WriteString("fingerprint", kPin);
            key.WriteBinary("Extra", "\x01\x02", 2);  // a value this dialog knows nothing of
            CRegistryKey("SmartPop\\other@host", true).WriteString("pwd", "x");
        }
        auto edit = [](QWidget* page, QTreeWidget* list, const QString& account,
                       const std::function<void(QDialog*)>& change) {
            list->setCurrentItem(list->findItems(account, Qt::MatchFixedString).first());
            RunModal(ByText(page, "&Edit ..."), "Add/Edit SmartPop", change, "OK");
        };
        OpenSheet(
            [&edit](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kSmartPopPage);
                QWidget* page = tabs->widget(kSmartPopPage);
                auto* list = page->findChild<QTreeWidget*>("Accounts");
                QCOMPARE(list->topLevelItemCount(), 2);
                // Without a port value the list shows the port the collector uses.
                QCOMPARE(list->topLevelItem(0)->text(2), QString("995"));
                QCOMPARE(list->topLevelItem(1)->text(2), QString("110"));
                QVERIFY(list->columnWidth(0) >= 200);
                edit(page, list, "old@host", [](QDialog* dlg) {
                    QCOMPARE(dlg->findChild<QLineEdit*>("Account")->text(), QString("old@host"));
                    QCOMPARE(dlg->findChild<QLineEdit*>("Password")->text(), QString());
                    QCOMPARE(dlg->findChild<QComboBox*>("Security")->currentData().toString(), QString("tls"));
                    QCOMPARE(dlg->findChild<QLineEdit*>("Fingerprint")->text(), QString(kPin));
                    QCOMPARE(dlg->findChild<QLineEdit*>("Port")->text(), QString());
                    QVERIFY(dlg->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok)->isEnabled());
                    dlg->findChild<QLineEdit*>("DeliverTo")->setText("dave");
                });
                QCOMPARE(TextIn("SmartPop\\old@host", "security"), std::string("tls"));
                QCOMPARE(TextIn("SmartPop\\old@host", "fingerprint"), std::string(kPin));
                QCOMPARE(RawIn("SmartPop\\old@host", "port").type, 0u);
                QCOMPARE(TextIn("SmartPop\\old@host", "pwd"), std::string("kept"));
                QCOMPARE(TextIn("SmartPop\\old@host", "for"), std::string("dave"));

                edit(page, list, "old@host",
                     [](QDialog* dlg) { dlg->findChild<QLineEdit*>("Account")->setText("new@host"); });
                QStringList rows;
                for (int i = 0; i < list->topLevelItemCount(); ++i) rows << list->topLevelItem(i)->text(0);
                rows.sort();
                QCOMPARE(rows, QStringList({"new@host", "other@host"}));
                // Only the case changes: one key, under the new spelling, with every value.
                edit(page, list, "new@host",
                     [](QDialog* dlg) { dlg->findChild<QLineEdit*>("Account")->setText("New@host"); });
                QVERIFY(!list->findItems("New@host", Qt::MatchExactly).isEmpty());

                list->setCurrentItem(list->findItems("other@host", Qt::MatchExactly).first());
                QString asked;
                auto answer = [&asked](QMessageBox::StandardButton button) {
                    QTimer::singleShot(0, [&asked, button] {
                        for (QWidget* w : QApplication::topLevelWidgets()) {
                            auto* box = qobject_cast<QMessageBox*>(w);
                            if (box && box->isVisible()) {
                                asked = box->windowTitle() + "|" + box->text();
                                box->button(button)->click();
                            }
                        }
                    });
                };
                answer(QMessageBox::No);
                ByText(page, "&Delete")->click();
                QCOMPARE(asked, QString("Delete Account|Are you sure you wish to stop obtaining mail from\n'other@host'"));
                QCOMPARE(list->topLevelItemCount(), 2);
                answer(QMessageBox::Yes);
                ByText(page, "&Delete")->click();
                QCOMPARE(list->topLevelItemCount(), 1);
            },
            "OK");
        std::vector<std::string> names;
        CRegistryKey("SmartPop", false).ListSubkeys(names);
        QCOMPARE(names, std::vector<std::string>({"New@host"}));
        const std::string key = "SmartPop\\New@host";
        QCOMPARE(TextIn(key, "pwd"), std::string("kept"));
        QCOMPARE(TextIn(key, "for"), std::string("dave"));
        QCOMPARE(TextIn(key, "security"), std::string("tls"));
        QCOMPARE(TextIn(key, "fingerprint"), std::string(kPin));
        QCOMPARE(RawIn(key, "port").type, 0u);
        const pv::platform::HiveValue extra = RawIn(key, "Extra");
        QCOMPARE(extra.type, uint32_t(pv::platform::kRegBinary));
        QCOMPARE(extra.data.size(), size_t(2));
    }

    // The provider domains: added through New Domain as DWORD 0, deleted by selection.
    void smartPopDomains() {
        FreshHive();
        CRegistryKey("SmartPop_Domains", true).WriteInt("provider.example", 0);
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                tabs->setCurrentIndex(kSmartPopPage);
                RunModal(
                    ByText(tabs->widget(kSmartPopPage), "Domain&s"), "SmartPop Domains",
                    [](QDialog* dlg) {
                        auto* list = dlg->findChild<QListWidget*>("SmartPopDomains");
                        QAbstractButton* remove = ByText(dlg, "&Delete");
                        QCOMPARE(Items(list), QStringList({"provider.example"}));
                        QVERIFY(!remove->isEnabled());
                        RunModal(
                            ByText(dlg, "&Add"), "New Domain",
                            [](QDialog* ask) { QTest::keyClicks(ask->findChild<QLineEdit*>("NewDomain"), "gone.example"); },
                            "Cancel");
                        QCOMPARE(RawIn("SmartPop_Domains", "gone.example").type, 0u);
                        RunModal(
                            ByText(dlg, "&Add"), "New Domain",
                            [](QDialog* ask) { QTest::keyClicks(ask->findChild<QLineEdit*>("NewDomain"), "isp.example"); },
                            "OK");
                        QCOMPARE(DwordIn("SmartPop_Domains", "isp.example"), 0u);
                        QCOMPARE(Items(list), QStringList({"isp.example", "provider.example"}));
                        list->setCurrentRow(1);
                        QVERIFY(remove->isEnabled());
                        remove->click();
                        QVERIFY(!remove->isEnabled());
                        QCOMPARE(Items(list), QStringList({"isp.example"}));
                    },
                    "OK");
            },
            "OK");
        std::vector<std::string> names;
        CRegistryKey("SmartPop_Domains", false).ListValueNames(names);
        QCOMPARE(names, std::vector<std::string>({"isp.example"}));
    }
};

QTEST_MAIN(AppletTest)
#include "AppletTest.moc"
