#include "vexa/core/ProcessorAffinity.h"

#include <algorithm>
#include <sched.h>
#include <thread>
#include <vector>

namespace Vexa {

unsigned ProcessorAffinity::usableCores()
{
    // Masks beyond the default size (machines with more than 1024 CPUs) need a larger set.
    for (int cpus = CPU_SETSIZE; cpus <= 1 << 16; cpus *= 4) {
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        std::vector<unsigned char> storage(bytes);
        auto* set = reinterpret_cast<cpu_set_t*>(storage.data());
        if (sched_getaffinity(0, bytes, set) == 0)
            return std::max(1, CPU_COUNT_S(bytes, set));
        if (errno != EINVAL)
            break;
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

}
