#pragma once
// Every adapter of the process, owned here. Recorder adapters are asked in the order of
// recorderAdapters() (a lower priority than the current first one goes to the front, anything
// else to the end); all adapters are offered script elements in registration order.
#include <QList>
#include <memory>
#include <vector>

class PlayBackAdapter;
class RecorderAdapter;

class AdapterRegistry
{
public:
    // Registers the built-in adapters and property extensions.
    AdapterRegistry();
    ~AdapterRegistry();
    AdapterRegistry(const AdapterRegistry&) = delete;
    AdapterRegistry& operator=(const AdapterRegistry&) = delete;

    void registerAdapter(std::unique_ptr<PlayBackAdapter> adapter);
    const QList<PlayBackAdapter*>& playBackAdapters() const { return playBackAdapters_; }
    const QList<RecorderAdapter*>& recorderAdapters() const { return recorderAdapters_; }

private:
    std::vector<std::unique_ptr<PlayBackAdapter>> owned_;
    QList<PlayBackAdapter*> playBackAdapters_;
    QList<RecorderAdapter*> recorderAdapters_;
};

// The one registry of the process, created on first use.
AdapterRegistry& adapterRegistry();
