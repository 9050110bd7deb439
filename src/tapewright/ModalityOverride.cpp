#include "tapewright/ModalityOverride.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>

#ifdef TAPEWRIGHT_MODALITY_OVERRIDE
#include <QtGui/private/qguiapplication_p.h>
#endif

ModalityOverride::ModalityOverride()
{
#ifdef TAPEWRIGHT_MODALITY_OVERRIDE
    // Bounded: a modal widget without a window of its own could otherwise be met forever.
    for (int left = QGuiApplication::allWindows().size(); left > 0; --left) {
        QWidget* modal = QApplication::activeModalWidget();
        QWindow* window = modal ? modal->windowHandle() : nullptr;
        if (!window || windows_.contains(window))
            break;
        QGuiApplicationPrivate::hideModalWindow(window);
        windows_.prepend(window);
    }
#endif
}

ModalityOverride::~ModalityOverride()
{
#ifdef TAPEWRIGHT_MODALITY_OVERRIDE
    // A window closed in the meantime stays out of modality.
    for (const QPointer<QWindow>& window : std::as_const(windows_))
        if (window && window->isVisible() && window->modality() != Qt::NonModal)
            QGuiApplicationPrivate::showModalWindow(window);
#endif
}

bool ModalityOverride::available()
{
#ifdef TAPEWRIGHT_MODALITY_OVERRIDE
    return true;
#else
    return false;
#endif
}
