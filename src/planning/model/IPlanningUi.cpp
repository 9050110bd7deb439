#include "planning/model/IPlanningUi.h"

#include <mutex>
#include <stdexcept>

namespace {

std::mutex& uiMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<IPlanningUi>& installed()
{
    static std::shared_ptr<IPlanningUi> ui;
    return ui;
}

}

void IPlanningUi::install(std::shared_ptr<IPlanningUi> ui)
{
    std::lock_guard lock(uiMutex());
    installed() = std::move(ui);
}

std::shared_ptr<IPlanningUi> IPlanningUi::get()
{
    std::lock_guard lock(uiMutex());
    return installed();
}

std::shared_ptr<IPlanningUi> IPlanningUi::require()
{
    auto ui = get();
    if (!ui)
        throw std::runtime_error("no planning user interface installed");
    return ui;
}
