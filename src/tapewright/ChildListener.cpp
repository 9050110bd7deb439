#include "tapewright/ChildListener.h"

#include "tapewright/TapewrightSettings.h"

#include <QChildEvent>
#include <QCoreApplication>

ChildListener* ChildListener::instance()
{
    static ChildListener* listener = new ChildListener;
    return listener;
}

ChildListener::ChildListener() : waitTimer_(new QTimer(this))
{
    setObjectName(QStringLiteral("ChildListener"));
    waitTimer_->setObjectName(QStringLiteral("_waitTimer"));
    waitTimer_->setSingleShot(true);
    connect(waitTimer_, &QTimer::timeout, this, &ChildListener::waitExpired);
    qApp->installEventFilter(this);
}

bool ChildListener::eventFilter(QObject* receiver, QEvent* event)
{
    switch (event->type()) {
    case QEvent::ChildAdded:
    case QEvent::ChildPolished:
        // Sent while the child (or its parent) is still being built, before names are set and
        // widgets put into their final parents: register when the event loop runs again.
        if (QObject* child = static_cast<QChildEvent*>(event)->child(); child && !names_.contains(child)) {
            pending_.append(child);
            if (!pendingScheduled_) {
                pendingScheduled_ = true;
                QMetaObject::invokeMethod(this, &ChildListener::registerPending, Qt::QueuedConnection);
            }
        }
        break;
    case QEvent::Show:
        if (!names_.contains(receiver))
            registerObject(receiver, true);
        break;
    default:
        break;
    }
    return false;
}

void ChildListener::registerPending()
{
    pendingScheduled_ = false;
    const auto pending = std::exchange(pending_, {});
    for (const QPointer<QObject>& object : pending)
        if (object && !names_.contains(object))
            registerObject(object, true);
}

QString ChildListener::childName(QObject* object)
{
    if (!object) {
        qWarning("ASSERT: \"%s\" in %s (%d)", "obj", __FILE__, __LINE__);
        return QString();
    }
    auto it = names_.constFind(object);
    if (it != names_.constEnd())
        return *it;
    return registerObject(object, false);
}

bool ChildListener::isIgnoredObject(QObject* object) const
{
    for (QObject* o = object; o; o = o->parent())
        if (o->isWindowType() || ignored_.contains(o))
            return true;
    return false;
}

QString ChildListener::registerObject(QObject* object, bool tellWaiter)
{
    if (isIgnoredObject(object)) {
        names_.insert(object, QString());
        track(object);
        return QString();
    }
    QString parentPath = QLatin1String("");
    if (QObject* parent = object->parent()) {
        auto it = names_.constFind(parent);
        parentPath = it != names_.constEnd() ? *it : registerObject(parent, true);
        if (parentPath.isNull()) {
            names_.insert(object, QString());
            track(object);
            return QString();
        }
    }
    QString own = object->objectName();
    if (own.isEmpty())
        own = QStringLiteral("unnamed");
    own.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QString base = parentPath + QLatin1Char('/') + own;
    QString name = base;
    for (int i = 1;; ++i) {
        auto it = entries_.constFind(name);
        if (it == entries_.constEnd() || !(it->valid && it->taken))
            break;
        name = base + QString::number(i);
    }
    names_.insert(object, name);
    entries_.insert(name, Entry {object, true, true});
    track(object);
    if (tellWaiter && !waitingFor_.isNull() && name == waitingFor_) {
        waitTimer_->stop();
        waitingFor_ = QString();
        emit event();
    }
    return name;
}

void ChildListener::track(QObject* object)
{
    if (tracked_.contains(object))
        return;
    tracked_.insert(object);
    connect(object, &QObject::destroyed, this, &ChildListener::childDeleted);
}

void ChildListener::childDeleted(QObject* object)
{
    // Everything keyed by the pointer goes, so an object later built at the same address starts
    // afresh; the path stays taken by nobody and may be given again.
    tracked_.remove(object);
    ignored_.remove(object);
    const QString name = names_.take(object);
    auto it = entries_.find(name);
    if (!name.isNull() && it != entries_.end() && it->object == object)
        it->valid = false;
}

QObject* ChildListener::findChild(const QString& path, bool* waiting)
{
    if (waiting)
        *waiting = false;
    auto it = entries_.constFind(path);
    if (it != entries_.constEnd())
        return it->valid ? it->object : nullptr;
    if (TapewrightSettings::instance().creationTimeOut() == -1)
        return giveUp(path);
    if (path == expired_) {
        expired_ = QString();
        return giveUp(path);
    }
    if (path != waitingFor_) {
        waitingFor_ = path;
        expired_ = QString();
        waitTimer_->start(TapewrightSettings::instance().creationTimeOut());
    }
    if (waiting)
        *waiting = true;
    return nullptr;
}

QObject* ChildListener::giveUp(const QString& path)
{
    entries_.insert(path, Entry {nullptr, true, false});
    emit unableToFindChild(path);
    return nullptr;
}

void ChildListener::waitExpired()
{
    expired_ = std::exchange(waitingFor_, QString());
    emit event();
}

void ChildListener::ignoreObject(QObject* object)
{
    if (!object)
        return;
    ignored_.insert(object);
    track(object);
    // The paths it and its descendants had go with it.
    QObjectList named = object->findChildren<QObject*>();
    named << object;
    for (QObject* o : std::as_const(named)) {
        const QString name = names_.take(o);
        if (!name.isNull())
            entries_.remove(name);
    }
}
