#include "app/shell/PasswordReveal.h"

#include "base/DispatchQueue.h"
#include "base/Log.h"
#include "platform/session/Interface.h"

namespace vl {

std::shared_ptr<PasswordReveal> PasswordReveal::make(
    std::shared_ptr<UserAuthenticator> authenticator, View view, DispatchQueue& work,
    DispatchQueue& ui) {
    return std::shared_ptr<PasswordReveal>(
        new PasswordReveal(std::move(authenticator), std::move(view), work, ui));
}

PasswordReveal::PasswordReveal(std::shared_ptr<UserAuthenticator> authenticator, View view,
                               DispatchQueue& work, DispatchQueue& ui)
    : authenticator_(std::move(authenticator)), view_(std::move(view)), work_(work), ui_(ui) {}

void PasswordReveal::setShown(bool shown) {
    shown_ = shown;
    if (view_.setShown) view_.setShown(shown);
}

void PasswordReveal::toggle() {
    if (shown_) {
        setShown(false);
        return;
    }
    if (pending_) return;  // one prompt at a time
    if (!authenticator_ || !authenticator_->canEvaluate()) {
        if (view_.alert) view_.alert(alertTitle, alertText);
        return;
    }
    pending_ = true;
    std::weak_ptr<PasswordReveal> weak = weak_from_this();
    view_.askSecret(reason, [weak](std::optional<std::string> secret) {
        auto self = weak.lock();
        if (!self) return;
        if (!secret) {
            self->pending_ = false;
            logMsg("Authentication failed: cancelled by the user");
            return;
        }
        self->work_.async([weak, authenticator = self->authenticator_, secret = *secret] {
            auto error = authenticator->authenticate(secret);
            if (auto self = weak.lock())
                self->ui_.async([weak, error] {
                    auto self = weak.lock();
                    if (!self) return;
                    self->pending_ = false;
                    if (error) {
                        logMsg("Authentication failed: " + *error, LogLevel::warning);
                        return;
                    }
                    self->setShown(true);
                });
        });
    });
}

}  // namespace vl
