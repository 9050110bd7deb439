#pragma once
// Records the value a spin box, time editor or date editor reached by clicks on its arrows
// instead of the clicks (whose outcome depends on auto-repeat timing). The arrows are parts of
// the spin box itself, told apart by the style's hit test; the element names the spin box.
#include "tapewright/RecorderAdapter.h"

#include <QPointer>

class QSpinBoxSetValueAD : public RecorderAdapter
{
public:
    EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous, QDomDocument& document) override;
    bool play(QObject* widget, const QDomElement& element) override;
    AdapterInfo info() const override;
    int priority() const override { return 150; }
    // A spin box (or the first one inside the object) takes the setting; null sets all.
    void setEnabled(QObject* object, bool on) override;

private:
    // The spin box whose arrow was pressed last, until its release.
    QPointer<QObject> pressed_;
};
