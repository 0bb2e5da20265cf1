#include "ui/StatusDlg.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <csignal>
#include <unistd.h>

#include "core/AppEvents.h"
#include "core/Log.h"
#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "core/StringTable.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "ui/ConsoleStatus.h"

// The icon is compiled into this static library; nothing else would pull its initialiser in.
static void InitIconResource() { Q_INIT_RESOURCE(postvane); }

namespace pv {

namespace {
constexpr const char* kTitle = "Postvane V1.0";
constexpr const char* kTipPrefix = "Postvane:";
constexpr const char* kAppletHost = "postvane-control";
constexpr const char* kApplet = "postvane.cpl";
constexpr const char* kCompanion = "postclerk";
// The log line's date and time take its first 17 characters; the text starts after ": ".
constexpr int kStampChars = 17;
constexpr int kTextStart = 19;
constexpr int kItemColumnPx = 100;
constexpr int kAboutMarginPx = 24;

struct RowText {
    const char* item;
    NamedEvent event;  // for the five activity rows
};
constexpr RowText kRows[CStatusDlg::kRowCount] = {
    {"Machine Name", NamedEvent::Running},  {"Connection", NamedEvent::Running},
    {"SMTP Server", NamedEvent::SmtpRc},    {"SMTP Transmitter", NamedEvent::SmtpTr},
    {"POP3 Server", NamedEvent::PopServer}, {"IMAP Server", NamedEvent::ImapServer},
    {"SmartPop", NamedEvent::SmartPop},
    {"Finger", NamedEvent::Finger},         {"Waiting Messages", NamedEvent::Running},
};

QString HostName() {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return {};
    return QString::fromLocal8Bit(buf);
}

QIcon AppIcon() {
    static const bool ready = (InitIconResource(), true);
    (void)ready;
    return QIcon(QStringLiteral(":/postvane/postvane.svg"));
}
}  // namespace

const char* const CAboutDlg::kWarranty[] = {
    "Postvane 1.0 Pre-release",
    "A mail gateway for a small office.",
    "",
    "LIMITED WARRANTY",
    "",
    "Postvane is provided as it is, without warranty of any kind,",
    "express or implied, including the implied warranties of",
    "merchantability and fitness for a particular purpose.",
    "",
    "Mail is precious: keep copies of what you cannot lose. The",
    "authors are not liable for lost or delayed mail, lost data or",
    "lost business, even when told that such a loss could happen.",
    "",
    "Where the law does not allow these limits, the warranty lasts",
    "for the shortest period that the law permits.",
    nullptr,
};

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("About Postvane");
    setWindowIcon(AppIcon());
    auto* layout = new QVBoxLayout(this);
    auto* list = new QListWidget(this);
    for (const char* const* line = kWarranty; *line; ++line) list->addItem(QString::fromUtf8(*line));
    list->setSelectionMode(QAbstractItemView::NoSelection);
    // The whole text at the default size: no scrolling for a page of warranty.
    const int frame = 2 * list->frameWidth();
    list->setMinimumWidth(list->sizeHintForColumn(0) + frame + kAboutMarginPx);
    list->setMinimumHeight(list->sizeHintForRow(0) * list->count() + frame + kAboutMarginPx);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    layout->addWidget(list);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

CStatusDlg::CStatusDlg(Tray tray, QWidget* parent) : QDialog(parent) {
    // A main window, not a dialog: window managers iconify a normal window, while many refuse
    // to minimise a dialog-type one (Cancel would then seem to do nothing without a tray).
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(kTitle);
    setWindowIcon(AppIcon());
    shown_.fill(kNotShown);

    auto* layout = new QVBoxLayout(this);
    // The desktop's window menu cannot be extended, so the about item and the companion program
    // live in the window's own menu.
    auto* menu = new QMenuBar(this);
    QMenu* file = menu->addMenu("&File");
    file->addAction("Open &mail program", this, &CStatusDlg::OpenCompanion);
    file->addAction("&Properties...", this, &CStatusDlg::OpenProperties);
    file->addSeparator();
    file->addAction("E&xit", this, &CStatusDlg::OnOk);
    QMenu* help = menu->addMenu("&Help");
    if (const char* about = LoadStringText(kIdsAboutItem)) help->addAction(about, this, &CStatusDlg::ShowAbout);
    layout->setMenuBar(menu);

    status_ = new QTreeWidget(this);
    status_->setColumnCount(2);
    status_->setHeaderLabels({"Item", "Status"});
    status_->setRootIsDecorated(false);
    status_->setSelectionMode(QAbstractItemView::NoSelection);
    status_->setFocusPolicy(Qt::NoFocus);
    status_->header()->setStretchLastSection(true);
    status_->setColumnWidth(0, kItemColumnPx + 30);
    for (const auto& row : kRows) new QTreeWidgetItem(status_, QStringList {row.item, QString()});
    status_->topLevelItem(kRowMachine)->setText(1, HostName());
    status_->setFixedHeight(status_->sizeHintForRow(0) * kRowCount + status_->header()->sizeHint().height() + 6);

    log_ = new QTreeWidget(this);
    log_->setColumnCount(2);
    log_->setHeaderLabels({"Date/Time", "Details"});
    log_->setRootIsDecorated(false);
    log_->setUniformRowHeights(true);  // keeps appending cheap with a full list
    log_->header()->setStretchLastSection(true);
    log_->setColumnWidth(0, log_->fontMetrics().horizontalAdvance("00/00/00,00:00:00") + 16);

    auto* buttons = new QHBoxLayout;
    auto addButton = [&](const char* text, void (CStatusDlg::*slot)()) {
        auto* b = new QPushButton(text, this);
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, slot);
        buttons->addWidget(b);
        return b;
    };
    // OK and Cancel answer Enter and Escape; the others have their own Alt keys.
    auto* ok = addButton("OK", &CStatusDlg::OnOk);
    connect_ = addButton("&Connect", &CStatusDlg::Connect);
    disconnect_ = addButton("&Disconnect", &CStatusDlg::Disconnect);
    addButton("&Poll", &CStatusDlg::Poll);
    addButton("P&roperties", &CStatusDlg::OpenProperties);
    addButton("&About", &CStatusDlg::ShowAbout);
    buttons->addStretch();
    addButton("Cancel", &CStatusDlg::reject);
    ok->setToolTip("Shut Postvane down");
    connect_->setEnabled(false);
    disconnect_->setEnabled(false);

    layout->addWidget(status_);
    layout->addWidget(log_, 1);
    layout->addLayout(buttons);
    resize(560, 460);

    hasTray_ = tray == Tray::Present || (tray == Tray::Auto && QSystemTrayIcon::isSystemTrayAvailable());
    if (hasTray_) AddTrayIcon();

    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &CStatusDlg::OnTick);
    timer_.start(kFirstRefreshMs);
}

CStatusDlg::~CStatusDlg() = default;

void CStatusDlg::AddTrayIcon() {
    if (!tray_) {
        tray_ = std::make_unique<QSystemTrayIcon>(AppIcon());
        auto* menu = new QMenu(this);
        menu->addAction("Show Postvane", this, &CStatusDlg::ShowWindow);
        menu->addAction("Connect", this, &CStatusDlg::Connect);
        menu->addAction("Disconnect", this, &CStatusDlg::Disconnect);
        tray_->setContextMenu(menu);
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
            if (why == QSystemTrayIcon::DoubleClick) ShowWindow();
        });
    }
    tray_->setToolTip(TrayToolTip());
    tray_->show();
    ++trayAdds_;
}

QString CStatusDlg::TrayToolTip() const {
    std::string tip = kTipPrefix + ConnectionStatusText();
    if (tip.size() > kTipMaxChars) tip.resize(kTipMaxChars);
    return QString::fromStdString(tip);
}

void CStatusDlg::SetRow(int row, const QString& text) { status_->topLevelItem(row)->setText(1, text); }

void CStatusDlg::OnTick() {
    timer_.stop();
    // A service manager's SIGTERM stops without a question; Ctrl-C on the terminal is OK.
    if (int sig = CConsoleStatus::TakeStopSignal()) {
        if (sig != SIGINT || ConfirmShutdown()) {
            if (sig != SIGINT) OperatorDisconnect();
            Finish();
            return;
        }
    }
    Refresh();
    if (!finished_) timer_.start(kRefreshMs);
}

bool CStatusDlg::StartsHidden() {
    uint32_t hide = 0;
    CRegistryKey("", false).ReadIntOrZero("HideDialog", hide);
    return hide != 0;
}

void CStatusDlg::Refresh() {
    // Run() answers HideDialog before the window is first shown; a window shown some other way
    // is hidden at its first refresh.
    if (!hideDone_) {
        hideDone_ = true;
        if (StartsHidden()) reject();
    }
    // postvane-ctl connect and disconnect: exactly what the buttons do.
    if (Events().TakeRequest(platform::ControlRequest::Connect)) Connect();
    if (Events().TakeRequest(platform::ControlRequest::Disconnect)) Disconnect();
    const long waiting = static_cast<long>(CountWaitingMessages());

    auto& ev = Events();
    const bool offline = ev.Test(NamedEvent::Offline);
    connect_->setEnabled(offline && !ConnectRequestEvent().Wait(0));
    disconnect_->setEnabled(!offline);

    for (int row = kRowSmtpServer; row <= kRowFinger; ++row) {
        long state = ev.Test(kRows[row].event) ? 1 : 0;
        if (state != shown_[row]) {
            shown_[row] = state;
            SetRow(row, state ? "Active" : "Idle");
        }
    }
    if (waiting != shown_[kRowWaiting]) {
        shown_[kRowWaiting] = waiting;
        SetRow(kRowWaiting, QString::number(waiting));
    }
    const QString connection = QString::fromStdString(ConnectionStatusText());
    if (status_->topLevelItem(kRowConnection)->text(1) != connection) SetRow(kRowConnection, connection);

    std::string line;
    QTreeWidgetItem* last = nullptr;
    while (TakePendingLine(line)) {
        QString text = QString::fromStdString(line);
        last = new QTreeWidgetItem(log_, QStringList {text.left(kStampChars), text.mid(kTextStart)});
    }
    if (last) {
        if (log_->topLevelItemCount() > kLogMaxRows) {
            for (int i = 0; i < kLogTrimRows; ++i) delete log_->takeTopLevelItem(0);
        }
        log_->scrollToItem(log_->topLevelItem(log_->topLevelItemCount() - 1));
    }

    if (ev.Test(NamedEvent::ShowUi)) {
        if (hasTray_) {
            if (tray_) tray_->hide();
            AddTrayIcon();
        } else {
            ShowWindow();
        }
    } else if (tray_) {
        QString tip = TrayToolTip();
        if (tip != tip_) {
            tip_ = tip;
            tray_->setToolTip(tip);
        }
    }

    for (auto it = children_.begin(); it != children_.end();) {
        it = platform::ReapIfEnded(*it) ? children_.erase(it) : it + 1;
    }
}

void CStatusDlg::Connect() {
    OperatorConnect();
    connect_->setEnabled(false);
}

void CStatusDlg::Disconnect() { OperatorDisconnect(); }

void CStatusDlg::Poll() { Events().Signal(NamedEvent::PollSmartPop); }

void CStatusDlg::StartChild(const std::string& program, const std::vector<std::string>& args) {
    platform::SpawnResult started = platform::SpawnProcess(program, args, false);
    if (started.started) children_.push_back(started.pid);
}

void CStatusDlg::OpenProperties() {
    std::string host = platform::FindProgram(kAppletHost);
    if (host.empty()) {
        // The one failure worth saying: otherwise the button would seem to do nothing at all.
        auto* box = new QMessageBox(QMessageBox::Information, "Postvane Properties",
                                    "The Postvane control panel is not installed.\n"
                                    "Install postvane-control next to postvane to change the settings here; "
                                    "postvane-reg and postvane-admin change them from a terminal.",
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    StartChild(host, {kApplet});
}

// `AppPath` names the companion program's folder; empty means the root folder. Nothing is said
// when it cannot be started: the program is not part of Postvane.
void CStatusDlg::OpenCompanion() {
    std::string dir;
    CRegistryKey("", false).ReadString("AppPath", dir);
    if (dir.empty() || dir.back() != '/') dir += '/';
    StartChild(dir + kCompanion, {});
}

void CStatusDlg::ShowAbout() {
    auto* about = new CAboutDlg(this);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
}

bool CStatusDlg::ConfirmShutdown() {
    if (AnyServiceActive()) {
        int answer = platform::MessageBox(
            "The mail system is currently active\nShutting down may lose data\nAre you sure you wish to continue",
            "Mail transfer in progress", platform::kMbYesNo | platform::kMbIconWarning);
        if (answer != platform::kIdYes) return false;
    }
    OperatorDisconnect();
    return true;
}

void CStatusDlg::OnOk() {
    if (ConfirmShutdown()) Finish();
}

void CStatusDlg::Finish() {
    finished_ = true;
    timer_.stop();
    tray_.reset();  // closing the window takes its icon away
    QDialog::hide();
    if (loop_) loop_->quit();
    emit shutDown();
}

void CStatusDlg::reject() {
    if (hasTray_) {
        hide();
    } else {
        // Nothing could bring a hidden window back.
        showMinimized();
    }
}

void CStatusDlg::ShowWindow() {
    showNormal();
    raise();
    activateWindow();
}

void CStatusDlg::closeEvent(QCloseEvent* event) {
    if (finished_) return QDialog::closeEvent(event);
    event->ignore();
    reject();
}

void CStatusDlg::Run() {
    QEventLoop loop;
    loop_ = &loop;
    // HideDialog is read before the window is first shown, so a hidden start never maps it
    // (shown and hidden a moment later, it could stay on screen as a blank window).
    hideDone_ = true;
    if (!StartsHidden()) {
        show();
    } else if (!hasTray_) {
        showMinimized();  // nothing could bring a hidden window back but postvane-ctl showui
    }
    if (!finished_) loop.exec();
    loop_ = nullptr;
}

}  // namespace pv
