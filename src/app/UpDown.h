// The up-down control paired with an image-index edit: two arrow buttons that step a number
// from 1 to 99 and show it in the edit (its buddy). Typing into the buddy is limited to one
// digit; the arrows and the arrow keys reach the whole range.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class UpDown : public QWidget {
    Q_OBJECT
public:
    explicit UpDown(QWidget* parent = nullptr);

    // Attaches the buddy: digits only, one typed character, right-aligned, Up/Down keys step.
    void setBuddy(QLineEdit* edit);
    QLineEdit* buddy() const { return buddy_; }

    void setRange(int lower, int upper);
    int minimum() const { return lower_; }
    int maximum() const { return upper_; }

    // The number the buddy shows; when the buddy holds no number in range (empty, or a 0
    // just typed), the last number in range it showed, typed or stepped.
    int position() const;
    // Moves to value (clamped to the range) and shows it in the buddy.
    void setPosition(int value);
    // One arrow step (+1 up, -1 down), stopping at the range ends.
    void stepBy(int delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void noteShown(const QString& text);

    QToolButton* up_;
    QToolButton* down_;
    QLineEdit* buddy_ = nullptr;
    int lower_ = 1;
    int upper_ = 99;
    int last_ = 1;
};
