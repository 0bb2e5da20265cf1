// The status window on a real hive, with the real events and log, under the offscreen platform.
#include <QApplication>
#include <QListWidget>
#include <QScrollBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <filesystem>
#include <fstream>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/RegistryKey.h"
#include "platform/Events.h"
#include "platform/Hive.h"
#include "platform/MessageBox.h"
#include "platform/QtMessageBox.h"
#include "ui/StatusDlg.h"

namespace fs = std::filesystem;
using pv::CStatusDlg;
using pv::NamedEvent;

namespace {
QString RowText(CStatusDlg& dlg, int row) { return dlg.StatusList()->topLevelItem(row)->text(1); }

QPushButton* Button(CStatusDlg& dlg, const QString& text) {
    for (auto* b : dlg.findChildren<QPushButton*>()) {
        if (b->text() == text) return b;
    }
    return nullptr;
}

// The visible message box with this title, if any.
QMessageBox* FindBox(const QString& title) {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (box && box->isVisible() && box->windowTitle() == title) return box;
    }
    return nullptr;
}

// A child of this process whose command name (at most 15 characters) is `comm`; 0 when none.
pid_t ChildNamed(const std::string& comm) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, name, state;
        pid_t parent = 0;
        if (!(stat >> pid >> name >> state >> parent)) continue;
        if (parent == getpid() && name == "(" + comm + ")") return static_cast<pid_t>(std::stoi(pid));
    }
    return 0;
}

void Touch(const fs::path& p) { std::ofstream(p) << "x"; }
}  // namespace

class StatusDlgTest : public QObject {
    Q_OBJECT
    fs::path dir_;

    std::vector<std::string> DrainLog() {
        std::vector<std::string> lines;
        std::string line;
        while (pv::TakePendingLine(line)) lines.push_back(line);
        return lines;
    }

private slots:
    void init() {
        char pattern[] = "/tmp/pvqt-XXXXXX";
        dir_ = ::mkdtemp(pattern);
        fs::create_directories(dir_ / "spool" / "outbox");
        const std::string hive = (dir_ / "registry.db").string();
        qputenv("POSTVANE_HIVE", QByteArray::fromStdString(hive));
        pv::platform::SetHivePath(hive);
        pv::SetConfigRoot(pv::kDefaultConfigRoot);
        pv::CRegistryKey("", true).WriteString("Maildrop", (dir_ / "spool").string());
        pv::Events().ResetAll();
        pv::Events().Signal(NamedEvent::Offline);
        pv::ConnectRequestEvent().Reset();
        pv::DisconnectRequestEvent().Reset();
        pv::SetConnectionStatusText("Offline");
        pv::platform::InstallQtMessageBoxes();
        DrainLog();
    }
    void cleanup() {
        pv::platform::SetMessageBoxHandler(nullptr);
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (qobject_cast<QMessageBox*>(w)) w->deleteLater();
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        pv::platform::SetHivePath("");
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Each row is written at the first refresh and then only when its own state changes.
    void rowsAreWrittenOnlyWhenTheirStateChanges() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        QList<int> written;
        connect(dlg.StatusList()->model(), &QAbstractItemModel::dataChanged, this,
                [&](const QModelIndex& from, const QModelIndex&) { written << from.row(); });
        dlg.Refresh();
        std::sort(written.begin(), written.end());
        QList<int> everyRowButTheMachine;
        for (int row = CStatusDlg::kRowConnection; row < CStatusDlg::kRowCount; ++row) everyRowButTheMachine << row;
        QCOMPARE(written, everyRowButTheMachine);
        QCOMPARE(RowText(dlg, CStatusDlg::kRowConnection), QString("Offline"));
        QCOMPARE(RowText(dlg, CStatusDlg::kRowSmtpServer), QString("Idle"));
        QVERIFY(!RowText(dlg, CStatusDlg::kRowMachine).isEmpty());

        written.clear();
        dlg.Refresh();
        QCOMPARE(written, QList<int> {});
        // The remembered state decides, not the text on screen: a row whose state did not change
        // is not touched even when its text differs.
        dlg.StatusList()->topLevelItem(CStatusDlg::kRowFinger)->setText(1, "untouched");
        dlg.StatusList()->topLevelItem(CStatusDlg::kRowWaiting)->setText(1, "untouched");
        written.clear();
        dlg.Refresh();
        QCOMPARE(RowText(dlg, CStatusDlg::kRowFinger), QString("untouched"));
        QCOMPARE(RowText(dlg, CStatusDlg::kRowWaiting), QString("untouched"));
        dlg.StatusList()->topLevelItem(CStatusDlg::kRowFinger)->setText(1, "Idle");
        written.clear();

        pv::Events().Signal(NamedEvent::SmtpRc);
        dlg.Refresh();
        QCOMPARE(written, QList<int> {CStatusDlg::kRowSmtpServer});
        QCOMPARE(RowText(dlg, CStatusDlg::kRowSmtpServer), QString("Active"));

        written.clear();
        pv::Events().Signal(NamedEvent::PopServer);
        pv::Events().Reset(NamedEvent::SmtpRc);
        pv::SetConnectionStatusText("Dialing");
        dlg.Refresh();
        std::sort(written.begin(), written.end());
        QCOMPARE(written, (QList<int> {CStatusDlg::kRowConnection, CStatusDlg::kRowSmtpServer, CStatusDlg::kRowPop3}));
        QCOMPARE(RowText(dlg, CStatusDlg::kRowPop3), QString("Active"));
        QCOMPARE(RowText(dlg, CStatusDlg::kRowSmtpServer), QString("Idle"));
        QCOMPARE(RowText(dlg, CStatusDlg::kRowConnection), QString("Dialing"));
    }

    void waitingMessagesCountsWorkFilesOnly() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        Touch(dir_ / "spool/outbox/f0000001.wrk");
        Touch(dir_ / "spool/outbox/f0000001.txt");
        Touch(dir_ / "spool/outbox/f0000002.wrk");
        Touch(dir_ / "spool/outbox/f0000003.tmp");
        dlg.Refresh();
        QCOMPARE(RowText(dlg, CStatusDlg::kRowWaiting), QString("2"));
        int written = 0;
        connect(dlg.StatusList()->model(), &QAbstractItemModel::dataChanged, this, [&] { ++written; });
        dlg.Refresh();
        QCOMPARE(written, 0);
        fs::remove(dir_ / "spool/outbox/f0000001.wrk");
        dlg.Refresh();
        QCOMPARE(RowText(dlg, CStatusDlg::kRowWaiting), QString("1"));
        QCOMPARE(written, 1);
    }

    // Past 70 rows the 50 oldest go: 71 lines leave the newest 21, split into stamp and text.
    void logListKeepsTheNewestLines() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        for (int i = 1; i <= 71; ++i) pv::WriteLogLine("line " + std::to_string(i));
        dlg.Refresh();
        QTreeWidget* log = dlg.LogList();
        QCOMPARE(log->topLevelItemCount(), 21);
        QCOMPARE(log->topLevelItem(0)->text(1), QString("line 51"));
        QCOMPARE(log->topLevelItem(20)->text(1), QString("line 71"));
        QCOMPARE(log->topLevelItem(0)->text(0).size(), 17);
        QVERIFY(log->topLevelItem(0)->text(0).contains(','));
        QCOMPARE(log->headerItem()->text(0), QString("Date/Time"));
        // Below the limit nothing is trimmed.
        for (int i = 72; i <= 120; ++i) pv::WriteLogLine("line " + std::to_string(i));
        dlg.Refresh();
        QCOMPARE(log->topLevelItemCount(), 70);
        QCOMPARE(log->topLevelItem(69)->text(1), QString("line 120"));
    }

    void connectAndDisconnectFollowTheEvents() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.Refresh();
        QVERIFY(dlg.ConnectButton()->isEnabled());
        QVERIFY(!dlg.DisconnectButton()->isEnabled());

        QTest::mouseClick(dlg.ConnectButton(), Qt::LeftButton);
        QVERIFY(pv::ConnectRequestEvent().Wait(0));
        dlg.Refresh();
        QVERIFY(!dlg.ConnectButton()->isEnabled());  // the request is pending
        QCOMPARE(dlg.LogList()->topLevelItem(0)->text(1), QString("Connecting due to operator request"));

        // The manager takes the request and starts to connect.
        pv::ConnectRequestEvent().Reset();
        pv::Events().Reset(NamedEvent::Offline);
        dlg.Refresh();
        QVERIFY(!dlg.ConnectButton()->isEnabled());
        QVERIFY(dlg.DisconnectButton()->isEnabled());

        pv::Events().Signal(NamedEvent::PollSmartPop);
        QTest::mouseClick(dlg.DisconnectButton(), Qt::LeftButton);
        QVERIFY(pv::DisconnectRequestEvent().Wait(0));
        QVERIFY(!pv::Events().Peek(NamedEvent::PollSmartPop));

        pv::Events().Signal(NamedEvent::Offline);
        dlg.Refresh();
        QVERIFY(dlg.ConnectButton()->isEnabled());
        QVERIFY(!dlg.DisconnectButton()->isEnabled());

        QTest::mouseClick(Button(dlg, "&Poll"), Qt::LeftButton);
        QVERIFY(pv::Events().Peek(NamedEvent::PollSmartPop));
    }

    // postvane-ctl connect and disconnect on a server with its window: the refresh takes them as
    // the buttons' clicks, log lines and all.
    void controlToolConnectAndDisconnectReachTheWindow() {
        pv::platform::InstanceLock server;  // postvane-ctl asks only a running server
        QVERIFY(server.TryAcquire(pv::platform::HivePath()));
        auto ctl = [](const char* command) {
            QProcess run;
            run.start(QStringLiteral(POSTVANE_BIN_DIR "/postvane-ctl"), {command});
            QVERIFY(run.waitForFinished(20000));
            QCOMPARE(run.exitCode(), 0);
        };
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.Refresh();
        ctl("connect");
        QVERIFY(!pv::ConnectRequestEvent().Wait(0));  // nothing happens until the window looks
        dlg.Refresh();
        QVERIFY(pv::ConnectRequestEvent().Wait(0));
        QVERIFY(!dlg.ConnectButton()->isEnabled());
        QCOMPARE(dlg.LogList()->topLevelItem(0)->text(1), QString("Connecting due to operator request"));

        pv::Events().Reset(NamedEvent::Offline);
        pv::Events().Signal(NamedEvent::PollSmartPop);
        ctl("disconnect");
        dlg.Refresh();
        QVERIFY(pv::DisconnectRequestEvent().Wait(0));
        QVERIFY(!pv::Events().Peek(NamedEvent::PollSmartPop));
        QCOMPARE(dlg.LogList()->topLevelItem(1)->text(1), QString("Disconnecting due to operator request"));
        // Each request is taken once.
        dlg.Refresh();
        QCOMPARE(dlg.LogList()->topLevelItemCount(), 2);
    }

    // OK during an SMTP conversation asks in a real message box; No keeps everything running.
    void okWhileMailMovesAsksAndNoKeepsRunning() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.show();
        pv::Events().Signal(NamedEvent::SmtpRc);
        QSignalSpy ended(&dlg, &CStatusDlg::shutDown);
        QString asked;
        QTimer::singleShot(50, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box) return;
            asked = box->windowTitle() + "|" + box->text();
            box->button(QMessageBox::No)->click();
        });
        QTest::mouseClick(Button(dlg, "OK"), Qt::LeftButton);
        QVERIFY(asked.startsWith("Mail transfer in progress|The mail system is currently active"));
        QVERIFY(!dlg.Finished());
        QCOMPARE(ended.count(), 0);
        QVERIFY(dlg.isVisible());
        QVERIFY(!pv::DisconnectRequestEvent().Wait(0));

        QTimer::singleShot(50, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Yes)->click();
        });
        QTest::mouseClick(Button(dlg, "OK"), Qt::LeftButton);
        QVERIFY(dlg.Finished());
        QVERIFY(pv::DisconnectRequestEvent().Wait(0));
    }

    void okWithNothingActiveEndsWithoutAQuestion() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.show();
        QSignalSpy ended(&dlg, &CStatusDlg::shutDown);
        bool asked = false;
        QTimer::singleShot(50, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                asked = true;
                box->button(QMessageBox::No)->click();
            }
        });
        QTest::mouseClick(Button(dlg, "OK"), Qt::LeftButton);
        QVERIFY(!asked);
        QVERIFY(dlg.Finished());
        QCOMPARE(ended.count(), 1);
        QVERIFY(!dlg.isVisible());
        QVERIFY(pv::DisconnectRequestEvent().Wait(0));
    }

    // Escape and the close box hide the window and nothing ends; without a notification area the
    // window is only minimised, so it stays reachable.
    void escapeAndCloseHideWithoutEnding() {
        CStatusDlg withTray(CStatusDlg::Tray::Present);
        withTray.show();
        QVERIFY(QTest::qWaitForWindowExposed(&withTray));
        QTest::keyClick(&withTray, Qt::Key_Escape);
        QVERIFY(!withTray.isVisible());
        QVERIFY(!withTray.Finished());
        withTray.ShowWindow();
        QVERIFY(withTray.isVisible());
        withTray.close();
        QVERIFY(!withTray.isVisible());
        QVERIFY(!withTray.Finished());

        CStatusDlg noTray(CStatusDlg::Tray::Absent);
        noTray.show();
        QTest::keyClick(&noTray, Qt::Key_Escape);
        QVERIFY(noTray.isVisible());
        QVERIFY(noTray.isMinimized());
        QVERIFY(!noTray.Finished());
        QVERIFY(!pv::DisconnectRequestEvent().Wait(0));
    }

    // With HideDialog the window is never shown at all, not shown and hidden a moment later; with
    // no notification area it starts minimised instead, as a normal window the desktop can
    // iconify.
    void hideDialogNeverMapsTheWindow() {
        pv::CRegistryKey("", true).WriteInt("HideDialog", 1);
        for (auto tray : {CStatusDlg::Tray::Present, CStatusDlg::Tray::Absent}) {
            CStatusDlg dlg(tray);
            QCOMPARE(dlg.windowType(), Qt::Window);
            int shown = 0;
            struct Watch : QObject {
                int& shown;
                explicit Watch(int& n) : shown(n) {}
                bool eventFilter(QObject*, QEvent* e) override {
                    if (e->type() == QEvent::Show || e->type() == QEvent::Expose) ++shown;
                    return false;
                }
            } watch(shown);
            dlg.installEventFilter(&watch);
            QTimer::singleShot(3 * CStatusDlg::kRefreshMs, &dlg, [&dlg] {
                QVERIFY(dlg.isMinimized() || !dlg.isVisible());
                Button(dlg, "OK")->click();
            });
            dlg.Run();
            QVERIFY(dlg.Finished());
            if (tray == CStatusDlg::Tray::Present) QCOMPARE(shown, 0);
        }
    }

    void hideDialogHidesAtTheFirstRefresh() {
        pv::CRegistryKey("", true).WriteInt("HideDialog", 1);
        CStatusDlg dlg(CStatusDlg::Tray::Present);
        dlg.show();
        QTRY_VERIFY_WITH_TIMEOUT(!dlg.isVisible(), 2000);
        QVERIFY(!dlg.Finished());
        // Only once: shown again, later refreshes leave it shown.
        dlg.ShowWindow();
        QTest::qWait(2 * CStatusDlg::kRefreshMs);
        QVERIFY(dlg.isVisible());

        pv::CRegistryKey("", true).WriteInt("HideDialog", 0);
        CStatusDlg shown(CStatusDlg::Tray::Present);
        shown.show();
        QTest::qWait(CStatusDlg::kRefreshMs);
        QVERIFY(shown.isVisible());
    }

    // `postvane-ctl showui` re-adds the icon once; without a notification area it shows the window.
    void showUiFromTheControlToolBringsTheIconBack() {
        auto showui = [] {
            QProcess ctl;
            ctl.start(QStringLiteral(POSTVANE_BIN_DIR "/postvane-ctl"), {"showui"});
            QVERIFY(ctl.waitForFinished(20000));
            QCOMPARE(ctl.exitCode(), 0);
        };
        CStatusDlg dlg(CStatusDlg::Tray::Present);
        QCOMPARE(dlg.TrayAdds(), 1);
        dlg.Refresh();
        QCOMPARE(dlg.TrayAdds(), 1);
        showui();
        dlg.Refresh();
        QCOMPARE(dlg.TrayAdds(), 2);
        QVERIFY(!pv::Events().Peek(NamedEvent::ShowUi));
        dlg.Refresh();
        QCOMPARE(dlg.TrayAdds(), 2);
        QVERIFY(!dlg.isVisible());

        CStatusDlg noTray(CStatusDlg::Tray::Absent);
        noTray.Refresh();
        QVERIFY(!noTray.isVisible());
        showui();
        noTray.Refresh();
        QVERIFY(noTray.isVisible());
        QCOMPARE(noTray.TrayAdds(), 0);
    }

    // The about box shows its whole text at its default size.
    void aboutBoxNeedsNoScrolling() {
        pv::CAboutDlg about;
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        auto* list = about.findChild<QListWidget*>();
        QVERIFY(list && list->count() > 10);
        QCOMPARE(list->verticalScrollBar()->maximum(), 0);
        QCOMPARE(list->horizontalScrollBar()->maximum(), 0);
    }

    void trayTipCarriesTheStatusTextCut() {
        CStatusDlg dlg(CStatusDlg::Tray::Present);
        pv::SetConnectionStatusText("Online");
        QCOMPARE(dlg.TrayToolTip(), QString("Postvane:Online"));
        pv::SetConnectionStatusText(std::string(100, 'x'));
        QString tip = dlg.TrayToolTip();
        QCOMPARE(tip.size(), 63);
        QVERIFY(tip.startsWith("Postvane:xxx"));
    }

    // A listener's error box is shown on the GUI thread while the listener carries on.
    void messageBoxFromAServiceThreadDoesNotBlock() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.show();
        int answer = 0;
        std::thread service([&] { answer = pv::platform::MessageBox("Port 25 is in use", "Postvane", pv::platform::kMbIconError); });
        service.join();  // returned without anyone pressing a button
        QCOMPARE(answer, int(pv::platform::kIdOk));
        QTRY_VERIFY(FindBox("Postvane") != nullptr);
        QMessageBox* box = FindBox("Postvane");
        QCOMPARE(box->text(), QString("Port 25 is in use"));
        QVERIFY(!box->isModal());
        QCOMPARE(box->icon(), QMessageBox::Critical);

        // A question waits in its own thread only; the window keeps refreshing meanwhile.
        std::thread asker([&] { answer = pv::platform::MessageBox("Go on?", "Question", pv::platform::kMbYesNo); });
        QTRY_VERIFY(FindBox("Question") != nullptr);
        pv::WriteLogLine("refreshed meanwhile");
        QTRY_VERIFY(dlg.LogList()->topLevelItemCount() > 0 &&
                    dlg.LogList()->topLevelItem(dlg.LogList()->topLevelItemCount() - 1)->text(1) == "refreshed meanwhile");
        FindBox("Question")->button(QMessageBox::Yes)->click();
        asker.join();
        QCOMPARE(answer, int(pv::platform::kIdYes));
    }

    // The companion program starts from AppPath; a missing one is not reported.
    void companionProgramStartsFromAppPath() {
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        const fs::path marker = dir_ / "started";
        {
            std::ofstream script(dir_ / "postclerk");
            script << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
        }
        fs::permissions(dir_ / "postclerk", fs::perms::owner_all);
        pv::CRegistryKey("", true).WriteString("AppPath", dir_.string());
        dlg.OpenCompanion();
        QTRY_VERIFY_WITH_TIMEOUT(fs::exists(marker), 5000);

        pv::CRegistryKey("", true).WriteString("AppPath", (dir_ / "nowhere/").string());
        DrainLog();
        dlg.OpenCompanion();
        dlg.Refresh();
        QCOMPARE(dlg.LogList()->topLevelItemCount(), 0);
        for (QWidget* w : QApplication::topLevelWidgets()) QVERIFY(!qobject_cast<QMessageBox*>(w) || !w->isVisible());
    }

    // Properties runs `postvane-control postvane.cpl` from beside this program; the sheet it
    // opens makes the Schedule key before any page reads.
    void propertiesOpensTheApplet() {
        {
            pv::platform::HiveLease hive = pv::platform::Hive::Acquire();
            QVERIFY(hive);
            if (auto root = hive->OpenKey(pv::kDefaultConfigRoot)) hive->DeleteTree(*root, "Schedule");
        }
        QVERIFY(!pv::CRegistryKey("Schedule", false).IsOpen());
        CStatusDlg dlg(CStatusDlg::Tray::Absent);
        dlg.show();
        QTest::mouseClick(Button(dlg, "P&roperties"), Qt::LeftButton);
        // The child has that name once it has started the program.
        pid_t host = 0;
        QTRY_VERIFY_WITH_TIMEOUT((host = ChildNamed("postvane-contro")) > 0, 20000);
        // The sheet waits for the operator; this test ends it, whatever the checks find.
        struct EndHost {
            pid_t pid;
            ~EndHost() {
                kill(pid, SIGTERM);
                waitpid(pid, nullptr, 0);
            }
        } end{host};
        QTRY_VERIFY_WITH_TIMEOUT(pv::CRegistryKey("Schedule", false).IsOpen(), 20000);
        for (QWidget* w : QApplication::topLevelWidgets()) QVERIFY(!qobject_cast<QMessageBox*>(w) || !w->isVisible());
    }
};

QTEST_MAIN(StatusDlgTest)
#include "StatusDlgTest.moc"
