// platform/security/file: keychain items as files, one per item, readable by the user only.
#pragma once

#include "platform/security/Interface.h"

#include <filesystem>
#include <mutex>

namespace vl {

class FileKeychain final : public Keychain {
  public:
    // Items live in `directory` (created mode 0700 when missing).
    explicit FileKeychain(std::filesystem::path directory);

    std::optional<Bytes> copyItem(const std::string& service, const std::string& account) override;
    KeychainStatus addItem(const std::string& service, const std::string& account,
                           ByteView data) override;
    KeychainStatus deleteItem(const std::string& service, const std::string& account) override;

    std::filesystem::path pathOf(const std::string& service, const std::string& account) const;

  private:
    std::filesystem::path directory_;
    std::mutex mutex_;
};

}  // namespace vl
