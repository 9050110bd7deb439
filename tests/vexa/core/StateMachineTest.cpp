#include "vexa/core/StateMachine.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Logs every event as "<event><state>" (E enter, U update, L leave); a hook may request
// further changes from inside a handler.
class LoggingMachine : public StateMachine
{
public:
    std::vector<std::string> log;
    std::function<void(Event, int)> hook;

    using StateMachine::setNextState;

protected:
    bool updateStates(Event event, int state) override
    {
        static const char names[] = {'E', 'U', 'L'};
        log.push_back(names[event] + std::to_string(state));
        if (hook)
            hook(event, state);
        return true;
    }
};

using Log = std::vector<std::string>;

TEST(StateMachine, ProcessUpdatesThenLeavesTheOldStateAndEntersTheNewOne)
{
    LoggingMachine machine;
    EXPECT_EQ(machine.getState(), -1);
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U-1"}));

    machine.setNextState(1);
    EXPECT_EQ(machine.getState(), -1) << "the change waits for process";
    machine.log.clear();
    machine.process(StateMachine::Enter);
    EXPECT_EQ(machine.log, Log({"E-1", "L-1", "E1"}));
    EXPECT_EQ(machine.getState(), 1);

    machine.log.clear();
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U1"}));

    // The last request before process counts; a request for the current state re-enters it.
    machine.setNextState(5);
    machine.setNextState(1);
    machine.log.clear();
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U1", "L1", "E1"}));
}

TEST(StateMachine, ChangesRequestedByHandlersChainUpToTheRoundCap)
{
    LoggingMachine machine;
    // Entering 1 asks for 2, updating 0 asks for 1, leaving 2 asks for 3.
    machine.hook = [&](StateMachine::Event event, int state) {
        if (event == StateMachine::Enter && state == 1)
            machine.setNextState(2);
        if (event == StateMachine::Update && state == 0)
            machine.setNextState(1);
        if (event == StateMachine::Leave && state == 2)
            machine.setNextState(3);
    };
    machine.setNextState(0);
    machine.process(StateMachine::Update);
    machine.log.clear();
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U0", "L0", "E1", "L1", "E2"}));
    EXPECT_EQ(machine.getState(), 2);
    // A change requested while leaving comes after the one under way.
    machine.setNextState(4);
    machine.log.clear();
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U2", "L2", "E4", "L4", "E3"}));
    EXPECT_EQ(machine.getState(), 3);

    // Each enter asks for the next state: process stops after ten changes and the eleventh
    // stays pending.
    LoggingMachine runaway;
    runaway.hook = [&](StateMachine::Event event, int state) {
        if (event == StateMachine::Enter)
            runaway.setNextState(state + 1);
    };
    runaway.setNextState(0);
    runaway.process(StateMachine::Update);
    EXPECT_EQ(runaway.getState(), StateMachine::maxChangeRounds - 1);
    EXPECT_EQ(runaway.log.size(), 1u + 2u * StateMachine::maxChangeRounds);
    runaway.log.clear();
    runaway.hook = nullptr;
    runaway.process(StateMachine::Update);
    EXPECT_EQ(runaway.log, Log({"U9", "L9", "E10"}));
}

TEST(StateMachine, AChangeWhoseLeaveHandlerThrowsStaysPending)
{
    LoggingMachine machine;
    bool refuse = true;
    machine.hook = [&](StateMachine::Event event, int) {
        if (event == StateMachine::Leave && refuse)
            throw std::runtime_error("busy");
    };
    machine.setNextState(4);
    EXPECT_THROW(machine.process(StateMachine::Update), std::runtime_error);
    EXPECT_EQ(machine.getState(), -1);
    refuse = false;
    machine.log.clear();
    machine.process(StateMachine::Update);
    EXPECT_EQ(machine.log, Log({"U-1", "L-1", "E4"}));
}

}
