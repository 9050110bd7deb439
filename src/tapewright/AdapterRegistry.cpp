#include "tapewright/AdapterRegistry.h"

#include "tapewright/RecorderAdapter.h"

AdapterRegistry::AdapterRegistry()
{
    // The built-in property extensions and adapters register here, in their fixed order, as
    // each of them is added to the component.
}

AdapterRegistry::~AdapterRegistry() = default;

void AdapterRegistry::registerAdapter(std::unique_ptr<PlayBackAdapter> adapter)
{
    PlayBackAdapter* raw = adapter.get();
    owned_.push_back(std::move(adapter));
    playBackAdapters_.append(raw);
    if (!raw->isRecorderAdapter())
        return;
    auto* recorder = static_cast<RecorderAdapter*>(raw);
    // Only the current first is compared: the list is not kept sorted.
    if (!recorderAdapters_.isEmpty() && recorder->priority() < recorderAdapters_.first()->priority())
        recorderAdapters_.prepend(recorder);
    else
        recorderAdapters_.append(recorder);
}

AdapterRegistry& adapterRegistry()
{
    static AdapterRegistry* registry = new AdapterRegistry;
    return *registry;
}
