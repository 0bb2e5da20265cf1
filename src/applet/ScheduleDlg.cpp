#include "applet/ScheduleDlg.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <string>

#include "applet/Controls.h"
#include "core/RegistryKey.h"

namespace pv {

namespace {
constexpr const char* kScheduleKey = "Schedule";
constexpr const char* kSetKeys[2] = {"Schedule\\a", "Schedule\\b"};
const char* const kDayNames[7] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
}  // namespace

// ---- Schedule page --------------------------------------------------------------------------

CSchedule::CSchedule(QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    QGroupBox* group = Group("Schedule for connecting to mailhost", this);
    auto* grid = new QGridLayout;
    static_cast<QVBoxLayout*>(group->layout())->addLayout(grid);

    struct RowText {
        const char* letter;
        const char* label;
        const char* after;
        uint32_t max;
    };
    const RowText texts[3] = {
        {"A)", "Connect if the outgoing message queue has", "messages waiting.", kMaxWaiting},
        {"B)", "Connect when the oldest message in the message queue is", "minutes old.", kMaxAge},
        {"C)", "Connect if no connection has been made for", "minutes.", kMaxIdle},
    };
    rows_ = {Row {"CheckWaiting", "CountWaiting", &checkWaiting_, &countWaiting_, nullptr, nullptr},
             Row {"CheckAge", "CountAge", &checkAge_, &countAge_, nullptr, nullptr},
             Row {"CheckIdle", "CountIdle", &checkIdle_, &countIdle_, nullptr, nullptr}};
    int line = 0;
    for (int i = 0; i < 3; ++i) {
        Row& row = rows_[i];
        if (i > 0) grid->addWidget(new QLabel("or", group), line++, 1);
        row.box = new QCheckBox(texts[i].label, group);
        row.box->setObjectName(row.checkName);
        row.field = new CNumberField(1, texts[i].max, group);
        row.field->setObjectName(row.countName);
        row.field->Edit()->setObjectName(QString(row.countName) + "Edit");
        grid->addWidget(new QLabel(texts[i].letter, group), line, 0);
        grid->addWidget(row.box, line, 1);
        grid->addWidget(row.field, line, 2);
        grid->addWidget(new QLabel(texts[i].after, group), line, 3);
        ++line;
        connect(row.box, &QCheckBox::clicked, this, [this, i] { OnCheck(rows_[i]); });
        connect(row.field, &CNumberField::Edited, this, [this, i] { OnCount(rows_[i]); });
    }
    grid->setColumnStretch(4, 1);
    auto* note = new QLabel(
        "This option should be enabled if a LAN connection is used and SmartPop features are desired, "
        "otherwise SmartPop will only check for incoming mail when the connection is forced from the other "
        "options.",
        group);
    note->setWordWrap(true);
    group->layout()->addWidget(note);
    layout->addWidget(group);

    auto* buttons = new QHBoxLayout;
    auto* lan = new QPushButton("Set &LAN defaults", this);
    auto* dialup = new QPushButton("Set &Dialup defaults", this);
    auto* advanced = new QPushButton("Advanced ...", this);
    buttons->addWidget(lan);
    buttons->addWidget(dialup);
    buttons->addStretch();
    buttons->addWidget(advanced);
    layout->addLayout(buttons);
    layout->addStretch();
    connect(lan, &QPushButton::clicked, this, [this] { SetDefaults(false); });
    connect(dialup, &QPushButton::clicked, this, [this] { SetDefaults(true); });
    connect(advanced, &QPushButton::clicked, this, [this] {
        CAdvancedScheduleDlg dlg(this);
        dlg.exec();
    });

    // The page holds what the hive holds from the moment the sheet is built.
    Load();
}

void CSchedule::Load() {
    CRegistryKey key(kScheduleKey, true);
    for (Row& row : rows_) {
        uint32_t value = 0;
        key.ReadIntOrZero(row.checkName, value);
        *row.check = value != 0;
        key.ReadIntOrZero(row.countName, value);
        // A count of 0 would make its condition always (or never) true: shown and kept as 1.
        *row.count = value < 1 ? 1 : value;
    }
}

void CSchedule::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        PushToControls();
    }
    QWidget::showEvent(event);
}

void CSchedule::PushToControls() {
    for (Row& row : rows_) {
        row.box->setChecked(*row.check);
        row.field->SetValue(*row.count);
    }
}

void CSchedule::OnCheck(Row& row) {
    if (!initialised_) return;
    *row.check = row.box->isChecked();
    CRegistryKey(kScheduleKey, true).WriteInt(row.checkName, *row.check ? 1 : 0);
}

void CSchedule::OnCount(Row& row) {
    if (!initialised_) return;
    // A text that is no count within the range is refused: the count keeps its last good
    // value, which is what stays written.
    if (std::optional<uint32_t> value = row.field->Value()) {
        *row.count = *value;
    } else if (!row.field->Edit()->text().trimmed().isEmpty()) {
        // An empty field is a number being typed; anything else is said at once.
        ShowRefusal(this, refusal_,
                    QString("Enter a whole number between %1 and %2.").arg(row.field->Min()).arg(row.field->Max()));
    }
    CRegistryKey(kScheduleKey, true).WriteInt(row.countName, *row.count);
}

void CSchedule::SetDefaults(bool dialup) {
    if (dialup) {
        checkWaiting_ = true;
        countWaiting_ = 10;
        checkAge_ = true;
        countAge_ = 20;
    } else {
        checkWaiting_ = true;
        countWaiting_ = 1;
        checkAge_ = false;
        checkIdle_ = false;
    }
    WriteAll();
    PushToControls();
}

void CSchedule::WriteAll() {
    CRegistryKey key(kScheduleKey, true);
    for (const Row& row : rows_) {
        key.WriteInt(row.checkName, *row.check ? 1 : 0);
        key.WriteInt(row.countName, *row.count);
    }
}

// ---- Advanced Scheduling --------------------------------------------------------------------

CAdvancedScheduleDlg::CAdvancedScheduleDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Advanced Scheduling");
    auto* layout = new QVBoxLayout(this);
    useAdvanced_ = new QCheckBox("Use advanced scheduling", this);
    useAdvanced_->setObjectName("UseAdvanced");
    layout->addWidget(useAdvanced_);
    auto* sets = new QHBoxLayout;
    sets->addWidget(BuildSet(sets_[0], "Advanced Schedule A", "a"));
    sets->addWidget(BuildSet(sets_[1], "Advanced Schedule B", "b"));
    layout->addLayout(sets);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        Save();
        accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    // A weekday belongs to one set at most: checking it in one clears it in the other.
    for (int s = 0; s < 2; ++s) {
        for (int d = 0; d < 7; ++d) {
            connect(sets_[s].days[d], &QCheckBox::clicked, this, [this, s, d](bool on) {
                if (on) sets_[1 - s].days[d]->setChecked(false);
            });
        }
    }
    Load();
}

QWidget* CAdvancedScheduleDlg::BuildSet(Set& set, const QString& title, const QString& name) {
    QGroupBox* group = Group(title, this);
    group->setObjectName("Set_" + name);
    auto* layout = static_cast<QVBoxLayout*>(group->layout());
    layout->addWidget(new QLabel("On these days :", group));
    for (int d = 0; d < 7; ++d) {
        set.days[d] = new QCheckBox(kDayNames[d], group);
        layout->addWidget(set.days[d]);
    }
    layout->addWidget(new QLabel("connect at these times :", group));
    set.times = new QListWidget(group);
    set.times->setObjectName("Times_" + name);
    set.times->setSortingEnabled(true);
    layout->addWidget(set.times);
    auto* entryRow = new QHBoxLayout;
    set.entry = new QLineEdit("00:00", group);
    set.entry->setObjectName("Time_" + name);
    auto* plus = new QPushButton("+", group);
    auto* minus = new QPushButton("-", group);
    plus->setObjectName("Plus_" + name);
    minus->setObjectName("Minus_" + name);
    entryRow->addWidget(set.entry);
    entryRow->addWidget(plus);
    entryRow->addWidget(minus);
    layout->addLayout(entryRow);
    auto* listButtons = new QHBoxLayout;
    set.add = new QPushButton("Add Time", group);
    set.remove = new QPushButton("Delete Time", group);
    listButtons->addWidget(set.add);
    listButtons->addWidget(set.remove);
    layout->addLayout(listButtons);

    Set* s = &set;
    auto updateAdd = [s] { s->add->setEnabled(IsTime(s->entry->text())); };
    connect(set.entry, &QLineEdit::textChanged, this, updateAdd);
    updateAdd();
    connect(plus, &QPushButton::clicked, this, [this, s] { Step(*s, kMinutesStep); });
    connect(minus, &QPushButton::clicked, this, [this, s] { Step(*s, -kMinutesStep); });
    connect(set.add, &QPushButton::clicked, this, [s] {
        if (IsTime(s->entry->text())) s->times->addItem(s->entry->text());
    });
    connect(set.times, &QListWidget::itemSelectionChanged, this,
            [s] { s->remove->setEnabled(!s->times->selectedItems().isEmpty()); });
    connect(set.remove, &QPushButton::clicked, this, [s] {
        const QList<QListWidgetItem*> chosen = s->times->selectedItems();
        if (chosen.isEmpty()) return;
        delete chosen.first();
        s->times->clearSelection();
        s->remove->setEnabled(false);
    });
    return group;
}

bool CAdvancedScheduleDlg::IsTime(const QString& text) { return IsScheduleTime(text.toStdString()); }

void CAdvancedScheduleDlg::Step(Set& set, int minutes) {
    const QString text = set.entry->text();
    if (!IsTime(text)) return;
    int total = text.left(2).toInt() * 60 + text.mid(3).toInt() + minutes;
    // The day has no carry: a step past midnight either way is refused.
    if (total < 0 || total >= 24 * 60) return;
    set.entry->setText(QString::asprintf("%02d:%02d", total / 60, total % 60));
}

void CAdvancedScheduleDlg::Load() {
    for (Set& set : sets_) set.remove->setEnabled(false);
    uint32_t use = 0;
    CRegistryKey(kScheduleKey, false).ReadIntOrZero("UseAdvanced", use);
    useAdvanced_->setChecked(use != 0);
    for (int s = 0; s < 2; ++s) {
        CRegistryKey key(kSetKeys[s], false);
        uint32_t dow = 0;
        std::string times;
        key.ReadIntOrZero("dow", dow);
        key.ReadString("Times", times);
        for (int d = 0; d < 7; ++d) sets_[s].days[d]->setChecked((dow >> d) & 1);
        for (const QString& piece : QString::fromStdString(times).split(',', Qt::SkipEmptyParts))
            sets_[s].times->addItem(piece);
    }
}

void CAdvancedScheduleDlg::Save() {
    CRegistryKey(kScheduleKey, true).WriteInt("UseAdvanced", useAdvanced_->isChecked() ? 1 : 0);
    for (int s = 0; s < 2; ++s) {
        uint32_t dow = 0;
        for (int d = 0; d < 7; ++d) {
            if (sets_[s].days[d]->isChecked()) dow |= 1u << d;
        }
        std::string times;
        for (int i = 0; i < sets_[s].times->count(); ++i) times += sets_[s].times->item(i)->text().toStdString() + ",";
        CRegistryKey key(kSetKeys[s], true);
        key.WriteInt("dow", dow);
        key.WriteString("Times", times);
    }
}

}  // namespace pv
