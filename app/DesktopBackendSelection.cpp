#include "app/DesktopBackendSelection.h"

namespace vl {

DesktopBackend selectDesktopBackend(const DesktopSessionFacts& facts,
                                    const std::function<void(const std::string&)>& report) {
    const DesktopBackendChoice choice = chooseDesktopBackend(facts);
    report(choice.report);
    return choice.backend;
}

}  // namespace vl
