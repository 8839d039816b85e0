#include "comm/KeychainIdentityManager.h"

#include "base/Logger.h"
#include "base/testing/CommandOutput.h"
#include "comm/Der.h"
#include "platform/crypto/Rsa.h"
#include "platform/security/fake/MemoryKeychain.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>

using namespace vl;
namespace kim = vl::KeychainIdentityManager;

namespace {

// Fails the first `failures` certificate adds; everything else goes to the memory keychain.
class FailingCertificateStore final : public Keychain {
  public:
    FailingCertificateStore(std::shared_ptr<Keychain> inner, int failures)
        : inner_(std::move(inner)), failures_(failures) {}
    std::optional<Bytes> copyItem(const std::string& service, const std::string& account) override {
        return inner_->copyItem(service, account);
    }
    KeychainStatus addItem(const std::string& service, const std::string& account,
                           ByteView data) override {
        if (service == kim::certificateService && failures_ > 0) {
            --failures_;
            return KeychainStatus::ioError;
        }
        return inner_->addItem(service, account, data);
    }
    KeychainStatus deleteItem(const std::string& service, const std::string& account) override {
        return inner_->deleteItem(service, account);
    }

  private:
    std::shared_ptr<Keychain> inner_;
    int failures_;
};

class KeychainIdentityManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        use(keychain);
        Logger::shared().setCaptureHook([this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        });
    }
    void TearDown() override {
        Logger::shared().flush();
        Logger::shared().setCaptureHook(nullptr);
    }
    void use(std::shared_ptr<Keychain> service) { store = std::move(service); }
    bool logged(const std::string& text) {
        Logger::shared().flush();
        std::lock_guard lock(linesMutex);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }
    // The certificate carries the key's public half and is signed by it.
    static bool belongTogether(const TlsIdentity& identity) {
        auto publicKey = rsa::publicKeyOf(identity.privateKey);
        return publicKey &&
               rsa::verifySha256(*publicKey, ByteView(identity.certificate).subspan(4, 415),
                                 ByteView(identity.certificate).last(256));
    }

    std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
    std::shared_ptr<Keychain> store;  // the keychain the manager is handed
    std::mutex linesMutex;
    std::vector<std::string> lines;
};

TEST_F(KeychainIdentityManagerTest, FirstStartMakesOneIdentityAndLaterStartsFindIt) {
    auto identity = kim::getOrCreateIdentity(*store);
    ASSERT_TRUE(identity);
    EXPECT_FALSE(identity->privateKey.empty());
    EXPECT_EQ(identity->certificate.size(), 695u);
    EXPECT_EQ(keychain->addCalls, 2);  // one key, one certificate

    auto again = kim::getOrCreateIdentity(*store);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->certificate, identity->certificate);
    EXPECT_EQ(again->privateKey, identity->privateKey);
    EXPECT_EQ(keychain->addCalls, 2);  // nothing generated or written

    kim::removeExistingItems(*store);
    EXPECT_FALSE(kim::findExistingIdentity(*store));
}

TEST_F(KeychainIdentityManagerTest, CertificateIsTheExactSelfSignedVersion3Certificate) {
    auto pair = rsa::generate(2048);
    ASSERT_TRUE(pair);
    auto now = std::chrono::sys_days{std::chrono::year{2026} / 12 / 7} + std::chrono::hours(10);
    auto certificate = kim::createSelfSignedCertificate(pair->publicKey, pair->privateKey, now);
    ASSERT_TRUE(certificate);
    ASSERT_EQ(certificate->size(), 695u);
    EXPECT_EQ((*certificate)[0], 0x30);
    EXPECT_EQ((*certificate)[1], 0x82);
    EXPECT_EQ((*certificate)[2], 0x02);
    EXPECT_EQ((*certificate)[3], 0xB3);

    // The signed part is the SEQUENCE right after the outer header; the signature closes it.
    ByteView tbs = ByteView(*certificate).subspan(4, 415);
    ByteView signature = ByteView(*certificate).last(256);
    EXPECT_TRUE(rsa::verifySha256(pair->publicKey, tbs, signature));

    char path[] = "/tmp/vl-cert-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, certificate->data(), certificate->size()),
              static_cast<ssize_t>(certificate->size()));
    ::close(fd);
    std::string text = vl::testing::commandOutput(
        std::string("openssl x509 -inform DER -noout -text -in ") + path + " 2>&1");
    std::string dates = vl::testing::commandOutput(
        std::string("openssl x509 -inform DER -noout -dates -in ") + path);
    // The self-signature, checked by an independent implementation.
    std::string pem = std::string(path) + ".pem";
    vl::testing::commandOutput(std::string("openssl x509 -inform DER -in ") + path + " -out " +
                               pem);
    std::string verified = vl::testing::commandOutput("openssl verify -no_check_time -CAfile " +
                                                      pem + " " + pem + " 2>&1");
    ::unlink(pem.c_str());
    ::unlink(path);

    EXPECT_NE(text.find("Version: 3 (0x2)"), std::string::npos) << text;
    EXPECT_NE(text.find("Serial Number: 1 (0x1)"), std::string::npos) << text;
    EXPECT_NE(text.find("Issuer: CN = VantrelLink-Server"), std::string::npos) << text;
    EXPECT_NE(text.find("Subject: CN = VantrelLink-Server"), std::string::npos) << text;
    EXPECT_NE(text.find("Public-Key: (2048 bit)"), std::string::npos) << text;
    EXPECT_EQ(text.find("X509v3 extensions"), std::string::npos) << text;
    std::size_t algorithms = 0;
    for (auto at = text.find("sha256WithRSAEncryption"); at != std::string::npos;
         at = text.find("sha256WithRSAEncryption", at + 1))
        ++algorithms;
    EXPECT_EQ(algorithms, 2u) << text;
    EXPECT_EQ(verified, pem + ": OK\n");
    EXPECT_NE(dates.find("notBefore=Dec  7 10:00:00 2026 GMT"), std::string::npos) << dates;
    EXPECT_NE(dates.find("notAfter=Dec  7 10:00:00 2036 GMT"), std::string::npos) << dates;
}

TEST_F(KeychainIdentityManagerTest, TheRetriedCertificateStoreKeepsTheKeyJustGenerated) {
    use(std::make_shared<FailingCertificateStore>(keychain, 1));
    auto identity = kim::getOrCreateIdentity(*store);
    EXPECT_TRUE(
        logged("KeychainIdentityManager: storing certificate failed (I/O error), cleaning "
               "up and retrying"));
    ASSERT_TRUE(identity);
    EXPECT_TRUE(belongTogether(*identity));
    EXPECT_EQ(keychain->copyItem(kim::keyTag, kim::label), identity->privateKey);
    EXPECT_EQ(keychain->copyItem(kim::certificateService, kim::label), identity->certificate);
}

TEST_F(KeychainIdentityManagerTest, ACertificateStoreFailingTwiceGivesNothingAndTheNextStartMends) {
    use(std::make_shared<FailingCertificateStore>(keychain, 2));
    EXPECT_FALSE(kim::getOrCreateIdentity(*store));
    EXPECT_TRUE(
        logged("KeychainIdentityManager: storing certificate failed after retry (I/O error)"));
    // The key stays behind; it is replaced, not paired with a later certificate of another key.
    EXPECT_TRUE(keychain->copyItem(kim::keyTag, kim::label));
    EXPECT_FALSE(kim::findExistingIdentity(*store));
    auto identity = kim::getOrCreateIdentity(*store);
    ASSERT_TRUE(identity);
    EXPECT_TRUE(belongTogether(*identity));
}

TEST_F(KeychainIdentityManagerTest, AFailedKeyStoreGivesNothingAndTheNextStartSucceeds) {
    keychain->failAdds = true;
    EXPECT_FALSE(kim::getOrCreateIdentity(*store));
    keychain->failAdds = false;
    // Nothing half-made is taken for an identity, and the next start succeeds.
    EXPECT_FALSE(kim::findExistingIdentity(*store));
    auto identity = kim::getOrCreateIdentity(*store);
    ASSERT_TRUE(identity);
    EXPECT_TRUE(kim::findExistingIdentity(*store));
}

TEST_F(KeychainIdentityManagerTest, ACertificateOfAnotherKeyIsReplacedNotPairedWithTheNewKey) {
    // A certificate left from an earlier key, whose key is gone.
    auto orphan = rsa::generate(2048);
    ASSERT_TRUE(orphan);
    auto stale = kim::createSelfSignedCertificate(orphan->publicKey, orphan->privateKey);
    ASSERT_TRUE(stale);
    keychain->addItem(kim::certificateService, kim::label, *stale);

    EXPECT_FALSE(kim::findExistingIdentity(*store));
    auto identity = kim::getOrCreateIdentity(*store);
    ASSERT_TRUE(identity);
    EXPECT_NE(identity->certificate, *stale);
    EXPECT_TRUE(belongTogether(*identity));
}

}  // namespace
