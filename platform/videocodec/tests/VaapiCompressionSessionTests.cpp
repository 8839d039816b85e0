#include "platform/videocodec/vaapi/VaapiCompressionSession.h"
#include "platform/videocodec/x265/X265VideoCodecService.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace vl {
namespace {

namespace fs = std::filesystem;

class VaapiTier : public ::testing::Test {
  protected:
    void SetUp() override {
        directory_ = fs::path("/tmp/vl-video") / ("dri-" + std::to_string(::getpid()));
        fs::create_directories(directory_);
    }
    void TearDown() override { fs::remove_all(directory_); }
    fs::path directory_;
};

TEST_F(VaapiTier, IsTriedOnlyWhereARenderNodeExistsAndFailsWithoutADevice) {
    const auto requirements = EncoderRequirements::forTier(EncoderTier::hwLowLatency);
    EXPECT_TRUE(renderNodes(directory_.string()).empty());
    EXPECT_EQ(VaapiCompressionSession::create(1920, 1080, requirements, directory_.string()).status,
              CodecStatus::couldNotFindVideoEncoder);

    // A node that is no device: found, tried, refused.
    std::ofstream(directory_ / "renderD129") << "";
    std::ofstream(directory_ / "card0") << "";
    std::ofstream(directory_ / "renderD128") << "";
    EXPECT_EQ(renderNodes(directory_.string()),
              (std::vector<std::string>{(directory_ / "renderD128").string(),
                                        (directory_ / "renderD129").string()}));
    EXPECT_EQ(VaapiCompressionSession::create(1920, 1080, requirements, directory_.string()).status,
              CodecStatus::couldNotFindVideoEncoder);
}

TEST_F(VaapiTier, ServiceFallsBackToSoftwareWhereTheHardwareTiersFail) {
    if (!renderNodes().empty()) GTEST_SKIP() << "this host has a render node";
    X265VideoCodecService service(createVaapiSession);
    EXPECT_EQ(service
                  .createCompressionSession(1280, 720,
                                            EncoderRequirements::forTier(EncoderTier::hwLowLatency))
                  .status,
              CodecStatus::couldNotFindVideoEncoder);
    EXPECT_EQ(
        service
            .createCompressionSession(1280, 720, EncoderRequirements::forTier(EncoderTier::hwOnly))
            .status,
        CodecStatus::couldNotFindVideoEncoder);
    auto preferred = service.createCompressionSession(
        1280, 720, EncoderRequirements::forTier(EncoderTier::hwPreferred));
    ASSERT_TRUE(preferred.ok());
    EXPECT_NE(preferred.value->encoderID().value.find("x265"), std::string::npos);
    const auto encoders = service.listEncoders();
    ASSERT_EQ(encoders.value.size(), 1u);
    EXPECT_FALSE(encoders.value[0].isHardwareAccelerated);
}

}  // namespace
}  // namespace vl
