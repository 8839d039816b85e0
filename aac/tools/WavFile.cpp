#include "aac/tools/WavFile.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace vl::aac::tools {
namespace {

uint32_t le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatFloat = 3;
constexpr uint16_t kFormatExtensible = 0xfffe;

}  // namespace

std::optional<WavAudio> readWav(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return std::nullopt;
    }
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    if (data.size() < 12 || std::memcmp(data.data(), "RIFF", 4) != 0 ||
        std::memcmp(data.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a RIFF/WAVE file";
        return std::nullopt;
    }
    WavAudio audio;
    uint16_t format = 0, bits = 0;
    bool haveFormat = false;
    std::size_t pos = 12;
    while (pos + 8 <= data.size()) {
        const uint32_t size = le32(&data[pos + 4]);
        const std::size_t body = pos + 8;
        if (size > data.size() - body) {
            error = "truncated chunk in " + path;
            return std::nullopt;
        }
        if (std::memcmp(&data[pos], "fmt ", 4) == 0 && size >= 16) {
            format = le16(&data[body]);
            audio.channels = le16(&data[body + 2]);
            audio.sampleRate = int(le32(&data[body + 4]));
            bits = le16(&data[body + 14]);
            if (format == kFormatExtensible && size >= 40) {
                audio.channelMask = le32(&data[body + 20]);
                format = le16(&data[body + 24]);  // first two bytes of the sub-format GUID
            }
            haveFormat = true;
        } else if (std::memcmp(&data[pos], "data", 4) == 0 && haveFormat) {
            const bool isFloat = format == kFormatFloat && bits == 32;
            const bool isPcm = format == kFormatPcm && (bits == 16 || bits == 24 || bits == 32);
            if ((!isFloat && !isPcm) || audio.channels <= 0) {
                error = "unsupported sample format in " + path;
                return std::nullopt;
            }
            const int bytes = bits / 8;
            const std::size_t count = size / bytes;
            audio.samples.resize(count - count % audio.channels);
            for (std::size_t i = 0; i < audio.samples.size(); ++i) {
                const uint8_t* p = &data[body + i * bytes];
                float v;
                if (isFloat) {
                    const uint32_t raw = le32(p);
                    std::memcpy(&v, &raw, 4);
                } else if (bits == 16) {
                    v = float(int16_t(le16(p))) / 32768.0f;
                } else if (bits == 24) {
                    const int32_t s = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 |
                                              uint32_t(p[2]) << 24) >>
                                      8;
                    v = float(s) / 8388608.0f;
                } else {
                    v = float(double(int32_t(le32(p))) / 2147483648.0);
                }
                audio.samples[i] = v;
            }
            return audio;
        }
        pos = body + size + (size & 1);
    }
    error = "no audio data in " + path;
    return std::nullopt;
}

bool writeWav(const std::string& path, const WavAudio& audio, std::string& error) {
    const bool extensible = audio.channelMask != 0;
    const uint32_t dataBytes = uint32_t(audio.samples.size() * 4);
    std::vector<uint8_t> out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put32(out, 4 + (8 + (extensible ? 40 : 16)) + 8 + dataBytes);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put32(out, extensible ? 40 : 16);
    put16(out, extensible ? kFormatExtensible : kFormatFloat);
    put16(out, uint16_t(audio.channels));
    put32(out, uint32_t(audio.sampleRate));
    put32(out, uint32_t(audio.sampleRate * audio.channels * 4));
    put16(out, uint16_t(audio.channels * 4));
    put16(out, 32);
    if (extensible) {
        put16(out, 22);
        put16(out, 32);
        put32(out, audio.channelMask);
        // KSDATAFORMAT_SUBTYPE_IEEE_FLOAT
        const uint8_t guid[16] = {3, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
        out.insert(out.end(), guid, guid + 16);
    }
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put32(out, dataBytes);
    const std::size_t header = out.size();
    out.resize(header + dataBytes);
    std::memcpy(out.data() + header, audio.samples.data(), dataBytes);  // little-endian host
    std::ofstream file(path, std::ios::binary);
    if (!file.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()))) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace vl::aac::tools
