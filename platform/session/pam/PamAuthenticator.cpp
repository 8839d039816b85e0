#include "platform/session/pam/PamAuthenticator.h"

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace vl {

namespace {

std::string processUser() {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->pw_name;
    return {};
}

// Answers PAM's password prompts with the secret; other prompts get no answer.
int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    const auto* secret = static_cast<const std::string*>(data);
    auto* answers = static_cast<pam_response*>(std::calloc(count, sizeof(pam_response)));
    if (!answers) return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        if (messages[i]->msg_style == PAM_PROMPT_ECHO_OFF ||
            messages[i]->msg_style == PAM_PROMPT_ECHO_ON)
            answers[i].resp = strdup(secret->c_str());
    }
    *responses = answers;
    return PAM_SUCCESS;
}

}  // namespace

PamAuthenticator::PamAuthenticator(std::string user, std::optional<std::filesystem::path> configDir)
    : user_(user.empty() ? processUser() : std::move(user)), configDir_(std::move(configDir)) {}

std::optional<std::string> PamAuthenticator::service() const {
    std::vector<std::filesystem::path> folders;
    if (configDir_)
        folders = {*configDir_};
    else
        folders = {"/etc/pam.d", "/usr/lib/pam.d"};
    std::error_code error;
    for (const char* name : {ownService, fallbackService})
        for (const auto& folder : folders)
            if (std::filesystem::exists(folder / name, error)) return name;
    return std::nullopt;
}

bool PamAuthenticator::canEvaluate() const {
    return !user_.empty() && service().has_value();
}

std::optional<std::string> PamAuthenticator::authenticate(const std::string& secret) {
    auto name = service();
    if (user_.empty() || !name) return "no PAM service to check the password with";
    pam_conv conversation{converse, const_cast<std::string*>(&secret)};
    pam_handle_t* handle = nullptr;
    int status = configDir_ ? pam_start_confdir(name->c_str(), user_.c_str(), &conversation,
                                                configDir_->c_str(), &handle)
                            : pam_start(name->c_str(), user_.c_str(), &conversation, &handle);
    if (status != PAM_SUCCESS) return std::string("PAM: ") + pam_strerror(handle, status);
    status = pam_authenticate(handle, PAM_DISALLOW_NULL_AUTHTOK);
    if (status == PAM_SUCCESS) status = pam_acct_mgmt(handle, PAM_DISALLOW_NULL_AUTHTOK);
    std::optional<std::string> result;
    if (status != PAM_SUCCESS) result = pam_strerror(handle, status);
    pam_end(handle, status);
    return result;
}

}  // namespace vl
