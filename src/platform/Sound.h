#pragma once
// Stand-in for PlaySoundA and QSound::play: plays a WAV file once, asynchronously, in the GUI
// thread (with QSoundEffect), from any thread. Without a GUI event loop or an audio device the
// sound is reported to the debug output instead.
#include <functional>
#include <string>

namespace Platform {

void playSound(const std::string& wavFile);

// Tests watch the requests: while a listener is installed it receives every file and no
// sound is played. An empty function removes it.
void setSoundListener(std::function<void(const std::string&)> listener);

}
