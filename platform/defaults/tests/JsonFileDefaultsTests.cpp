#include "platform/defaults/json/JsonFileDefaults.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

using namespace vl;

namespace {

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("vl-defaults-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace

TEST(JsonFileDefaults, KeepsEveryValueTypeAcrossInstances) {
    TempDir dir;
    auto file = dir.path / "vantrel-link" / "defaults.json";
    {
        JsonFileDefaults defaults(file);
        defaults.set("password", std::string("pässword"));
        defaults.set("keepawake", false);
        defaults.set("count", std::int64_t{42});
        defaults.set("ratio", 0.5);
        defaults.set("SavedLogs", bytesOf("[{\"a\":1}]\x01\xff"));
        defaults.set("gone", std::string("x"));
        defaults.remove("gone");
    }
    JsonFileDefaults defaults(file);
    EXPECT_EQ(defaults.string("password"), "pässword");
    EXPECT_EQ(defaults.boolean("keepawake"), false);
    EXPECT_EQ(defaults.object("count"), DefaultsValue(std::int64_t{42}));
    EXPECT_EQ(defaults.object("ratio"), DefaultsValue(0.5));
    EXPECT_EQ(defaults.data("SavedLogs"), bytesOf("[{\"a\":1}]\x01\xff"));
    EXPECT_FALSE(defaults.object("gone"));
    EXPECT_FALSE(defaults.string("keepawake"));  // wrong type reads as absent
}

TEST(JsonFileDefaults, SeesChangesMadeByAnotherProcess) {
    TempDir dir;
    auto file = dir.path / "defaults.json";
    JsonFileDefaults server(file);
    server.set("controlport", std::string("8788"));
    EXPECT_EQ(server.string("controlport"), "8788");
    // The config command is another writer of the same file.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    JsonFileDefaults command(file);
    command.set("controlport", std::string("9000"));
    EXPECT_EQ(server.string("controlport"), "9000");
}

TEST(JsonFileDefaults, CorruptFileIsReportedKeptAsideAndReadAsEmpty) {
    TempDir dir;
    std::filesystem::create_directories(dir.path);
    auto file = dir.path / "defaults.json";
    std::ofstream(file) << "{\"password\": \"abc\", trunc";
    std::vector<std::string> reports;
    JsonFileDefaults defaults(file, [&](const std::string& r) { reports.push_back(r); });
    EXPECT_FALSE(defaults.string("password"));
    ASSERT_EQ(reports.size(), 1u);
    auto aside = file;
    aside += ".corrupt";
    EXPECT_TRUE(std::filesystem::exists(aside));
    defaults.set("password", std::string("new"));
    EXPECT_EQ(JsonFileDefaults(file).string("password"), "new");

    struct stat st {};
    ::stat(file.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(JsonFileDefaults, ConcurrentWritersFromManyThreadsLoseNothing) {
    TempDir dir;
    JsonFileDefaults defaults(dir.path / "defaults.json");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                defaults.set("k" + std::to_string(t) + "_" + std::to_string(i), std::int64_t{i});
        });
    for (auto& th : threads) th.join();
    JsonFileDefaults reread(dir.path / "defaults.json");
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 25; ++i)
            EXPECT_EQ(reread.object("k" + std::to_string(t) + "_" + std::to_string(i)),
                      DefaultsValue(std::int64_t{i}));
}
