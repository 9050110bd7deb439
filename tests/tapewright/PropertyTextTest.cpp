#include "TapewrightTestSupport.h"

#include "tapewright/PropertyTextStream.h"

#include <QBrush>
#include <QCursor>
#include <QDateTime>
#include <QKeySequence>
#include <QLinearGradient>
#include <QPixmap>
#include <QPolygon>
#include <QRegularExpression>
#include <QSizePolicy>
#include <QUrl>
#include <QVariant>

namespace {

QString text(const QVariant& value)
{
    QString target;
    {
        PropertyTextStream stream(&target);
        propertyToText(stream, value);
        stream << flush;
    }
    return target;
}

}

TEST(PropertyText, GoldenTable)
{
    QSizePolicy minimumFixed(QSizePolicy::Minimum, QSizePolicy::Fixed);
    QVariantMap nested {{"b", 2}, {"a", QVariantList {1, "x"}}};
    QVariantList deep {1};
    for (int i = 0; i < 40; ++i)
        deep = QVariantList {deep};
    const std::pair<QVariant, const char*> table[] = {
        {QVariant(), "*INVALID*"},
        {QString("a\nb"), "ab"},
        {QString("a\nb\nc"), "ab\nc"},
        {QString(), ""},
        {QVariantList {}, "[]"},
        {QVariantList {1, 2}, "[1, 2]"},
        {QStringList {"x", "y"}, "[x, y]"},
        {QRect(10, -5, 100, 50), "100x50+10-5"},
        {QRect(0, 0, 100, 50), "100x50+0+0"},
        {QRectF(0.5, -1.5, 2, 3), "2x3+0.5-1.5"},
        {QPoint(3, 4), "(3,4)"},
        {QPointF(0.25, -2), "(0.25,-2)"},
        {QSize(640, 480), "640x480"},
        {QSizeF(1.5, 2), "1.5x2"},
        {QVariant::fromValue(minimumFixed), "QSizePolicy(hor=Minimum ,ver=Fixed, hasHeightForWidth=false)"},
        {0.5, "0.5"},
        {2.0, "2"},
        {1.0f / 3, "0.333333"},
        {-7, "-7"},
        {4000000000u, "4000000000"},
        {qlonglong(-5000000000), "-5000000000"},
        {qulonglong(18000000000000000000ull), "18000000000000000000"},
        {true, "true"},
        {QChar(0xE9), "é"},
        {QColor(Qt::red), "red"},
        {QColor(0, 0, 0), "black"},
        {QColor(1, 2, 3), "#010203"},
        {QBrush(Qt::blue, Qt::Dense3Pattern), "QBrush(Dense3Pattern,blue)"},
        {QBrush(QLinearGradient()), "QBrush(,#000000)"},
        {QCursor(Qt::WhatsThisCursor), ""},
        {QCursor(Qt::IBeamCursor), "IbeamCursor"},
        {QPixmap(2, 2), "-"},
        {QPolygon({QPoint(1, 2), QPoint(3, 4)}), "[(1,2), (3,4)]"},
        {QByteArray("ab"), "[a, b]"},
        {QKeySequence(Qt::CTRL | Qt::Key_S), "Ctrl+S"},
        {QUrl("https://example.org/a b"), "https://example.org/a b"},
        {QDate(2024, 1, 15), "Mon Jan 15 2024"},
        {QVariant::fromValue(Qt::AlignRight), "2"},
        {nested, "{a: [1, x], b: 2}"},
    };
    for (const auto& [value, expected] : table)
        EXPECT_EQ(text(value), QString::fromUtf8(expected)) << value.metaType().name();
    EXPECT_TRUE(text(deep).contains("[...]")) << "nesting stops";
}

TEST(PropertyText, PaletteGroupsRunTogetherAndLineFeedsFlush)
{
    QPalette palette(Qt::white);
    const QString printed = text(palette);
    EXPECT_TRUE(printed.startsWith("active: foreground: "));
    EXPECT_EQ(printed.count("highlightedText: "), 3);
    EXPECT_TRUE(printed.contains(QRegularExpression("highlightedText: [#a-zA-Z0-9]+inactive: ")));
    EXPECT_TRUE(printed.contains("diabled: foreground: "));

    QString target;
    PropertyTextStream stream(&target);
    stream << "one" << endl << "two";
    EXPECT_EQ(target, "one");
    stream.flush();
    EXPECT_EQ(target, "onetwo");
}
