// Helpers for the network tests: a throwaway TLS identity, waiting with a deadline, and a UDP
// relay on 127.0.0.1 that can watch, cut or drop the traffic between a client and a server.
#pragma once

#include "platform/network/Interface.h"

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace vl::test {

// A self-signed RSA certificate made with GnuTLS's own certificate writer.
inline TlsIdentity makeTestIdentity() {
    gnutls_x509_privkey_t key;
    gnutls_x509_privkey_init(&key);
    gnutls_x509_privkey_generate(key, GNUTLS_PK_RSA, 2048, 0);
    gnutls_x509_crt_t crt;
    gnutls_x509_crt_init(&crt);
    gnutls_x509_crt_set_version(crt, 3);
    unsigned char serial = 1;
    gnutls_x509_crt_set_serial(crt, &serial, 1);
    gnutls_x509_crt_set_activation_time(crt, std::time(nullptr) - 60);
    gnutls_x509_crt_set_expiration_time(crt, std::time(nullptr) + 86400);
    gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, "test", 4);
    gnutls_x509_crt_set_key(crt, key);
    gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0);
    gnutls_datum_t keyDer{}, crtDer{};
    gnutls_x509_privkey_export2(key, GNUTLS_X509_FMT_DER, &keyDer);
    gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_DER, &crtDer);
    TlsIdentity identity{Bytes(keyDer.data, keyDer.data + keyDer.size),
                         Bytes(crtDer.data, crtDer.data + crtDer.size)};
    gnutls_free(keyDer.data);
    gnutls_free(crtDer.data);
    gnutls_x509_crt_deinit(crt);
    gnutls_x509_privkey_deinit(key);
    return identity;
}

inline const TlsIdentity& sharedTestIdentity() {
    static TlsIdentity identity = makeTestIdentity();
    return identity;
}

inline QuicParameters serverParameters() {
    QuicParameters parameters;
    parameters.identity = sharedTestIdentity();
    return parameters;
}

// Waits for a predicate under a mutex, with a deadline.
class Signal {
  public:
    template <class F>
    void update(F&& f) {
        {
            std::lock_guard lock(mutex_);
            f();
        }
        cv_.notify_all();
    }
    template <class P>
    bool waitFor(P&& predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, predicate);
    }
    std::mutex& mutex() { return mutex_; }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

inline sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline void sendDatagram(std::uint16_t port, const Bytes& data) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to = loopback(port);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(fd);
}

// Forwards datagrams between one client (whoever writes to port()) and a server port. The filter
// sees each datagram with its direction and decides whether it passes.
class UdpRelay {
  public:
    using Filter = std::function<bool(bool fromClient, const std::uint8_t* data, std::size_t size)>;

    UdpRelay(std::uint16_t serverPort, Filter filter)
        : server_(loopback(serverPort)), filter_(std::move(filter)) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local = loopback(0);
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~UdpRelay() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::uint16_t port() const { return port_; }

  private:
    void run() {
        std::vector<std::uint8_t> buffer(65536);
        sockaddr_in client{};
        bool haveClient = false;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) continue;
            bool fromServer = from.sin_port == server_.sin_port;
            if (!fromServer) {
                client = from;
                haveClient = true;
            }
            if (!filter_(!fromServer, buffer.data(), static_cast<std::size_t>(n))) continue;
            if (fromServer && !haveClient) continue;
            const sockaddr_in& to = fromServer ? client : server_;
            sendto(fd_, buffer.data(), static_cast<std::size_t>(n), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }

    sockaddr_in server_;
    Filter filter_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace vl::test
