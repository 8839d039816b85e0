#include "platform/crypto/Rsa.h"

#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <memory>
#include <type_traits>

namespace vl {

std::string CryptoError::description() const {
    return message.empty() ? "status " + std::to_string(status)
                           : message + " (" + std::to_string(status) + ")";
}

namespace {

struct PrivkeyDeleter {
    void operator()(gnutls_privkey_t key) const { gnutls_privkey_deinit(key); }
};
struct X509PrivkeyDeleter {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
struct PubkeyDeleter {
    void operator()(gnutls_pubkey_t key) const { gnutls_pubkey_deinit(key); }
};
using Privkey = std::unique_ptr<gnutls_privkey_st, PrivkeyDeleter>;
using X509Privkey =
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, X509PrivkeyDeleter>;
using Pubkey = std::unique_ptr<gnutls_pubkey_st, PubkeyDeleter>;

// Owns a buffer that GnuTLS allocated.
struct Datum {
    gnutls_datum_t value{nullptr, 0};
    ~Datum() { gnutls_free(value.data); }
    Bytes bytes() const { return Bytes(value.data, value.data + value.size); }
};

bool fail(int status, CryptoError* error) {
    if (error) *error = CryptoError{status, gnutls_strerror(status)};
    return false;
}

gnutls_datum_t datumOf(ByteView bytes) {
    return {const_cast<unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size())};
}

// --- the two-integer DER of an RSAPublicKey ---

void appendLength(Bytes& out, std::size_t n) {
    if (n < 0x80) {
        out.push_back(static_cast<std::uint8_t>(n));
    } else if (n <= 0xFF) {
        out.insert(out.end(), {0x81, static_cast<std::uint8_t>(n)});
    } else {
        out.insert(out.end(),
                   {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
}

Bytes unsignedInteger(const gnutls_datum_t& value) {
    Bytes content(value.data, value.data + value.size);
    if (content.empty() || (content[0] & 0x80)) content.insert(content.begin(), 0x00);
    Bytes out{0x02};
    appendLength(out, content.size());
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes rsaPublicKeyDer(const gnutls_datum_t& modulus, const gnutls_datum_t& exponent) {
    Bytes body = unsignedInteger(modulus);
    Bytes e = unsignedInteger(exponent);
    body.insert(body.end(), e.begin(), e.end());
    Bytes out{0x30};
    appendLength(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Reads one DER element with the given tag at bytes[pos]; advances pos past it.
std::optional<ByteView> readElement(ByteView bytes, std::size_t& pos, std::uint8_t tag) {
    if (pos + 2 > bytes.size() || bytes[pos] != tag) return std::nullopt;
    std::size_t length = bytes[pos + 1];
    std::size_t header = 2;
    if (length & 0x80) {
        std::size_t count = length & 0x7F;
        if (count == 0 || count > 2 || pos + 2 + count > bytes.size()) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < count; ++i) length = (length << 8) | bytes[pos + 2 + i];
        header += count;
    }
    if (pos + header + length > bytes.size()) return std::nullopt;
    ByteView content = bytes.subspan(pos + header, length);
    pos += header + length;
    return content;
}

Privkey importPrivateKey(ByteView der, CryptoError* error) {
    gnutls_privkey_t raw = nullptr;
    if (int rc = gnutls_privkey_init(&raw); rc < 0) {
        fail(rc, error);
        return nullptr;
    }
    Privkey key(raw);
    gnutls_datum_t datum = datumOf(der);
    if (int rc = gnutls_privkey_import_x509_raw(key.get(), &datum, GNUTLS_X509_FMT_DER, nullptr, 0);
        rc < 0) {
        fail(rc, error);
        return nullptr;
    }
    return key;
}

std::optional<Bytes> publicKeyOf(gnutls_privkey_t key, CryptoError* error) {
    Datum modulus, exponent;
    if (int rc = gnutls_privkey_export_rsa_raw2(key, &modulus.value, &exponent.value, nullptr,
                                                nullptr, nullptr, nullptr, nullptr, nullptr,
                                                GNUTLS_EXPORT_FLAG_NO_LZ);
        rc < 0) {
        fail(rc, error);
        return std::nullopt;
    }
    return rsaPublicKeyDer(modulus.value, exponent.value);
}

}  // namespace

namespace rsa {

std::optional<RsaKeyPair> generate(unsigned bits, CryptoError* error) {
    gnutls_x509_privkey_t raw = nullptr;
    if (int rc = gnutls_x509_privkey_init(&raw); rc < 0) {
        fail(rc, error);
        return std::nullopt;
    }
    X509Privkey key(raw);
    if (int rc = gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_RSA, bits, 0); rc < 0) {
        fail(rc, error);
        return std::nullopt;
    }
    Datum der;
    if (int rc = gnutls_x509_privkey_export2(key.get(), GNUTLS_X509_FMT_DER, &der.value); rc < 0) {
        fail(rc, error);
        return std::nullopt;
    }
    RsaKeyPair pair;
    pair.privateKey = der.bytes();
    auto publicKey = publicKeyOf(pair.privateKey, error);
    if (!publicKey) return std::nullopt;
    pair.publicKey = std::move(*publicKey);
    return pair;
}

std::optional<Bytes> publicKeyOf(ByteView privateKey, CryptoError* error) {
    Privkey key = importPrivateKey(privateKey, error);
    if (!key) return std::nullopt;
    return vl::publicKeyOf(key.get(), error);
}

std::optional<Bytes> signSha256(ByteView privateKey, ByteView message, CryptoError* error) {
    Privkey key = importPrivateKey(privateKey, error);
    if (!key) return std::nullopt;
    gnutls_datum_t data = datumOf(message);
    Datum signature;
    if (int rc = gnutls_privkey_sign_data(key.get(), GNUTLS_DIG_SHA256, 0, &data, &signature.value);
        rc < 0) {
        fail(rc, error);
        return std::nullopt;
    }
    return signature.bytes();
}

bool verifySha256(ByteView publicKey, ByteView message, ByteView signature) {
    std::size_t pos = 0;
    auto sequence = readElement(publicKey, pos, 0x30);
    if (!sequence || pos != publicKey.size()) return false;
    std::size_t inner = 0;
    auto modulus = readElement(*sequence, inner, 0x02);
    auto exponent = readElement(*sequence, inner, 0x02);
    if (!modulus || !exponent || inner != sequence->size()) return false;

    gnutls_pubkey_t raw = nullptr;
    if (gnutls_pubkey_init(&raw) < 0) return false;
    Pubkey key(raw);
    gnutls_datum_t m = datumOf(*modulus), e = datumOf(*exponent);
    if (gnutls_pubkey_import_rsa_raw(key.get(), &m, &e) < 0) return false;
    gnutls_datum_t data = datumOf(message), sig = datumOf(signature);
    return gnutls_pubkey_verify_data2(key.get(), GNUTLS_SIGN_RSA_SHA256, 0, &data, &sig) >= 0;
}

}  // namespace rsa

}  // namespace vl
