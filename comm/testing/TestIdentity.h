// comm/testing: the TLS identity of the servers a test program starts.
#pragma once

#include "comm/KeychainIdentityManager.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <optional>

namespace vl::testing {

// One per test program: generating a key takes a while.
inline std::optional<TlsIdentity> testIdentity() {
    static const std::optional<TlsIdentity> identity = [] {
        MemoryKeychain keychain;
        return KeychainIdentityManager::getOrCreateIdentity(keychain);
    }();
    return identity;
}

}  // namespace vl::testing
