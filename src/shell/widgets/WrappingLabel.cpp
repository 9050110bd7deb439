#include "shell/widgets/WrappingLabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextLayout>
#include <QTextOption>
#include <algorithm>
#include <cmath>

WrappingLabel::WrappingLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

namespace {

// The paragraph as laid out at that width: a path wraps after a "/" rather than inside a name
// ("set-" / "aside"): a word joiner after each of its hyphens, a zero-width space after each
// slash. A name that a line cannot hold (with its slash) wraps after its hyphens instead, where a
// reader still sees whole words; only a piece between them wider than the line wraps inside.
QString withPathBreaks(const QString& paragraph, const QFontMetrics& metrics, int width)
{
    static const QChar joiner(0x2060), space(0x200B);
    QString result;
    result.reserve(paragraph.size() + 16);
    bool inPath = false, wideName = false;
    for (qsizetype i = 0; i < paragraph.size(); ++i) {
        const QChar c = paragraph[i];
        if (c.isSpace() || i == 0) {
            // A word is a path when it holds a slash.
            qsizetype end = i + (c.isSpace() ? 1 : 0);
            while (end < paragraph.size() && !paragraph[end].isSpace())
                ++end;
            inPath = paragraph.mid(i, end - i).contains('/');
        }
        // Nor after the slash a path begins with.
        const bool startsWord = i == 0 || paragraph[i - 1].isSpace();
        if (inPath && (startsWord || paragraph[i - 1] == '/')) {
            qsizetype end = i;
            while (end < paragraph.size() && !paragraph[end].isSpace() && paragraph[end] != '/')
                ++end;
            if (end < paragraph.size() && paragraph[end] == '/')
                ++end;
            wideName = metrics.horizontalAdvance(paragraph.mid(i, end - i)) > width;
        }
        result += c;
        if (inPath && ((c == '-' && !wideName) || (c == '/' && startsWord)))
            result += joiner;
        else if (inPath && c == '/')
            result += space;
    }
    return result;
}

}

std::vector<WrappingLabel::Line> WrappingLabel::lines(int width) const
{
    std::vector<Line> result;
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    for (const QString& written : text().split('\n')) {
        const QString paragraph = withPathBreaks(written, fontMetrics(), std::max(1, width));
        if (paragraph.isEmpty()) {
            result.push_back({QString(), 0});
            continue;
        }
        QTextLayout layout(paragraph, font());
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(std::max(1, width));
            // Trailing blanks of a wrapped line take no room.
            result.push_back({paragraph.mid(line.textStart(), line.textLength()).trimmed(),
                              int(std::ceil(line.naturalTextWidth()))});
        }
        layout.endLayout();
    }
    return result;
}

int WrappingLabel::naturalWidth() const
{
    int widest = 0;
    for (const Line& line : lines(1 << 20))
        widest = std::max(widest, line.width);
    return widest;
}

int WrappingLabel::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    return int(lines(width - m.left() - m.right()).size()) * fontMetrics().lineSpacing() + m.top() + m.bottom();
}

QSize WrappingLabel::sizeHint() const
{
    const QMargins m = contentsMargins();
    const int width = naturalWidth() + m.left() + m.right();
    return {width, heightForWidth(width)};
}

QSize WrappingLabel::minimumSizeHint() const
{
    return {fontMetrics().averageCharWidth() * 4, fontMetrics().lineSpacing()};
}

QRect WrappingLabel::textRect() const
{
    const QRect area = contentsRect();
    const auto shown = lines(area.width());
    int widest = 0;
    for (const Line& line : shown)
        widest = std::max(widest, line.width);
    const int height = int(shown.size()) * fontMetrics().lineSpacing();
    return {area.left() + (area.width() - widest) / 2, area.top() + (area.height() - height) / 2, widest, height};
}

void WrappingLabel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, foregroundRole()));
    const QRect area = contentsRect();
    const QRect block = textRect();
    int y = block.top();
    for (const Line& line : lines(area.width())) {
        painter.drawText(QRect(area.left(), y, area.width(), fontMetrics().lineSpacing()),
                         Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextSingleLine, line.text);
        y += fontMetrics().lineSpacing();
    }
}
