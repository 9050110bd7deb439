#include "shell/widgets/ListViewItemDelegate.h"

#include "shell/widgets/ListViewItem.h"
#include "vexa/core/ExceptionStack.h"

#include <QMouseEvent>
#include <QPainter>
#include <QTreeWidget>

namespace {

const QColor gridColour(212, 208, 200);

}

ListViewItemDelegate::ListViewItemDelegate(QTreeWidget* tree)
    : QStyledItemDelegate(tree), tree_(tree), viewport_(tree->viewport())
{
    viewport_->installEventFilter(this);
}

void ListViewItemDelegate::installOn(QTreeWidget* tree)
{
    if (!qobject_cast<ListViewItemDelegate*>(tree->itemDelegate()))
        tree->setItemDelegate(new ListViewItemDelegate(tree));
}

void ListViewItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                 const QModelIndex& index) const try
{
    int offset = 0;
    if (index.data(ListViewItem::CheckableRole).toBool())
    {
        const QImage& image = index.data(ListViewItem::OnRole).toBool() ? ListViewItem::onImage()
                                                                        : ListViewItem::offImage();
        if (!image.isNull())
        {
            painter->drawImage(option.rect.topLeft(), image);
            offset = image.width();
        }
    }
    QStyleOptionViewItem shifted = option;
    shifted.rect.setLeft(option.rect.left() + offset);
    QStyledItemDelegate::paint(painter, shifted, index);

    painter->save();
    painter->setPen(QPen(gridColour, 0));
    const QRect r = option.rect;
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter->drawLine(r.right(), r.top(), r.right(), r.bottom());
    painter->drawLine(r.left(), r.top(), r.left(), r.bottom());
    painter->restore();
}
VEXA_RETHROW

QSize ListViewItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (index.data(ListViewItem::CheckableRole).toBool() && !ListViewItem::onImage().isNull())
        size.rwidth() += ListViewItem::onImage().width();
    size.setHeight(std::max(size.height(), ListViewItem::minimumHeight));
    return size;
}

bool ListViewItemDelegate::eventFilter(QObject* watched, QEvent* event)
{
    // The list may be half destroyed when its viewport's last events arrive: touch it only for
    // a press.
    if (watched != viewport_)
        return QStyledItemDelegate::eventFilter(watched, event);
    // Before the list handles the press, so the new state is there when it reports it.
    if (event->type() == QEvent::MouseButtonPress && !ListViewItem::onImage().isNull())
    {
        const QPoint pos = static_cast<QMouseEvent*>(event)->position().toPoint();
        if (auto* item = dynamic_cast<ListViewItem*>(tree_->itemAt(pos)))
        {
            const QRect box(tree_->visualItemRect(item).topLeft(), ListViewItem::onImage().size());
            if (box.contains(pos))
            {
                item->toggle();
                viewport_->update();
            }
        }
    }
    return false;
}
