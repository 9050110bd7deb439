#include "shell/widgets/ListViewItem.h"

#include "shell/widgets/ListViewItemDelegate.h"

#include <QPixmap>
#include <QTreeWidget>

namespace {

// Images, not pixmaps: they may outlive the application object at exit.
QImage& sharedImage(bool on)
{
    static QImage images[2];
    return images[on ? 1 : 0];
}

}

ListViewItem::ListViewItem(QTreeWidget* parent, const QStringList& labels, const QPixmap* onPixmap,
                           const QPixmap* offPixmap)
    : QTreeWidgetItem(parent, labels, UserType + 1)
{
    setUp(onPixmap, offPixmap);
}

ListViewItem::ListViewItem(QTreeWidgetItem* parent, const QStringList& labels, const QPixmap* onPixmap,
                           const QPixmap* offPixmap)
    : QTreeWidgetItem(parent, labels, UserType + 1)
{
    setUp(onPixmap, offPixmap);
}

void ListViewItem::setUp(const QPixmap* onPixmap, const QPixmap* offPixmap)
{
    checkable_ = onPixmap && offPixmap;
    if (onPixmap && sharedImage(true).isNull())
        sharedImage(true) = onPixmap->toImage();
    if (offPixmap && sharedImage(false).isNull())
        sharedImage(false) = offPixmap->toImage();
    if (QTreeWidget* tree = treeWidget())
        ListViewItemDelegate::installOn(tree);
}

QVariant ListViewItem::data(int column, int role) const
{
    if (role == OnRole)
        return on_;
    if (role == CheckableRole)
        return checkable_;
    return QTreeWidgetItem::data(column, role);
}

const QImage& ListViewItem::onImage()
{
    return sharedImage(true);
}

const QImage& ListViewItem::offImage()
{
    return sharedImage(false);
}
