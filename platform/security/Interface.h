// platform/security: the keychain — secret items kept per (service, account), private to the user.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>

namespace vl {

enum class KeychainStatus { success, itemNotFound, duplicateItem, ioError };

inline const char* description(KeychainStatus status) {
    switch (status) {
        case KeychainStatus::success:
            return "success";
        case KeychainStatus::itemNotFound:
            return "item not found";
        case KeychainStatus::duplicateItem:
            return "duplicate item";
        case KeychainStatus::ioError:
            return "I/O error";
    }
    return "unknown";
}

// Generic items, as the platform keychain stores them: adding an item that exists fails with
// duplicateItem (delete first to replace). Safe to call from any thread.
class Keychain {
  public:
    virtual ~Keychain() = default;

    virtual std::optional<Bytes> copyItem(const std::string& service,
                                          const std::string& account) = 0;
    virtual KeychainStatus addItem(const std::string& service, const std::string& account,
                                   ByteView data) = 0;
    virtual KeychainStatus deleteItem(const std::string& service, const std::string& account) = 0;
};

}  // namespace vl
