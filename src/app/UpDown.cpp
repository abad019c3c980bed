#include "app/UpDown.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>
#include <QValidator>

#include <algorithm>

namespace {

// Accepts one typed digit, or the number the arrows put there (two digits up to 99).
class IndexValidator : public QValidator {
public:
    IndexValidator(const UpDown* upDown, QObject* parent) : QValidator(parent), upDown_(upDown) {}

    State validate(QString& input, int&) const override
    {
        for (QChar c : input) {
            if (!c.isDigit() || c.unicode() > '9')
                return Invalid;
        }
        if (input.size() <= 1)
            return Acceptable;
        return input == QString::number(upDown_->position()) ? Acceptable : Invalid;
    }

private:
    const UpDown* upDown_;
};

} // namespace

UpDown::UpDown(QWidget* parent)
    : QWidget(parent), up_(new QToolButton(this)), down_(new QToolButton(this))
{
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setFocusPolicy(Qt::NoFocus);
        b->setArrowType(b == up_ ? Qt::UpArrow : Qt::DownArrow);
        b->setIconSize(QSize(6, 6));
    }
    up_->setObjectName(QStringLiteral("up"));
    down_->setObjectName(QStringLiteral("down"));
    connect(up_, &QToolButton::clicked, this, [this] { stepBy(+1); });
    connect(down_, &QToolButton::clicked, this, [this] { stepBy(-1); });
}

void UpDown::resizeEvent(QResizeEvent*)
{
    const int half = height() / 2;
    up_->setGeometry(0, 0, width(), half);
    down_->setGeometry(0, half, width(), height() - half);
}

void UpDown::setBuddy(QLineEdit* edit)
{
    if (buddy_) {
        buddy_->removeEventFilter(this);
        disconnect(buddy_, nullptr, this, nullptr);
    }
    buddy_ = edit;
    if (!edit)
        return;
    edit->setMaxLength(32767); // the typing limit is enforced below, not by truncation
    edit->setValidator(new IndexValidator(this, edit));
    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    edit->installEventFilter(this);
    // Every number the box shows, typed or stepped, becomes the position at once: when the
    // box is emptied or shows 0 later, the number it showed last still stands.
    connect(edit, &QLineEdit::textChanged, this, [this](const QString& text) { noteShown(text); });
    noteShown(edit->text());
}

void UpDown::noteShown(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (ok && value >= lower_ && value <= upper_)
        last_ = value;
}

void UpDown::setRange(int lower, int upper)
{
    lower_ = lower;
    upper_ = std::max(lower, upper);
    last_ = std::clamp(last_, lower_, upper_);
}

int UpDown::position() const
{
    return last_;
}

void UpDown::setPosition(int value)
{
    last_ = std::clamp(value, lower_, upper_);
    if (buddy_)
        buddy_->setText(QString::number(last_));
}

void UpDown::stepBy(int delta)
{
    setPosition(position() + delta);
    if (buddy_)
        buddy_->selectAll();
}

bool UpDown::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != buddy_ || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
        stepBy(key->key() == Qt::Key_Up ? +1 : -1);
        return true;
    }
    // One typed character at most: a key that would add text to a non-empty edit (nothing
    // selected to replace) is dropped.
    const QString text = key->text();
    const bool printable = !text.isEmpty() && text.at(0).isPrint() &&
                           !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    if (printable && buddy_->text().size() - buddy_->selectedText().size() >= 1)
        return true;
    return QWidget::eventFilter(watched, event);
}
