// The client's side of a video stream: any bytes as an access unit, through the Annex-B splitter
// and the decoder, must neither crash nor read out of bounds. Each input is a whole stream.
#include "platform/videocodec/NalUnits.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>

// The codec's complaints, dozens for a garbage input, go nowhere: writing them would cost more
// than the decoding.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto decoder = vl::HevcDecoder::create();
    const vl::ByteView bytes(data, size);
    std::size_t total = 0;
    for (vl::ByteView unit : vl::splitAnnexB(bytes)) {
        total += unit.size();
        (void)vl::hevcNalUnitType(unit);
    }
    if (total > size) __builtin_trap();
    if (decoder) {
        for (const auto& picture : decoder->decode(bytes)) {
            if (picture.width > 0 && picture.height > 0) (void)vl::toRGB24(picture);
        }
        // The end of the stream: what the decoder still holds comes out, and the next input
        // starts on an empty decoder.
        for (const auto& picture : decoder->flush()) {
            if (picture.width > 0 && picture.height > 0) (void)vl::toRGB24(picture);
        }
    }
    return 0;
}
