// platform/network/ngtcp2: GnuTLS credentials and per-connection TLS 1.3 sessions for QUIC.
#pragma once

#include "platform/network/Interface.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vl::quic {

class TlsCredentials {
  public:
    // Server credentials from a DER key and certificate; nullopt with the reason in error.
    static std::shared_ptr<TlsCredentials> server(const TlsIdentity& identity, std::string* error);
    // Client credentials: no client certificate, the server's certificate is not verified.
    static std::shared_ptr<TlsCredentials> client();
    ~TlsCredentials();

    gnutls_certificate_credentials_t get() const { return credentials_; }

  private:
    TlsCredentials() = default;
    gnutls_certificate_credentials_t credentials_ = nullptr;
};

// Creates the TLS session of one QUIC connection. The server side refuses every ClientHello that
// does not offer one of the ALPN identifiers. Returns nullptr on failure.
gnutls_session_t makeTlsSession(bool server, const TlsCredentials& credentials,
                                const std::vector<std::string>& alpn,
                                ngtcp2_crypto_conn_ref* connectionReference);

}  // namespace vl::quic
