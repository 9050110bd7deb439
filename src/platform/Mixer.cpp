#include "platform/Mixer.h"

#include <alsa/asoundlib.h>
#include <cmath>
#include <memory>

namespace Platform {

namespace {

// ALSA reports a missing card on standard error by itself; the caller gets false instead.
void quietAlsaErrors(const char*, int, const char*, int, const char*, ...) {}

const char* elementName(unsigned componentType)
{
    switch (componentType) {
    case mixerSpeakers:
        return "Master";
    case mixerWaveOut:
        return "PCM";
    default:
        return nullptr;
    }
}

template<class Action>
bool withElement(unsigned componentType, Action action)
{
    const char* name = elementName(componentType);
    if (!name)
        return false;
    snd_lib_error_set_handler(quietAlsaErrors);
    snd_mixer_t* raw = nullptr;
    if (snd_mixer_open(&raw, 0) < 0 || !raw)
        return false;
    const std::unique_ptr<snd_mixer_t, int (*)(snd_mixer_t*)> mixer(raw, snd_mixer_close);
    if (snd_mixer_attach(raw, "default") < 0 || snd_mixer_selem_register(raw, nullptr, nullptr) < 0
        || snd_mixer_load(raw) < 0)
        return false;
    snd_mixer_selem_id_t* id = nullptr;
    snd_mixer_selem_id_alloca(&id);
    snd_mixer_selem_id_set_index(id, 0);
    snd_mixer_selem_id_set_name(id, name);
    snd_mixer_elem_t* element = snd_mixer_find_selem(raw, id);
    return element && action(element);
}

}

bool setMixerVolume(unsigned componentType, double fraction)
{
    if (!(fraction >= 0.0 && fraction <= 1.0))
        return false;
    return withElement(componentType, [fraction](snd_mixer_elem_t* element) {
        long low = 0, high = 0;
        if (!snd_mixer_selem_has_playback_volume(element)
            || snd_mixer_selem_get_playback_volume_range(element, &low, &high) < 0)
            return false;
        const long value = low + std::lround(fraction * double(high - low));
        return snd_mixer_selem_set_playback_volume_all(element, value) == 0;
    });
}

bool setMixerMute(unsigned componentType, bool mute)
{
    return withElement(componentType, [mute](snd_mixer_elem_t* element) {
        return snd_mixer_selem_has_playback_switch(element)
            && snd_mixer_selem_set_playback_switch_all(element, mute ? 0 : 1) == 0;
    });
}

}
