#include "client/viewer/media/AudioJitterBuffer.h"

#include <algorithm>

namespace vl {

AudioJitterBuffer::AudioJitterBuffer(Config config)
    : config_(config), prime_(config.minPrimeFrames) {
    queue_.reserve((config_.maxPrimeFrames * 2) * std::size_t(config_.channels));
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
    if (queued > config_.ceilingFrames) {
        ++counters_.overruns;
        dropOldestLocked(queued - prime_);
    }
}

void AudioJitterBuffer::endWindowLocked() {
    const std::size_t step = config_.stepFrames;
    if (!windowUnderran_ && windowLowest_ != SIZE_MAX && windowLowest_ > 2 * step) {
        // Never below this all window long: latency the jitter did not need.
        ++counters_.trims;
        dropOldestLocked(std::min(windowLowest_ - step, queuedFramesLocked()));
        prime_ = std::max(config_.minPrimeFrames, prime_ > step ? prime_ - step : 0);
    }
    windowPulled_ = 0;
    windowLowest_ = SIZE_MAX;
    windowUnderran_ = false;
}

void AudioJitterBuffer::pull(float* out, std::size_t frames) {
    const std::size_t channels = std::size_t(config_.channels);
    std::size_t played = 0;
    {
        std::lock_guard lock(mutex_);
        const std::size_t queued = queuedFramesLocked();
        if (!playing_ && queued >= prime_) playing_ = true;
        if (playing_) {
            played = std::min(queued, frames);
            // Between two pulls the queue moves from its level after one to its level before the
            // next: the midpoint stands for the time it holds.
            queuedSum_ += double(queued) - double(played) / 2;
            ++playingPulls_;
            std::copy_n(queue_.begin() + std::ptrdiff_t(head_), played * channels, out);
            head_ += played * channels;
            counters_.playedFrames += played;
            if (played < frames) {
                ++counters_.underruns;
                playing_ = false;
                windowUnderran_ = true;
                prime_ = std::min(config_.maxPrimeFrames, prime_ + config_.stepFrames);
            }
            windowLowest_ = std::min(windowLowest_, queued - played);
            windowPulled_ += frames;
            if (windowPulled_ >= config_.windowFrames) endWindowLocked();
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
    counters.primeFrames = prime_;
    counters.playing = playing_;
    counters.meanQueuedFrames = playingPulls_ ? queuedSum_ / double(playingPulls_) : 0;
    return counters;
}

}  // namespace vl
