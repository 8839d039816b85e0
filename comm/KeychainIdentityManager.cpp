#include "comm/KeychainIdentityManager.h"

#include "base/Log.h"
#include "comm/Der.h"
#include "platform/crypto/Rsa.h"
#include "platform/security/Interface.h"

#include <algorithm>
#include <mutex>

namespace vl::KeychainIdentityManager {

namespace {

std::mutex identityMutex;

void report(const std::string& text, LogLevel level = LogLevel::info) {
    logMsg(text, level);
}

Bytes concat(std::initializer_list<ByteView> parts) {
    Bytes out;
    for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// The certificate belongs to the key when it carries the key's public half.
bool certificateMatchesKey(ByteView certificate, ByteView privateKey) {
    auto publicKey = rsa::publicKeyOf(privateKey);
    if (!publicKey) return false;
    Bytes info = derSubjectPublicKeyInfo(*publicKey);
    return std::search(certificate.begin(), certificate.end(), info.begin(), info.end()) !=
           certificate.end();
}

// What the platform checks before it takes bytes as a certificate: one DER SEQUENCE that spans
// exactly the bytes given.
bool isWellFormedCertificate(ByteView der) {
    if (der.size() < 4 || der[0] != 0x30) return false;
    std::size_t length = 0, header = 2;
    if (der[1] < 0x80) {
        length = der[1];
    } else {
        std::size_t digits = der[1] & 0x7f;
        if (digits == 0 || digits > 4 || der.size() < 2 + digits) return false;
        for (std::size_t i = 0; i < digits; ++i) length = (length << 8) | der[2 + i];
        header += digits;
    }
    return header + length == der.size();
}

KeychainStatus storeCertificate(Keychain& keychain, ByteView certificate, ByteView privateKey) {
    auto status = keychain.addItem(certificateService, label, certificate);
    if (status != KeychainStatus::duplicateItem) return status;
    // A certificate left from an earlier key would never pair with this one: replace it.
    auto existing = keychain.copyItem(certificateService, label);
    if (existing && certificateMatchesKey(*existing, privateKey)) return KeychainStatus::success;
    keychain.deleteItem(certificateService, label);
    return keychain.addItem(certificateService, label, certificate);
}

}  // namespace

std::optional<TlsIdentity> getOrCreateIdentity(Keychain& keychain) {
    std::lock_guard lock(identityMutex);
    if (auto identity = findExistingIdentity(keychain)) {
        report("KeychainIdentityManager: using the stored TLS identity");
        return identity;
    }
    report("KeychainIdentityManager: no TLS identity stored; generating one");
    return generateAndStoreIdentity(keychain);
}

std::optional<TlsIdentity> findExistingIdentity(Keychain& keychain) {
    auto privateKey = keychain.copyItem(keyTag, label);
    auto certificate = keychain.copyItem(certificateService, label);
    if (!privateKey || !certificate || !certificateMatchesKey(*certificate, *privateKey))
        return std::nullopt;
    return TlsIdentity{std::move(*privateKey), std::move(*certificate)};
}

std::optional<TlsIdentity> generateAndStoreIdentity(Keychain& keychain) {
    CryptoError error;
    auto pair = rsa::generate(2048, &error);
    if (!pair) {
        report("KeychainIdentityManager: key generation failed – " + error.description(),
               LogLevel::error);
        return std::nullopt;
    }
    // The key is permanent from here on; a key left by an earlier failed attempt is replaced.
    auto keyStatus = keychain.addItem(keyTag, label, pair->privateKey);
    if (keyStatus == KeychainStatus::duplicateItem) {
        keychain.deleteItem(keyTag, label);
        keyStatus = keychain.addItem(keyTag, label, pair->privateKey);
    }
    if (keyStatus != KeychainStatus::success) {
        report("KeychainIdentityManager: storing the key failed (" +
                   std::string(description(keyStatus)) + ")",
               LogLevel::error);
        return std::nullopt;
    }
    if (pair->publicKey.empty()) {
        report("KeychainIdentityManager: the new key has no public key", LogLevel::error);
        return std::nullopt;
    }
    auto certificate = createSelfSignedCertificate(pair->publicKey, pair->privateKey);
    if (!certificate) {
        report("KeychainIdentityManager: no certificate could be made", LogLevel::error);
        return std::nullopt;
    }
    if (!isWellFormedCertificate(*certificate)) {
        report("KeychainIdentityManager: the certificate is not well-formed DER", LogLevel::error);
        return std::nullopt;
    }

    auto status = storeCertificate(keychain, *certificate, pair->privateKey);
    if (status != KeychainStatus::success) {
        report("KeychainIdentityManager: storing certificate failed (" +
                   std::string(description(status)) + "), cleaning up and retrying",
               LogLevel::warning);
        // Only the certificate goes: the key generated a moment ago must stay to pair with it.
        keychain.deleteItem(certificateService, label);
        status = keychain.addItem(certificateService, label, *certificate);
        if (status != KeychainStatus::success && status != KeychainStatus::duplicateItem) {
            report("KeychainIdentityManager: storing certificate failed after retry (" +
                       std::string(description(status)) + ")",
                   LogLevel::error);
            return std::nullopt;
        }
    }
    return findExistingIdentity(keychain);
}

void removeExistingItems(Keychain& keychain) {
    auto keys = keychain.deleteItem(keyTag, label);
    if (keys != KeychainStatus::success && keys != KeychainStatus::itemNotFound)
        report("KeychainIdentityManager: cleanup keys result " + std::string(description(keys)));
    auto certs = keychain.deleteItem(certificateService, label);
    if (certs != KeychainStatus::success && certs != KeychainStatus::itemNotFound)
        report("KeychainIdentityManager: cleanup certs result " + std::string(description(certs)));
}

std::optional<Bytes> sign(ByteView data, ByteView privateKey) {
    CryptoError error;
    auto signature = rsa::signSha256(privateKey, data, &error);
    if (!signature)
        report("KeychainIdentityManager: signing failed – " + error.description(), LogLevel::error);
    return signature;
}

std::optional<Bytes> createSelfSignedCertificate(ByteView publicKey, ByteView privateKey,
                                                 std::chrono::system_clock::time_point now) {
    if (publicKey.empty()) return std::nullopt;
    Bytes name =
        derSequence(derSet(derSequence(concat({derOID({2, 5, 4, 3}), derUTF8String(commonName)}))));
    Bytes toBeSigned = derSequence(concat({
        derExplicitTag(0, derInteger(Bytes{0x02})),  // version 3
        derInteger(Bytes{0x01}),                     // serial number
        sha256WithRSAEncryptionAlgorithm(),
        name,  // issuer
        derValidity(now),
        name,  // subject
        derSubjectPublicKeyInfo(publicKey),
    }));
    auto signature = sign(toBeSigned, privateKey);
    if (!signature) return std::nullopt;
    return derSequence(concat({toBeSigned, sha256WithRSAEncryptionAlgorithm(),
                               derBitString(concat({Bytes{0x00}, *signature}))}));
}

}  // namespace vl::KeychainIdentityManager
