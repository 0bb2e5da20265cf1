// CStatusDlg: the server's desktop window. It shows the services' states and the log, offers the
// operator's commands, and keeps an icon in the notification area. It learns everything from a
// 250 ms timer (the events, the pending log lines, the connection status text and the outbound
// queue's count) and never calls into a service.
#pragma once

#include <QDialog>
#include <QTimer>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "ui/StatusDisplay.h"

class QEventLoop;
class QMenuBar;
class QPushButton;
class QSystemTrayIcon;
class QTreeWidget;

namespace pv {

class CStatusDlg : public QDialog, public StatusDisplay {
    Q_OBJECT
public:
    enum StatusRow : int {
        kRowMachine,
        kRowConnection,
        kRowSmtpServer,
        kRowTransmitter,
        kRowPop3,
        kRowImap,
        kRowSmartPop,
        kRowFinger,
        kRowWaiting,
        kRowCount
    };
    // More than kLogMaxRows rows in the log list drop the kLogTrimRows oldest at once, so the
    // list is not rebuilt line by line once it is full.
    static constexpr int kLogMaxRows = 70;
    static constexpr int kLogTrimRows = 50;
    static constexpr int kRefreshMs = 250;
    static constexpr int kFirstRefreshMs = 10;
    // The notification area's tool tip, "Postvane:" and the status text included.
    static constexpr size_t kTipMaxChars = 63;
    // A row's remembered state before the first refresh: no state has it, so every row is
    // written once.
    static constexpr long kNotShown = 1000;

    // Auto asks the desktop whether it has a notification area; the others decide it (tests).
    enum class Tray { Auto, Present, Absent };
    explicit CStatusDlg(Tray tray = Tray::Auto, QWidget* parent = nullptr);
    ~CStatusDlg() override;

    // Shows the window (unless HideDialog says otherwise) and runs until the shutdown is
    // confirmed.
    void Run() override;
    void Refresh() override;

    // Operator commands.
    void Connect();
    void Disconnect();
    void Poll();
    void OpenProperties();
    void OpenCompanion();
    void ShowAbout();
    // OK: asks while mail moves; true when the program is to end.
    bool ConfirmShutdown();
    // Cancel, Escape and the close box: hidden while the icon can bring it back, else minimised.
    void reject() override;
    // Brings the window back in its normal size (the icon's double-click, "PVG:SHOWUI" without
    // a notification area).
    void ShowWindow();

    bool HasTray() const { return hasTray_; }
    // How often the icon has been put into the notification area.
    int TrayAdds() const { return trayAdds_; }
    QString TrayToolTip() const;
    bool Finished() const { return finished_; }
    QTreeWidget* StatusList() const { return status_; }
    QTreeWidget* LogList() const { return log_; }
    QPushButton* ConnectButton() const { return connect_; }
    QPushButton* DisconnectButton() const { return disconnect_; }

signals:
    void shutDown();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void OnOk();
    void OnTick();
    // The root value HideDialog: the window starts hidden (minimised without a tray).
    static bool StartsHidden();
    void Finish();
    void AddTrayIcon();
    void SetRow(int row, const QString& text);
    void StartChild(const std::string& program, const std::vector<std::string>& args);

    QTreeWidget* status_ = nullptr;
    QTreeWidget* log_ = nullptr;
    QPushButton* connect_ = nullptr;
    QPushButton* disconnect_ = nullptr;
    QTimer timer_;
    std::unique_ptr<QSystemTrayIcon> tray_;
    bool hasTray_ = false;
    int trayAdds_ = 0;
    bool hideDone_ = false;
    bool finished_ = false;
    std::array<long, kRowCount> shown_ {};
    QString tip_;
    std::vector<int> children_;  // started programs not yet reaped
    QEventLoop* loop_ = nullptr;
};

// The about box: the product's warranty, line by line.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
    static const char* const kWarranty[];
};

}  // namespace pv
