#pragma once
// The 3D mouse ("SpaceWare" interface) reached through the Linux 3D-mouse library libspnav, which is
// loaded at run time so that the program starts and runs on machines without it. The Si*
// functions below forward to it; each gives a fixed failure value when the library or one of its
// entry points is missing. The first forwarded call of any kind loads the library and initialises
// it; SiTerminate unloads it, and a later call loads it again.
//
// Events come from the spacenavd daemon (libspnav finds its socket, or the one named by the
// environment variable SPNAV_SOCKET). Window messages mean nothing here: SiGetEvent polls the
// daemon's connection directly, whatever the event-data record holds.
#include <cstdint>
#include <mutex>
#include <string>

using SiHdl = void*;
using SpwRetVal = int;

// Return values, as the SpaceWare interface numbers them.
enum : int
{
    SPW_NO_ERROR = 0,
    SPW_ERROR = 1,
    SI_BAD_HANDLE = 2,
    SI_BAD_VALUE = 4,
    SI_IS_EVENT = 5,
    SI_NOT_EVENT = 7,
    SI_NO_DRIVER = 8,
    SI_UNSUPPORTED = 10,
    SI_BAD_PROTOCOL = 14
};

// Event types of SiSpwEvent.
enum : int
{
    SI_BUTTON_EVENT = 1,
    SI_MOTION_EVENT = 2
};

struct SiOpenData
{
    std::uintptr_t window = 0;
};

struct SiGetEventData
{
    unsigned message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

struct SiSpwEvent
{
    int type = 0;
    struct
    {
        // Translation x, y, z then rotation x, y, z.
        long mData[6] = {0, 0, 0, 0, 0, 0};
        unsigned long period = 0;
        // Buttons as bits, bit n for button n (numbered from 1).
        unsigned long current = 0;
        unsigned long last = 0;
        unsigned long pressed = 0;
        unsigned long released = 0;
    } spwData;
};

struct SiVerInfo
{
    int major = 0;
    int minor = 0;
    int build = 0;
    char version[128] = {};
    char date[128] = {};
};

struct SiDevInfo
{
    int type = 0;
    int numButtons = 0;
    int numDegrees = 0;
    int canBeep = 0;
    char firmware[128] = {};
};

struct SiDevPort
{
    char port[128] = {};
};

// The library's error value after the last forwarded call.
extern int SpwErrorVal;

SpwRetVal SiInitialize();
SpwRetVal SiTerminate();
int SiGetNumDevices();
int SiGetDeviceID(SiHdl handle);
int SiDeviceIndex(int deviceId);
int SiDispatch(SiHdl handle, SiGetEventData* data, SiSpwEvent* event, const void* handlers);
SpwRetVal SiOpenWinInit(SiOpenData* data, std::uintptr_t window);
SiHdl SiOpen(const char* application, int device, const void* mask, int mode, SiOpenData* data);
SpwRetVal SiClose(SiHdl handle);
int SiIsSpaceWareEvent(SiGetEventData* data, SiHdl* handle);
void SiGetEventWinInit(SiGetEventData* data, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
SpwRetVal SiGetEvent(SiHdl handle, int flags, SiGetEventData* data, SiSpwEvent* event);
SpwRetVal SiBeep(SiHdl handle, const char* string);
SpwRetVal SiRezero(SiHdl handle);
SpwRetVal SiGrabDevice(SiHdl handle, int exclusive);
SpwRetVal SiReleaseDevice(SiHdl handle);
int SiButtonPressed(SiSpwEvent* event);
int SiButtonReleased(SiSpwEvent* event);
SpwRetVal SiSetUiMode(SiHdl handle, unsigned mode);
SpwRetVal SiGetDevicePort(int deviceId, SiDevPort* port);
SpwRetVal SiGetDriverInfo(SiVerInfo* info);
SpwRetVal SiGetLibraryInfo(SiVerInfo* info);
SpwRetVal SiGetDeviceInfo(SiHdl handle, SiDevInfo* info);
const char* SpwErrorString(SpwRetVal error);

namespace Platform {

// The loader behind the forwarders (one per process).
class SpaceMouseLibrary
{
public:
    enum LoadState { NotLoaded = 0, Unavailable = 1, Loaded = 2 };

    // The file handed to dlopen; "libspnav.so.0" unless set. Takes effect at the next load.
    static void setLibraryFile(const std::string& file);
    static LoadState loadState();
    // 0 when loaded with every entry point; otherwise tries SiInitialize and reports 1 when the
    // library is still missing or incomplete, else 0.
    static int isUnavailable();
};

}
