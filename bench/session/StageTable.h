// The stage table of the latency benchmark: where the time of each glass-to-glass sample goes,
// from the change on the screen through the server's stages (marked by the pipeline while the
// frame trace is on) to the client's arrival, decode and presentation (marked by the benchmark).
#pragma once

#include "base/FrameTrace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vl::bench {

inline double percentileOf(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = p / 100 * static_cast<double>(values.size() - 1);
    const auto low = static_cast<std::size_t>(std::floor(rank));
    const auto high = std::min(low + 1, values.size() - 1);
    return values[low] + (values[high] - values[low]) * (rank - static_cast<double>(low));
}

class StageTable {
  public:
    // One glass-to-glass sample: when the change was drawn, and the client's view of the access
    // unit that first showed it (its index in arrival order and when it arrived, was decoded and
    // presented).
    struct Sample {
        Clock::time_point drawn;
        std::size_t unit = 0;
        Clock::time_point arrived, decoded, presented;
        std::size_t bytes = 0;
        bool keyFrame = false;
    };

    // The server's marks are joined to the client's units by order: the n-th access unit sent
    // is the n-th to arrive (one reliable stream, nothing dropped after the hand-off).
    explicit StageTable(const std::vector<FrameTrace::Mark>& marks) {
        for (const auto& mark : marks) {
            if (mark.stage == FrameStage::sent) sentOrder_.push_back(mark.frame);
            auto& times = byFrame_[mark.frame];
            times[static_cast<std::size_t>(mark.stage)] = mark.at;
        }
    }

    // Prints the table of median and p99 per stage over the samples whose frame was traced
    // from tick to hand-off, and the samples in the slowest percent with their frame's size.
    void print(const std::string& title, const std::vector<Sample>& samples) const {
        // Change → tick, five server stages, three client stages.
        constexpr std::size_t rows = frameStageCount;
        std::vector<std::vector<double>> columns(rows);
        std::vector<double> totals, bytes;
        struct Slow {
            std::size_t index;
            double total;
            std::vector<double> parts;
            std::size_t bytes;
            bool key;
        };
        std::vector<Slow> all;
        std::size_t untraced = 0;
        for (const Sample& s : samples) {
            const auto server = serverTimes(s.unit);
            if (!server) {
                ++untraced;
                continue;
            }
            std::vector<Clock::time_point> points{s.drawn};
            for (std::size_t i = 0; i <= static_cast<std::size_t>(FrameStage::sent); ++i)
                points.push_back((*server)[i]);
            points.insert(points.end(), {s.arrived, s.decoded, s.presented});
            std::vector<double> parts;
            for (std::size_t i = 1; i < points.size(); ++i)
                parts.push_back(ms(points[i] - points[i - 1]));
            for (std::size_t i = 0; i < parts.size(); ++i) columns[i].push_back(parts[i]);
            const double total = ms(s.presented - s.drawn);
            totals.push_back(total);
            bytes.push_back(static_cast<double>(s.bytes));
            all.push_back(
                {static_cast<std::size_t>(&s - samples.data()), total, parts, s.bytes, s.keyFrame});
        }
        static const char* names[rows] = {
            "change -> capture tick",  "tick -> grabbed",    "grabbed -> converted",
            "converted -> encoder in", "encoder in -> out",  "encoder out -> sent",
            "sent -> arrived",         "arrived -> decoded", "decoded -> presented"};
        std::printf("STAGES %s, %zu samples (%zu not traced)\n", title.c_str(), totals.size(),
                    untraced);
        std::printf("  %-26s %9s %9s\n", "stage", "median", "p99");
        for (std::size_t i = 0; i < rows; ++i)
            std::printf("  %-26s %9.2f %9.2f\n", names[i], percentileOf(columns[i], 50),
                        percentileOf(columns[i], 99));
        std::printf("  %-26s %9.2f %9.2f  (p99/median %.2f)\n", "glass to glass",
                    percentileOf(totals, 50), percentileOf(totals, 99),
                    percentileOf(totals, 50) > 0
                        ? percentileOf(totals, 99) / percentileOf(totals, 50)
                        : 0.0);
        std::printf("  %-26s %9.0f %9.0f\n", "access unit bytes", percentileOf(bytes, 50),
                    percentileOf(bytes, 99));
        std::sort(all.begin(), all.end(),
                  [](const Slow& a, const Slow& b) { return a.total > b.total; });
        const std::size_t slowest =
            std::min<std::size_t>(all.size(), std::max<std::size_t>(3, all.size() / 50));
        for (std::size_t i = 0; i < slowest; ++i) {
            std::printf("  slow %5.1f ms (change %zu, %s, %zu bytes):", all[i].total,
                        all[i].index + 1, all[i].key ? "key" : "delta", all[i].bytes);
            for (double part : all[i].parts) std::printf(" %.1f", part);
            std::printf("\n");
        }
    }

  private:
    using Times = std::map<std::size_t, Clock::time_point>;
    static double ms(Clock::duration d) {
        return std::chrono::duration<double, std::milli>(d).count();
    }
    // The server's times of the unit that arrived n-th, tick to hand-off; nothing when one is
    // missing.
    std::optional<std::vector<Clock::time_point>> serverTimes(std::size_t unit) const {
        if (unit >= sentOrder_.size()) return std::nullopt;
        const auto found = byFrame_.find(sentOrder_[unit]);
        if (found == byFrame_.end()) return std::nullopt;
        std::vector<Clock::time_point> times;
        for (std::size_t i = 0; i <= static_cast<std::size_t>(FrameStage::sent); ++i) {
            const auto at = found->second.find(i);
            if (at == found->second.end()) return std::nullopt;
            times.push_back(at->second);
        }
        return times;
    }

    std::vector<std::uint64_t> sentOrder_;
    std::map<std::uint64_t, Times> byFrame_;
};

}  // namespace vl::bench
