// Small building blocks the applet's pages share: framed groups, whole-number fields with
// up/down arrows, and the refusal shown for a value a page cannot take.
#pragma once

#include <QGroupBox>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

class QLineEdit;
class QMessageBox;
class QToolButton;

namespace pv {

// A group box with a vertical layout ready for its controls.
QGroupBox* Group(const QString& title, QWidget* parent);

// The whole number a field holds: decimal digits only (blanks around them allowed), from
// `min` to `max`. Anything else, the empty text included, gives nothing.
std::optional<uint32_t> ParseWhole(const QString& text, uint32_t min, uint32_t max);

// Shows `text` in one non-modal warning per owner (it never blocks typing or the tests): the
// same box is reused for each refusal.
void ShowRefusal(QWidget* owner, QMessageBox*& box, const QString& text);

// A number edit with up/down arrows. The arrows keep to the range; what is typed is checked by
// the page when it reads the field back.
class CNumberField : public QWidget {
    Q_OBJECT
public:
    CNumberField(uint32_t min, uint32_t max, QWidget* parent = nullptr);
    QLineEdit* Edit() const { return edit_; }
    uint32_t Min() const { return min_; }
    uint32_t Max() const { return max_; }
    void SetValue(uint32_t value);
    // The field's number, or nothing when its text is not a whole number within the range.
    std::optional<uint32_t> Value() const;

signals:
    // The operator typed or stepped: the text changed.
    void Edited();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Step(int by);
    uint32_t min_;
    uint32_t max_;
    QLineEdit* edit_;
    QToolButton* up_;
    QToolButton* down_;
};

}  // namespace pv
