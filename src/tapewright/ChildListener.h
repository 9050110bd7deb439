#pragma once
// Hands out the widget path names of scripts ("/twdemo/edit") and finds objects again by them.
// A path is the parent's path, "/", and the object's name ("unnamed" when it has none, "/" in
// it replaced by "_"), with a decimal counter appended when a live object holds the path. A path
// is given once and kept for the object's life; the path of a destroyed object may be given again.
// Qt 6 announces a child before its name is set, so registration of added and polished children
// waits for the event loop; a widget being shown is registered at once. A lookup of an unknown path waits creationTimeOut
// milliseconds for it to appear (event() says when to look again), then gives up on it.
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVector>

class ChildListener : public QObject
{
    Q_OBJECT
public:
    static ChildListener* instance();

    // The path of the object, registering it when it has none yet; null for an ignored object.
    QString childName(QObject* object);
    // The live object of the path, or null. *waiting is true when the lookup started to wait.
    QObject* findChild(const QString& path, bool* waiting = nullptr);
    // The object and its descendants get no path from now on.
    void ignoreObject(QObject* object);
    // The path a lookup waits for now; null when none waits.
    QString waitingFor() const { return waitingFor_; }

    bool eventFilter(QObject* receiver, QEvent* event) override;
    using QObject::event;

signals:
    // The path waited for was registered, or its wait ended: look it up again.
    void event();
    void unableToFindChild(const QString& path);

public slots:
    void childDeleted(QObject* object);

private slots:
    void waitExpired();
    void registerPending();

private:
    ChildListener();

    struct Entry
    {
        QObject* object = nullptr;
        bool valid = false;
        bool taken = false;
    };

    bool isIgnoredObject(QObject* object) const;
    QString registerObject(QObject* object, bool tellWaiter);
    void track(QObject* object);
    QObject* giveUp(const QString& path);

    QHash<QObject*, QString> names_;
    QHash<QString, Entry> entries_;
    QSet<QObject*> ignored_;
    QSet<QObject*> tracked_;
    QVector<QPointer<QObject>> pending_;
    bool pendingScheduled_ = false;
    QString waitingFor_;
    QString expired_;
    QTimer* waitTimer_;
};
