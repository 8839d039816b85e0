#include "workers/ControlRequestService.h"

#include "base/Logger.h"
#include "base/testing/LogCapture.h"
#include "base/testing/PortBlock.h"
#include "comm/testing/RecordingSessionEnvironment.h"
#include "platform/discovery/fake/FakeDiscovery.h"
#include "platform/pathmonitor/fake/FakePathMonitor.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>

using namespace vl;

namespace {

std::string textOf(const TxtRecord& txt, const std::string& key) {
    for (const auto& [k, v] : txt)
        if (k == key) return v;
    return "<missing>";
}

class ControlRequestServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes.settings->setMachineName("studio");
        setAddress("192.168.7.20");
        port = ports.first();
        fakes.settings->setControlPort(port);
        service = std::make_unique<ControlRequestService>(ControlRequestService::Environment{
            discovery,
            [this] {
                auto monitor = std::make_unique<FakePathMonitor>();
                monitors.push_back(monitor.get());
                cancellations.push_back(monitor->wasCancelled);
                return monitor;
            },
            fakes.environment(), std::nullopt});
    }
    void TearDown() override { service.reset(); }

    void setAddress(std::optional<std::string> ipv4) {
        fakes.settings->setMachineIPAddress(std::move(ipv4));
    }
    bool logged(const std::string& text) { return log.contains(text); }

    std::shared_ptr<FakeDiscovery> discovery = std::make_shared<FakeDiscovery>();
    vl::testing::RecordingSessionEnvironment fakes;
    std::vector<FakePathMonitor*> monitors;  // alive while the service runs
    std::vector<std::shared_ptr<std::atomic<bool>>> cancellations;
    std::unique_ptr<ControlRequestService> service;
    // The control port and the nine after it, which a session may open.
    vl::testing::PortBlock ports{10};
    int port = 0;
    vl::testing::LogCapture log;
};

TEST_F(ControlRequestServiceTest, StartListensAndAdvertisesTheRealAddressAndPort) {
    service->start();
    service->start();  // a second start while running changes nothing
    service->waitUntilIdle();

    ASSERT_TRUE(service->isRunning());
    auto server = service->controlServer();
    ASSERT_TRUE(server);
    EXPECT_TRUE(server->isListening());
    EXPECT_EQ(server->getPort(), port);
    EXPECT_EQ(service->serverStarts(), 1);
    EXPECT_TRUE(logged("ControlRequestService is already running"));

    auto records = discovery->activeRecords();
    ASSERT_EQ(records.size(), 1u);
    const std::string expectedName = "studio@192.168.7.20:" + std::to_string(port);
    EXPECT_EQ(records[0].name, expectedName);
    EXPECT_EQ(records[0].type, "_corvanevantrellink._tcp.");
    EXPECT_EQ(records[0].domain, "local.");
    EXPECT_EQ(records[0].port, 5353);
    EXPECT_EQ(textOf(records[0].txt, "name"), "studio");
    EXPECT_EQ(textOf(records[0].txt, "ip"), "192.168.7.20");
    EXPECT_EQ(textOf(records[0].txt, "port"), std::to_string(port));
    EXPECT_EQ(textOf(records[0].txt, "id"), fakes.settings->appUniqueID());

    service->stop();
    service->waitUntilIdle();
    EXPECT_FALSE(service->isRunning());
    EXPECT_FALSE(service->controlServer());
    EXPECT_TRUE(discovery->activeRecords().empty());
    ASSERT_EQ(cancellations.size(), 1u);
    EXPECT_TRUE(*cancellations[0]);  // the monitor itself is gone with the stop
}

TEST_F(ControlRequestServiceTest, OnlyAnAddressChangeRestartsServerAndAdvertisement) {
    service->start();
    service->waitUntilIdle();
    ASSERT_EQ(monitors.size(), 1u);

    monitors[0]->fire();  // same address: nothing happens
    service->waitUntilIdle();
    EXPECT_EQ(service->serverStarts(), 1);

    setAddress("10.0.0.5");
    monitors[0]->fire();
    service->waitUntilIdle();
    EXPECT_EQ(service->serverStarts(), 2);
    EXPECT_EQ(service->lastKnownIPAddress(), "10.0.0.5");
    EXPECT_TRUE(logged("IP address changed from 192.168.7.20 to 10.0.0.5"));
    auto records = discovery->activeRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].name, "studio@10.0.0.5:" + std::to_string(port));
    ASSERT_TRUE(service->controlServer());
    EXPECT_TRUE(service->controlServer()->isListening());
}

TEST_F(ControlRequestServiceTest, LosingTheAddressKeepsTheServerButStopsAdvertising) {
    service->start();
    service->waitUntilIdle();
    setAddress(std::nullopt);
    monitors[0]->fire();
    service->waitUntilIdle();
    EXPECT_TRUE(service->controlServer());
    EXPECT_TRUE(discovery->activeRecords().empty());
    EXPECT_FALSE(service->advertisedName());
}

TEST_F(ControlRequestServiceTest, AControlPortOutsideTheUdpRangeNeverStartsAServer) {
    fakes.settings->setControlPort(70000);
    service->start();
    service->waitUntilIdle();
    EXPECT_FALSE(service->controlServer());
    EXPECT_TRUE(discovery->activeRecords().empty());
    EXPECT_TRUE(logged("Failed to start servers: control port 70000 is outside 0...65535"));
}

TEST_F(ControlRequestServiceTest, APortInUseIsReportedAndNothingIsAdvertised) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    service->start();
    service->waitUntilIdle();
    ::close(fd);
    EXPECT_FALSE(service->controlServer());
    EXPECT_TRUE(discovery->activeRecords().empty());
    EXPECT_TRUE(logged("Failed to start servers: "));
}

}  // namespace
