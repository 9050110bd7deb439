// The DICOM dictionary's first use (its full construction) and VR lookups.
#include "dicom/dictionary/DicomDictionary.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

class FreshDictionary : public Vexa::DicomDictionary
{
public:
    FreshDictionary() = default;
};

void constructDictionary(benchmark::State& state)
{
    for (auto _ : state)
    {
        FreshDictionary dictionary;
        benchmark::DoNotOptimize(dictionary.tags().size());
    }
}
BENCHMARK(constructDictionary)->Unit(benchmark::kMicrosecond);

// Lookups of every plain key, plus tags found through the wildcard list (overlay and curve groups).
void getVR(benchmark::State& state)
{
    const auto& dictionary = Vexa::DicomDictionary::getInstance();
    std::vector<unsigned int> tags;
    for (const auto& [key, entry] : dictionary.tags())
        tags.push_back(key);
    const bool wildcards = state.range(0) != 0;
    if (wildcards)
    {
        tags.clear();
        for (const auto& entry : dictionary.wildcards())
            tags.push_back(entry->tagWord() | (entry->mask() == 0xFFFFFF00u ? 0x02u : 0x00050000u));
    }
    std::size_t i = 0;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(dictionary.getVR(tags[i]));
        if (++i == tags.size())
            i = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(getVR)->Arg(0)->Arg(1)->ArgName("wildcard");

}
