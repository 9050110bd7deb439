#include "platform/SpaceMouseLibrary.h"

#include "common/TestSupport.h"

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using Platform::SpaceMouseLibrary;

class SpaceMouseLibraryTest : public testing::Test
{
protected:
    void use(const std::string& file)
    {
        if (SpaceMouseLibrary::loadState() == SpaceMouseLibrary::Loaded)
            SiTerminate();
        SpaceMouseLibrary::setLibraryFile(file);
        SpwErrorVal = 0;
    }
    void TearDown() override { use("libspnav.so.0"); }
};

std::vector<long> axes(const SiSpwEvent& event)
{
    return {event.spwData.mData, event.spwData.mData + 6};
}

// Every forwarder's failure value and the error value it leaves (-99: unchanged), for a library
// that is missing (init 14) or lacks an entry point (init 1).
void expectFailureValues(int init)
{
    SiSpwEvent event;
    SiGetEventData data;
    SiOpenData open;
    SiVerInfo version;
    SiDevInfo info;
    SiDevPort port;
    const std::vector<std::tuple<const char*, std::function<std::intptr_t()>, std::intptr_t, int>> rows = {
        {"SiInitialize", [] { return SiInitialize(); }, init, -99},
        {"SiTerminate", [] { return SiTerminate(); }, init, -99},
        {"SiGetNumDevices", [] { return SiGetNumDevices(); }, -1, 8},
        {"SiGetDeviceID", [] { return SiGetDeviceID(nullptr); }, -1, 8},
        {"SiDeviceIndex", [] { return SiDeviceIndex(0); }, -1, 8},
        {"SiDispatch", [&] { return SiDispatch(nullptr, &data, &event, nullptr); }, 0, -99},
        {"SiOpenWinInit", [&] { return SiOpenWinInit(&open, 1); }, init, -99},
        {"SiOpen", [&] { return std::intptr_t(SiOpen("t", -1, nullptr, 1, &open)); }, 0, 0},
        {"SiClose", [] { return SiClose(nullptr); }, 1, -99},
        {"SiIsSpaceWareEvent", [&] { return SiIsSpaceWareEvent(&data, nullptr); }, 0, -99},
        {"SiGetEvent", [&] { return SiGetEvent(nullptr, 0, &data, &event); }, 2, -99},
        {"SiBeep", [] { return SiBeep(nullptr, "a"); }, 2, -99},
        {"SiRezero", [] { return SiRezero(nullptr); }, 2, -99},
        {"SiGrabDevice", [] { return SiGrabDevice(nullptr, 1); }, 1, -99},
        {"SiReleaseDevice", [] { return SiReleaseDevice(nullptr); }, 1, -99},
        {"SiButtonPressed", [&] { return SiButtonPressed(&event); }, -1, 1},
        {"SiButtonReleased", [&] { return SiButtonReleased(&event); }, -1, 1},
        {"SiSetUiMode", [] { return SiSetUiMode(nullptr, 0); }, 1, -99},
        {"SiGetDevicePort", [&] { return SiGetDevicePort(0, &port); }, 3, -99},
        {"SiGetDriverInfo", [&] { return SiGetDriverInfo(&version); }, 1, -99},
        {"SiGetLibraryInfo", [&] { return SiGetLibraryInfo(&version); }, init, -99},
        {"SiGetDeviceInfo", [&] { return SiGetDeviceInfo(nullptr, &info); }, 2, -99},
        {"SpwErrorString", [] { return std::intptr_t(SpwErrorString(0)); }, 0, -99},
    };
    for (const auto& [name, call, result, error] : rows)
    {
        SpwErrorVal = -99;
        EXPECT_EQ(call(), result) << name;
        EXPECT_EQ(SpwErrorVal, error) << name;
        EXPECT_EQ(SpaceMouseLibrary::loadState(), SpaceMouseLibrary::Unavailable) << name;
    }
    SiGetEventWinInit(&data, 1, 2, 3); // no result; must not touch the record
    EXPECT_EQ(data.message, 0u);
    EXPECT_EQ(SpaceMouseLibrary::isUnavailable(), 1);
}

TEST_F(SpaceMouseLibraryTest, MissingLibraryOrEntryPointGivesTheFailureValues)
{
    use("/nonexistent/libspnav-missing.so");
    expectFailureValues(14);
    use(FAKE_SPNAV_INCOMPLETE);
    expectFailureValues(1);
}

TEST_F(SpaceMouseLibraryTest, FirstCallLoadsAndTerminateUnloads)
{
    use(FAKE_SPNAV_COMPLETE);
    for (int round = 0; round < 2; ++round)
    {
        // The first SiGetEvent loads the library: the fake counts its polls from the load on.
        SiSpwEvent event;
        SiGetEventData data;
        ASSERT_EQ(SiGetEvent(nullptr, 0, &data, &event), SI_IS_EVENT) << round;
        EXPECT_EQ(SpaceMouseLibrary::loadState(), SpaceMouseLibrary::Loaded);
        EXPECT_EQ(event.type, SI_MOTION_EVENT);
        EXPECT_EQ(event.spwData.period, 1u) << "a fresh load in round " << round;
        EXPECT_EQ(axes(event), (std::vector<long>{10, -20, 30, -1, 2, -3}));
        ASSERT_EQ(SiGetEvent(nullptr, 0, &data, &event), SI_IS_EVENT);
        EXPECT_EQ(SiButtonPressed(&event), 5) << "library button 4 is button 5";
        EXPECT_EQ(SiButtonReleased(&event), 0);
        EXPECT_EQ(SpaceMouseLibrary::isUnavailable(), 0);
        EXPECT_EQ(SiTerminate(), 1);
        EXPECT_EQ(SpaceMouseLibrary::loadState(), SpaceMouseLibrary::NotLoaded);
    }
}

TEST_F(SpaceMouseLibraryTest, RealLibraryDeliversDaemonEventsAndFailsWithoutDaemon)
{
    use("libspnav.so.0");
    if (SpaceMouseLibrary::isUnavailable())
        GTEST_SKIP() << "libspnav0 is not installed";
    TestSupport::ScratchDir dir;
    const std::string socket = dir.file("spnav.sock");
    setenv("SPNAV_SOCKET", socket.c_str(), 1);
    SiOpenData open;
    EXPECT_EQ(SiOpen("Morvanta", -1, nullptr, 1, &open), nullptr) << "no daemon listens";

    // A spacenavd stand-in speaking the original protocol (eight 32-bit integers an event). The
    // connection waits in the backlog until the device is open; records sent before that would
    // be taken for the answer to libspnav's protocol query.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    const SiHdl device = SiOpen("Morvanta", -1, nullptr, 1, &open);
    ASSERT_NE(device, nullptr);
    const int client = ::accept(listener, nullptr, nullptr);
    const std::int32_t records[2][8] = {{1, 2}, {0, 100, -200, 300, -4, 5, -6, 16}}; // button 2 pressed, motion
    ASSERT_EQ(::write(client, records, sizeof(records)), ssize_t(sizeof(records)));

    std::vector<SiSpwEvent> events;
    ASSERT_TRUE(TestSupport::eventually([&] {
        SiSpwEvent event;
        SiGetEventData data;
        if (SiGetEvent(device, 0, &data, &event) == SI_IS_EVENT)
            events.push_back(event);
        return events.size() == 2;
    }));
    EXPECT_EQ(events[0].type, SI_BUTTON_EVENT);
    EXPECT_EQ(SiButtonPressed(&events[0]), 3);
    EXPECT_EQ(events[1].type, SI_MOTION_EVENT);
    EXPECT_EQ(axes(events[1]), (std::vector<long>{100, -200, 300, -4, 5, -6}));
    EXPECT_EQ(events[1].spwData.period, 16u);
    EXPECT_EQ(SiClose(device), SPW_NO_ERROR);
    ::close(client);
    ::close(listener);
    unsetenv("SPNAV_SOCKET");
}

}
