#include "platform/audio/micdevice/MicDeviceProvider.h"

#include "platform/localsocket/LocalSocket.h"

#include <cerrno>
#include <set>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vl {

namespace {

using micchannel::Kind;
using micchannel::Message;

}  // namespace

MicDeviceProvider::MicDeviceProvider(std::filesystem::path socketPath,
                                     std::chrono::milliseconds replyTimeout)
    : socketPath_(std::move(socketPath)), replyTimeout_(replyTimeout) {
    reader_ = std::thread([this] { run(); });
}

MicDeviceProvider::~MicDeviceProvider() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    replied_.notify_all();
    reader_.join();
    std::lock_guard lock(mutex_);
    disconnectLocked();
}

bool MicDeviceProvider::connected() const {
    std::lock_guard lock(mutex_);
    return fd_ >= 0;
}

int MicDeviceProvider::reconnections() const {
    std::lock_guard lock(mutex_);
    return reconnections_;
}

bool MicDeviceProvider::ensureConnectedLocked() {
    if (fd_ >= 0) return true;
    fd_ = localsocket::connectTo(socketPath_, true);
    if (fd_ < 0) return false;
    if (everConnected_) ++reconnections_;
    greetingDue_ = true;
    replied_.notify_all();  // the reader picks the new connection up
    return true;
}

void MicDeviceProvider::disconnectLocked() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    for (auto& [number, reply] : pending_) reply.failed = true;
    replied_.notify_all();
}

std::optional<Message> MicDeviceProvider::request(Message message) {
    std::unique_lock lock(mutex_);
    if (!ensureConnectedLocked()) return std::nullopt;
    message.request = nextRequest_++;
    const std::uint32_t number = message.request;
    pending_[number] = {};
    const int fd = fd_;
    lock.unlock();
    bool written;
    {
        std::lock_guard write(writeMutex_);
        written = localsocket::writeAll(fd, micchannel::encode(message));
    }
    lock.lock();
    if (written)
        replied_.wait_for(lock, replyTimeout_, [&] {
            const Reply& reply = pending_[number];
            return reply.message.has_value() || reply.failed;
        });
    auto node = pending_.extract(number);
    if (node.empty() || !node.mapped().message) return std::nullopt;
    return std::move(node.mapped().message);
}

std::optional<AudioObjectID> MicDeviceProvider::deviceForUID(const std::string& uid) {
    Message message;
    message.kind = Kind::translateUID;
    message.value = Bytes(uid.begin(), uid.end());
    auto answer = request(std::move(message));
    if (!answer || answer->status != 0) return std::nullopt;
    const auto* id = std::get_if<std::uint32_t>(&answer->value);
    if (!id || *id == audioObjectUnknown) return std::nullopt;
    return *id;
}

AudioGetResult MicDeviceProvider::getProperty(AudioObjectID, const AudioPropertyAddress& address) {
    Message message;
    message.kind = Kind::get;
    message.selector = address.selector;
    auto answer = request(std::move(message));
    if (!answer) return {audiostatus::notRunning, std::nullopt};
    if (answer->status != 0) return {answer->status, std::nullopt};
    if (const auto* n = std::get_if<std::uint32_t>(&answer->value))
        return {audiostatus::noError, AudioValue(*n)};
    if (auto* bytes = std::get_if<Bytes>(&answer->value))
        return {audiostatus::noError, AudioValue(std::move(*bytes))};
    return {audiostatus::unspecified, std::nullopt};
}

AudioStatus MicDeviceProvider::setProperty(AudioObjectID, const AudioPropertyAddress& address,
                                           const AudioValue& value) {
    Message message;
    message.kind = Kind::set;
    message.selector = address.selector;
    if (const auto* n = std::get_if<std::uint32_t>(&value))
        message.value = *n;
    else if (const auto* bytes = std::get_if<Bytes>(&value))
        message.value = *bytes;
    else
        return audiostatus::unsupportedOperation;
    auto answer = request(std::move(message));
    if (!answer) return audiostatus::notRunning;
    if (answer->status == 0) {
        // What a restarted host is given back.
        std::lock_guard lock(mutex_);
        if (address.selector == audio::showAudio) lastShown_ = std::get<std::uint32_t>(value);
        if (address.selector == audio::audioPort) lastPort_ = std::get<std::uint32_t>(value);
    }
    return answer->status;
}

AudioListenerToken MicDeviceProvider::addPropertyListener(AudioObjectID,
                                                          const AudioPropertyAddress& address,
                                                          AudioPropertyListener listener) {
    bool announce;
    AudioListenerToken token;
    {
        std::lock_guard lock(mutex_);
        announce = true;
        for (const auto& [t, l] : listeners_)
            if (l.selector == address.selector) announce = false;
        token = nextToken_++;
        listeners_[token] = {address.selector, std::move(listener)};
        announce = announce && ensureConnectedLocked() && !greetingDue_;
    }
    if (announce) sendListen(address.selector);
    return token;
}

void MicDeviceProvider::removePropertyListener(AudioListenerToken token) {
    std::lock_guard lock(mutex_);
    listeners_.erase(token);
}

void MicDeviceProvider::sendListen(AudioSelector selector) {
    int fd;
    {
        std::lock_guard lock(mutex_);
        fd = fd_;
    }
    if (fd < 0) return;
    Message message;
    message.kind = Kind::listen;
    message.selector = selector;
    std::lock_guard write(writeMutex_);
    localsocket::writeAll(fd, micchannel::encode(message));
}

void MicDeviceProvider::notify(AudioSelector selector) {
    std::vector<AudioPropertyListener> calls;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [token, listener] : listeners_)
            if (selector == 0 || listener.selector == selector) calls.push_back(listener.call);
    }
    for (auto& call : calls) call();
}

void MicDeviceProvider::run() {
    micchannel::MessageReader reader;
    int readingFd = -1;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        // Without a host, look for one now and then while someone listens.
        if (fd_ < 0) {
            if (!listeners_.empty()) ensureConnectedLocked();
            if (fd_ < 0) {
                replied_.wait_for(lock, std::chrono::milliseconds(100));
                continue;
            }
        }
        if (fd_ != readingFd) {
            readingFd = fd_;
            reader = {};
        }
        if (greetingDue_) {
            // A new host: the listened selectors, then the state the server set, then a
            // fresh look for every listener.
            greetingDue_ = false;
            std::set<AudioSelector> selectors;
            for (const auto& [token, listener] : listeners_) selectors.insert(listener.selector);
            const bool restore = reconnections_ > 0 || !everConnected_;
            everConnected_ = true;
            std::vector<Message> restores;
            if (restore && reconnections_ > 0) {
                if (lastShown_)
                    restores.push_back({Kind::set, 0, audio::showAudio, 0, *lastShown_});
                if (lastPort_) restores.push_back({Kind::set, 0, audio::audioPort, 0, *lastPort_});
            }
            const bool refresh = reconnections_ > 0;
            lock.unlock();
            for (AudioSelector selector : selectors) sendListen(selector);
            {
                std::lock_guard write(writeMutex_);
                for (const auto& message : restores)
                    localsocket::writeAll(readingFd, micchannel::encode(message));
            }
            if (refresh) notify(0);
            lock.lock();
            continue;
        }
        lock.unlock();
        pollfd entry{readingFd, POLLIN, 0};
        const int ready = poll(&entry, 1, 50);
        std::uint8_t buffer[8192];
        ssize_t n = 0;
        if (ready > 0) n = recv(readingFd, buffer, sizeof(buffer), 0);
        std::vector<AudioSelector> changed;
        bool lost = ready > 0 && n <= 0 && !(n < 0 && errno == EINTR);
        if (n > 0) {
            reader.append(ByteView(buffer, static_cast<std::size_t>(n)));
            lock.lock();
            while (auto message = reader.next()) {
                if (message->kind == Kind::changed) {
                    changed.push_back(message->selector);
                } else if (message->kind == Kind::reply) {
                    if (auto it = pending_.find(message->request); it != pending_.end())
                        it->second.message = std::move(*message);
                }
            }
            replied_.notify_all();
            lost = lost || reader.broken();
            lock.unlock();
        }
        for (AudioSelector selector : changed) notify(selector);
        lock.lock();
        if (lost && fd_ == readingFd) disconnectLocked();
    }
}

}  // namespace vl
