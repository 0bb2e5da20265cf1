#include "applet/Controls.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace pv {

QGroupBox* Group(const QString& title, QWidget* parent) {
    auto* box = new QGroupBox(title, parent);
    new QVBoxLayout(box);
    return box;
}

std::optional<uint32_t> ParseWhole(const QString& text, uint32_t min, uint32_t max) {
    const QString digits = text.trimmed();
    if (digits.isEmpty() || digits.size() > 10) return std::nullopt;
    uint64_t value = 0;
    for (QChar c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c.unicode() - '0');
    }
    if (value < min || value > max) return std::nullopt;
    return static_cast<uint32_t>(value);
}

void ShowRefusal(QWidget* owner, QMessageBox*& box, const QString& text) {
    if (!box) box = new QMessageBox(QMessageBox::Warning, "Postvane Properties", text, QMessageBox::Ok, owner);
    box->setText(text);
    box->open();
}

CNumberField::CNumberField(uint32_t min, uint32_t max, QWidget* parent) : QWidget(parent), min_(min), max_(max) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    edit_ = new QLineEdit(this);
    edit_->setMaximumWidth(80);
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    auto* arrows = new QVBoxLayout;
    arrows->setSpacing(0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);
    layout->addWidget(edit_);
    layout->addLayout(arrows);
    edit_->installEventFilter(this);
    connect(edit_, &QLineEdit::textEdited, this, &CNumberField::Edited);
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
}

bool CNumberField::eventFilter(QObject* watched, QEvent* event) {
    // Up and Down step the number as the arrows do, as in any spin box.
    if (watched == edit_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CNumberField::SetValue(uint32_t value) { edit_->setText(QString::number(value)); }

std::optional<uint32_t> CNumberField::Value() const { return ParseWhole(edit_->text(), min_, max_); }

void CNumberField::Step(int by) {
    // From a text that is no number the arrows start at the bottom of the range.
    const std::optional<uint32_t> value = Value();
    const int64_t now = value ? int64_t(*value) : (by > 0 ? int64_t(min_) - 1 : int64_t(min_) + 1);
    const int64_t next = std::clamp<int64_t>(now + by, min_, max_);
    SetValue(static_cast<uint32_t>(next));
    emit Edited();
}

}  // namespace pv
