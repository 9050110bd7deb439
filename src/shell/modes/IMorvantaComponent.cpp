#include "shell/modes/IMorvantaComponent.h"

#include "shell/modes/MorvantaLight.h"
#include "shell/modes/MorvantaPlanning.h"

#include <stdexcept>

std::shared_ptr<IMorvantaComponent> createComponent(short id)
{
    switch (id) {
    case 1:
        return std::make_shared<MorvantaSurgical>();
    case 2:
        return std::make_shared<MorvantaLight>();
    case 3:
        return std::make_shared<MorvantaPlanning>();
    default:
        throw std::runtime_error("MainWindow::ctor: no valid component found!");
    }
}

