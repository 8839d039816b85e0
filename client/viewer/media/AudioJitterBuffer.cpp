#include "client/viewer/media/AudioJitterBuffer.h"

#include <algorithm>

namespace vl {

AudioJitterBuffer::AudioJitterBuffer(Config config) : config_(config) {
    queue_.reserve((config_.maxFrames + config_.primeFrames) * std::size_t(config_.channels));
}

void AudioJitterBuffer::setVolume(float volume) {
    volume_ = std::clamp(volume, 0.0f, 1.0f);
}

std::size_t AudioJitterBuffer::queuedFramesLocked() const {
    return (queue_.size() - head_) / std::size_t(config_.channels);
}

void AudioJitterBuffer::dropOldestLocked(std::size_t frames) {
    head_ += frames * std::size_t(config_.channels);
    counters_.droppedFrames += frames;
}

void AudioJitterBuffer::push(const float* samples, std::size_t frames) {
    const std::size_t channels = std::size_t(config_.channels);
    std::lock_guard lock(mutex_);
    // Played samples are reclaimed before they would make the vector grow.
    if (head_ > 0 && queue_.size() + frames * channels > queue_.capacity()) {
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
    }
    queue_.insert(queue_.end(), samples, samples + frames * channels);
    counters_.pushedFrames += frames;
    const std::size_t queued = queuedFramesLocked();
    if (queued > config_.maxFrames) {
        // Latency must not grow with a burst: back to the target, the oldest frames go.
        ++counters_.overruns;
        dropOldestLocked(queued - config_.primeFrames);
    }
}

void AudioJitterBuffer::pull(float* out, std::size_t frames) {
    const std::size_t channels = std::size_t(config_.channels);
    std::size_t played = 0;
    {
        std::lock_guard lock(mutex_);
        const std::size_t queued = queuedFramesLocked();
        if (!playing_ && queued >= config_.primeFrames) playing_ = true;
        if (playing_) {
            queuedSum_ += double(queued);
            ++playingPulls_;
            played = std::min(queued, frames);
            std::copy_n(queue_.begin() + std::ptrdiff_t(head_), played * channels, out);
            head_ += played * channels;
            counters_.playedFrames += played;
            if (played < frames) {
                ++counters_.underruns;
                playing_ = false;
            }
            if (head_ == queue_.size()) {
                queue_.clear();
                head_ = 0;
            }
        }
    }
    std::fill(out + played * channels, out + frames * channels, 0.0f);
    const float gain = muted_ ? 0.0f : volume_.load();
    if (gain != 1.0f)
        for (std::size_t i = 0; i < played * channels; ++i) out[i] *= gain;
}

AudioJitterBuffer::Counters AudioJitterBuffer::counters() const {
    std::lock_guard lock(mutex_);
    Counters counters = counters_;
    counters.queuedFrames = queuedFramesLocked();
    counters.playing = playing_;
    counters.meanQueuedFrames = playingPulls_ ? queuedSum_ / double(playingPulls_) : 0;
    return counters;
}

}  // namespace vl
