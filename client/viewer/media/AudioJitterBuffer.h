// client/viewer/media: the few milliseconds of audio between the network and the sound card. The
// receive thread pushes decoded packets, the audio device's thread pulls what it plays; both come
// in bursts on a busy machine. Playback starts once the priming level is queued. An empty queue
// plays silence, raises the priming level a step (up to its ceiling) and primes again. Latency
// that stands — the queue never drained below a margin for a whole window — is dropped from the
// oldest end and the priming level steps back down, so the added latency follows the jitter and
// never creeps up; beyond a hard ceiling the oldest frames go at once. Volume and mute scale what
// is pulled.
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
        // The priming level: where it starts, how far underruns may raise it, and by how much.
        std::size_t minPrimeFrames = 736;
        std::size_t maxPrimeFrames = 1440;
        std::size_t stepFrames = 240;
        // Pulled frames per window; a window whose lowest queue (after a pull) stayed above two
        // steps drops all but one step of it.
        std::size_t windowFrames = 96000;
        // More than this queued is dropped back to the priming level at once.
        std::size_t ceilingFrames = 4800;
    };

    struct Counters {
        std::uint64_t pushedFrames = 0;
        std::uint64_t playedFrames = 0;   // real audio pulled, silence excluded
        std::uint64_t underruns = 0;      // a playing queue that ran dry
        std::uint64_t overruns = 0;       // the hard ceiling passed
        std::uint64_t trims = 0;          // standing latency dropped
        std::uint64_t droppedFrames = 0;  // by overruns and trims
        std::size_t queuedFrames = 0;
        std::size_t primeFrames = 0;
        bool playing = false;
        // Mean queued frames while playing, as the midpoint around each pull: the latency the
        // buffer adds.
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
    void toggleMute() { muted_ = !muted_.load(); }
    bool muted() const { return muted_.load(); }

    Counters counters() const;

  private:
    std::size_t queuedFramesLocked() const;
    void dropOldestLocked(std::size_t frames);
    void endWindowLocked();

    const Config config_;
    std::atomic<float> volume_{1.0f};
    std::atomic<bool> muted_{false};

    mutable std::mutex mutex_;  // guards the fields below; held only to copy samples
    std::vector<float> queue_;  // interleaved; frames before `head_` are already played
    std::size_t head_ = 0;      // in samples
    bool playing_ = false;
    std::size_t prime_;
    // The current window: frames pulled, the lowest queue after a pull, whether it ran dry.
    std::size_t windowPulled_ = 0;
    std::size_t windowLowest_ = SIZE_MAX;
    bool windowUnderran_ = false;
    Counters counters_;
    double queuedSum_ = 0;
    std::uint64_t playingPulls_ = 0;
};

}  // namespace vl
