// platform/discovery/fake: records what was published; publication succeeds at once.
#pragma once

#include "platform/discovery/Interface.h"

#include <mutex>

namespace vl {

class FakeDiscovery final : public DiscoveryService {
  public:
    struct Published {
        ServiceRecord record;
        bool active = false;
    };

    std::unique_ptr<PublishedService> makeService(ServiceRecord record,
                                                  PublicationDelegate delegate) override {
        std::lock_guard lock(mutex_);
        services.push_back(std::make_shared<Published>(Published{std::move(record)}));
        return std::make_unique<Service>(services.back(), std::move(delegate), *this);
    }

    std::optional<std::vector<DiscoveredService>> browse(const std::string& type,
                                                         std::chrono::milliseconds,
                                                         std::string*) override {
        std::lock_guard lock(mutex_);
        std::vector<DiscoveredService> found;
        for (const auto& s : services)
            if (s->active && s->record.type == type)
                found.push_back({s->record.name, "", s->record.port, s->record.txt});
        return found;
    }

    std::vector<ServiceRecord> activeRecords() {
        std::lock_guard lock(mutex_);
        std::vector<ServiceRecord> out;
        for (const auto& s : services)
            if (s->active) out.push_back(s->record);
        return out;
    }

    std::vector<std::shared_ptr<Published>> services;

  private:
    class Service final : public PublishedService {
      public:
        Service(std::shared_ptr<Published> p, PublicationDelegate d, FakeDiscovery& owner)
            : published_(std::move(p)), delegate_(std::move(d)), owner_(owner) {}
        void publish() override {
            {
                std::lock_guard lock(owner_.mutex_);
                published_->active = true;
            }
            if (delegate_.willPublish) delegate_.willPublish(published_->record.name);
            if (delegate_.didPublish) delegate_.didPublish(published_->record.name);
        }
        void stop() override {
            std::lock_guard lock(owner_.mutex_);
            if (!published_->active) return;
            published_->active = false;
            if (delegate_.didStop) delegate_.didStop();
        }

      private:
        std::shared_ptr<Published> published_;
        PublicationDelegate delegate_;
        FakeDiscovery& owner_;
    };

    std::mutex mutex_;
};

}  // namespace vl
