#pragma once
// The popup menus playback has sent events to. While any is remembered, an application-wide
// filter closes them when a mouse button or key event reaches a widget that is not a menu, as
// a real click outside an open popup would; the triggering event always goes on.
#include <QHash>
#include <QObject>

class PopupMap : public QObject
{
    Q_OBJECT
public:
    PopupMap() = default;
    void addPopup(QObject* popup);
    bool eventFilter(QObject* watched, QEvent* event) override;

public slots:
    void removeItem(QObject* object);

private:
    QList<QObject*> popups_;
    bool filterInstalled_ = false;
};
