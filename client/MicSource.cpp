#include "client/MicSource.h"

#include "Capture/ZuAudioEncoder.h"
#include "client/StreamClient.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace vl {

namespace {

std::uint32_t le32(const char* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
std::uint16_t le16(const char* p) {
    std::uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

}  // namespace

std::optional<std::vector<float>> readStereoWav(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> file((std::istreambuf_iterator<char>(in)), {});
    auto fail = [&](const std::string& why) {
        if (error) *error = path + ": " + why;
        return std::nullopt;
    };
    if (!in && file.empty()) return fail("cannot be read");
    if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
        std::memcmp(file.data() + 8, "WAVE", 4) != 0)
        return fail("not a WAV file");
    std::uint16_t format = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    const char* data = nullptr;
    std::size_t dataSize = 0;
    for (std::size_t at = 12; at + 8 <= file.size();) {
        const char* chunk = file.data() + at;
        const std::size_t size = le32(chunk + 4);
        const std::size_t body = std::min(size, file.size() - at - 8);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && body >= 16) {
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            bits = le16(chunk + 22);
            if (format == 0xFFFE && body >= 40) format = le16(chunk + 8 + 24);  // extensible
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            dataSize = body;
        }
        at += 8 + size + (size & 1);
    }
    if (!data || channels == 0) return fail("no audio in it");
    if (rate != 48000) return fail("is " + std::to_string(rate) + " Hz; the microphone is 48 kHz");
    if (channels > 2) return fail("has more than two channels");
    const bool isFloat = format == 3 && bits == 32;
    const bool isShort = format == 1 && bits == 16;
    if (!isFloat && !isShort) return fail("is neither 16-bit PCM nor 32-bit float");
    const std::size_t bytesPerSample = bits / 8;
    const std::size_t frames = dataSize / (bytesPerSample * channels);
    std::vector<float> stereo(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < 2; ++c) {
            const char* p =
                data + (i * channels + std::min<std::size_t>(c, channels - 1)) * bytesPerSample;
            float v;
            if (isFloat)
                std::memcpy(&v, p, 4);
            else
                v = float(std::int16_t(le16(p))) / 32768.0f;
            stereo[2 * i + c] = v;
        }
    }
    if (stereo.empty()) return fail("holds no frames");
    return stereo;
}

std::unique_ptr<MicStream> MicStream::open(const std::string& host, std::uint16_t port,
                                           const std::string& wavPath,
                                           std::function<void(const std::string&)> report,
                                           std::string* error) {
    auto samples = readStereoWav(wavPath, error);
    if (!samples) return nullptr;
    std::unique_ptr<MicStream> stream(new MicStream);
    stream->samples_ = std::move(*samples);
    stream->report_ = std::move(report);
    stream->client_ = StreamClient::connect(host, port, StreamOptions::media());
    if (!stream->client_->waitForState(ConnectionState::ready)) {
        if (error) *error = "the microphone port did not answer";
        return nullptr;
    }
    stream->opened_ = std::chrono::steady_clock::now();
    MicStream* self = stream.get();
    stream->client_->setPacketHandler([self](Packet&& packet) {
        if (packet.type != PacketType::pktInteractiveTap) return;
        if (packet.subType == InteractionType::micStart) self->event(true);
        if (packet.subType == InteractionType::micStop) self->event(false);
    });
    // No payload: the server takes no audio from it, but now knows the stream.
    stream->client_->send(Packet(PacketType::pktAudioStreamData, InteractionType::undefined));
    stream->thread_ = std::thread([self] { self->run(); });
    return stream;
}

MicStream::~MicStream() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (client_) client_->close();
}

bool MicStream::isOpen() const {
    return client_ && client_->isOpen();
}

void MicStream::event(bool start) {
    const double at =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - opened_).count();
    // The monotonic clock too, which other programs on this machine can compare with.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char text[96];
    std::snprintf(text, sizeof text, "%s at %.3f (monotonic %.6f)", start ? "micStart" : "micStop",
                  at, double(now.tv_sec) + double(now.tv_nsec) / 1e9);
    if (report_) report_(text);
    {
        std::lock_guard lock(mutex_);
        streaming_ = start;
        if (start) restart_ = true;
    }
    changed_.notify_all();
}

void MicStream::run() {
    constexpr std::size_t frames = ZuAudioEncoder::framesPerPacket;
    constexpr auto packetDuration = std::chrono::microseconds(10000);  // 480 frames at 48 kHz
    std::unique_ptr<ZuAudioEncoder> encoder;
    std::size_t position = 0;
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (!streaming_) {
            changed_.wait(lock, [this] { return stopping_ || streaming_; });
            continue;
        }
        if (restart_) {
            // Each capture starts afresh: a new encoder, the file from its start, the clock now.
            restart_ = false;
            encoder = ZuAudioEncoder::create(ZuChannels::stereo);
            position = 0;
            next = std::chrono::steady_clock::now();
        }
        lock.unlock();
        std::vector<float> chunk(frames * 2);
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            chunk[i] = samples_[position];
            position = (position + 1) % samples_.size();
        }
        if (encoder) {
            for (Bytes& unit :
                 encoder->encode(ZuAudioBuffer::makeInterleaved(2, std::move(chunk)))) {
                client_->send(
                    Packet(PacketType::pktAudioStreamData, InteractionType::undefined, unit));
                ++packetsSent_;
            }
        }
        next += packetDuration;
        lock.lock();
        changed_.wait_until(lock, next, [this] { return stopping_ || !streaming_; });
    }
}

}  // namespace vl
