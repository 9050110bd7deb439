#include "shell/modes/MorvantaSurgical.h"

#include "planning/model/Model.h"
#include "shell/modes/ViewFactory.h"
#include "shell/widgets/ViewFrame.h"
#include "vexa/core/ExceptionStack.h"
#include "navigation/NavigationController.h"
#include "views/CrossSectionalView.h"
#include "views/OpenGL3DView.h"
#include "views/OrthoView.h"
#include "views/PanoramicView.h"
#include "views/navigation/NavigationAdjustView.h"

void MorvantaSurgical::registerViews(ViewFactory& factory, const std::shared_ptr<Model>& model,
                                     const QStringList& names)
try {
    for (const QString& name : names) {
        Quorvane::IView* view = nullptr;
        if (name == "Cross-sectional")
            view = new CrossSectionalView(model, nullptr, "Cross-sectional");
        else if (name == "Panoramic")
            view = new PanoramicView(model, nullptr, "Panoramic");
        else if (name == "3D")
            view = new OpenGL3DView(model, nullptr, "3D");
        else if (name == "Target")
            // Without a navigation controller (none installed) the pages show nothing.
            view = new NavigationAdjustView(
                model, std::dynamic_pointer_cast<NavigationController>(model->getNavigationController()), nullptr,
                "Target");
        else
            view = OrthoView::createNamed(model, name, nullptr);
        if (view)
            factory.registerView(view);
    }
}
VEXA_RETHROW

std::shared_ptr<ViewFactory> MorvantaSurgical::createViews(std::shared_ptr<Model> model)
try {
    auto factory = ViewFactory::create(true);
    registerViews(*factory, model, {"Axial", "Coronal", "Sagittal", "Cross-sectional", "Target", "3D", "Panoramic"});
    return factory;
}
VEXA_RETHROW

void MorvantaSurgical::showWidgets(bool planning, const QList<QObject*>& frames)
try {
    for (QObject* object : frames) {
        auto* frame = qobject_cast<ViewFrame*>(object);
        if (!frame)
            continue;
        auto* view = dynamic_cast<Quorvane::IView*>(frame->getView());
        if (!view)
            frame->show();
        else
            frame->setVisible(planning ? view->isAvailableInPlanning() : view->isAvailableInNavigation());
    }
}
VEXA_RETHROW

