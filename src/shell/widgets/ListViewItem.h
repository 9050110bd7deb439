#pragma once
// A list row with an optional check box drawn from two bitmaps, rows at least 30 pixels high and
// a light grid around every cell. Items built with both bitmaps are check items: the on or off
// bitmap shows at the top-left of every cell, and a mouse press inside the on bitmap's rectangle
// at the row's left edge toggles the check state before the list reports the press. The bitmaps
// of the first item that has them serve every later item.
//
// Constructing an item under a QTreeWidget installs the painting delegate on that list.
#include <QImage>
#include <QStringList>
#include <QTreeWidgetItem>

class ListViewItem : public QTreeWidgetItem
{
public:
    // Data roles the delegate reads.
    enum Role { OnRole = Qt::UserRole + 700, CheckableRole };
    static constexpr int minimumHeight = 30;

    ListViewItem(QTreeWidget* parent, const QStringList& labels, const QPixmap* onPixmap = nullptr,
                 const QPixmap* offPixmap = nullptr);
    ListViewItem(QTreeWidgetItem* parent, const QStringList& labels, const QPixmap* onPixmap = nullptr,
                 const QPixmap* offPixmap = nullptr);

    bool isOn() const { return on_; }
    void setOn(bool on) { on_ = on; }
    void toggle() { on_ = !on_; }
    bool isCheckable() const { return checkable_; }

    QVariant data(int column, int role) const override;

    // The process-wide bitmaps; null images until an item brought them.
    static const QImage& onImage();
    static const QImage& offImage();

private:
    void setUp(const QPixmap* onPixmap, const QPixmap* offPixmap);

    bool on_ = false;
    bool checkable_ = false;
};
