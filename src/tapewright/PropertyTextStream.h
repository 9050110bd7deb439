#pragma once
// Turns property values into the text of playback output. The texts are an output format that
// regression runs compare, so every name, separator and order is fixed. A line feed inside an
// inserted string flushes the text before it (the line feed itself is dropped); flushed text is
// appended to the target string, or goes to the debug output when there is none.
#include <QPalette>
#include <QString>

class QBrush;
class QColor;
class QSizePolicy;
class QVariant;

class PropertyTextStream
{
public:
    using Manipulator = PropertyTextStream& (*)(PropertyTextStream&);

    explicit PropertyTextStream(QString* target);
    ~PropertyTextStream();
    PropertyTextStream(const PropertyTextStream&) = delete;
    PropertyTextStream& operator=(const PropertyTextStream&) = delete;

    void flush();

    PropertyTextStream& operator<<(const QString& text);
    PropertyTextStream& operator<<(const char* text);
    PropertyTextStream& operator<<(Manipulator manipulator) { return manipulator(*this); }
    // Appended directly, without the line-feed rule.
    void append(const QString& text) { buffer_ += text; }

private:
    QString buffer_;
    QString* target_;
};

// Manipulators: endl flushes the current line (the line feed never reaches the target), flush
// only flushes.
PropertyTextStream& endl(PropertyTextStream& stream);
PropertyTextStream& flush(PropertyTextStream& stream);

// The text of a value, by its type. Nested lists and maps are written to a fixed depth.
void propertyToText(PropertyTextStream& stream, const QVariant& value);

QString colorText(const QColor& color);
QString colorGroupText(const QPalette& palette, QPalette::ColorGroup group);
QString sizePolicyText(const QSizePolicy& policy);
QString cursorShapeName(int shape);
QString brushStyleName(int style);
