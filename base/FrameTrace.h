// base: stage timestamps of video frames on their way from the capture tick to the glass, for
// the benchmarks' stage tables. Off unless a benchmark turns it on; while off a mark costs one
// relaxed atomic load. A frame is named by its capture presentation time in nanoseconds.
#pragma once

#include "base/DispatchQueue.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

enum class FrameStage : std::uint8_t {
    captureTick,  // the capture woke for its tick
    grabbed,      // the screen's pixels are in memory
    converted,    // cursor drawn in and converted to 4:2:0
    encoderIn,    // handed to the encoder
    encoderOut,   // the encoder gave the access unit back
    sent,         // handed to the client's connection
    arrived,      // the client received the access unit
    decoded,      // the client has the picture
    presented,    // the picture is on the glass
};
inline constexpr std::size_t frameStageCount = 9;
std::string_view description(FrameStage stage);

class FrameTrace {
  public:
    struct Mark {
        FrameStage stage = FrameStage::captureTick;
        std::uint64_t frame = 0;
        Clock::time_point at;
    };

    static bool enabled() { return enabled_.load(std::memory_order_relaxed); }
    // Starts recording afresh, keeping at most `capacity` marks (later ones are not kept).
    static void enable(std::size_t capacity);
    static void disable();
    static void mark(FrameStage stage, std::uint64_t frame, Clock::time_point at = Clock::now()) {
        if (enabled()) record({stage, frame, at});
    }
    // The marks so far, in the order they were made; recording goes on.
    static std::vector<Mark> marks();
    // Writes them as lines "STAGE FRAME NS" (stage number, frame, steady-clock nanoseconds) for
    // a benchmark in another process to join with its own; false when the file cannot be written.
    static bool write(const std::string& path);

    // The frame whose access unit this thread is handing on, for the stages downstream that see
    // only bytes (0: none).
    static std::uint64_t current() { return current_; }
    class Scope {
      public:
        explicit Scope(std::uint64_t frame) : previous_(current_) { current_ = frame; }
        ~Scope() { current_ = previous_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        std::uint64_t previous_;
    };

  private:
    static void record(const Mark& mark);
    static std::atomic<bool> enabled_;
    static thread_local std::uint64_t current_;
};

}  // namespace vl
