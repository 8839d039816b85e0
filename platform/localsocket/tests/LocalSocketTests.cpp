#include "platform/localsocket/LocalSocket.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vl;
namespace fs = std::filesystem;

namespace {

class LocalSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vl-localsocket.XXXXXX").string();
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        root = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    static mode_t modeOf(const fs::path& path) {
        struct stat info {};
        return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
    }
    fs::path root;
};

TEST_F(LocalSocketTest, TheSocketFolderIsMadePrivateAndAFolderNotOursIsRefused) {
    const fs::path loose = root / "loose";
    fs::create_directory(loose);
    ::chmod(loose.c_str(), 0755);
    EXPECT_EQ(localsocket::preparePrivateFolder(loose), std::nullopt);
    EXPECT_EQ(modeOf(loose), 0700u);
    EXPECT_EQ(localsocket::preparePrivateFolder(root / "new"), std::nullopt);
    EXPECT_EQ(modeOf(root / "new"), 0700u);

    std::ofstream(root / "file") << "x";
    EXPECT_TRUE(localsocket::preparePrivateFolder(root / "file"));
    fs::create_directory_symlink(loose, root / "link");
    EXPECT_TRUE(localsocket::preparePrivateFolder(root / "link")) << "a link was followed";
    if (::geteuid() == 0) {  // only root can give a folder away
        const fs::path theirs = root / "theirs";
        fs::create_directory(theirs);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_TRUE(localsocket::preparePrivateFolder(theirs));
    }
}

TEST_F(LocalSocketTest, ASocketLeftBehindIsReplacedButARunningListenerIsNotTakenOver) {
    const fs::path path = root / "folder" / "test.sock";
    std::string error;
    const int first = localsocket::listenAt(path, &error);
    ASSERT_GE(first, 0) << error;
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(path.parent_path()), 0700u);

    EXPECT_EQ(localsocket::listenAt(path, &error), -1);
    EXPECT_NE(error.find("another process answers"), std::string::npos) << error;

    ::close(first);  // the file stays behind, as after a crash
    ASSERT_TRUE(fs::exists(path));
    const int second = localsocket::listenAt(path, &error);
    ASSERT_GE(second, 0) << error;
    const int client = localsocket::connectTo(path, true);
    EXPECT_GE(client, 0);
    ::close(client);
    ::close(second);

    EXPECT_EQ(localsocket::listenAt(root / std::string(200, 'x') / "s.sock", &error), -1);
    EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

TEST_F(LocalSocketTest, WritesArriveWholeAndAGonePeerIsAFailureNotASignal) {
    const fs::path path = root / "s" / "data.sock";
    EXPECT_EQ(localsocket::connectTo(path, false), -1) << "nobody listens yet";
    std::string error;
    const int listener = localsocket::listenAt(path, &error);
    ASSERT_GE(listener, 0) << error;
    const int client = localsocket::connectTo(path, true);
    ASSERT_GE(client, 0);
    int server = -1;
    for (int i = 0; i < 100 && server < 0; ++i) {
        server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (server < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(server, 0);
    EXPECT_TRUE(localsocket::peerIsSameUser(server));

    // More than the socket buffer holds: the writer waits for the reader instead of cutting it.
    Bytes sent(4 << 20);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 7);
    Bytes received;
    std::thread reader([&] {
        std::uint8_t chunk[65536];
        while (received.size() < sent.size()) {
            const ssize_t n = ::recv(server, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            received.insert(received.end(), chunk, chunk + n);
        }
    });
    EXPECT_TRUE(localsocket::writeAll(client, sent));
    reader.join();
    EXPECT_EQ(received, sent);

    ::close(server);
    const Bytes more(1 << 20, 1);
    EXPECT_FALSE(localsocket::writeAll(client, more));  // and the process is still here
    ::close(client);
    ::close(listener);
}

}  // namespace
