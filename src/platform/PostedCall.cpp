#include "platform/PostedCall.h"

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <memory>

namespace Platform {

void postToThreadOf(QObject* receiver, std::function<void()> call)
{
    struct Parcel
    {
        std::function<void()> call;
        std::atomic<bool> posted{false};
    };
    auto parcel = std::make_shared<Parcel>();
    parcel->call = std::move(call);
    parcel->posted.store(true, std::memory_order_release);
    QMetaObject::invokeMethod(
        receiver,
        [parcel = std::move(parcel)] {
            if (parcel->posted.load(std::memory_order_acquire))
                parcel->call();
        },
        Qt::QueuedConnection);
}

}
