#include "platform/Sound.h"

#include "platform/DebugOutput.h"
#include "platform/PostedCall.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#include <QUrl>
#include <map>
#include <memory>
#include <mutex>

namespace Platform {

namespace {

std::mutex& listenerMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& listener()
{
    static std::function<void(const std::string&)> function;
    return function;
}

// GUI thread only: one effect per file, kept so that a sound is not cut off by its owner.
void playInGuiThread(const std::string& wavFile)
{
    static std::map<std::string, std::unique_ptr<QSoundEffect>> effects;
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        outputDebugString("playSound: no audio device for " + wavFile + "\n");
        return;
    }
    auto& effect = effects[wavFile];
    if (!effect) {
        effect = std::make_unique<QSoundEffect>();
        effect->setSource(QUrl::fromLocalFile(QString::fromStdString(wavFile)));
    }
    effect->play();
}

}

void playSound(const std::string& wavFile)
{
    {
        std::lock_guard lock(listenerMutex());
        if (listener()) {
            listener()(wavFile);
            return;
        }
    }
    if (!QFileInfo::exists(QString::fromStdString(wavFile))) {
        outputDebugString("playSound: no file " + wavFile + "\n");
        return;
    }
    auto* app = QCoreApplication::instance();
    if (!app) {
        outputDebugString("playSound: no event loop for " + wavFile + "\n");
        return;
    }
    postToThreadOf(app, [wavFile] { playInGuiThread(wavFile); });
}

void setSoundListener(std::function<void(const std::string&)> l)
{
    std::lock_guard lock(listenerMutex());
    listener() = std::move(l);
}

}
