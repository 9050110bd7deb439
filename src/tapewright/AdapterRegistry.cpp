#include "tapewright/AdapterRegistry.h"

#include "tapewright/RecorderAdapter.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/plugins/QComboBoxElements/QComboBoxElementsPE.h"
#include "tapewright/plugins/QHeaderElement/QHeaderElementPE.h"
#include "tapewright/plugins/QListBoxSelect/QListBoxSelectPE.h"
#include "tapewright/plugins/QListViewSelect/QListViewSelectPE.h"
#include "tapewright/plugins/QTabBarSelect/QTabBarSelectPE.h"
#include "tapewright/plugins/QTableElement/QTableElementPE.h"

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
    static AdapterRegistry* registry = [] {
        // The property extensions of the process: created once with its registry, never deleted.
        TapewrightSettings::instance().propertyExtensions()
            << new QComboBoxElementsPE << new QHeaderElementPE << new QListBoxSelectPE << new QListViewSelectPE
            << new QTabBarSelectPE << new QTableElementPE;
        return new AdapterRegistry;
    }();
    return *registry;
}
