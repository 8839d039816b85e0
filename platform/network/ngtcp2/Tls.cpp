#include "platform/network/ngtcp2/Tls.h"

#include <ngtcp2/ngtcp2_crypto_gnutls.h>

namespace vl::quic {

namespace {

// TLS 1.3 only, without the middlebox compatibility mode QUIC forbids.
constexpr const char* priorities =
    "%DISABLE_TLS13_COMPAT_MODE:NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:"
    "+AES-256-GCM:+CHACHA20-POLY1305";

// GnuTLS's mandatory-ALPN flag only refuses a ClientHello whose list has no match; a hello
// without the extension would pass. After the hello is parsed, insist that a protocol was chosen.
int requireAlpn(gnutls_session_t session, unsigned type, unsigned when, unsigned incoming,
                const gnutls_datum_t*) {
    if (type != GNUTLS_HANDSHAKE_CLIENT_HELLO || when != GNUTLS_HOOK_POST || !incoming) return 0;
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != 0)
        return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    return 0;
}

}  // namespace

std::shared_ptr<TlsCredentials> TlsCredentials::server(const TlsIdentity& identity,
                                                       std::string* error) {
    std::shared_ptr<TlsCredentials> result(new TlsCredentials);
    if (int rc = gnutls_certificate_allocate_credentials(&result->credentials_); rc < 0) {
        if (error) *error = gnutls_strerror(rc);
        return nullptr;
    }
    gnutls_datum_t certificate{const_cast<unsigned char*>(identity.certificate.data()),
                               static_cast<unsigned>(identity.certificate.size())};
    gnutls_datum_t key{const_cast<unsigned char*>(identity.privateKey.data()),
                       static_cast<unsigned>(identity.privateKey.size())};
    if (int rc = gnutls_certificate_set_x509_key_mem2(result->credentials_, &certificate, &key,
                                                      GNUTLS_X509_FMT_DER, nullptr, 0);
        rc < 0) {
        if (error) *error = gnutls_strerror(rc);
        return nullptr;
    }
    return result;
}

std::shared_ptr<TlsCredentials> TlsCredentials::client() {
    std::shared_ptr<TlsCredentials> result(new TlsCredentials);
    if (gnutls_certificate_allocate_credentials(&result->credentials_) < 0) return nullptr;
    return result;
}

TlsCredentials::~TlsCredentials() {
    if (credentials_) gnutls_certificate_free_credentials(credentials_);
}

gnutls_session_t makeTlsSession(bool server, const TlsCredentials& credentials,
                                const std::vector<std::string>& alpn,
                                ngtcp2_crypto_conn_ref* connectionReference) {
    gnutls_session_t session = nullptr;
    unsigned flags = (server ? GNUTLS_SERVER : GNUTLS_CLIENT) | GNUTLS_NO_END_OF_EARLY_DATA;
    if (gnutls_init(&session, flags) < 0) return nullptr;
    auto failed = [&] {
        gnutls_deinit(session);
        return nullptr;
    };
    // Parsed once and shared: a per-session parse costs about 8 KiB for every connection.
    static gnutls_priority_t priority = [] {
        gnutls_priority_t parsed = nullptr;
        if (gnutls_priority_init(&parsed, priorities, nullptr) < 0) return gnutls_priority_t{};
        return parsed;
    }();
    if (!priority || gnutls_priority_set(session, priority) < 0) return failed();
    int rc = server ? ngtcp2_crypto_gnutls_configure_server_session(session)
                    : ngtcp2_crypto_gnutls_configure_client_session(session);
    if (rc != 0) return failed();
    if (gnutls_credentials_set(session, GNUTLS_CRD_CERTIFICATE, credentials.get()) < 0)
        return failed();

    std::vector<gnutls_datum_t> protocols;
    for (const auto& name : alpn) {
        protocols.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(name.data())),
                             static_cast<unsigned>(name.size())});
    }
    unsigned alpnFlags = server ? GNUTLS_ALPN_MANDATORY | GNUTLS_ALPN_SERVER_PRECEDENCE : 0;
    if (!protocols.empty() &&
        gnutls_alpn_set_protocols(session, protocols.data(),
                                  static_cast<unsigned>(protocols.size()), alpnFlags) < 0)
        return failed();
    if (server) {
        gnutls_handshake_set_hook_function(session, GNUTLS_HANDSHAKE_CLIENT_HELLO, GNUTLS_HOOK_POST,
                                           requireAlpn);
        // The server never asks for a client certificate (GnuTLS's default, stated here).
        gnutls_certificate_server_set_request(session, GNUTLS_CERT_IGNORE);
    }
    gnutls_session_set_ptr(session, connectionReference);
    return session;
}

}  // namespace vl::quic
