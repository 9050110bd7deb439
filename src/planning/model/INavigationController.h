#pragma once
// The Model's view of its navigation controller. The navigation library implements it and
// installs a factory (`Model::setNavigationControllerFactory`) before the Model is built;
// without one the Model has no controller. The controller is a state machine whose state the
// views read.
#include "vexa/core/StateMachine.h"

class INavigationController : public StateMachine
{
public:
    ~INavigationController() override = default;

    // Called by the Model for every event of its navigation state (7): Enter when navigation
    // starts, Update for every update while navigating, Leave when it ends. Navigation resets,
    // warnings and the treatment log hang here.
    virtual void navigationStateEvent(StateMachine::Event event) = 0;
};
