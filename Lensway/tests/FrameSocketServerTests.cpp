#include "Lensway/FrameSocketServer.h"

#include "Lensway/LenswayContract.h"
#include "base/testing/Eventually.h"
#include "platform/cameradevices/lensway/LenswayCameraDevices.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include <unistd.h>

using namespace vl;
using namespace vl::lensway;
using namespace std::chrono_literals;

namespace {

struct Writes {
    std::mutex mutex;
    std::vector<std::optional<Bytes>> values;
    std::size_t size() {
        std::lock_guard lock(mutex);
        return values.size();
    }
};

TEST(FrameSocketServer, TheServersDeviceServiceFindsTheCameraAndWritesFramesOnlyForThisUser) {
    const std::filesystem::path folder =
        ::testing::TempDir() + "/lensway-sock-" + std::to_string(::getpid());
    const auto path = folder / "camera.sock";
    Writes writes;
    std::string error;
    auto server = FrameSocketServer::start(
        path,
        [&](std::optional<ByteView> value) {
            std::lock_guard lock(writes.mutex);
            writes.values.push_back(
                value ? std::optional<Bytes>(Bytes(value->begin(), value->end())) : std::nullopt);
        },
        &error);
    ASSERT_TRUE(server) << error;
    EXPECT_EQ(std::filesystem::status(folder).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    // A second daemon does not take over the socket of a running one.
    EXPECT_FALSE(FrameSocketServer::start(
        path, [](auto) {}, &error));

    LenswayCameraDevices devices(path);
    EXPECT_FALSE(devices.deviceWithUID("another camera"));
    const auto device = devices.deviceWithUID(deviceUID);
    ASSERT_EQ(device, FrameSocketServer::deviceID);
    const Bytes frame(3 * 1024 * 1024, 0x42);  // several socket buffers' worth
    EXPECT_EQ(devices.setEncodedFrame(*device, frame), CameraStatus::noErr);
    EXPECT_EQ(devices.setEncodedFrame(*device, Bytes{1, 2, 3}), CameraStatus::noErr);
    ASSERT_TRUE(vl::testing::eventually([&] { return writes.size() == 2; }, 5s));
    EXPECT_EQ(writes.values[0], frame);
    EXPECT_EQ(writes.values[1], (Bytes{1, 2, 3}));

    // Another user's process is turned away before it can write anything.
    server->setAllowedUidForTesting(::geteuid() + 1);
    LenswayCameraDevices stranger(path);
    EXPECT_FALSE(stranger.deviceWithUID(deviceUID));
    EXPECT_TRUE(vl::testing::eventually([&] { return server->refusedPeers() >= 1; }, 5s));
    server.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
    std::filesystem::remove_all(folder);
}

// A daemon started again mid-session answers without the device until it is shown: that is how the
// server learns to show it again.
TEST(FrameSocketServer, AHiddenDeviceIsNotFoundByItsUid) {
    const std::filesystem::path folder =
        ::testing::TempDir() + "/lensway-hidden-" + std::to_string(::getpid());
    std::atomic<bool> shown{false};
    std::string error;
    auto server = FrameSocketServer::start(
        folder / "camera.sock", [](auto) {}, &error, [&] { return shown.load(); });
    ASSERT_TRUE(server) << error;
    LenswayCameraDevices devices(folder / "camera.sock");
    EXPECT_FALSE(devices.deviceWithUID(deviceUID));
    EXPECT_TRUE(devices.hasEncodedFrameProperty(FrameSocketServer::deviceID)) << "it answers";
    shown = true;
    EXPECT_EQ(devices.deviceWithUID(deviceUID), FrameSocketServer::deviceID);
    server.reset();
    std::filesystem::remove_all(folder);
}

}  // namespace
