// app: which desktop backends the server runs on, decided once at start from the session (see
// platform/mutter/DesktopBackendChoice.h) and reported.
#pragma once

#include "platform/mutter/DesktopBackendChoice.h"

#include <functional>
#include <string>

namespace vl {

// The backend the server runs with; the report names it (and, on a Wayland session, what it
// lacks).
DesktopBackend selectDesktopBackend(const DesktopSessionFacts& facts,
                                    const std::function<void(const std::string&)>& report);

}  // namespace vl
