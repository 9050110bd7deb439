#pragma once
// What every reader of a script accepts: the root "Events" in any case, element children as the
// steps, tags compared lower-cased and without blanks, and the defaults of missing attributes.
// A script cut off before "</Events>" (a recording that crashed) reads with one warning.
// Scripts are flat: a step's element holds at most a tree item's path or a tree's snapshot, so
// a text nesting deeper than maxNesting is refused as it is read (Script).
#include "tapewright/XmlGuard.h"

#include <QDomDocument>
#include <QDomElement>
#include <QEvent>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

class ScriptReader
{
public:
    static constexpr int maxNesting = XmlGuard::maxNesting;

    // Parses a script into a document of its root and steps, as the player reads it (Script);
    // on failure reports the error (continuable) and returns false.
    static bool parse(const QByteArray& data, const QString& fileName, QDomDocument& document);

    static QList<QDomElement> steps(const QDomDocument& document);
    // Lower-cased, blanks removed, and an adapter tag's ".." read as "::".
    static QString tag(const QDomElement& element);

    // A decimal attribute; missing or malformed values give the default.
    static int intAttribute(const QDomElement& element, const QString& name, int defaultValue);

    struct MouseAttributes
    {
        QPoint pos;              // "x", "y"; 0
        QSize widgetSize;        // "widgetWidth", "widgetHeight"; -1 (no size information)
        int button = 0;          // script bits
        int state = 0;
    };
    static MouseAttributes mouseAttributes(const QDomElement& element);

    struct KeyAttributes
    {
        int key = 0;             // "key" wins over "intkey"; Qt 6 key code (with modifiers if written)
        int ascii = 0;
        int state = 0;
        QString text;
        bool repeat = false;
        int count = 1;
    };
    static KeyAttributes keyAttributes(const QDomElement& element);

    // "FocusEvent": QEvent::FocusIn (the default) or FocusOut; other values warn and give None.
    static QEvent::Type focusType(const QDomElement& element);
    // "FocusEvent" reason in the script's numbering; "other" by default.
    static int focusReason(const QDomElement& element);
};
