#include "client/VideoSink.h"

namespace vl {

std::unique_ptr<VideoSink> VideoSink::open(Options options, std::string* error) {
    std::unique_ptr<VideoSink> sink(new VideoSink(std::move(options)));
    if (!sink->options_.recordPath.empty()) {
        sink->record_.open(sink->options_.recordPath, std::ios::binary | std::ios::trunc);
        if (!sink->record_) {
            if (error) *error = "cannot write " + sink->options_.recordPath;
            return nullptr;
        }
    }
    if (sink->options_.decode) {
        sink->decoder_ = HevcDecoder::create(sink->options_.decoder);
        if (!sink->decoder_) {
            if (error) *error = "libavcodec has no HEVC decoder";
            return nullptr;
        }
        sink->decoderDescription_ = sink->decoder_->description();
        sink->decoderFallbackReason_ = sink->decoder_->fallbackReason();
        sink->decoding_ = std::thread([raw = sink.get()] { raw->decodeLoop(); });
    }
    return sink;
}

VideoSink::~VideoSink() {
    finish();
}

void VideoSink::push(ByteView unit) {
    const auto arrived = Clock::now();
    if (record_.is_open()) {
        record_.write(reinterpret_cast<const char*>(unit.data()),
                      static_cast<std::streamsize>(unit.size()));
    }
    std::lock_guard lock(mutex_);
    stats_.add(unit);
    if (record_.is_open() && !record_) recordOk_ = false;
    if (decoder_ && !finishing_) {
        pending_.emplace_back(Bytes(unit.begin(), unit.end()), arrived);
        changed_.notify_all();
    }
}

void VideoSink::decodeLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return finishing_ || !pending_.empty(); });
        if (pending_.empty()) break;  // finishing and drained
        auto [unit, arrived] = std::move(pending_.front());
        pending_.pop_front();
        lock.unlock();
        auto pictures = decoder_->decode(unit);
        for (const auto& picture : pictures)
            if (options_.onPicture) options_.onPicture(picture, arrived);
        lock.lock();
        pictures_ += pictures.size();
        errors_ = decoder_->errorCount();
        lastError_ = decoder_->lastError();
        decoderDescription_ = decoder_->description();
        decoderFallbackReason_ = decoder_->fallbackReason();
        if (options_.keepLastPicture && !pictures.empty()) last_ = std::move(pictures.back());
        changed_.notify_all();
    }
}

void VideoSink::finish() {
    {
        std::lock_guard lock(mutex_);
        if (finishing_) return;
        finishing_ = true;
        changed_.notify_all();
    }
    if (decoding_.joinable()) decoding_.join();
    if (decoder_) {
        // With low delay nothing should be held back; take whatever is.
        auto pictures = decoder_->flush();
        for (const auto& picture : pictures)
            if (options_.onPicture) options_.onPicture(picture, Clock::now());
        std::lock_guard lock(mutex_);
        pictures_ += pictures.size();
        if (options_.keepLastPicture && !pictures.empty()) last_ = std::move(pictures.back());
    }
    if (record_.is_open()) {
        record_.close();
        std::lock_guard lock(mutex_);
        if (record_.fail()) recordOk_ = false;
    }
}

StreamStats VideoSink::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}
std::uint64_t VideoSink::picturesDecoded() const {
    std::lock_guard lock(mutex_);
    return pictures_;
}
int VideoSink::decodeErrors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}
std::string VideoSink::lastDecodeError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}
std::string VideoSink::decoderDescription() const {
    std::lock_guard lock(mutex_);
    return decoderDescription_;
}
std::string VideoSink::decoderFallbackReason() const {
    std::lock_guard lock(mutex_);
    return decoderFallbackReason_;
}
bool VideoSink::recordOk() const {
    std::lock_guard lock(mutex_);
    return recordOk_;
}
std::optional<DecodedPicture> VideoSink::lastPicture() const {
    std::lock_guard lock(mutex_);
    return last_;
}

}  // namespace vl
