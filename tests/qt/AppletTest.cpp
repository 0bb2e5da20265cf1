// The applet library as the control panel loads it: the CPlApplet messages, and the General
// page on a temporary hive under the offscreen platform.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
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
#include <filesystem>
#include <functional>
#include <sstream>

#include "applet/AppletHost.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

namespace fs = std::filesystem;
using pv::CAppletHost;
using pv::CRegistryKey;
namespace cpl = pv::cpl;

namespace {
const std::string kLibrary = std::string(POSTVANE_BIN_DIR) + "/postvane.cpl";

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

// The stored type and bytes of a root value; type 0 when it is missing.
pv::platform::HiveValue Raw(const char* name) {
    pv::platform::HiveValue value;
    if (auto key = pv::platform::Hive::FindKey(pv::kDefaultConfigRoot)) pv::platform::Hive::ReadValue(*key, name, value);
    return value;
}

uint32_t Dword(const char* name) {
    pv::platform::HiveValue v = Raw(name);
    uint32_t n = 0xDEADBEEF;
    if (v.type == pv::platform::kRegDword && v.data.size() == 4) std::memcpy(&n, v.data.data(), 4);
    return n;
}

std::string Text(const char* name) {
    pv::platform::HiveValue v = Raw(name);
    if (v.type != pv::platform::kRegSz) return "<not a string>";
    std::string s(v.data.begin(), v.data.end());
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
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

    // Opening on an empty hive makes the root and Schedule; Cancel then leaves no value behind.
    void cancelledSheetWritesNothing() {
        FreshHive();
        QVERIFY(!pv::platform::Hive::FindKey(pv::kDefaultConfigRoot));
        OpenSheet(
            [](QDialog* sheet) {
                auto* tabs = sheet->findChild<QTabWidget*>();
                QVERIFY(tabs);
                QCOMPARE(tabs->currentIndex(), 0);
                QCOMPARE(tabs->tabText(0), QString("General"));
                auto deliver = sheet->findChildren<QRadioButton*>();
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
                QCOMPARE(tabs->tabText(1), QString("Domains"));
                tabs->setCurrentIndex(1);
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
                sheet->findChild<QTabWidget*>()->setCurrentIndex(1);
                auto* add = ByText(sheet, "&Add ...");
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
};

QTEST_MAIN(AppletTest)
#include "AppletTest.moc"
