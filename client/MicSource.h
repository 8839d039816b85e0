// client: the headset's microphone as the command-line client plays it — a WAV file (48 kHz,
// mono or stereo, 16-bit or float) sent as AAC-ELD access units of 480 stereo frames, paced at
// real time, from the server's micStart to its micStop.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vl {

class StreamClient;

// Interleaved stereo float frames at 48 kHz from a WAV file; none (with the reason) when the
// file is not one this reads.
std::optional<std::vector<float>> readStereoWav(const std::string& path, std::string* error);

// The microphone connection as the headset keeps it: opened at once (its first packet carries no
// audio, so that the server sees the stream), then idle until micStart; from then on the file,
// from its start and looped, goes out until micStop. Each event is reported through `report` as
// "micStart at S.sss (monotonic M.mmmmmm)" or the same for micStop: seconds since the stream was
// opened, and the system's monotonic clock.
class MicStream {
  public:
    static std::unique_ptr<MicStream> open(const std::string& host, std::uint16_t port,
                                           const std::string& wavPath,
                                           std::function<void(const std::string&)> report,
                                           std::string* error);
    ~MicStream();

    std::uint64_t packetsSent() const { return packetsSent_; }
    bool isOpen() const;

  private:
    MicStream() = default;
    void run();
    void event(bool start);

    std::unique_ptr<StreamClient> client_;
    std::vector<float> samples_;
    std::function<void(const std::string&)> report_;
    std::chrono::steady_clock::time_point opened_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool streaming_ = false;
    bool restart_ = false;
    bool stopping_ = false;
    std::atomic<std::uint64_t> packetsSent_{0};
    std::thread thread_;
};

}  // namespace vl
