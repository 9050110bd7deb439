#include "platform/PostedCall.h"

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <memory>

namespace Platform {

namespace {

class Parcel
{
public:
    explicit Parcel(std::function<void()> call) : call_(std::move(call)) { posted_.store(true, std::memory_order_release); }
    // A call dropped unrun (its receiver went first) is destroyed after the same acquire.
    ~Parcel() { taken(); }
    void run()
    {
        taken();
        call_();
    }

private:
    void taken() const { (void)posted_.load(std::memory_order_acquire); }

    std::function<void()> call_;
    std::atomic<bool> posted_{false};
};

}

void postToThreadOf(QObject* receiver, std::function<void()> call)
{
    // Owned alone, so that nothing of the parcel (not even a shared count) is touched before the
    // acquire.
    QMetaObject::invokeMethod(
        receiver, [parcel = std::make_unique<Parcel>(std::move(call))] { parcel->run(); }, Qt::QueuedConnection);
}

}
