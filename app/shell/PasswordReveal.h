// app/shell: showing the stored password only to the desktop's user. The toggle asks for the
// account password, checks it off the main queue and shows the text on success; hiding needs
// nothing. Toolkit-free: the window supplies the prompt, the alert and the field.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vl {

class DispatchQueue;
class UserAuthenticator;

class PasswordReveal : public std::enable_shared_from_this<PasswordReveal> {
  public:
    static constexpr const char* reason = "Authenticate to view password";
    static constexpr const char* alertTitle = "Authentication Required";
    static constexpr const char* alertText =
        "Your system password is required to view the password.";

    struct View {
        std::function<void(const std::string& title, const std::string& text)> alert;
        // Asks for the account password; answers nothing when the user cancels.
        std::function<void(const std::string& reason,
                           std::function<void(std::optional<std::string>)> answer)>
            askSecret;
        std::function<void(bool shown)> setShown;
    };

    // Authentication runs on `work`; the outcome reaches the view on `ui` (the main queue).
    static std::shared_ptr<PasswordReveal> make(std::shared_ptr<UserAuthenticator> authenticator,
                                                View view, DispatchQueue& work, DispatchQueue& ui);

    void toggle();
    bool shown() const { return shown_; }

  private:
    PasswordReveal(std::shared_ptr<UserAuthenticator> authenticator, View view, DispatchQueue& work,
                   DispatchQueue& ui);
    void setShown(bool shown);

    std::shared_ptr<UserAuthenticator> authenticator_;
    View view_;
    DispatchQueue& work_;
    DispatchQueue& ui_;
    bool shown_ = false;
    bool pending_ = false;
};

}  // namespace vl
