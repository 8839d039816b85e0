#include "Lensway/PersonaHEVCDecoder.h"

#include "base/Log.h"
#include "platform/videocodec/NalUnits.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace vl::lensway {

struct DecodedPictureRef {
    const DecodedPicture& picture;
};

namespace {

void appendUnit(Bytes& out, ByteView unit) {
    static const std::uint8_t startCode[] = {0, 0, 0, 1};
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

PersonaHEVCDecoder::PersonaHEVCDecoder(FrameCallback onFrameDecoded,
                                       VideoDecoderFactory makeSession)
    : onFrameDecoded_(std::move(onFrameDecoded)), makeSession_(std::move(makeSession)) {}

PersonaHEVCDecoder::~PersonaHEVCDecoder() {
    if (scaler_) sws_freeContext(scaler_);
}

void PersonaHEVCDecoder::setOutputSize(int width, int height) {
    outputWidth_ = width;
    outputHeight_ = height;
}

void PersonaHEVCDecoder::decode(ByteView accessUnit) {
    Bytes picture;
    bool parameterSetsChanged = false;
    for (ByteView unit : splitAnnexB(accessUnit)) {
        const int type = hevcNalUnitType(unit);
        if (type < 0) continue;
        Bytes* kept = type == 32 ? &vps_ : type == 33 ? &sps_ : type == 34 ? &pps_ : nullptr;
        if (kept) {
            if (!std::equal(kept->begin(), kept->end(), unit.begin(), unit.end())) {
                kept->assign(unit.begin(), unit.end());
                parameterSetsChanged = true;
            }
        } else {
            appendUnit(picture, unit);
        }
    }
    if (parameterSetsChanged && !vps_.empty() && !sps_.empty() && !pps_.empty()) {
        Bytes description;
        appendUnit(description, vps_);
        appendUnit(description, sps_);
        appendUnit(description, pps_);
        if (description != formatDescription_) {
            // The session of the old sets is flushed and serves the new ones: its pictures were
            // of the old size, and a decoder context costs more to open than to flush.
            retireSession();
            session_ = spare_ ? std::move(spare_) : makeSession_ ? makeSession_() : nullptr;
            if (!session_) {
                logMsg("❌ decoder: no HEVC decoder available", LogLevel::error);
                formatDescription_.clear();
                return;
            }
            formatDescription_ = std::move(description);
            ++sessionsCreated_;
            logMsg("decoder: new decoding session (" + std::to_string(sessionsCreated_) + ")");
        }
    }
    if (!session_) {
        // No parameter sets yet: the next key frame carries them.
        ++droppedUnits_;
        return;
    }
    if (picture.empty()) return;
    // The decoder sees the sets before every picture that follows a change, so it never holds a
    // picture of a size it was not told about.
    Bytes unit;
    if (parameterSetsChanged) unit = formatDescription_;
    unit.insert(unit.end(), picture.begin(), picture.end());
    for (const DecodedPicture& decoded : session_->decode(unit)) {
        if (decoded.width <= 0 || decoded.height <= 0) continue;
        onFrameDecoded_(toNV12(DecodedPictureRef{decoded}));
    }
}

void PersonaHEVCDecoder::retireSession() {
    if (!session_) return;
    session_->flush();
    spare_ = std::move(session_);
}

void PersonaHEVCDecoder::reset() {
    retireSession();
    vps_.clear();
    sps_.clear();
    pps_.clear();
    formatDescription_.clear();
}

PixelBuffer PersonaHEVCDecoder::toNV12(const DecodedPictureRef& ref) {
    const DecodedPicture& picture = ref.picture;
    PixelBuffer out = makePixelBuffer(outputWidth_, outputHeight_, PixelFormat::biPlanar420Video8,
                                      ColorDescription{});
    const AVPixelFormat source = picture.bitDepth > 8 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, source, outputWidth_,
                                   outputHeight_, AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr,
                                   nullptr);
    if (!scaler_) return out;
    const std::uint8_t* sourcePlanes[3] = {picture.planes[0].data(), picture.planes[1].data(),
                                           picture.planes[2].data()};
    std::uint8_t* targetPlanes[2] = {out.planes[0].bytes.data(), out.planes[1].bytes.data()};
    const int targetStrides[2] = {static_cast<int>(out.planes[0].bytesPerRow),
                                  static_cast<int>(out.planes[1].bytesPerRow)};
    sws_scale(scaler_, sourcePlanes, picture.strides, 0, picture.height, targetPlanes,
              targetStrides);
    return out;
}

}  // namespace vl::lensway
