#include "platform/Mixer.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <gtest/gtest.h>

TEST(Mixer, BadArgumentsAndAMissingCardAreMixerErrors)
{
    EXPECT_FALSE(Platform::setMixerVolume(7, 0.5)) << "unknown component type";
    EXPECT_FALSE(Platform::setMixerMute(7, true));
    EXPECT_FALSE(Platform::setMixerVolume(Platform::mixerSpeakers, 1.5));
    EXPECT_FALSE(Platform::setMixerVolume(Platform::mixerSpeakers, -0.1));
    EXPECT_FALSE(Platform::setMixerVolume(Platform::mixerSpeakers, std::nan("")));

    // ALSA's default device follows ALSA_CARD: a card that does not exist must give the failure
    // value, not a crash or a message on standard error.
    const char* previous = std::getenv("ALSA_CARD");
    const std::string saved = previous ? previous : "";
    setenv("ALSA_CARD", "NoSuchMorvantaCard", 1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Platform::setMixerVolume(Platform::mixerSpeakers, 0.8));
    EXPECT_FALSE(Platform::setMixerMute(Platform::mixerWaveOut, false));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    if (previous)
        setenv("ALSA_CARD", saved.c_str(), 1);
    else
        unsetenv("ALSA_CARD");
}
