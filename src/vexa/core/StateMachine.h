#pragma once
// Numbered states with enter, update and leave events. A derived class handles the events in
// `updateStates`; a change requested with `setNextState` happens at the next `process`.
// Not synchronised: a machine used from several threads is guarded by its owner.

class StateMachine
{
public:
    enum Event
    {
        Enter = 0,
        Update = 1,
        Leave = 2
    };

    // Changes carried out by one `process` at most; a change still pending after that stays
    // pending for the next `process` (handlers that keep requesting changes cannot hang it).
    static constexpr int maxChangeRounds = 10;

    // State -1, next state -1, no change pending.
    StateMachine() = default;
    virtual ~StateMachine() = default;

    // The current state, -1 before the first change.
    int getState() const { return state_; }
    // Marks a change to `state` as pending, even to the current state (which is then left and
    // entered again). A later request before the change replaces it.
    void setNextState(int state);
    // Calls `updateStates` with the event and the current state; then, while a change is
    // pending and for at most `maxChangeRounds` rounds: leave the current state, make the
    // requested one current, enter it. A handler may request the next change from any of
    // these calls. When a leave handler throws, the state stays and the change stays pending.
    void process(Event event);

protected:
    // Handles one event in the given state; true when handled.
    virtual bool updateStates(Event event, int state) = 0;

private:
    int state_ = -1;
    int nextState_ = -1;
    bool changePending_ = false;
};
