#include "platform/crypto/Rsa.h"

#include <gtest/gtest.h>

namespace vl {
namespace {

TEST(Rsa, GeneratedKeySignsAndItsPublicHalfVerifies) {
    CryptoError error;
    auto pair = rsa::generate(2048, &error);
    ASSERT_TRUE(pair) << error.description();

    // A 2048-bit modulus with exponent 65537 as RSAPublicKey: 30 82 01 0A, INTEGER of 257 bytes
    // (leading 00), INTEGER 01 00 01.
    ASSERT_EQ(pair->publicKey.size(), 270u);
    EXPECT_EQ(Bytes(pair->publicKey.begin(), pair->publicKey.begin() + 9),
              (Bytes{0x30, 0x82, 0x01, 0x0A, 0x02, 0x82, 0x01, 0x01, 0x00}));
    EXPECT_EQ(Bytes(pair->publicKey.end() - 5, pair->publicKey.end()),
              (Bytes{0x02, 0x03, 0x01, 0x00, 0x01}));
    EXPECT_EQ(rsa::publicKeyOf(pair->privateKey), pair->publicKey);

    Bytes message = bytesOf("to be signed");
    auto signature = rsa::signSha256(pair->privateKey, message, &error);
    ASSERT_TRUE(signature) << error.description();
    EXPECT_EQ(signature->size(), 256u);
    EXPECT_TRUE(rsa::verifySha256(pair->publicKey, message, *signature));

    // PKCS #1 v1.5 is deterministic: the same message gives the same signature.
    EXPECT_EQ(rsa::signSha256(pair->privateKey, message), signature);

    Bytes tampered = message;
    tampered[0] ^= 1;
    EXPECT_FALSE(rsa::verifySha256(pair->publicKey, tampered, *signature));
    auto other = rsa::generate(2048);
    ASSERT_TRUE(other);
    EXPECT_FALSE(rsa::verifySha256(other->publicKey, message, *signature));
}

TEST(Rsa, MalformedKeysAreRefusedWithAnError) {
    CryptoError error;
    EXPECT_FALSE(rsa::signSha256(bytesOf("not a key"), bytesOf("x"), &error));
    EXPECT_NE(error.status, 0);
    EXPECT_FALSE(error.description().empty());
    EXPECT_FALSE(rsa::publicKeyOf(Bytes{}, &error));
    EXPECT_FALSE(rsa::verifySha256(Bytes{0x30, 0x03, 0x02, 0x01}, bytesOf("x"), Bytes(256)));
    EXPECT_FALSE(rsa::verifySha256(Bytes{}, bytesOf("x"), Bytes(256)));
}

}  // namespace
}  // namespace vl
