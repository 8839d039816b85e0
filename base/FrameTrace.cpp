#include "base/FrameTrace.h"

#include <cstdio>
#include <mutex>

namespace vl {

namespace {

// Never destroyed: marks may come from threads that outlive main's statics.
struct Store {
    std::mutex mutex;
    std::vector<FrameTrace::Mark> marks;
    std::size_t capacity = 0;
};
Store& store() {
    static auto* shared = new Store;
    return *shared;
}

}  // namespace

std::atomic<bool> FrameTrace::enabled_{false};
thread_local std::uint64_t FrameTrace::current_ = 0;

std::string_view description(FrameStage stage) {
    switch (stage) {
        case FrameStage::captureTick:
            return "capture tick";
        case FrameStage::grabbed:
            return "grabbed";
        case FrameStage::converted:
            return "converted";
        case FrameStage::encoderIn:
            return "encoder in";
        case FrameStage::encoderOut:
            return "encoder out";
        case FrameStage::sent:
            return "sent";
        case FrameStage::arrived:
            return "arrived";
        case FrameStage::decoded:
            return "decoded";
        case FrameStage::presented:
            return "presented";
    }
    return "unknown stage";
}

void FrameTrace::enable(std::size_t capacity) {
    auto& s = store();
    {
        std::lock_guard lock(s.mutex);
        s.marks.clear();
        s.marks.reserve(capacity);
        s.capacity = capacity;
    }
    enabled_ = true;
}

void FrameTrace::disable() {
    enabled_ = false;
}

std::vector<FrameTrace::Mark> FrameTrace::marks() {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    return s.marks;
}

bool FrameTrace::write(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    for (const Mark& mark : marks()) {
        std::fprintf(file, "%d %llu %lld\n", static_cast<int>(mark.stage),
                     static_cast<unsigned long long>(mark.frame),
                     static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                mark.at.time_since_epoch())
                                                .count()));
    }
    return std::fclose(file) == 0;
}

void FrameTrace::record(const Mark& mark) {
    auto& s = store();
    std::lock_guard lock(s.mutex);
    if (s.marks.size() < s.capacity) s.marks.push_back(mark);
}

}  // namespace vl
