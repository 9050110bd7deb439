#include "tapewright/PropertyTextStream.h"

#include <QBitArray>
#include <QBrush>
#include <QColor>
#include <QCursor>
#include <QDate>
#include <QDateTime>
#include <QFont>
#include <QKeySequence>
#include <QPalette>
#include <QPolygon>
#include <QRect>
#include <QRectF>
#include <QSizePolicy>
#include <QUrl>
#include <QVariant>
#include <type_traits>

PropertyTextStream::PropertyTextStream(QString* target) : target_(target) {}

PropertyTextStream::~PropertyTextStream() { flush(); }

void PropertyTextStream::flush()
{
    if (buffer_.isEmpty())
        return;
    if (target_)
        *target_ += buffer_;
    else
        qDebug("%s", buffer_.toLocal8Bit().constData());
    buffer_.clear();
}

PropertyTextStream& PropertyTextStream::operator<<(const QString& text)
{
    const qsizetype lineFeed = text.indexOf(QLatin1Char('\n'));
    if (lineFeed < 0) {
        buffer_ += text;
        return *this;
    }
    buffer_ += text.left(lineFeed);
    flush();
    buffer_ += text.mid(lineFeed + 1);
    return *this;
}

PropertyTextStream& PropertyTextStream::operator<<(const char* text)
{
    return *this << QString::fromLocal8Bit(text);
}

PropertyTextStream& endl(PropertyTextStream& stream)
{
    stream << QStringLiteral("\n");
    stream.flush();
    return stream;
}

PropertyTextStream& flush(PropertyTextStream& stream)
{
    stream.flush();
    return stream;
}

namespace {

constexpr int maxDepth = 16;

template<class T>
QString number(T value)
{
    if constexpr (std::is_integral_v<T>)
        return QString::number(value);
    else
        return QString::number(value, 'g', 6);
}

// Width, height, then each coordinate with "+" before one of 0 or more (a negative one brings
// its own minus sign).
template<class T>
QString rectText(T x, T y, T width, T height)
{
    auto sign = [](T v) { return v >= 0 ? QStringLiteral("+") : QString(); };
    return QStringLiteral("%1x%2%3%4%5%6")
        .arg(number(width), number(height), sign(x), number(x), sign(y), number(y));
}

template<class T>
QString pointText(T x, T y)
{
    return QStringLiteral("(%1,%2)").arg(number(x), number(y));
}

void listText(PropertyTextStream& stream, const QVariantList& list, int depth);

void valueText(PropertyTextStream& stream, const QVariant& value, int depth)
{
    if (!value.isValid()) {
        stream << QStringLiteral("*INVALID*");
        return;
    }
    const QMetaType type = value.metaType();
    switch (type.id()) {
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash: {
        // No fixed form exists for maps: {key: value, ...}, keys in order.
        if (depth >= maxDepth) {
            stream << "{...}";
            return;
        }
        const QVariantMap map = type.id() == QMetaType::QVariantMap ? value.toMap() : [&] {
            QVariantMap sorted;
            const QVariantHash hash = value.toHash();
            for (auto it = hash.begin(); it != hash.end(); ++it)
                sorted.insert(it.key(), it.value());
            return sorted;
        }();
        stream << "{";
        bool first = true;
        for (auto it = map.begin(); it != map.end(); ++it) {
            if (!std::exchange(first, false))
                stream << ", ";
            stream << it.key() << ": ";
            valueText(stream, it.value(), depth + 1);
        }
        stream << "}";
        return;
    }
    case QMetaType::QVariantList:
        listText(stream, value.toList(), depth);
        return;
    case QMetaType::QString:
        stream << value.toString();
        return;
    case QMetaType::QStringList: {
        stream << "[";
        const QStringList list = value.toStringList();
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (i)
                stream << ", ";
            stream << list[i];
        }
        stream << "]";
        return;
    }
    case QMetaType::QFont:
        stream.append(value.value<QFont>().toString());
        return;
    case QMetaType::QPixmap:
    case QMetaType::QIcon:
    case QMetaType::QImage:
    case QMetaType::QRegion:
    case QMetaType::QBitmap:
        stream << QStringLiteral("-");
        return;
    case QMetaType::QBrush: {
        const QBrush brush = value.value<QBrush>();
        stream.append(QStringLiteral("QBrush(%1,%2)").arg(brushStyleName(brush.style()), colorText(brush.color())));
        return;
    }
    case QMetaType::QRect: {
        const QRect rect = value.toRect();
        stream.append(rectText(rect.x(), rect.y(), rect.right() - rect.left() + 1, rect.bottom() - rect.top() + 1));
        return;
    }
    case QMetaType::QRectF: {
        const QRectF rect = value.toRectF();
        stream.append(rectText(rect.x(), rect.y(), rect.width(), rect.height()));
        return;
    }
    case QMetaType::QSize:
        stream.append(QStringLiteral("%1x%2").arg(value.toSize().width()).arg(value.toSize().height()));
        return;
    case QMetaType::QSizeF:
        stream.append(QStringLiteral("%1x%2").arg(number(value.toSizeF().width()), number(value.toSizeF().height())));
        return;
    case QMetaType::QColor:
        stream.append(colorText(value.value<QColor>()));
        return;
    case QMetaType::QPalette: {
        // The line ends only flush: a target string receives the groups back to back.
        const QPalette palette = value.value<QPalette>();
        stream << QStringLiteral("active: ");
        stream.append(colorGroupText(palette, QPalette::Active));
        endl(stream);
        stream << QStringLiteral("inactive: ");
        stream.append(colorGroupText(palette, QPalette::Inactive));
        endl(stream);
        stream << QStringLiteral("diabled: ");
        stream.append(colorGroupText(palette, QPalette::Disabled));
        return;
    }
    case QMetaType::QPoint:
        stream.append(pointText(value.toPoint().x(), value.toPoint().y()));
        return;
    case QMetaType::QPointF:
        stream.append(pointText(value.toPointF().x(), value.toPointF().y()));
        return;
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::SChar:
        stream.append(QString::number(value.toLongLong()));
        return;
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar:
        stream.append(QString::number(value.toULongLong()));
        return;
    case QMetaType::Bool:
        stream.append(value.toBool() ? QStringLiteral("true") : QStringLiteral("false"));
        return;
    case QMetaType::Double:
    case QMetaType::Float:
        stream.append(number(value.toDouble()));
        return;
    case QMetaType::Char:
        stream.append(QString(QLatin1Char(value.value<char>())));
        return;
    case QMetaType::QChar:
        stream.append(QString(value.toChar()));
        return;
    case QMetaType::QPolygon: {
        stream << "[";
        const QPolygon polygon = value.value<QPolygon>();
        for (qsizetype i = 0; i < polygon.size(); ++i) {
            if (i)
                stream << ", ";
            stream.append(pointText(polygon[i].x(), polygon[i].y()));
        }
        stream << "]";
        return;
    }
    case QMetaType::QCursor:
        stream.append(cursorShapeName(value.value<QCursor>().shape()));
        return;
    case QMetaType::QSizePolicy:
        stream.append(sizePolicyText(value.value<QSizePolicy>()));
        return;
    case QMetaType::QDate:
        stream.append(value.toDate().toString(Qt::TextDate));
        return;
    case QMetaType::QTime:
        stream.append(value.toTime().toString(Qt::TextDate));
        return;
    case QMetaType::QDateTime:
        stream.append(value.toDateTime().toString(Qt::TextDate));
        return;
    case QMetaType::QByteArray:
    case QMetaType::QBitArray: {
        QByteArray bytes = value.toByteArray();
        if (type.id() == QMetaType::QBitArray) {
            const QBitArray bits = value.toBitArray();
            bytes = QByteArray(bits.bits(), (bits.size() + 7) / 8);
        }
        stream << "[";
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            if (i)
                stream << ", ";
            stream.append(QString(QLatin1Char(bytes[i])));
        }
        stream << "]";
        return;
    }
    case QMetaType::QKeySequence:
        stream.append(value.value<QKeySequence>().toString());
        return;
    case QMetaType::QUrl:
        stream.append(value.toUrl().toString());
        return;
    default:
        // Enumerations and flags print their integer value.
        if (type.flags() & QMetaType::IsEnumeration) {
            QVariant number = value;
            if (number.convert(QMetaType(QMetaType::LongLong)))
                stream.append(QString::number(number.toLongLong()));
        }
        return;
    }
}

void listText(PropertyTextStream& stream, const QVariantList& list, int depth)
{
    if (depth >= maxDepth) {
        stream << "[...]";
        return;
    }
    stream << "[";
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i)
            stream << ", ";
        valueText(stream, list[i], depth + 1);
    }
    stream << "]";
}

}

void propertyToText(PropertyTextStream& stream, const QVariant& value)
{
    valueText(stream, value, 0);
}

QString colorText(const QColor& color)
{
    static const std::pair<Qt::GlobalColor, const char*> named[] = {
        {Qt::black, "black"},         {Qt::white, "white"},         {Qt::darkGray, "darkGray"},
        {Qt::gray, "gray"},           {Qt::lightGray, "lightGray"}, {Qt::red, "red"},
        {Qt::green, "green"},         {Qt::blue, "blue"},           {Qt::cyan, "cyan"},
        {Qt::magenta, "magenta"},     {Qt::yellow, "yellow"},       {Qt::darkRed, "darkRed"},
        {Qt::darkGreen, "darkGreen"}, {Qt::darkBlue, "darkBlue"},   {Qt::darkCyan, "darkCyan"},
        {Qt::darkMagenta, "darkMagenta"}, {Qt::darkYellow, "darkYellow"}, {Qt::color0, "color0"},
        {Qt::color1, "color1"},
    };
    for (const auto& [global, name] : named)
        if (color == QColor(global))
            return QString::fromLatin1(name);
    return color.name();
}

QString colorGroupText(const QPalette& palette, QPalette::ColorGroup group)
{
    static const std::pair<QPalette::ColorRole, const char*> roles[] = {
        {QPalette::WindowText, "foreground: "}, {QPalette::Button, "button: "},
        {QPalette::Light, "light: "},           {QPalette::Dark, "dark: "},
        {QPalette::Mid, "mid: "},               {QPalette::Text, "text: "},
        {QPalette::Base, "base: "},             {QPalette::Window, "background: "},
        {QPalette::Midlight, "midlight: "},     {QPalette::BrightText, "brightText: "},
        {QPalette::ButtonText, "buttonText: "}, {QPalette::Shadow, "shadow: "},
        {QPalette::Highlight, "highlight: "},   {QPalette::HighlightedText, "highlightedText: "},
    };
    QStringList parts;
    for (const auto& [role, label] : roles)
        parts << QString::fromLatin1(label) + colorText(palette.brush(group, role).color());
    return parts.join(QLatin1String(", "));
}

QString sizePolicyText(const QSizePolicy& policy)
{
    auto name = [](QSizePolicy::Policy p) -> QString {
        switch (p) {
        case QSizePolicy::Fixed: return QStringLiteral("Fixed");
        case QSizePolicy::Minimum: return QStringLiteral("Minimum ");
        case QSizePolicy::Ignored: return QStringLiteral("Ignored");
        case QSizePolicy::MinimumExpanding: return QStringLiteral("MinimumExpanding");
        case QSizePolicy::Maximum: return QStringLiteral("Maximum");
        case QSizePolicy::Preferred: return QStringLiteral("Preferred");
        case QSizePolicy::Expanding: return QStringLiteral("Expanding");
        default: return QString();
        }
    };
    return QStringLiteral("QSizePolicy(hor=%1,ver=%2, hasHeightForWidth=%3)")
        .arg(name(policy.horizontalPolicy()), name(policy.verticalPolicy()),
             policy.hasHeightForWidth() ? QStringLiteral("true") : QStringLiteral("false"));
}

QString cursorShapeName(int shape)
{
    static const char* const names[] = {"ArrowCursor",    "UpArrowCursor",   "CrossCursor",
                                        "WaitCursor",     "IbeamCursor",     "SizeVerCursor",
                                        "SizeHorCursor",  "SizeBDiagCursor", "SizeFDiagCursor",
                                        "SizeAllCursor",  "BlankCursor",     "SplitVCursor",
                                        "SplitHCursor",   "PointingHandCursor", "ForbiddenCursor"};
    if (shape >= 0 && shape < 15)
        return QString::fromLatin1(names[shape]);
    return shape == Qt::BitmapCursor ? QStringLiteral("BitmapCursor") : QString();
}

QString brushStyleName(int style)
{
    static const char* const names[] = {"NoBrush",       "SolidPattern",  "Dense1Pattern",   "Dense2Pattern",
                                        "Dense3Pattern", "Dense4Pattern", "Dense5Pattern",   "Dense6Pattern",
                                        "Dense7Pattern", "HorPattern",    "VerPattern",      "CrossPattern",
                                        "BDiagPattern",  "FDiagPattern",  "DiagCrossPattern"};
    if (style >= 0 && style < 15)
        return QString::fromLatin1(names[style]);
    return style == Qt::TexturePattern ? QStringLiteral("CustomPattern") : QString();
}
