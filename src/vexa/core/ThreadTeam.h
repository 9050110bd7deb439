#pragma once
// The threads of one parallel step beside the calling thread. A thread the system refuses to
// start (the process or its user at the thread limit, no memory for a stack) fails nothing: no
// further thread is asked for, the shares of those not started run in the calling thread after
// its own, and the debug output says so with the system's reason (once per step and process: a
// step run often at the limit would repeat it). The step ends as it would on all its threads,
// only later; no thread is left unjoined (that would end the process).
#include <exception>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace Vexa {

class ThreadTeam
{
public:
    // share(t) once for every t in [0, count): share(0) in the calling thread, the others each on
    // a thread of its own as far as the system starts them, the rest in the calling thread after
    // share(0), in order. Returns, once every share has ended, how many threads ran them (0 for
    // no shares). A share on a thread of its own must not throw; one in the calling thread may:
    // the started threads are joined and the exception goes on. `job` names the step.
    template<class Share>
    static unsigned run(std::string_view job, unsigned count, const Share& share)
    {
        if (count == 0)
            return 0;
        ThreadTeam team;
        team.threads_.reserve(count - 1);
        unsigned started = 1;
        while (started < count) {
            team.threads_.emplace_back();
            if (!start(job, team.threads_.back(), [&share, t = started] { share(t); })) {
                team.threads_.pop_back();
                break;
            }
            ++started;
        }
        share(0);
        for (unsigned t = started; t < count; ++t)
            share(t);
        return started;
    }

    // Starts body on `thread`, which holds none; false, with the reason in the debug output, when
    // the system refuses.
    template<class Body>
    static bool start(std::string_view job, std::thread& thread, Body&& body) noexcept
    {
        try {
            thread = std::thread(std::forward<Body>(body));
            return true;
        } catch (const std::exception& e) {
            refused(job, e.what());
        } catch (...) {
            refused(job, "unknown failure");
        }
        return false;
    }

private:
    ThreadTeam() = default;
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    static void refused(std::string_view job, const char* reason) noexcept;

    std::vector<std::thread> threads_;
};

}
