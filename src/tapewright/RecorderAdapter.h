#pragma once
// An adapter that also takes part in recording: asked for each event of a widget (in registry
// order, when enabled for the receiver), it passes, blocks, or blocks with its own element.
// Enabling is per object, with the null object standing for all; entries of destroyed objects
// are dropped, so an object later built at the same address does not inherit them.
#include "tapewright/AdapterInfo.h"
#include "tapewright/EventReplacement.h"
#include "tapewright/PlayBackAdapter.h"

#include <QDomDocument>
#include <QHash>
#include <QObject>

class AdapterInterface;
class QEvent;

class RecorderAdapter : public PlayBackAdapter
{
public:
    ~RecorderAdapter() override = default;

    bool isRecorderAdapter() const override { return true; }
    virtual EventReplacement record(QObject* receiver, QEvent* event, bool spontaneous,
                                    QDomDocument& document) = 0;
    virtual AdapterInfo info() const = 0;
    virtual int priority() const { return 500; }
    virtual void setEnabled(QObject* object, bool on);
    bool isEnabled(QObject* object) const;

    // The running recorder, or null when none runs.
    static AdapterInterface* adapterInterface();
    static void setAdapterInterface(AdapterInterface* recorder);

private:
    QHash<QObject*, bool> enabled_;
    QObject guard_;
};
