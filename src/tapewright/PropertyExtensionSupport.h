#pragma once
// Small helpers of the built-in property extensions.
#include <QMap>
#include <QString>
#include <QtGlobal>

// A failed precondition is reported as Qt's assertion warning; the operation goes on.
#define TW_CHECK(condition, text)                                                                    \
    do {                                                                                             \
        if (!(condition))                                                                            \
            qWarning("ASSERT: \"%s\" in %s (%d)", text, __FILE__, __LINE__);                         \
    } while (false)

// A decimal attribute; missing or malformed reads as 0.
inline int attributeNumber(const QMap<QString, QString>& attributes, const char* name)
{
    return attributes.value(QString::fromLatin1(name)).toInt();
}
