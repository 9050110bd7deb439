#pragma once
// Takes every modal window out of modality while alive, so that the tester can click into windows
// a modal dialog blocks, and gives modality back, innermost last, when it goes. Qt 6 drops input
// to blocked windows before any event filter sees it and has no public call to lift the block:
// this uses Qt's private GUI interface when the build has it; without it nothing changes and
// picks work only in unblocked windows.
#include <QList>
#include <QPointer>

class QWindow;

class ModalityOverride
{
public:
    ModalityOverride();
    ~ModalityOverride();
    ModalityOverride(const ModalityOverride&) = delete;
    ModalityOverride& operator=(const ModalityOverride&) = delete;

    static bool available();

private:
    // The windows that left modality, the last to leave first.
    QList<QPointer<QWindow>> windows_;
};
