#include "platform/session/pam/PamAuthenticator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include <sys/stat.h>

using namespace vl;

namespace {

// A private PAM service whose auth step runs a script that accepts one password: proves the
// password reaches PAM through our conversation, without touching the system's accounts.
class PamAuthenticatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vl-pam.XXXXXX";
        ASSERT_TRUE(mkdtemp(pattern));
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void writeService(const std::string& name, const std::string& authLine) {
        std::ofstream(dir / name) << authLine << "\naccount required pam_permit.so\n";
    }
    std::string checker() {
        auto script = dir / "check.sh";
        // pam_exec hands the password on standard input, ended by a NUL.
        std::ofstream(script)
            << "#!/bin/sh\nIFS= read -r pw || true\n"
               "[ \"$(printf '%s' \"$pw\" | tr -d '\\000')\" = 'c0rrect horse' ]\n";
        chmod(script.c_str(), 0700);
        return "auth required pam_exec.so expose_authtok quiet " + script.string();
    }

    std::filesystem::path dir;
};

TEST_F(PamAuthenticatorTest, ThePasswordIsCheckedThroughTheService) {
    writeService(PamAuthenticator::ownService, checker());
    PamAuthenticator pam("someone", dir);
    ASSERT_TRUE(pam.canEvaluate());
    EXPECT_EQ(pam.service(), PamAuthenticator::ownService);
    EXPECT_FALSE(pam.authenticate("c0rrect horse"));
    auto refused = pam.authenticate("wrong");
    ASSERT_TRUE(refused);
    EXPECT_FALSE(refused->empty());
    EXPECT_TRUE(pam.authenticate(""));
}

TEST_F(PamAuthenticatorTest, TheLoginStackIsTheFallbackAndNoServiceMeansNoAuthentication) {
    PamAuthenticator none("someone", dir);
    EXPECT_FALSE(none.canEvaluate());
    EXPECT_TRUE(none.authenticate("anything"));

    writeService(PamAuthenticator::fallbackService, "auth required pam_deny.so");
    PamAuthenticator login("someone", dir);
    EXPECT_TRUE(login.canEvaluate());
    EXPECT_EQ(login.service(), PamAuthenticator::fallbackService);
    EXPECT_TRUE(login.authenticate("anything"));
}

}  // namespace
