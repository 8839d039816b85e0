#include "base/NotificationCenter.h"

#include <algorithm>

namespace vl {

NotificationCenter& NotificationCenter::defaultCenter() {
    // Never destroyed: observers held by other statics may unregister during exit.
    static auto* center = new NotificationCenter;
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
    std::lock_guard lock(mutex_);
    Token token = next_++;
    entries_.push_back({token, std::move(name), std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const std::string& name, const std::any& object) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e.name == name) matching.push_back(e.observer);
    }
    for (const auto& observer : matching) (*observer)(object);
}

}  // namespace vl
