#pragma once
// How many cores this process may run on. A process started with a CPU affinity (taskset, a
// container's cpuset) gets fewer cores than the machine has; thread pools sized from the
// machine would then put several busy threads on each core and lose to fewer threads.
namespace Vexa {

class ProcessorAffinity
{
public:
    // The cores in the calling thread's affinity mask (at least 1); the machine's count when
    // the mask cannot be read.
    static unsigned usableCores();
};

}
