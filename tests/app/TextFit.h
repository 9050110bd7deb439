#pragma once
// Whether every text of a window fits the widget that shows it, measured as a person would see
// it: the font's metrics of each text against the room the style leaves inside the widget.
#include "shell/widgets/ListViewItem.h"
#include "shell/widgets/WrappingLabel.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QToolButton>
#include <QTreeWidget>

namespace TextFit {

inline QString describe(const QWidget* w, const QString& text, QSize need, QSize room)
{
    QString path;
    for (const QWidget* p = w; p; p = p->parentWidget())
        path = "/" + (p->objectName().isEmpty() ? QString(p->metaObject()->className()) : p->objectName()) + path;
    return QString("%1 \"%2\": needs %3x%4, has %5x%6")
        .arg(path, QString(text).replace('\n', "\\n"))
        .arg(need.width()).arg(need.height()).arg(room.width()).arg(room.height());
}

// The size a plain text takes in the font (each line; lines one below the other).
inline QSize textSize(const QFontMetrics& fm, const QString& text, int flags = 0)
{
    return fm.boundingRect(QRect(0, 0, 100000, 100000), Qt::AlignLeft | Qt::TextExpandTabs | flags, text).size();
}

inline bool fits(QSize need, QSize room)
{
    return need.width() <= room.width() && need.height() <= room.height();
}

inline void checkLabel(const QLabel* label, QStringList& misfits)
{
    if (label->text().isEmpty() || !label->pixmap().isNull() || label->textFormat() == Qt::RichText ||
        (Qt::mightBeRichText(label->text()) && label->textFormat() != Qt::PlainText))
        return;
    const int inset = 2 * label->margin() + std::max(0, label->indent());
    const QRect room = label->contentsRect().adjusted(0, 0, -inset, -inset);
    if (auto* wrapping = qobject_cast<const WrappingLabel*>(label)) {
        const QSize need(room.width(), wrapping->heightForWidth(label->width()) - (label->height() - room.height()));
        if (!fits(need, room.size()) || !label->rect().contains(wrapping->textRect()))
            misfits << describe(label, label->text(), need, room.size());
        return;
    }
    // A trailing line break draws nothing.
    QString text = label->text();
    while (text.endsWith('\n'))
        text.chop(1);
    QSize need;
    if (label->wordWrap()) {
        const QFontMetrics fm(label->font());
        need = fm.boundingRect(QRect(0, 0, room.width(), 100000), Qt::AlignLeft | Qt::TextWordWrap, text).size();
    } else {
        need = textSize(label->fontMetrics(), text);
    }
    if (!fits(need, room.size()))
        misfits << describe(label, label->text(), need, room.size());
}

inline void checkButton(const QAbstractButton* button, QStringList& misfits)
{
    if (button->text().isEmpty())
        return;
    const QString text = button->text();
    if (auto* tool = qobject_cast<const QToolButton*>(button)) {
        // The style's own measure of icon and text, as the button lays them out.
        if (tool->toolButtonStyle() != Qt::ToolButtonIconOnly && !fits(tool->sizeHint(), tool->size()))
            misfits << describe(tool, text, tool->sizeHint(), tool->size());
        return;
    }
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = text;
    option.icon = button->icon();
    option.iconSize = button->iconSize();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    int indicator = 0;
    if (qobject_cast<const QRadioButton*>(button)) {
        contents = QStyle::SE_RadioButtonContents;
    } else if (qobject_cast<const QCheckBox*>(button)) {
        contents = QStyle::SE_CheckBoxContents;
    } else if (!button->icon().isNull()) {
        indicator = button->iconSize().width() + 4;
    }
    const QRect room = button->style()->subElementRect(contents, &option, button);
    QSize need = textSize(button->fontMetrics(), text, Qt::TextShowMnemonic);
    need.rwidth() += indicator;
    if (!fits(need, room.size()))
        misfits << describe(button, text, need, room.size());
}

// The rows of a list whose text is wider than its column (the view would elide it).
inline void checkTree(const QTreeWidget* tree, QStringList& misfits)
{
    const int margin = 2 * (tree->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, tree) + 1);
    std::function<void(const QTreeWidgetItem*, int)> walk = [&](const QTreeWidgetItem* item, int depth) {
        for (int c = 0; c < tree->columnCount(); ++c) {
            if (tree->isColumnHidden(c) || item->text(c).isEmpty())
                continue;
            int room = tree->columnWidth(c) - margin;
            if (c == 0)
                room -= tree->indentation() * (depth + (tree->rootIsDecorated() ? 1 : 0));
            if (item->data(c, ListViewItem::CheckableRole).toBool())
                room -= ListViewItem::onImage().width();
            if (!item->icon(c).isNull())
                room -= tree->iconSize().width() + 4;
            const int need = QFontMetrics(item->font(c)).horizontalAdvance(item->text(c));
            if (need > room)
                misfits << describe(tree, item->text(c), QSize(need, 0), QSize(room, 0));
        }
        for (int i = 0; i < item->childCount(); ++i)
            if (item->child(i)->parent()->isExpanded())
                walk(item->child(i), depth + 1);
    };
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        walk(tree->topLevelItem(i), 0);
}

// A group box's children lie inside its frame, below its title.
inline void checkGroupBox(const QGroupBox* box, QStringList& misfits)
{
    QStyleOptionGroupBox option;
    option.initFrom(box);
    option.text = box->title();
    option.lineWidth = 1;
    option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    if (box->isFlat())
        option.features |= QStyleOptionFrame::Flat;
    const QStyle* style = box->style();
    const QRect frame =
        style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxFrame, box).adjusted(1, 1, -1, -1);
    const QRect title = style->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
    const int top = box->title().isEmpty() ? frame.top() : std::max(frame.top(), title.bottom() + 1);
    const QRect inside(frame.left(), top, frame.width(), frame.bottom() - top + 1);
    for (const QWidget* child : box->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (child->isVisibleTo(box) && !inside.contains(child->geometry()))
            misfits << describe(child, "(inside the frame of " + box->title() + ")", child->size(), inside.size());
}

// Every text of the widget and its visible children that does not fit.
inline QStringList misfits(const QWidget* top)
{
    QStringList found;
    QList<const QWidget*> widgets{top};
    for (const QWidget* w : top->findChildren<QWidget*>())
        widgets << w;
    for (const QWidget* w : widgets) {
        if (w != top && !w->isVisibleTo(top))
            continue;
        if (auto* label = qobject_cast<const QLabel*>(w))
            checkLabel(label, found);
        else if (auto* button = qobject_cast<const QAbstractButton*>(w))
            checkButton(button, found);
        else if (auto* tree = qobject_cast<const QTreeWidget*>(w))
            checkTree(tree, found);
        if (auto* box = qobject_cast<const QGroupBox*>(w))
            checkGroupBox(box, found);
    }
    return found;
}

}
