// app/tests: the server's settings and host facts over fakes, on a host named "atelier".
#pragma once

#include "app/SystemInfo.h"
#include "platform/defaults/fake/MemoryDefaults.h"
#include "platform/host/fake/FakeHostFacts.h"
#include "platform/power/fake/FakePower.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <memory>

namespace vl::testing {

struct TestSystem {
    std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
    std::shared_ptr<FakeHostFacts> host = [] {
        auto facts = std::make_shared<FakeHostFacts>();
        facts->name = "atelier";
        return facts;
    }();
    std::shared_ptr<SystemInfo> system = std::make_shared<SystemInfo>(SystemServices{
        defaults, std::make_shared<MemoryKeychain>(), std::make_shared<FakePower>(), host});
};

}  // namespace vl::testing
