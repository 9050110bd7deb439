#pragma once
// Records where a tree view's bars were scrolled to: the top item by its place in depth-first
// order and the pixels of it hidden above the viewport ("index", "yOffset"), or the first
// column and the pixels of it hidden on the left ("column", "xOffset").
#include "tapewright/plugins/AbstractScroll/AbstractScrollAD.h"

class QListViewScrollAD : public AbstractScrollAD
{
public:
    QListViewScrollAD();
    int priority() const override { return 150; }

protected:
    bool accepts(QObject* widget) const override;
    Outcome describe(QObject* owner, Qt::Orientation orientation, QDomElement& element) override;
    void scroll(QObject* widget, const QDomElement& element) override;
};
