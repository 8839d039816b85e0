#include "platform/security/file/FileKeychain.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

using namespace vl;

namespace {

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("vl-keychain-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    ~TempDir() { std::filesystem::remove_all(path); }
};

mode_t modeOf(const std::filesystem::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

}  // namespace

TEST(FileKeychain, StoresFindsAndDeletesItemsPrivateToTheUser) {
    TempDir dir;
    FileKeychain keychain(dir.path / "keychain");
    EXPECT_FALSE(keychain.copyItem("svc", "acct"));
    ASSERT_EQ(keychain.addItem("svc", "acct", bytesOf("secret")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyItem("svc", "acct"), bytesOf("secret"));
    EXPECT_EQ(modeOf(keychain.pathOf("svc", "acct")), 0600u);
    EXPECT_EQ(modeOf(dir.path / "keychain"), 0700u);

    // A second keychain over the same folder (the next launch) finds it again.
    FileKeychain again(dir.path / "keychain");
    EXPECT_EQ(again.copyItem("svc", "acct"), bytesOf("secret"));

    EXPECT_EQ(keychain.addItem("svc", "acct", bytesOf("other")), KeychainStatus::duplicateItem);
    EXPECT_EQ(keychain.copyItem("svc", "acct"), bytesOf("secret"));
    EXPECT_EQ(keychain.deleteItem("svc", "acct"), KeychainStatus::success);
    EXPECT_EQ(keychain.deleteItem("svc", "acct"), KeychainStatus::itemNotFound);
    EXPECT_FALSE(keychain.copyItem("svc", "acct"));
}

TEST(FileKeychain, ServiceAndAccountNamesCannotCollideOrEscapeTheFolder) {
    TempDir dir;
    FileKeychain keychain(dir.path);
    ASSERT_EQ(keychain.addItem("a+b", "c", bytesOf("1")), KeychainStatus::success);
    ASSERT_EQ(keychain.addItem("a", "b+c", bytesOf("2")), KeychainStatus::success);
    ASSERT_EQ(keychain.addItem("../x", "/etc/passwd", bytesOf("3")), KeychainStatus::success);
    EXPECT_EQ(keychain.copyItem("a+b", "c"), bytesOf("1"));
    EXPECT_EQ(keychain.copyItem("a", "b+c"), bytesOf("2"));
    EXPECT_EQ(keychain.pathOf("../x", "/etc/passwd").parent_path(), dir.path);
}

TEST(FileKeychain, ConcurrentAddsOfOneItemLeaveExactlyOneWinner) {
    TempDir dir;
    FileKeychain keychain(dir.path);
    std::atomic<int> wins{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&, i] {
            if (keychain.addItem("svc", "acct", bytesOf("value" + std::to_string(i))) ==
                KeychainStatus::success)
                ++wins;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wins.load(), 1);
    auto stored = keychain.copyItem("svc", "acct");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stringOf(*stored).rfind("value", 0), 0u);
}
