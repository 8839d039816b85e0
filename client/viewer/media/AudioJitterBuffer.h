// client/viewer/media: the few milliseconds of audio between the network and the sound card. The
// receive thread pushes decoded packets, the audio device's thread pulls what it plays. Playback
// starts once a packet interval plus a margin is queued; an empty queue plays silence and primes
// again; a queue beyond its ceiling drops its oldest frames back to the target, so bursts never
// add lasting latency. Volume and mute scale what is pulled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace vl {

class AudioJitterBuffer {
  public:
    struct Config {
        int channels = 2;
        // Queued frames needed before playing (and again after an underrun); also what an overrun
        // trims back to.
        std::size_t primeFrames = 720;
        // More than this queued is an overrun.
        std::size_t maxFrames = 1440;
    };

    struct Counters {
        std::uint64_t pushedFrames = 0;
        std::uint64_t playedFrames = 0;  // real audio pulled, silence excluded
        std::uint64_t underruns = 0;     // a playing queue that ran dry
        std::uint64_t overruns = 0;
        std::uint64_t droppedFrames = 0;  // discarded by overruns
        std::size_t queuedFrames = 0;
        bool playing = false;
        // Mean queued frames seen at each pull while playing: the latency the buffer adds.
        double meanQueuedFrames = 0;
    };

    explicit AudioJitterBuffer(Config config);

    int channels() const { return config_.channels; }

    // Any thread: appends interleaved frames.
    void push(const float* samples, std::size_t frames);
    // Any thread: fills exactly `frames` interleaved frames, silence where there is no audio.
    void pull(float* out, std::size_t frames);

    // 0..1, clamped; linear gain.
    void setVolume(float volume);
    float volume() const { return volume_.load(); }
    void setMuted(bool muted) { muted_ = muted; }
    void toggleMute() { muted_ = !muted_.load(); }
    bool muted() const { return muted_.load(); }

    Counters counters() const;

  private:
    std::size_t queuedFramesLocked() const;
    void dropOldestLocked(std::size_t frames);

    const Config config_;
    std::atomic<float> volume_{1.0f};
    std::atomic<bool> muted_{false};

    mutable std::mutex mutex_;  // guards the fields below; held only to copy samples
    std::vector<float> queue_;  // interleaved; frames before `head_` are already played
    std::size_t head_ = 0;      // in samples
    bool playing_ = false;
    Counters counters_;
    double queuedSum_ = 0;
    std::uint64_t playingPulls_ = 0;
};

}  // namespace vl
