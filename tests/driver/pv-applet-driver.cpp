// pv-applet-driver: works the real property sheet the way an operator would, for the tests and
// the screenshot script. The applet is loaded through the control panel's own loading code.
//
//   pv-applet-driver add-smartpop ACCOUNT PASSWORD DELIVER-TO PORT
//       ticks "Use SmartPop", adds the account with the account dialog, closes with OK
//   pv-applet-driver relay SECURITY USER PASSWORD PORT
//       sets the relay's security (none, starttls, tls), login and port in Advanced Connections
//       and closes it and the sheet with OK
//   pv-applet-driver smartpop-sign-in ACCOUNT [PNG]
//       edits the account, clicks "Sign in ...", prints the dialog's instructions (the device
//       code) on standard output (and saves the dialog as PNG) and waits up to a minute for it
//       to say "Signed in"
//   pv-applet-driver screenshots FOLDER
//       saves every page and dialog as PNG files in FOLDER (cancelling every dialog)
#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QLabel>
#include <QPushButton>
#include <QThread>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <iostream>
#include <string>

#include "applet/AppletHost.h"

namespace {

QWidget* FindTopLevel(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowTitle() == title && qobject_cast<QDialog*>(w)) return w;
    }
    return nullptr;
}

QAbstractButton* ByText(QWidget* in, const QString& text) {
    for (auto* b : in->findChildren<QAbstractButton*>()) {
        if (b->text() == text) return b;
    }
    return nullptr;
}

// Clicks `trigger`, which runs a modal dialog titled `title`; `drive` gets it once it is shown
// and must close it. A dialog that never shows is reported.
bool WithDialog(QAbstractButton* trigger, const QString& title, const std::function<void(QDialog*)>& drive) {
    bool seen = false;
    std::function<void()> attempt;
    int tries = 0;
    attempt = [&] {
        auto* dlg = qobject_cast<QDialog*>(FindTopLevel(title));
        if (!dlg) {
            if (++tries < 300) QTimer::singleShot(10, attempt);
            return;
        }
        seen = true;
        drive(dlg);
        if (dlg->isVisible()) dlg->reject();
    };
    QTimer::singleShot(0, attempt);
    if (trigger) trigger->click();
    if (!seen) std::cerr << "pv-applet-driver: the dialog \"" << title.toStdString() << "\" did not open\n";
    return seen;
}

// Lets the window settle (layout, painting) and saves it.
bool Shoot(QWidget* w, const QString& file) {
    w->adjustSize();
    QApplication::processEvents();
    const bool ok = w->grab().save(file, "PNG");
    if (!ok) std::cerr << "pv-applet-driver: could not save " << file.toStdString() << "\n";
    return ok;
}

void ClickOk(QDialog* dlg) {
    if (auto* box = dlg->findChild<QDialogButtonBox*>()) {
        if (QPushButton* ok = box->button(QDialogButtonBox::Ok)) ok->click();
    }
}

// Opens the applet as the control panel does and hands its sheet to `drive`; the result is
// what `drive` returned, or 1 when the sheet never showed.
int WithSheet(const std::function<int(QDialog* sheet, QTabWidget* tabs)>& drive) {
    pv::CAppletHost host;
    const std::string path = pv::FindApplet("postvane.cpl");
    if (path.empty() || !host.Load(path) || !host.Initialise()) {
        std::cerr << "pv-applet-driver: cannot load postvane.cpl: " << host.Error() << "\n";
        return 1;
    }
    int result = 1;
    std::function<void()> attempt;
    int tries = 0;
    attempt = [&] {
        auto* sheet = qobject_cast<QDialog*>(FindTopLevel("Postvane Properties"));
        if (!sheet) {
            if (++tries < 300) QTimer::singleShot(10, attempt);
            return;
        }
        result = drive(sheet, sheet->findChild<QTabWidget*>());
        if (sheet->isVisible()) sheet->reject();
    };
    QTimer::singleShot(0, attempt);
    host.DoubleClick(0);
    host.Stop(0);
    return result;
}

int AddSmartPop(const QString& account, const QString& password, const QString& deliverTo, const QString& port) {
    return WithSheet([&](QDialog* sheet, QTabWidget* tabs) {
        tabs->setCurrentIndex(4);
        auto* enable = sheet->findChild<QCheckBox*>("Enable");
        if (enable && !enable->isChecked()) enable->click();
        // Buttons are looked for on their own page: several pages have one called "&Add ...".
        WithDialog(ByText(tabs->widget(4), "&Add ..."), "Add/Edit SmartPop", [&](QDialog* dlg) {
            dlg->findChild<QLineEdit*>("Account")->setText(account);
            dlg->findChild<QLineEdit*>("Password")->setText(password);
            dlg->findChild<QLineEdit*>("DeliverTo")->setText(deliverTo);
            dlg->findChild<QLineEdit*>("Port")->setText(port);
            ClickOk(dlg);
        });
        auto* list = sheet->findChild<QTreeWidget*>("Accounts");
        const bool listed = list && !list->findItems(account, Qt::MatchExactly, 0).isEmpty();
        ClickOk(sheet);
        if (!listed) std::cerr << "pv-applet-driver: the account is not in the list after OK\n";
        return listed ? 0 : 1;
    });
}

int SetRelay(const QString& security, const QString& user, const QString& password, const QString& port) {
    return WithSheet([&](QDialog* sheet, QTabWidget* tabs) {
        tabs->setCurrentIndex(1);
        bool closed = false;
        WithDialog(ByText(tabs->widget(1), "&Advanced"), "Advanced Connections", [&](QDialog* dlg) {
            auto* choice = dlg->findChild<QComboBox*>("RelaySecurity");
            choice->setCurrentIndex(choice->findData(security));
            dlg->findChild<QLineEdit*>("RelayUser")->setText(user);
            dlg->findChild<QLineEdit*>("RelayPassword")->setText(password);
            dlg->findChild<QLineEdit*>("smtpoutport")->setText(port);
            ClickOk(dlg);
            closed = !dlg->isVisible();
            for (auto* box : dlg->findChildren<QMessageBox*>()) {
                if (box->isVisible()) std::cerr << "pv-applet-driver: " << box->text().toStdString() << "\n";
            }
        });
        ClickOk(sheet);
        if (!closed) std::cerr << "pv-applet-driver: Advanced Connections refused the values\n";
        return closed ? 0 : 1;
    });
}

int SmartPopSignIn(const QString& account, const QString& png) {
    return WithSheet([&](QDialog* sheet, QTabWidget* tabs) {
        tabs->setCurrentIndex(4);
        auto* list = sheet->findChild<QTreeWidget*>("Accounts");
        const auto rows = list ? list->findItems(account, Qt::MatchExactly, 0) : QList<QTreeWidgetItem*>();
        if (rows.isEmpty()) {
            std::cerr << "pv-applet-driver: the account is not in the list\n";
            return 1;
        }
        list->setCurrentItem(rows[0]);
        bool signedIn = false;
        WithDialog(ByText(tabs->widget(4), "&Edit ..."), "Add/Edit SmartPop", [&](QDialog* dlg) {
            auto* button = dlg->findChild<QPushButton*>("SignIn");
            if (!button || !button->isEnabled()) {
                std::cerr << "pv-applet-driver: \"Sign in ...\" is not enabled\n";
                return;
            }
            WithDialog(button, "Sign In", [&](QDialog* signIn) {
                std::cout << signIn->findChild<QLabel*>("Instructions")->text().toStdString() << std::endl;
                if (!png.isEmpty()) Shoot(signIn, png);
                auto* progress = signIn->findChild<QLabel*>("Progress");
                for (int i = 0; i < 600 && !progress->text().startsWith("Signed in"); ++i) {
                    QApplication::processEvents(QEventLoop::AllEvents, 100);
                    QThread::msleep(100);
                }
                std::cout << progress->text().toStdString() << std::endl;
                signedIn = progress->text().startsWith("Signed in");
                signIn->reject();
            });
            dlg->reject();
        });
        return signedIn ? 0 : 1;
    });
}

int Screenshots(const QString& folder) {
    return WithSheet([&](QDialog* sheet, QTabWidget* tabs) {
        bool ok = true;
        const char* pages[5] = {"1-general", "2-connection", "3-schedule", "4-domains", "5-smartpop"};
        for (int i = 0; i < 5; ++i) {
            tabs->setCurrentIndex(i);
            ok &= Shoot(sheet, folder + "/" + pages[i] + ".png");
        }
        auto shootDialog = [&](int tab, const QString& button, const QString& title, const QString& file,
                               const std::function<void(QDialog*)>& prepare = {}) {
            tabs->setCurrentIndex(tab);
            ok &= WithDialog(ByText(tabs->widget(tab), button), title, [&](QDialog* dlg) {
                if (prepare) prepare(dlg);
                ok &= Shoot(dlg, folder + "/" + file);
                dlg->reject();
            });
        };
        shootDialog(1, "&Options ...", "Dialup Options", "2a-dialup-options.png");
        shootDialog(1, "&Advanced", "Advanced Connections", "2b-advanced-connections.png");
        shootDialog(2, "Advanced ...", "Advanced Scheduling", "3a-advanced-scheduling.png");
        shootDialog(3, "&Add ...", "New Domain", "4a-new-domain.png",
                    [](QDialog* dlg) { dlg->findChild<QLineEdit*>("NewDomain")->setText("branch.example"); });
        shootDialog(4, "&Add ...", "Add/Edit SmartPop", "5a-smartpop-account.png", [](QDialog* dlg) {
            dlg->findChild<QLineEdit*>("Account")->setText("office@pop.provider.example");
            dlg->findChild<QLineEdit*>("Password")->setText("secret-word");
        });
        // An account with TLS and a pin, as Edit shows it (the stored password stays unshown).
        if (auto* list = sheet->findChild<QTreeWidget*>("Accounts"); list && list->topLevelItemCount() > 1) {
            tabs->setCurrentIndex(4);
            list->setCurrentItem(list->topLevelItem(1));
            ok &= WithDialog(ByText(tabs->widget(4), "&Edit ..."), "Add/Edit SmartPop", [&](QDialog* dlg) {
                ok &= Shoot(dlg, folder + "/5a2-smartpop-account-tls.png");
                dlg->reject();
            });
        }
        shootDialog(4, "Domain&s", "SmartPop Domains", "5b-smartpop-domains.png");
        // The question before an account goes: the first row is chosen, the answer is No.
        if (auto* list = sheet->findChild<QTreeWidget*>("Accounts"); list && list->topLevelItemCount() > 0) {
            list->setCurrentItem(list->topLevelItem(0));
            bool asked = false;
            QTimer::singleShot(50, [&] {
                for (QWidget* w : QApplication::topLevelWidgets()) {
                    if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
                        asked = true;
                        ok &= Shoot(box, folder + "/5c-delete-account.png");
                        box->button(QMessageBox::No)->click();
                    }
                }
            });
            ByText(tabs->widget(4), "&Delete")->click();
            ok &= asked;
        }
        return ok ? 0 : 1;
    });
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments().mid(1);
    if (args.size() == 5 && args[0] == "add-smartpop") return AddSmartPop(args[1], args[2], args[3], args[4]);
    if (args.size() == 5 && args[0] == "relay") return SetRelay(args[1], args[2], args[3], args[4]);
    if (args.size() == 2 && args[0] == "screenshots") return Screenshots(args[1]);
    if ((args.size() == 2 || args.size() == 3) && args[0] == "smartpop-sign-in") {
        return SmartPopSignIn(args[1], args.size() == 3 ? args[2] : QString());
    }
    std::cerr << "usage: pv-applet-driver add-smartpop ACCOUNT PASSWORD DELIVER-TO PORT\n"
                 "       pv-applet-driver relay SECURITY USER PASSWORD PORT\n"
                 "       pv-applet-driver smartpop-sign-in ACCOUNT [PNG]\n"
                 "       pv-applet-driver screenshots FOLDER\n";
    return 2;
}
