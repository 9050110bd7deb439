#pragma once
// Records the value a free-standing scroll bar was dragged to ("QScrollBar::scrollTo"); the bars
// of list boxes, tree views and tables are left to their own adapters.
#include "tapewright/plugins/AbstractScroll/AbstractScrollAD.h"

class QScrollBarScrollAD : public AbstractScrollAD
{
public:
    QScrollBarScrollAD();
    int priority() const override { return 160; }
    AdapterInfo info() const override;
    void setEnabled(QObject* object, bool on) override { RecorderAdapter::setEnabled(object, on); }

protected:
    QObject* owner(QObject* bar) const override;
    bool accepts(QObject* widget) const override;
    Outcome describe(QObject* owner, Qt::Orientation orientation, QDomElement& element) override;
    void scroll(QObject* widget, const QDomElement& element) override;
};
