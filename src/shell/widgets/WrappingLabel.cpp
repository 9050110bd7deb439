#include "shell/widgets/WrappingLabel.h"

#include <QFontMetrics>
#include <QPainter>
#include <QTextBoundaryFinder>
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

// A path word with its breaks made explicit: a line may end after a "/" that follows a name, and,
// in a name wider than a line (with its "/"), after a hyphen, where a reader still sees whole
// words. Everywhere else in the word a word joiner holds its characters together: left to the
// text's own line breaking, a name would break where punctuation meets a digit (the dot of a
// hidden folder's ".2031-..."). Only a piece wider than the line is still cut inside.
QString pathWithBreaks(const QString& word, const QFontMetrics& metrics, int width)
{
    static const QChar joiner(0x2060), space(0x200B);
    QString result;
    result.reserve(word.size() * 2);
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, word);
    bool named = false, wideName = false;
    qsizetype at = 0, nameStart = 0;
    for (qsizetype next = characters.toNextBoundary(); next > at; at = next, next = characters.toNextBoundary()) {
        if (at == nameStart) {
            const qsizetype slash = word.indexOf('/', at);
            const qsizetype end = slash < 0 ? word.size() : slash + 1;
            wideName = metrics.horizontalAdvance(word.mid(at, end - at)) > width;
        }
        const QChar c = word[at];
        result += word.mid(at, next - at);
        named = named || c.isLetterOrNumber();
        if (next == word.size())
            break;
        if (c == '/')
            nameStart = next;
        // Not after a slash a path begins with: it stays with the name after it.
        if ((c == '/' && named) || (c == '-' && wideName))
            result += space;
        else
            result += joiner;
    }
    return result;
}

// The paragraph as laid out at that width: its paths (words that hold a "/") with their breaks.
QString withPathBreaks(const QString& paragraph, const QFontMetrics& metrics, int width)
{
    QString result;
    result.reserve(paragraph.size() * 2);
    for (qsizetype i = 0; i < paragraph.size();) {
        qsizetype end = i;
        const bool blank = paragraph[i].isSpace();
        while (end < paragraph.size() && paragraph[end].isSpace() == blank)
            ++end;
        const QString part = paragraph.mid(i, end - i);
        result += !blank && part.contains('/') ? pathWithBreaks(part, metrics, width) : part;
        i = end;
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
