#pragma once
// Stand-in for the multimedia mixer of the original platform, on ALSA's default card.

namespace Platform {

// Mixer line component types the program sets at start.
constexpr unsigned mixerSpeakers = 4;     // the speakers ("Master")
constexpr unsigned mixerWaveOut = 0x1008; // the wave-out line ("PCM")

// Sets the line's volume to fraction (0..1) of its range; false on any mixer error, an unknown
// component type, a fraction outside 0..1, or when there is no sound card.
bool setMixerVolume(unsigned componentType, double fraction);
// Mutes or unmutes the line; false on any mixer error or when there is no sound card.
bool setMixerMute(unsigned componentType, bool mute);

}
