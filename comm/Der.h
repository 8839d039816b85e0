// comm: the few DER (X.690) encodings the server's self-signed certificate is made of. Each
// function returns one encoded element.
#pragma once

#include "base/Bytes.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vl {

Bytes derLength(std::size_t length);
Bytes derTag(std::uint8_t tag, ByteView content);
// A positive INTEGER: a 00 byte goes in front of a first byte with its top bit set.
Bytes derInteger(ByteView bytes);
Bytes derSequence(ByteView content);
Bytes derSet(ByteView content);
// Fewer than two components give an empty OID (06 00).
Bytes derOID(const std::vector<std::uint64_t>& components);
Bytes derUTF8String(const std::string& text);
Bytes derBitString(ByteView content);
Bytes derNULL();
// Context-specific, constructed: A0 | tag.
Bytes derExplicitTag(std::uint8_t tag, ByteView value);
// notBefore = now, notAfter = the same UTC date and time ten calendar years later, as UTCTime;
// a date in 2050 or later as GeneralizedTime, which UTCTime cannot express.
Bytes derValidity(std::chrono::system_clock::time_point now = std::chrono::system_clock::now());
Bytes rsaEncryptionAlgorithm();
Bytes sha256WithRSAEncryptionAlgorithm();
// SEQUENCE of rsaEncryption and a BIT STRING holding the PKCS #1 RSAPublicKey.
Bytes derSubjectPublicKeyInfo(ByteView rsaPublicKey);

// "yyMMddHHmmss" + "Z" in UTC, tag 17.
Bytes utcTime(std::chrono::system_clock::time_point time);
// "yyyyMMddHHmmss" + "Z" in UTC, tag 18.
Bytes generalizedTime(std::chrono::system_clock::time_point time);

}  // namespace vl
