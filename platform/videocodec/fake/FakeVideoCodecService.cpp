#include "platform/videocodec/fake/FakeVideoCodecService.h"

namespace vl {

namespace {

// HEVC NAL unit types used by the stub.
constexpr std::uint8_t nalTrailR = 1;
constexpr std::uint8_t nalIdrWRadl = 19;
constexpr std::uint8_t nalVps = 32;
constexpr std::uint8_t nalSps = 33;
constexpr std::uint8_t nalPps = 34;

// Each word as five bytes of seven bits with the top bit set: no zero byte, so the unit can never
// contain a start code, as real units (with emulation prevention) never do.
constexpr std::size_t wordBytes = 5;

Bytes nalUnit(std::uint8_t type, std::initializer_list<std::uint32_t> words) {
    Bytes unit{static_cast<std::uint8_t>(type << 1), 0x01};
    for (auto word : words) {
        for (int shift = 28; shift >= 0; shift -= 7) {
            unit.push_back(static_cast<std::uint8_t>(0x80 | ((word >> shift) & 0x7f)));
        }
    }
    return unit;
}

std::uint32_t readWord(const std::uint8_t* bytes) {
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < wordBytes; ++i) word = (word << 7) | (bytes[i] & 0x7f);
    return word;
}

}  // namespace

struct FakeVideoCodecService::Shared {
    mutable std::mutex mutex;
    bool hardware = false;
    bool lowLatencyRateControl = true;
    std::optional<CodecStatus> creationStatus;
    std::optional<CodecStatus> setPropertiesStatus;
    std::optional<CodecStatus> listStatus;
    CodecStatus encodeStatus = CodecStatus::noErr;
    int failingEncodes = 0;
    int creationAttempts = 0;
    std::vector<std::shared_ptr<FakeSessionRecord>> sessions;
};

std::shared_ptr<FakeVideoCodecService::Shared> FakeVideoCodecService::makeShared() {
    return std::make_shared<Shared>();
}

namespace {

class FakeCompressionSession : public CompressionSession {
  public:
    FakeCompressionSession(std::shared_ptr<FakeVideoCodecService::Shared> shared,
                           std::shared_ptr<FakeSessionRecord> record)
        : shared_(std::move(shared)), record_(std::move(record)) {
        auto description = std::make_shared<VideoFormatDescription>();
        description->width = record_->width;
        description->height = record_->height;
        const auto w = static_cast<std::uint32_t>(record_->width);
        const auto h = static_cast<std::uint32_t>(record_->height);
        description->parameterSets = {nalUnit(nalVps, {w}), nalUnit(nalSps, {w, h}),
                                      nalUnit(nalPps, {h})};
        formatDescription_ = description;
    }

    CodecStatus setProperties(const CompressionProperties& properties) override {
        std::lock_guard lock(shared_->mutex);
        if (record_->invalidated) return CodecStatus::invalidSession;
        record_->properties = properties;
        return shared_->setPropertiesStatus.value_or(CodecStatus::noErr);
    }

    CodecStatus prepareToEncodeFrames() override {
        std::lock_guard lock(shared_->mutex);
        if (record_->invalidated) return CodecStatus::invalidSession;
        record_->prepared = true;
        return CodecStatus::noErr;
    }

    CodecResult<std::string> encoderID() const override {
        std::lock_guard lock(shared_->mutex);
        if (record_->invalidated) return {{}, CodecStatus::invalidSession};
        return {record_->hardware ? "fake.hevc.hardware" : "fake.hevc.software",
                CodecStatus::noErr};
    }

    CodecStatus encodeFrame(const PixelBuffer& frame, MediaTime presentationTime,
                            MediaTime duration, FrameOptions options,
                            const EncodeCompletion& completion) override {
        std::unique_lock lock(shared_->mutex);
        if (record_->invalidated) return CodecStatus::invalidSession;
        if (shared_->failingEncodes > 0) {
            --shared_->failingEncodes;
            const CodecStatus status = shared_->encodeStatus;
            lock.unlock();
            if (completion) completion(status, std::nullopt);
            return CodecStatus::noErr;
        }
        if (frame.width != record_->width || frame.height != record_->height) {
            return CodecStatus::pixelTransferNotSupported;
        }
        const auto frameNumber = static_cast<std::uint32_t>(record_->frames.size());
        int interval = 0;
        if (record_->properties) interval = record_->properties->maxKeyFrameInterval;
        const bool key = frameNumber == 0 || options.forceKeyFrame ||
                         (interval > 0 && framesSinceKey_ + 1 >= interval);
        framesSinceKey_ = key ? 0 : framesSinceKey_ + 1;
        record_->frames.push_back({frame.width, frame.height, frame.format, presentationTime,
                                   duration, options.forceKeyFrame, key});
        lock.unlock();

        EncodedSample sample;
        const Bytes picture = nalUnit(key ? nalIdrWRadl : nalTrailR,
                                      {static_cast<std::uint32_t>(frame.width),
                                       static_cast<std::uint32_t>(frame.height), frameNumber});
        appendBigEndian32(sample.data, static_cast<std::uint32_t>(picture.size()));
        sample.data.insert(sample.data.end(), picture.begin(), picture.end());
        sample.formatDescription = formatDescription_;
        if (!key) sample.notSync = true;
        sample.presentationTime = presentationTime;
        sample.duration = duration;
        if (completion) completion(CodecStatus::noErr, std::move(sample));
        return CodecStatus::noErr;
    }

    CodecStatus completeFrames() override {
        std::lock_guard lock(shared_->mutex);
        if (record_->invalidated) return CodecStatus::invalidSession;
        ++record_->completeFramesCalls;
        return CodecStatus::noErr;
    }

    void invalidate() override {
        std::lock_guard lock(shared_->mutex);
        record_->invalidated = true;
    }

  private:
    std::shared_ptr<FakeVideoCodecService::Shared> shared_;
    std::shared_ptr<FakeSessionRecord> record_;
    std::shared_ptr<const VideoFormatDescription> formatDescription_;
    int framesSinceKey_ = 0;
};

}  // namespace

CodecResult<std::unique_ptr<CompressionSession>> FakeVideoCodecService::createCompressionSession(
    int width, int height, const EncoderRequirements& requirements) {
    std::lock_guard lock(shared_->mutex);
    ++shared_->creationAttempts;
    if (shared_->creationStatus) return {nullptr, *shared_->creationStatus};
    if (width <= 0 || height <= 0) return {nullptr, CodecStatus::parameterError};
    const bool wantsHardware = requirements.requireHardwareAcceleratedVideoEncoder;
    if (wantsHardware && !shared_->hardware)
        return {nullptr, CodecStatus::couldNotFindVideoEncoder};
    if (wantsHardware && requirements.enableLowLatencyRateControl &&
        !shared_->lowLatencyRateControl) {
        return {nullptr, CodecStatus::couldNotFindVideoEncoder};
    }
    auto record = std::make_shared<FakeSessionRecord>();
    record->width = width;
    record->height = height;
    record->requirements = requirements;
    record->hardware =
        shared_->hardware && (wantsHardware || requirements.enableHardwareAcceleratedVideoEncoder);
    shared_->sessions.push_back(record);
    return {std::make_unique<FakeCompressionSession>(shared_, record), CodecStatus::noErr};
}

CodecResult<std::vector<VideoEncoderInfo>> FakeVideoCodecService::listEncoders() {
    std::lock_guard lock(shared_->mutex);
    if (shared_->listStatus) return {{}, *shared_->listStatus};
    std::vector<VideoEncoderInfo> encoders;
    if (shared_->hardware) {
        encoders.push_back({"hvc1", "Fake HEVC (hardware)", "fake.hevc.hardware", true});
    }
    encoders.push_back({"hvc1", "Fake HEVC", "fake.hevc.software", false});
    encoders.push_back({"avc1", "Fake H.264", "fake.h264.software", false});
    return {encoders, CodecStatus::noErr};
}

void FakeVideoCodecService::setHardwareAvailable(bool available, bool lowLatencyRateControl) {
    std::lock_guard lock(shared_->mutex);
    shared_->hardware = available;
    shared_->lowLatencyRateControl = lowLatencyRateControl;
}

void FakeVideoCodecService::failCreation(std::optional<CodecStatus> status) {
    std::lock_guard lock(shared_->mutex);
    shared_->creationStatus = status;
}

void FakeVideoCodecService::failSetProperties(std::optional<CodecStatus> status) {
    std::lock_guard lock(shared_->mutex);
    shared_->setPropertiesStatus = status;
}

void FakeVideoCodecService::failEncodes(CodecStatus status, int count) {
    std::lock_guard lock(shared_->mutex);
    shared_->encodeStatus = status;
    shared_->failingEncodes = count;
}

void FakeVideoCodecService::failListEncoders(std::optional<CodecStatus> status) {
    std::lock_guard lock(shared_->mutex);
    shared_->listStatus = status;
}

std::vector<std::shared_ptr<const FakeSessionRecord>> FakeVideoCodecService::sessions() const {
    std::lock_guard lock(shared_->mutex);
    // Copies, so a test reads a consistent picture while sessions go on.
    std::vector<std::shared_ptr<const FakeSessionRecord>> copies;
    for (const auto& record : shared_->sessions) {
        copies.push_back(std::make_shared<FakeSessionRecord>(*record));
    }
    return copies;
}

int FakeVideoCodecService::creationAttempts() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->creationAttempts;
}

std::optional<FakePicture> parseFakePicture(ByteView nalUnit) {
    if (nalUnit.size() != 2 + 3 * wordBytes || nalUnit[1] != 0x01) return std::nullopt;
    const std::uint8_t type = nalUnit[0] >> 1;
    if (type != nalTrailR && type != nalIdrWRadl) return std::nullopt;
    FakePicture picture;
    picture.idr = type == nalIdrWRadl;
    picture.width = static_cast<int>(readWord(nalUnit.data() + 2));
    picture.height = static_cast<int>(readWord(nalUnit.data() + 2 + wordBytes));
    picture.frameNumber = readWord(nalUnit.data() + 2 + 2 * wordBytes);
    return picture;
}

}  // namespace vl
