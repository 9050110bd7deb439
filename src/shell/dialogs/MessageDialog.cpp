#include "shell/dialogs/MessageDialog.h"

#include "shell/widgets/Fonts.h"
#include "shell/widgets/WindowFlags.h"
#include "shell/widgets/WrappingLabel.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int margin = 15;
constexpr int spacing = 5;
constexpr QSize smallest(504, 170);
constexpr QSize buttonSize(120, 63);

// The screen the box will show on: its parent's, else the primary one.
QRect screenArea(const QWidget* parent)
{
    const QScreen* screen = parent && parent->screen() ? parent->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect(0, 0, 1280, 1024);
}

}

MessageDialog::MessageDialog(QWidget* parent, const QString& caption, const QString& text, int buttons,
                             const QString& yesCaption)
    : Dialog(parent, "MessageDialog", true, WindowFlags::titled)
{
    setWindowTitle(caption);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFont(Fonts::dialogFont());
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(spacing);
    // The texts name whole file paths and the reason after them: they wrap (inside a path too)
    // and the box grows to show them, up to most of the screen, where the text scrolls.
    // Unnamed, as the label it holds was: recorded scripts name the buttons by their place
    // among the dialog's unnamed children.
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->viewport()->setAutoFillBackground(false);
    label_ = new WrappingLabel(text);
    label_->setAutoFillBackground(false);
    scroll_->setWidget(label_);
    layout->addWidget(scroll_, 1);
    row_ = new QHBoxLayout;
    row_->setSpacing(spacing);
    layout->addLayout(row_);

    const struct
    {
        int code;
        QString caption;
        void (MessageDialog::*slot)();
    } order[] = {
        {Yes, yesCaption.isNull() ? tr("Yes") : yesCaption, &MessageDialog::doYes},
        {No, tr("No"), &MessageDialog::doNo},
        {Ok, tr("Ok"), &MessageDialog::doOk},
        {Cancel, tr("Cancel"), &MessageDialog::doCancel},
    };
    for (const auto& b : order)
    {
        if (!(buttons & b.code))
            continue;
        auto* button = new QPushButton(b.caption, this);
        button->setFixedSize(120, 63);
        button->setFocus();
        row_->addWidget(button);
        connect(button, &QPushButton::clicked, this, b.slot);
    }
    fit();
}

void MessageDialog::fit()
{
    const int count = row_->count();
    const int rowWidth = count * buttonSize.width() + std::max(0, count - 1) * spacing;
    const int rowHeight = count > 0 ? buttonSize.height() + spacing : 0;
    const QRect screen = screenArea(parentWidget());
    const QSize largest(std::max(smallest.width(), screen.width() * 4 / 5),
                        std::max(smallest.height(), screen.height() * 4 / 5));
    const int scrollBar = style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_);
    const int narrowest = std::max(smallest.width(), rowWidth + 2 * margin) - 2 * margin;
    const int textWidth =
        std::clamp(label_->naturalWidth() + 2, narrowest, std::max(narrowest, largest.width() - 2 * margin - scrollBar));
    const int textHeight = label_->heightForWidth(textWidth);
    const int roomForText = largest.height() - 2 * margin - rowHeight;
    const bool scrolls = textHeight > roomForText;
    label_->setMinimumSize(textWidth, textHeight);
    const int areaWidth = textWidth + (scrolls ? scrollBar : 0);
    const int areaHeight = std::min(textHeight, roomForText);
    scroll_->setMinimumSize(areaWidth, areaHeight);
    setFixedSize(std::max(smallest.width(), areaWidth + 2 * margin),
                 std::max(smallest.height(), areaHeight + 2 * margin + rowHeight));
}

void MessageDialog::addText(const QString& text)
{
    const QRect was = geometry();
    label_->setText(label_->text() + "\n\n" + text);
    fit();
    if (!isVisible())
        return;
    // Grown about its centre, and kept on its screen.
    QRect box(QPoint(), size());
    box.moveCenter(was.center());
    const QRect screen = screenArea(this);
    box.moveLeft(std::clamp(box.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - box.width())));
    box.moveTop(std::clamp(box.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - box.height())));
    move(box.topLeft());
}

void MessageDialog::standOver(const QWidget* widget)
{
    if (!widget)
        return;
    const QRect seen = widget->visibleRegion().boundingRect();
    const QRect over = seen.isEmpty() ? widget->rect() : seen;
    QRect box(QPoint(), size());
    box.moveCenter(widget->mapToGlobal(over.center()));
    const QRect screen = screenArea(widget);
    box.moveLeft(std::clamp(box.left(), screen.left(), std::max(screen.left(), screen.right() + 1 - box.width())));
    box.moveTop(std::clamp(box.top(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - box.height())));
    move(box.topLeft());
}

void MessageDialog::doCancel()
{
    result_ = Cancel;
    QDialog::reject();
}

void MessageDialog::doNo()
{
    result_ = No;
    QDialog::accept();
}

void MessageDialog::doYes()
{
    result_ = Yes;
    QDialog::accept();
}

void MessageDialog::doOk()
{
    result_ = Ok;
    QDialog::accept();
}
