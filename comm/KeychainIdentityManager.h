// comm: the server's TLS identity — an RSA-2048 key and a self-signed certificate kept in the
// keychain service, found by label or made on first use. The certificate is written in DER by
// hand (comm/Der.h); no certificate library is involved.
#pragma once

#include "base/Bytes.h"
#include "platform/network/Interface.h"
#include "platform/security/Interface.h"

#include <chrono>
#include <optional>

namespace vl::KeychainIdentityManager {

// Where the two items live: the key under its application tag, the certificate under its own
// service; both carry the label as their account.
inline constexpr const char* keyTag = "com.vantrellink.server.tlskey";
inline constexpr const char* certificateService = "com.vantrellink.server.tlscertificate";
inline constexpr const char* label = "VantrelLink Server TLS";
inline constexpr const char* commonName = "VantrelLink-Server";

// The stored identity, or a new one generated, stored and found again. Callers in one process are
// served one at a time, so servers starting together share the identity the first one made.
std::optional<TlsIdentity> getOrCreateIdentity(Keychain& keychain);
// A key and a certificate carrying that key's public half; nothing otherwise.
std::optional<TlsIdentity> findExistingIdentity(Keychain& keychain);
std::optional<TlsIdentity> generateAndStoreIdentity(Keychain& keychain);
void removeExistingItems(Keychain& keychain);

// The DER certificate for the key pair (PKCS #1 public and private keys), valid from `now` for
// ten calendar years; nothing when signing fails.
std::optional<Bytes> createSelfSignedCertificate(
    ByteView publicKey, ByteView privateKey,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
std::optional<Bytes> sign(ByteView data, ByteView privateKey);

}  // namespace vl::KeychainIdentityManager
