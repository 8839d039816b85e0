#include "platform/discovery/avahi/AvahiDiscovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <mutex>
#include <thread>

namespace vl {

namespace {

// Avahi spells types and domains without the trailing dot.
std::string withoutTrailingDot(std::string text) {
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
}

std::string errorText(int code) {
    return std::string("Avahi: ") + avahi_strerror(code);
}

// A threaded poll with its client; the client's state changes go to `onState`.
class AvahiSession {
  public:
    using StateHandler = std::function<void(AvahiClient*, AvahiClientState)>;

    ~AvahiSession() { close(); }

    // Creates the client and starts the poll thread; nothing (and the reason) when it cannot.
    bool open(StateHandler onState, std::string* error) {
        onState_ = std::move(onState);
        poll_ = avahi_threaded_poll_new();
        if (!poll_) {
            if (error) *error = "Avahi: cannot create poll";
            return false;
        }
        int code = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0),
                                   &AvahiSession::clientCallback, this, &code);
        if (!client_) {
            if (error) *error = errorText(code);
            close();
            return false;
        }
        avahi_threaded_poll_start(poll_);
        running_ = true;
        return true;
    }

    void close() {
        if (poll_ && running_) avahi_threaded_poll_stop(poll_);
        running_ = false;
        if (client_) avahi_client_free(client_);
        client_ = nullptr;
        if (poll_) avahi_threaded_poll_free(poll_);
        poll_ = nullptr;
    }

    AvahiClient* client() const { return client_; }
    AvahiThreadedPoll* poll() const { return poll_; }

  private:
    static void clientCallback(AvahiClient* client, AvahiClientState state, void* self) {
        static_cast<AvahiSession*>(self)->onState_(client, state);
    }

    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;
    bool running_ = false;
    StateHandler onState_;
};

class AvahiPublishedService final : public PublishedService {
  public:
    AvahiPublishedService(ServiceRecord record, PublicationDelegate delegate)
        : record_(std::move(record)), delegate_(std::move(delegate)), name_(record_.name) {}
    ~AvahiPublishedService() override { stop(); }

    void publish() override {
        std::string error;
        if (!session_.open([this](AvahiClient* c, AvahiClientState s) { onClientState(c, s); },
                           &error)) {
            if (delegate_.didNotPublish) delegate_.didNotPublish(error);
        }
    }

    void stop() override {
        bool wasOpen = session_.poll() != nullptr;
        session_.close();  // frees the entry group with the client
        group_ = nullptr;
        if (wasOpen && delegate_.didStop) delegate_.didStop();
    }

  private:
    void onClientState(AvahiClient* client, AvahiClientState state) {
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                addService(client);
                break;
            case AVAHI_CLIENT_FAILURE:
                if (delegate_.didNotPublish)
                    delegate_.didNotPublish(errorText(avahi_client_errno(client)));
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                if (group_) avahi_entry_group_reset(group_);
                break;
            default:
                break;
        }
    }

    void addService(AvahiClient* client) {
        if (!group_)
            group_ = avahi_entry_group_new(client, &AvahiPublishedService::groupCallback, this);
        if (!group_) {
            if (delegate_.didNotPublish)
                delegate_.didNotPublish(errorText(avahi_client_errno(client)));
            return;
        }
        if (!avahi_entry_group_is_empty(group_)) return;
        if (delegate_.willPublish) delegate_.willPublish(name_);

        AvahiStringList* txt = nullptr;
        for (auto it = record_.txt.rbegin(); it != record_.txt.rend(); ++it)
            txt = avahi_string_list_add_pair(txt, it->first.c_str(), it->second.c_str());
        std::string type = withoutTrailingDot(record_.type);
        std::string domain = withoutTrailingDot(record_.domain);
        int code = avahi_entry_group_add_service_strlst(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0), name_.c_str(),
            type.c_str(), domain.empty() ? nullptr : domain.c_str(), nullptr,
            static_cast<std::uint16_t>(record_.port), txt);
        avahi_string_list_free(txt);
        if (code == AVAHI_ERR_COLLISION) {
            renameAfterCollision();
            addService(client);
            return;
        }
        if (code >= 0) code = avahi_entry_group_commit(group_);
        if (code < 0 && delegate_.didNotPublish) delegate_.didNotPublish(errorText(code));
    }

    void renameAfterCollision() {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        name_ = alternative;
        avahi_free(alternative);
        avahi_entry_group_reset(group_);
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
        auto* self = static_cast<AvahiPublishedService*>(context);
        self->group_ = group;
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                if (self->delegate_.didPublish) self->delegate_.didPublish(self->name_);
                break;
            case AVAHI_ENTRY_GROUP_COLLISION:
                self->renameAfterCollision();
                self->addService(avahi_entry_group_get_client(group));
                break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                if (self->delegate_.didNotPublish)
                    self->delegate_.didNotPublish(
                        errorText(avahi_client_errno(avahi_entry_group_get_client(group))));
                break;
            default:
                break;
        }
    }

    ServiceRecord record_;
    PublicationDelegate delegate_;
    std::string name_;
    AvahiSession session_;
    AvahiEntryGroup* group_ = nullptr;
};

struct BrowseState {
    std::mutex mutex;
    std::vector<DiscoveredService> found;
    std::string error;
};

void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol,
                     AvahiResolverEvent event, const char* name, const char*, const char*,
                     const char*, const AvahiAddress* address, std::uint16_t port,
                     AvahiStringList* txt, AvahiLookupResultFlags, void* context) {
    auto* state = static_cast<BrowseState*>(context);
    if (event == AVAHI_RESOLVER_FOUND && address) {
        DiscoveredService service;
        service.name = name ? name : "";
        char text[AVAHI_ADDRESS_STR_MAX] = {};
        avahi_address_snprint(text, sizeof text, address);
        service.address = text;
        service.port = port;
        for (AvahiStringList* item = txt; item; item = avahi_string_list_get_next(item)) {
            char* key = nullptr;
            char* value = nullptr;
            std::size_t size = 0;
            if (avahi_string_list_get_pair(item, &key, &value, &size) == 0) {
                service.txt.emplace_back(key, value ? std::string(value, size) : "");
                avahi_free(key);
                avahi_free(value);
            }
        }
        std::lock_guard lock(state->mutex);
        service.txt = TxtRecord(service.txt.rbegin(), service.txt.rend());
        state->found.push_back(std::move(service));
    }
    avahi_service_resolver_free(resolver);
}

void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol protocol,
                    AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                    AvahiLookupResultFlags, void* context) {
    auto* state = static_cast<BrowseState*>(context);
    if (event == AVAHI_BROWSER_NEW) {
        avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface, protocol,
                                   name, type, domain, AVAHI_PROTO_INET, AvahiLookupFlags(0),
                                   resolveCallback, state);
    } else if (event == AVAHI_BROWSER_FAILURE) {
        std::lock_guard lock(state->mutex);
        state->error = errorText(avahi_client_errno(avahi_service_browser_get_client(browser)));
    }
}

}  // namespace

std::unique_ptr<PublishedService> AvahiDiscovery::makeService(ServiceRecord record,
                                                              PublicationDelegate delegate) {
    return std::make_unique<AvahiPublishedService>(std::move(record), std::move(delegate));
}

std::optional<std::vector<DiscoveredService>> AvahiDiscovery::browse(
    const std::string& type, std::chrono::milliseconds duration, std::string* error) {
    BrowseState state;
    AvahiSession session;
    if (!session.open([](AvahiClient*, AvahiClientState) {}, error)) return std::nullopt;

    avahi_threaded_poll_lock(session.poll());
    std::string avahiType = withoutTrailingDot(type);
    AvahiServiceBrowser* browser = avahi_service_browser_new(
        session.client(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, avahiType.c_str(), nullptr,
        AvahiLookupFlags(0), browseCallback, &state);
    avahi_threaded_poll_unlock(session.poll());
    if (!browser) {
        if (error) *error = errorText(avahi_client_errno(session.client()));
        return std::nullopt;
    }
    std::this_thread::sleep_for(duration);
    avahi_threaded_poll_lock(session.poll());
    avahi_service_browser_free(browser);
    avahi_threaded_poll_unlock(session.poll());
    session.close();

    std::lock_guard lock(state.mutex);
    if (!state.error.empty() && state.found.empty()) {
        if (error) *error = state.error;
        return std::nullopt;
    }
    return state.found;
}

}  // namespace vl
