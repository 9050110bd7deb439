#include "vexa/core/StateMachine.h"

#include "vexa/core/ExceptionStack.h"

void StateMachine::setNextState(int state)
{
    nextState_ = state;
    changePending_ = true;
}

void StateMachine::process(Event event)
try {
    updateStates(event, state_);
    for (int round = 0; round < maxChangeRounds && changePending_; ++round) {
        // Taken before the leave call, so that a request made while leaving is the next round.
        const int target = nextState_;
        changePending_ = false;
        try {
            updateStates(Leave, state_);
        } catch (...) {
            // The state was not left: the change stays requested (unless leaving asked for another).
            if (!changePending_) {
                nextState_ = target;
                changePending_ = true;
            }
            throw;
        }
        state_ = target;
        updateStates(Enter, state_);
    }
}
VEXA_RETHROW
