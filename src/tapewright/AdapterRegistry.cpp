#include "tapewright/AdapterRegistry.h"

#include "tapewright/RecorderAdapter.h"
#include "tapewright/TapewrightSettings.h"
#include "tapewright/plugins/QComboBoxElements/QComboBoxElementsPE.h"
#include "tapewright/plugins/QDialSetValue/QDialSetValueAD.h"
#include "tapewright/plugins/QHeaderElement/QHeaderElementPE.h"
#include "tapewright/plugins/QListBoxScroll/QListBoxScrollAD.h"
#include "tapewright/plugins/QListBoxSelect/QListBoxSelectAD.h"
#include "tapewright/plugins/QListBoxSelect/QListBoxSelectPE.h"
#include "tapewright/plugins/QListViewScroll/QListViewScrollAD.h"
#include "tapewright/plugins/QListViewSelect/QListViewSelectAD.h"
#include "tapewright/plugins/QListViewSelect/QListViewSelectPE.h"
#include "tapewright/plugins/QPopupSelect/QPopupSelectAD.h"
#include "tapewright/plugins/QScrollBarScroll/QScrollBarScrollAD.h"
#include "tapewright/plugins/QSliderSetValue/QSliderSetValueAD.h"
#include "tapewright/plugins/QSpinBoxSetValue/QSpinBoxSetValueAD.h"
#include "tapewright/plugins/QTabBarSelect/QTabBarSelectAD.h"
#include "tapewright/plugins/QTabBarSelect/QTabBarSelectPE.h"
#include "tapewright/plugins/QTableElement/QTableElementPE.h"
#include "tapewright/plugins/QTableScroll/QTableScrollAD.h"
#include "tapewright/plugins/ScreenCursorMove/ScreenCursorMoveAD.h"

AdapterRegistry::AdapterRegistry()
{
    // The built-in adapters in their fixed order (the property extensions join the process-wide
    // registry in adapterRegistry()).
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
    static AdapterRegistry* registry = [] {
        // The property extensions of the process: created once with its registry, never deleted.
        TapewrightSettings::instance().propertyExtensions()
            << new QComboBoxElementsPE << new QHeaderElementPE << new QListBoxSelectPE << new QListViewSelectPE
            << new QTabBarSelectPE << new QTableElementPE;
        return new AdapterRegistry;
    }();
    return *registry;
}
