#include "tapewright/plugins/QSpinBoxSetValue/QSpinBoxSetValueAD.h"

#include "tapewright/ErrorReport.h"
#include "tapewright/ScriptElements.h"
#include "tapewright/TapewrightUtil.h"
#include "tapewright/plugins/AdapterSupport.h"

#include <QDateEdit>
#include <QMouseEvent>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTimeEdit>

namespace {

// Whether the point lies on an arrow of the spin box (the style decides where they are).
bool onArrow(const QAbstractSpinBox* box, const QPoint& pos)
{
    QStyleOptionSpinBox option;
    option.initFrom(box);
    option.frame = box->hasFrame();
    option.buttonSymbols = box->buttonSymbols();
    option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    option.subControls = QStyle::SC_SpinBoxFrame | QStyle::SC_SpinBoxEditField;
    if (box->buttonSymbols() != QAbstractSpinBox::NoButtons)
        option.subControls |= QStyle::SC_SpinBoxUp | QStyle::SC_SpinBoxDown;
    const QStyle::SubControl control = box->style()->hitTestComplexControl(QStyle::CC_SpinBox, &option, pos, box);
    return control == QStyle::SC_SpinBoxUp || control == QStyle::SC_SpinBoxDown;
}

}

EventReplacement QSpinBoxSetValueAD::record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document)
{
    auto* box = qobject_cast<QAbstractSpinBox*>(receiver);
    if (!spontaneous || !box)
        return EventReplacement(Pass);
    const QEvent::Type type = event->type();
    const QString className = QString::fromLatin1(receiver->metaObject()->className());
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        if (!onArrow(box, static_cast<QMouseEvent*>(event)->position().toPoint()))
            return EventReplacement(Pass);
        // A class whose value this adapter cannot set is recorded the default way, press included.
        if (className != QLatin1String("QSpinBox") && className != QLatin1String("QTimeEdit")
            && className != QLatin1String("QDateEdit")) {
            reportError(true, QObject::tr("Unknown parent class for QSpinWidget. Parent class was: '%1'").arg(className));
            return EventReplacement(Pass);
        }
        pressed_ = receiver;
        return EventReplacement(Block);
    }
    if (type != QEvent::MouseButtonRelease || pressed_ != receiver)
        return EventReplacement(Pass);
    pressed_ = nullptr;
    QDomElement element;
    if (auto* spin = qobject_cast<QSpinBox*>(receiver)) {
        element = ScriptElements::adapterElement(document, QStringLiteral("QSpinBox::setValue"));
        element.setAttribute(QStringLiteral("value"), spin->value());
    } else if (className == QLatin1String("QTimeEdit")) {
        const QTime time = static_cast<QDateTimeEdit*>(box)->time();
        element = ScriptElements::adapterElement(document, QStringLiteral("QTimeEdit::setValue"));
        element.setAttribute(QStringLiteral("hour"), time.hour());
        element.setAttribute(QStringLiteral("minute"), time.minute());
        element.setAttribute(QStringLiteral("second"), time.second());
    } else {
        const QDate date = static_cast<QDateTimeEdit*>(box)->date();
        element = ScriptElements::adapterElement(document, QStringLiteral("QDateEdit::setValue"));
        element.setAttribute(QStringLiteral("year"), date.year());
        element.setAttribute(QStringLiteral("month"), date.month());
        element.setAttribute(QStringLiteral("day"), date.day());
    }
    element.setAttribute(QStringLiteral("name"), TapewrightUtil::objectName(receiver));
    return EventReplacement(element, Block);
}

bool QSpinBoxSetValueAD::play(QObject* widget, const QDomElement& element)
{
    using AdapterSupport::intAttribute;
    const QString tag = AdapterSupport::tagOf(element);
    if (tag == QLatin1String("qspinbox::setvalue")) {
        if (auto* spin = qobject_cast<QSpinBox*>(widget))
            spin->setValue(intAttribute(element, "value", 0));
        else
            AdapterSupport::reportWrongClass(QStringLiteral("QSpinBox::setValue"), widget);
        return true;
    }
    if (tag == QLatin1String("qtimeedit::setvalue")) {
        if (auto* edit = qobject_cast<QTimeEdit*>(widget))
            edit->setTime(QTime(intAttribute(element, "hour", 0), intAttribute(element, "minute", 0),
                                intAttribute(element, "second", 0)));
        else
            AdapterSupport::reportWrongClass(QStringLiteral("QTimeEdit::setValue"), widget);
        return true;
    }
    if (tag == QLatin1String("qdateedit::setvalue")) {
        if (auto* edit = qobject_cast<QDateEdit*>(widget))
            edit->setDate(QDate(intAttribute(element, "year", 0), intAttribute(element, "month", 0),
                                intAttribute(element, "day", 0)));
        else
            AdapterSupport::reportWrongClass(QStringLiteral("QDateEdit::setValue"), widget);
        return true;
    }
    return false;
}

AdapterInfo QSpinBoxSetValueAD::info() const
{
    return {QStringLiteral("QSpinBoxSetValueAD"), QObject::tr("QSpinBox Scroll"),
            QObject::tr("When the user scrolls either a QSpinBox, a QDateEdit, or a QTimeEdit, this adapter will "
                        "record the destination of the scrolling operation rather than the individual movements.")};
}

void QSpinBoxSetValueAD::setEnabled(QObject* object, bool on)
{
    if (!object || qobject_cast<QAbstractSpinBox*>(object)) {
        RecorderAdapter::setEnabled(object, on);
        return;
    }
    if (auto* box = object->findChild<QAbstractSpinBox*>())
        RecorderAdapter::setEnabled(box, on);
}
