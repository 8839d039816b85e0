// comm: every port of a session derives from the control port P.
#pragma once

#include <optional>

namespace vl {

struct PortPlan {
    int control = 0;  // P

    int audio() const { return control + 1; }
    int video() const { return control + 2; }
    int speedTest() const { return control + 3; }
    int mic() const { return control + 4; }
    int cam() const { return control + 5; }

    // Extra display slots 1 to 4 have their video on P + 6 to P + 9.
    std::optional<int> monitorPort(int index) const {
        if (index < 1 || index > 4) return std::nullopt;
        return control + 6 + (index - 1);
    }
    std::optional<int> monitorIndex(int port) const {
        const int difference = port - (control + 6);
        if (difference < 0 || difference > 3) return std::nullopt;
        return difference + 1;
    }
};

}  // namespace vl
