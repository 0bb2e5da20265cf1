// The Schedule page and the Advanced Scheduling dialog: when the connection manager goes
// online (the `Schedule` key and its advanced sets `Schedule\a` and `Schedule\b`).
#pragma once

#include <QDialog>
#include <QWidget>

#include <array>
#include <cstdint>

#include "core/SettingChecks.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;

namespace pv {

class CNumberField;

// Three conditions, each a check flag and a count, written as soon as a control changes.
class CSchedule : public QWidget {
    Q_OBJECT
public:
    // Ranges of the three counts: messages, minutes (a day), minutes (a week).
    static constexpr uint32_t kMaxWaiting = kMaxCountWaiting;
    static constexpr uint32_t kMaxAge = kMaxCountAge;
    static constexpr uint32_t kMaxIdle = kMaxCountIdle;

    explicit CSchedule(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Row {
        const char* checkName;
        const char* countName;
        bool* check;
        uint32_t* count;
        QCheckBox* box;
        CNumberField* field;
    };
    void Load();
    void PushToControls();
    void OnCheck(Row& row);
    void OnCount(Row& row);
    void SetDefaults(bool dialup);
    void WriteAll();

    bool checkWaiting_ = false;
    bool checkAge_ = false;
    bool checkIdle_ = false;
    uint32_t countWaiting_ = 1;
    uint32_t countAge_ = 1;
    uint32_t countIdle_ = 1;
    bool initialised_ = false;
    std::array<Row, 3> rows_ {};
    QMessageBox* refusal_ = nullptr;
};

// The two weekday schedules with their times of day; written only by OK.
class CAdvancedScheduleDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMinutesStep = 15;

    explicit CAdvancedScheduleDlg(QWidget* parent = nullptr);

    // A time the "Add Time" button takes: "HH:MM", hour 00 to 23, minute 00 to 59.
    static bool IsTime(const QString& text);

private:
    struct Set {
        std::array<QCheckBox*, 7> days {};
        QListWidget* times = nullptr;
        QLineEdit* entry = nullptr;
        QPushButton* add = nullptr;
        QPushButton* remove = nullptr;
    };
    QWidget* BuildSet(Set& set, const QString& title, const QString& name);
    void Load();
    void Step(Set& set, int minutes);
    void Save();

    QCheckBox* useAdvanced_;
    std::array<Set, 2> sets_;
};

}  // namespace pv
