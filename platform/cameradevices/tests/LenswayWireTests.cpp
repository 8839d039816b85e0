#include "Lensway/LenswayWire.h"
#include "platform/cameradevices/lensway/LenswayCameraDevices.h"
#include "platform/localsocket/LocalSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace vl;

namespace {

TEST(LenswayWire, MessagesSplitAnywhereComeOutWholeAndAnOversizeHeaderPoisonsTheStream) {
    Bytes stream = lensway::encode(lensway::MessageKind::deviceQuery, bytesOf("uid"));
    Bytes frame = lensway::encodeForDevice(lensway::MessageKind::encodedFrame, 7, Bytes(5000, 9));
    stream.insert(stream.end(), frame.begin(), frame.end());

    lensway::MessageReader reader;
    std::vector<lensway::Message> messages;
    for (std::size_t at = 0; at < stream.size(); at += 7) {
        reader.append(ByteView(stream).subspan(at, std::min<std::size_t>(7, stream.size() - at)));
        while (auto message = reader.next()) messages.push_back(std::move(*message));
    }
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(stringOf(messages[0].payload), "uid");
    EXPECT_EQ(lensway::deviceOf(messages[1]), 7u);
    EXPECT_EQ(messages[1].payload.size(), 5004u);

    Bytes bad = {3, 0, 0, 0, 0xff, 0xff, 0xff, 0x7f};
    reader.append(bad);
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.poisoned());
}

// A daemon stand-in: answers device 5 for "cam" and counts frames, one connection at a time.
class StandInDaemon {
  public:
    explicit StandInDaemon(std::string path) : path_(std::move(path)) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, path_.c_str());
        ::unlink(path_.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 4) != 0)
            ADD_FAILURE() << "cannot listen on " << path_;
        thread_ = std::thread([this] { serve(); });
    }
    ~StandInDaemon() {
        ::shutdown(fd_, SHUT_RDWR);
        const int client = client_.exchange(-1);
        if (client >= 0) ::shutdown(client, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    std::atomic<int> frames{0};

  private:
    void serve() {
        for (;;) {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            client_ = client;
            lensway::MessageReader reader;
            while (auto message = lensway::readMessage(client, reader)) {
                if (message->kind == lensway::MessageKind::deviceQuery) {
                    const std::uint32_t id = stringOf(message->payload) == "cam" ? 5 : 0;
                    localsocket::writeAll(
                        client, lensway::encodeForDevice(lensway::MessageKind::deviceAnswer, id));
                } else if (message->kind == lensway::MessageKind::encodedFrame) {
                    ++frames;
                }
            }
            if (client_.exchange(-1) >= 0) ::close(client);
        }
    }
    std::string path_;
    int fd_ = -1;
    std::atomic<int> client_{-1};
    std::thread thread_;
};

TEST(LenswayCameraDevices, FindsTheDeviceAndFindsItAgainAfterTheDaemonRestarted) {
    const std::string path =
        ::testing::TempDir() + "/lensway-" + std::to_string(::getpid()) + ".sock";
    LenswayCameraDevices devices(path);
    EXPECT_FALSE(devices.deviceWithUID("cam"));  // not running
    EXPECT_EQ(devices.setEncodedFrame(5, Bytes{1, 2}), CameraStatus::unreachable);
    {
        StandInDaemon daemon(path);
        EXPECT_EQ(devices.deviceWithUID("cam"), 5u);
        EXPECT_FALSE(devices.deviceWithUID("other"));
        EXPECT_EQ(devices.setEncodedFrame(5, Bytes(1000, 1)), CameraStatus::noErr);
        for (int i = 0; i < 200 && daemon.frames < 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(daemon.frames, 1);
    }
    StandInDaemon restarted(path);
    // The old connection is dead; the lookup notices and connects anew.
    EXPECT_EQ(devices.deviceWithUID("cam"), 5u);
    EXPECT_EQ(devices.setEncodedFrame(5, Bytes(10, 1)), CameraStatus::noErr);
    EXPECT_EQ(devices.setEncodedFrame(5, Bytes(CameraDevices::maxFrameSize + 1, 0)),
              CameraStatus::propertyTooLarge);
}

}  // namespace
