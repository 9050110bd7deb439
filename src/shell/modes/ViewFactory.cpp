#include "shell/modes/ViewFactory.h"

#include "vexa/core/ExceptionStack.h"
#include "views/IView.h"

#include <QWidget>
#include <stdexcept>

std::shared_ptr<ViewFactory> ViewFactory::create(bool viewSelectionEnabled)
{
    return std::make_shared<ViewFactory>(viewSelectionEnabled);
}

ViewFactory::~ViewFactory()
{
    for (auto& [name, view] : prototypes_)
        delete view;
}

void ViewFactory::registerView(Quorvane::IView* view)
try {
    auto* widget = dynamic_cast<QWidget*>(view);
    if (!widget)
        throw std::runtime_error("ViewFactory::registerView: tried to register an IView that is no QWidget");
    if (!prototypes_.emplace(widget->objectName(), view).second)
        delete view;
}
VEXA_RETHROW

Quorvane::IView* ViewFactory::getView(const QString& name, QWidget* parent) const
try {
    const auto found = prototypes_.find(name);
    if (found == prototypes_.end() || !found->second)
        return nullptr;
    Quorvane::IView* view = found->second->clone(parent);
    if (auto* widget = dynamic_cast<QWidget*>(view))
        widget->hide();
    return view;
}
VEXA_RETHROW

QStringList ViewFactory::names() const
{
    QStringList list;
    for (const auto& entry : prototypes_)
        list << entry.first;
    return list;
}

const Quorvane::IView* ViewFactory::prototype(const QString& name) const
{
    const auto found = prototypes_.find(name);
    return found == prototypes_.end() ? nullptr : found->second;
}
