#pragma once
// Records where a table's bars were scrolled to: the first column and the pixels of it hidden
// on the left ("column", "columnOffset"), or the first row and the pixels hidden above it
// ("row", "rowOffset").
#include "tapewright/plugins/AbstractScroll/AbstractScrollAD.h"

class QTableScrollAD : public AbstractScrollAD
{
public:
    QTableScrollAD();
    int priority() const override { return 150; }

protected:
    bool accepts(QObject* widget) const override;
    Outcome describe(QObject* owner, Qt::Orientation orientation, QDomElement& element) override;
    void scroll(QObject* widget, const QDomElement& element) override;
};
