#include "shell/modes/MorvantaLight.h"

#include "shell/modes/ViewFactory.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/ExceptionStack.h"
#include "views/IView.h"

std::shared_ptr<ViewFactory> MorvantaLight::createViews(std::shared_ptr<Model> model)
try {
    auto factory = ViewFactory::create(false);
    registerViews(*factory, model, {"Axial", "Cross-sectional", "Target", "3D", "Panoramic"});
    return factory;
}
VEXA_RETHROW

void MorvantaLight::showWidgets(bool planning, const QList<QObject*>& frames)
try {
    for (QObject* object : frames) {
        auto* frame = qobject_cast<ViewFrame*>(object);
        QWidget* widget = frame ? frame->getView() : nullptr;
        auto* view = dynamic_cast<Quorvane::IView*>(widget);
        if (!view)
            continue;
        if (planning)
            frame->setVisible(view->isAvailableInPlanning());
        else if (widget->objectName() != "3D")
            frame->hide();
    }
}
VEXA_RETHROW
