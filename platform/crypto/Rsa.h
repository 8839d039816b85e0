// platform/crypto: RSA key pairs and PKCS #1 v1.5 SHA-256 signatures. Keys travel as DER bytes so
// they can be stored as keychain items and handed to the TLS layer.
#pragma once

#include "base/Bytes.h"

#include <optional>
#include <string>

namespace vl {

struct CryptoError {
    int status = 0;       // library status code
    std::string message;  // library text for the status
    std::string description() const;
};

struct RsaKeyPair {
    Bytes privateKey;  // PKCS #1 RSAPrivateKey, DER
    Bytes publicKey;   // PKCS #1 RSAPublicKey (modulus, exponent), DER
};

namespace rsa {

std::optional<RsaKeyPair> generate(unsigned bits, CryptoError* error = nullptr);
// The PKCS #1 RSAPublicKey of a private key.
std::optional<Bytes> publicKeyOf(ByteView privateKey, CryptoError* error = nullptr);
// PKCS #1 v1.5 signature over the SHA-256 digest of message (the message is hashed here).
std::optional<Bytes> signSha256(ByteView privateKey, ByteView message,
                                CryptoError* error = nullptr);
bool verifySha256(ByteView publicKey, ByteView message, ByteView signature);

}  // namespace rsa

}  // namespace vl
