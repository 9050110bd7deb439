#pragma once
// Where the planning of a treatment is now, found as a reload of it finds it (LoadedPlanning):
// where it was loaded, else where it was moved, else the planning that replaced it when another
// instance overwrote it (that save took the old folder over, its "Log" folder with it); else its
// folder while that still stands. While a place is held, overwrites of the planning wait for
// their turn (OriginLock): none publishes or takes the folder over between the look and what is
// put into the folder found. The look may wait for another instance: never on a thread that
// must not wait (the treatment log looks on a worker of its own).
#include <chrono>
#include <functional>
#include <memory>
#include <string>

class OriginLock;
class Settings;

class PlanningPlace
{
public:
    // How long a live overwrite of the planning is waited for; then the look goes on without
    // its turn.
    static constexpr std::chrono::seconds patience{10};
    // Another patience for every later look (tests: a held turn stays waited for whatever the
    // load); zero restores `patience`.
    static void setPatience(std::chrono::milliseconds patience);

    // No settings, or no planning loaded: no place. `waiting` hears what the look waits for
    // ("the save of this planning by the computer X").
    // `most`: the longest this look may wait, whatever the patience.
    explicit PlanningPlace(const Settings* settings, const std::function<void(const std::string&)>& waiting = {},
                           std::chrono::milliseconds most = std::chrono::milliseconds::max());
    ~PlanningPlace();
    PlanningPlace(const PlanningPlace&) = delete;
    PlanningPlace& operator=(const PlanningPlace&) = delete;

    // The folder that holds the planning now; empty where none does.
    const std::string& folder() const { return folder_; }

private:
    std::unique_ptr<OriginLock> turn_;
    std::string folder_;
};
