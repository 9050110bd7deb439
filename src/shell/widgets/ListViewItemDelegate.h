#pragma once
// Paints the cells of ListViewItem rows (check bitmap, text shifted past it, grid lines, 30 pixel
// rows) and toggles a row's check state on a mouse press inside the on bitmap's rectangle.
#include <QStyledItemDelegate>

class QTreeWidget;

class ListViewItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    // Installs one delegate on the list unless it has one already.
    static void installOn(QTreeWidget* tree);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit ListViewItemDelegate(QTreeWidget* tree);

    QTreeWidget* tree_;
    QWidget* viewport_;
};
