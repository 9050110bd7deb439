#include "shell/widgets/Fonts.h"

#include <QApplication>
#include <QFontMetricsF>
#include <mutex>

void Fonts::installSubstitutions()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QFont::insertSubstitutions("System", {"DejaVu Sans", "Liberation Sans"});
        QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
        for (const char* fixed : {"Fixedsys", "FixedSys"})
            QFont::insertSubstitutions(fixed, {"DejaVu Sans Mono", "Liberation Mono"});
    });
}

const QFont& Fonts::dialogFont()
{
    installSubstitutions();
    static const QFont font = [] {
        QFont f("System", 12, QFont::Normal, false);
        f.setStyleHint(QFont::SansSerif);
        return f;
    }();
    return font;
}

QFont Fonts::fixedFont(QFont base, int pointSize)
{
    installSubstitutions();
    base.setFamily("Fixedsys");
    base.setPointSize(pointSize);
    // Fixedsys draws every character in a cell 8 pixels wide, and the dialogs' geometry counts on
    // it: the font it is mapped to is made smaller until its characters stay within that cell.
    while (base.pointSizeF() > 6.0 && QFontMetricsF(base).horizontalAdvance(QLatin1Char('M')) > 8.0)
        base.setPointSizeF(base.pointSizeF() - 0.5);
    return base;
}
