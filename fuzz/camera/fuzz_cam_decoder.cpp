// The camera daemon's decoder input: any bytes written into the encoded-frame property, one
// access unit at a time, must neither crash nor leave a picture of another size than asked for.
#include "Lensway/PersonaHEVCDecoder.h"
#include "base/Logger.h"
#include "platform/videocodec/libavcodec/HevcDecoder.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstddef>
#include <cstdint>

// Neither our reports nor the codec's, a few per input, go anywhere: writing them would cost more
// than the decoding.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vl::Logger::shared().setWritesToStderr(false);
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool wrongSize = false;
    // One decoder for every input, reset in between: each input is a new stream, and the session
    // it opens is reused rather than opened again (opening one costs more than the decoding).
    static vl::lensway::PersonaHEVCDecoder decoder(
        [](vl::PixelBuffer picture) {
            if (picture.width != 320 || picture.height != 180) wrongSize = true;
        },
        vl::HevcDecoder::factory());
    decoder.reset();
    decoder.setOutputSize(320, 180);
    // The input is cut into access units at each 0xff 0xfe pair, so parameter sets, pictures and
    // changes of them can follow each other within one input.
    std::size_t start = 0;
    for (std::size_t i = 0; i + 1 < size; ++i) {
        if (data[i] == 0xff && data[i + 1] == 0xfe) {
            decoder.decode(vl::ByteView(data + start, i - start));
            start = i + 2;
        }
    }
    if (start < size) decoder.decode(vl::ByteView(data + start, size - start));
    if (wrongSize) __builtin_trap();
    return 0;
}
