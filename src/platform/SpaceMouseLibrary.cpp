#include "platform/SpaceMouseLibrary.h"

#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <spnav.h>

int SpwErrorVal = 0;

namespace {

// The entry points of libspnav the forwarders need, looked up in this order.
struct EntryPoints
{
    int (*open)() = nullptr;
    int (*close)() = nullptr;
    int (*fd)() = nullptr;
    int (*pollEvent)(spnav_event*) = nullptr;
    int (*removeEvents)(int) = nullptr;
};

// Process-wide loader state. The forwarders are called from the GUI thread only.
struct Loader
{
    std::string file = "libspnav.so.0";
    Platform::SpaceMouseLibrary::LoadState state = Platform::SpaceMouseLibrary::NotLoaded;
    void* handle = nullptr;
    EntryPoints entry;
    bool deviceOpen = false;
    unsigned long buttons = 0; // buttons held, as SiSpwEvent bits
};

Loader& loader()
{
    static Loader instance;
    return instance;
}

// The handle SiOpen gives out; its address is all that matters.
int deviceRecord = 0;

template<class F>
bool lookUp(void* handle, const char* name, F& target)
{
    target = reinterpret_cast<F>(dlsym(handle, name));
    return target != nullptr;
}

// 1 when the file cannot be loaded, 0 with every entry point, 2 with one missing.
int load()
{
    Loader& l = loader();
    if (l.handle) // an incomplete library from an earlier try
        dlclose(l.handle);
    l.entry = EntryPoints();
    l.deviceOpen = false;
    l.buttons = 0;
    l.handle = dlopen(l.file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!l.handle)
    {
        l.state = Platform::SpaceMouseLibrary::Unavailable;
        return 1;
    }
    bool all = lookUp(l.handle, "spnav_open", l.entry.open);
    all = lookUp(l.handle, "spnav_close", l.entry.close) && all;
    all = lookUp(l.handle, "spnav_fd", l.entry.fd) && all;
    all = lookUp(l.handle, "spnav_poll_event", l.entry.pollEvent) && all;
    all = lookUp(l.handle, "spnav_remove_events", l.entry.removeEvents) && all;
    l.state = all ? Platform::SpaceMouseLibrary::Loaded : Platform::SpaceMouseLibrary::Unavailable;
    return all ? 0 : 2;
}

// Loads the library when needed; nothing else to initialise over libspnav.
SpwRetVal initialize()
{
    Loader& l = loader();
    if (l.state != Platform::SpaceMouseLibrary::Loaded)
    {
        if (load() == 1)
            return SI_BAD_PROTOCOL;
        if (l.state == Platform::SpaceMouseLibrary::Unavailable)
            return SPW_ERROR;
    }
    SpwErrorVal = SPW_NO_ERROR;
    return SPW_NO_ERROR;
}

// Whether a forwarder may call into the library (the first call loads it).
bool available()
{
    if (loader().state != Platform::SpaceMouseLibrary::Loaded)
        initialize();
    return loader().state == Platform::SpaceMouseLibrary::Loaded;
}

// Sets the error value of a call the library completed and returns it.
SpwRetVal done(SpwRetVal result)
{
    SpwErrorVal = result;
    return result;
}

bool validHandle(SiHdl handle)
{
    return handle == &deviceRecord && loader().deviceOpen;
}

void fillVersion(SiVerInfo* info, const char* text)
{
    if (!info)
        return;
    *info = SiVerInfo();
    info->major = 1;
    std::strncpy(info->version, text, sizeof(info->version) - 1);
}

// Number (from 1) of the lowest bit set; 0 for none.
int lowestButton(unsigned long bits)
{
    for (int n = 1; n < int(8 * sizeof(bits)); ++n)
        if (bits & (1ul << n))
            return n;
    return 0;
}

}

SpwRetVal SiInitialize()
{
    return initialize();
}

SpwRetVal SiTerminate()
{
    Loader& l = loader();
    if (l.state != Platform::SpaceMouseLibrary::Loaded)
    {
        const SpwRetVal result = initialize();
        if (l.state != Platform::SpaceMouseLibrary::Loaded)
            return result;
    }
    if (l.deviceOpen)
        l.entry.close();
    SpwErrorVal = SPW_NO_ERROR;
    const int freed = dlclose(l.handle) == 0 ? 1 : 0;
    l.handle = nullptr;
    l.entry = EntryPoints();
    l.deviceOpen = false;
    l.state = Platform::SpaceMouseLibrary::NotLoaded;
    return freed;
}

int SiGetNumDevices()
{
    if (!available())
        return SpwErrorVal = SI_NO_DRIVER, -1;
    SpwErrorVal = SPW_NO_ERROR;
    return loader().deviceOpen ? 1 : 0;
}

int SiGetDeviceID(SiHdl handle)
{
    if (!available())
        return SpwErrorVal = SI_NO_DRIVER, -1;
    if (!validHandle(handle))
        return done(SI_BAD_HANDLE), -1;
    SpwErrorVal = SPW_NO_ERROR;
    return 0;
}

int SiDeviceIndex(int deviceId)
{
    if (!available())
        return SpwErrorVal = SI_NO_DRIVER, -1;
    SpwErrorVal = deviceId == 0 && loader().deviceOpen ? SPW_NO_ERROR : SI_BAD_VALUE;
    return SpwErrorVal == SPW_NO_ERROR ? 0 : -1;
}

int SiDispatch(SiHdl handle, SiGetEventData* data, SiSpwEvent* event, const void* handlers)
{
    if (!available())
        return 0;
    done(SI_UNSUPPORTED);
    return 0;
}

SpwRetVal SiOpenWinInit(SiOpenData* data, std::uintptr_t window)
{
    if (!available())
        return initialize();
    if (data)
        data->window = window;
    return done(SPW_NO_ERROR);
}

SiHdl SiOpen(const char* application, int device, const void* mask, int mode, SiOpenData* data)
{
    if (!available())
        return SpwErrorVal = 0, nullptr;
    Loader& l = loader();
    if (!l.deviceOpen)
        l.deviceOpen = l.entry.open() == 0;
    if (!l.deviceOpen)
        return done(SI_NO_DRIVER), nullptr;
    l.buttons = 0;
    done(SPW_NO_ERROR);
    return &deviceRecord;
}

SpwRetVal SiClose(SiHdl handle)
{
    if (!available())
        return SPW_ERROR;
    if (!validHandle(handle))
        return done(SI_BAD_HANDLE);
    loader().entry.close();
    loader().deviceOpen = false;
    return done(SPW_NO_ERROR);
}

int SiIsSpaceWareEvent(SiGetEventData* data, SiHdl* handle)
{
    if (!available())
        return 0;
    const int fd = loader().entry.fd();
    pollfd p{fd, POLLIN, 0};
    const bool pending = fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    done(SPW_NO_ERROR);
    return pending ? 1 : 0;
}

void SiGetEventWinInit(SiGetEventData* data, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (!available())
        return;
    if (data)
        *data = SiGetEventData{message, wParam, lParam};
    done(SPW_NO_ERROR);
}

SpwRetVal SiGetEvent(SiHdl handle, int flags, SiGetEventData* data, SiSpwEvent* event)
{
    if (!available())
        return SI_BAD_HANDLE;
    Loader& l = loader();
    spnav_event in;
    std::memset(&in, 0, sizeof(in));
    const int type = l.entry.pollEvent(&in);
    if (!event || (type != SPNAV_EVENT_MOTION && type != SPNAV_EVENT_BUTTON))
        return done(SPW_NO_ERROR), SI_NOT_EVENT;
    *event = SiSpwEvent();
    if (type == SPNAV_EVENT_MOTION)
    {
        event->type = SI_MOTION_EVENT;
        const int axes[6] = {in.motion.x, in.motion.y, in.motion.z, in.motion.rx, in.motion.ry, in.motion.rz};
        for (int i = 0; i < 6; ++i)
            event->spwData.mData[i] = axes[i];
        event->spwData.period = in.motion.period;
    }
    else
    {
        event->type = SI_BUTTON_EVENT;
        const int number = in.button.bnum + 1;
        const unsigned long bit = number > 0 && number < int(8 * sizeof(unsigned long)) ? 1ul << number : 0;
        event->spwData.last = l.buttons;
        if (in.button.press)
            l.buttons |= bit;
        else
            l.buttons &= ~bit;
        event->spwData.current = l.buttons;
        event->spwData.pressed = l.buttons & ~event->spwData.last;
        event->spwData.released = event->spwData.last & ~l.buttons;
    }
    done(SPW_NO_ERROR);
    return SI_IS_EVENT;
}

SpwRetVal SiBeep(SiHdl handle, const char* string)
{
    if (!available())
        return SI_BAD_HANDLE;
    return done(SI_UNSUPPORTED);
}

SpwRetVal SiRezero(SiHdl handle)
{
    if (!available())
        return SI_BAD_HANDLE;
    return done(SI_UNSUPPORTED);
}

SpwRetVal SiGrabDevice(SiHdl handle, int exclusive)
{
    if (!available())
        return SPW_ERROR;
    return done(validHandle(handle) ? SPW_NO_ERROR : SI_BAD_HANDLE);
}

SpwRetVal SiReleaseDevice(SiHdl handle)
{
    if (!available())
        return SPW_ERROR;
    return done(validHandle(handle) ? SPW_NO_ERROR : SI_BAD_HANDLE);
}

int SiButtonPressed(SiSpwEvent* event)
{
    if (!available())
        return SpwErrorVal = SPW_ERROR, -1;
    done(SPW_NO_ERROR);
    return event && event->type == SI_BUTTON_EVENT ? lowestButton(event->spwData.pressed) : 0;
}

int SiButtonReleased(SiSpwEvent* event)
{
    if (!available())
        return SpwErrorVal = SPW_ERROR, -1;
    done(SPW_NO_ERROR);
    return event && event->type == SI_BUTTON_EVENT ? lowestButton(event->spwData.released) : 0;
}

SpwRetVal SiSetUiMode(SiHdl handle, unsigned mode)
{
    if (!available())
        return SPW_ERROR;
    // The daemon has no controls of its own to hide.
    return done(SPW_NO_ERROR);
}

SpwRetVal SiGetDevicePort(int deviceId, SiDevPort* port)
{
    if (!available())
        return 3;
    return done(SI_UNSUPPORTED);
}

SpwRetVal SiGetDriverInfo(SiVerInfo* info)
{
    if (!available())
        return SPW_ERROR;
    fillVersion(info, "spacenavd");
    return done(SPW_NO_ERROR);
}

SpwRetVal SiGetLibraryInfo(SiVerInfo* info)
{
    if (!available())
        return initialize();
    fillVersion(info, "libspnav");
    return done(SPW_NO_ERROR);
}

SpwRetVal SiGetDeviceInfo(SiHdl handle, SiDevInfo* info)
{
    if (!available())
        return SI_BAD_HANDLE;
    if (!validHandle(handle))
        return done(SI_BAD_HANDLE);
    if (info)
    {
        *info = SiDevInfo();
        info->numDegrees = 6;
    }
    return done(SPW_NO_ERROR);
}

const char* SpwErrorString(SpwRetVal error)
{
    if (!available())
        return nullptr;
    switch (error)
    {
    case SPW_NO_ERROR: return "no error";
    case SPW_ERROR: return "error";
    case SI_BAD_HANDLE: return "bad handle";
    case SI_BAD_VALUE: return "bad value";
    case SI_IS_EVENT: return "is event";
    case SI_NOT_EVENT: return "not event";
    case SI_NO_DRIVER: return "no driver";
    case SI_UNSUPPORTED: return "unsupported";
    case SI_BAD_PROTOCOL: return "library missing";
    default: return "unknown error";
    }
}

namespace Platform {

void SpaceMouseLibrary::setLibraryFile(const std::string& file)
{
    loader().file = file;
}

SpaceMouseLibrary::LoadState SpaceMouseLibrary::loadState()
{
    return loader().state;
}

int SpaceMouseLibrary::isUnavailable()
{
    if (loader().state == Loaded)
        return 0;
    initialize();
    return loader().state == Unavailable ? 1 : 0;
}

}
