#include "tapewright/AdapterRegistry.h"

#include "tapewright/RecorderAdapter.h"
#include "tapewright/plugins/QDialSetValue/QDialSetValueAD.h"
#include "tapewright/plugins/QListBoxScroll/QListBoxScrollAD.h"
#include "tapewright/plugins/QListBoxSelect/QListBoxSelectAD.h"
#include "tapewright/plugins/QListViewScroll/QListViewScrollAD.h"
#include "tapewright/plugins/QListViewSelect/QListViewSelectAD.h"
#include "tapewright/plugins/QPopupSelect/QPopupSelectAD.h"
#include "tapewright/plugins/QScrollBarScroll/QScrollBarScrollAD.h"
#include "tapewright/plugins/QSliderSetValue/QSliderSetValueAD.h"
#include "tapewright/plugins/QSpinBoxSetValue/QSpinBoxSetValueAD.h"
#include "tapewright/plugins/QTabBarSelect/QTabBarSelectAD.h"
#include "tapewright/plugins/QTableScroll/QTableScrollAD.h"
#include "tapewright/plugins/ScreenCursorMove/ScreenCursorMoveAD.h"

AdapterRegistry::AdapterRegistry()
{
    // The built-in property extensions register here too, ahead of the adapters.
    registerAdapter(std::make_unique<QDialSetValueAD>());
    registerAdapter(std::make_unique<QListBoxScrollAD>());
    registerAdapter(std::make_unique<QListBoxSelectAD>());
    registerAdapter(std::make_unique<QListViewScrollAD>());
    registerAdapter(std::make_unique<QListViewSelectAD>());
    registerAdapter(std::make_unique<QPopupSelectAD>());
    registerAdapter(std::make_unique<QScrollBarScrollAD>());
    registerAdapter(std::make_unique<QSliderSetValueAD>());
    registerAdapter(std::make_unique<QSpinBoxSetValueAD>());
    registerAdapter(std::make_unique<QTabBarSelectAD>());
    registerAdapter(std::make_unique<QTableScrollAD>());
    registerAdapter(std::make_unique<ScreenCursorMoveAD>());
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
