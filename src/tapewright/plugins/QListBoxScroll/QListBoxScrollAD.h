#pragma once
// Records where a list box's bars were scrolled to: the top item and the pixels of it hidden
// above the viewport ("index", "yOffset"), or the horizontal position ("xVal").
#include "tapewright/plugins/AbstractScroll/AbstractScrollAD.h"

class QListBoxScrollAD : public AbstractScrollAD
{
public:
    QListBoxScrollAD();
    int priority() const override { return 150; }

protected:
    bool accepts(QObject* widget) const override;
    Outcome describe(QObject* owner, Qt::Orientation orientation, QDomElement& element) override;
    void scroll(QObject* widget, const QDomElement& element) override;
};
