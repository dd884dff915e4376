#include "unit_api.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "control_protocol.h"
#include "platform/platform.h"
#include "wire.h"

namespace qtu {

namespace {

constexpr std::int32_t kMaxChannelIndex = 255;  // the channel travels in one byte
constexpr std::uint16_t kMinPayloadSize = 8;    // smallest block a data packet can carry

}  // namespace

bool isValidInputInterface(const QZQTU_InputInterface& config) {
    return platform::parseIpv4(config.qtuControlIp, nullptr) &&
           platform::parseIpv4(config.sensorDataIp, nullptr) &&
           (config.localControlIp == nullptr || platform::parseIpv4(config.localControlIp, nullptr));
}

namespace {

// Set once the process's instance is being destroyed (library unload or
// process exit); calls that come later are refused instead of reaching a
// destroyed object. Constant-initialised, so it outlives every destructor.
std::atomic<bool> instanceGone{false};

}  // namespace

UnitApi& UnitApi::instance() {
    if (instanceGone.load()) throw std::runtime_error("the unit API is shut down");
    // A throwing constructor leaves the static uninitialised; the next call
    // tries again. The instance is destroyed by an exit handler registered
    // right after it was made, so in the order a static object would be,
    // except when the process is ending with the library still loaded
    // (Windows): the system has then ended every other thread already,
    // perhaps inside one of the instance's locks, so the ordered shutdown
    // could only hang; the system releases the sockets.
    static UnitApi* const api = [] {
        auto created = std::make_unique<UnitApi>();
        static UnitApi* owned = nullptr;
        owned = created.get();
        if (std::atexit([] {
                instanceGone.store(true);
                if (!platform::processIsEnding()) delete owned;
            }) != 0) {
            throw std::runtime_error("no room for the unit API's exit handler");
        }
        return created.release();
    }();
    return *api;
}

UnitApi::UnitApi(Reachability::Hooks hooks, std::size_t maxWaitSockets)
    : reachability_(std::move(hooks)) {
    platform::startSocketLibrary();
    try {
        group_ = maxWaitSockets == platform::kMaxWaitSockets ? makeReadyGroup(maxWaitSockets)
                                                             : makePolledGroup(maxWaitSockets);
    } catch (...) {
        platform::releaseSocketLibrary();
        throw;
    }
    try {
        receiver_ = std::thread([this] { receiverLoop(); });
    } catch (...) {
        platform::releaseSocketLibrary();
        throw;
    }
}

UnitApi::~UnitApi() {
    stop_.store(true);
    group_->wake(ReadyGroup::Waiter::Receiver);
    if (receiver_.joinable()) receiver_.join();

    // Teardown of each channel sends its two requests through its endpoint,
    // which the channel keeps open until then.
    std::vector<std::shared_ptr<ChannelState>> lastReferences;
    {
        std::lock_guard lock(m1_);
        for (auto& endpoint : endpoints_) {
            for (auto& entry : endpoint->channels()) lastReferences.push_back(std::move(entry.second));
            endpoint->channels().clear();
        }
    }
    {
        std::lock_guard lock(m0_);
        for (auto& entry : channels_) lastReferences.push_back(std::move(entry.second));
        channels_.clear();
    }
    lastReferences.clear();
    {
        std::lock_guard lock(m1_);
        for (const auto& endpoint : endpoints_) group_->remove(endpoint->socket());
        byToken_.clear();
        endpoints_.clear();
    }
    platform::releaseSocketLibrary();
}

QZQTU_Error UnitApi::isInputInterfaceAvailable(const QZQTU_InputInterface* config) {
    if (config == nullptr) return QZQTU_INVALID_POINTER;
    if (!isValidInputInterface(*config)) return QZQTU_INVALID_INPUT_INTERFACE;
    if (!reachability_.check(config->qtuControlIp)) return QZQTU_CONTROL_INTERFACE_NOT_AVAILABLE;
    if (!reachability_.check(config->sensorDataIp)) return QZQTU_DATA_INTERFACE_NOT_AVAILABLE;
    return QZQTU_OK;
}

QZQTU_Error UnitApi::registerOutputChannel(const QZQTU_InputInterface* config,
                                           std::int32_t channelIndex, std::int32_t* handle) {
    if (config == nullptr) return QZQTU_INVALID_POINTER;
    if (!isValidInputInterface(*config) || config->maxPayloadSize < kMinPayloadSize) {
        return QZQTU_INVALID_INPUT_INTERFACE;
    }
    if (handle == nullptr) return QZQTU_INVALID_POINTER;
    if (channelIndex < 0 || channelIndex > kMaxChannelIndex) return QZQTU_INVALID_CHANNEL_INDEX;

    // Under M0: refuse a key that is registered or being registered. The
    // reservation keeps two concurrent registrations of one key from both
    // succeeding.
    ChannelKey key{config->qtuControlIp, channelIndex};
    {
        std::lock_guard lock(m0_);
        const ChannelKeyView view{key.ip, channelIndex};
        if (reserved_.find(view) != reserved_.end()) return QZQTU_CHANNEL_ALREADY_REGISTERED;
        // Handles are never reused; the counter's end is the end of registration.
        if (nextHandle_ == INT32_MAX) return QZQTU_INTERNAL_ERROR;
        for (const auto& entry : channels_) {
            if (entry.second->channel == channelIndex && entry.second->controlIp == key.ip) {
                return QZQTU_CHANNEL_ALREADY_REGISTERED;
            }
        }
        reserved_.insert(key);
    }
    struct Reservation {
        UnitApi& api;
        const ChannelKey& key;
        ~Reservation() {
            std::lock_guard lock(api.m0_);
            api.reserved_.erase(key);
        }
    } reservation{*this, key};

    // Under M1: find or open the endpoint, create the channel and route to it.
    std::shared_ptr<ChannelState> state;
    {
        const std::string localIp = config->localControlIp != nullptr ? config->localControlIp : "0.0.0.0";
        std::lock_guard lock(m1_);
        std::shared_ptr<ControlEndpoint> endpoint;
        for (const auto& candidate : endpoints_) {
            if (candidate->localIp() == localIp && candidate->localPort() == config->localControlPort) {
                endpoint = candidate;
                break;
            }
        }
        const bool created = endpoint == nullptr;
        if (created) {
            endpoint = ControlEndpoint::open(localIp, config->localControlPort);
            if (endpoint == nullptr) return QZQTU_CONTROL_SOCKET_ERROR;
            // Watched from now on by whoever waits on the group (a waiting
            // receiver is woken to take it up): the first request of the new
            // endpoint does not wait for the current round to end.
            const std::uint64_t token = nextToken_++;
            endpoint->setToken(token);
            byToken_.emplace(token, endpoint.get());
            if (!group_->add(endpoint->socket(), token)) {
                byToken_.erase(token);
                return QZQTU_CONTROL_SOCKET_ERROR;
            }
        }
        // Nothing below throws once the channel exists, the list has room
        // and the entry is in.
        try {
            state = std::make_shared<ChannelState>(channelIndex, *config, endpoint, this);
            if (created) endpoints_.push_front(endpoint);
            endpoint->channels().insert_or_assign(key, state);
        } catch (...) {
            if (created) {
                if (!endpoints_.empty() && endpoints_.front() == endpoint) endpoints_.pop_front();
                group_->remove(endpoint->socket());
                byToken_.erase(endpoint->token());
            }
            throw;
        }
    }

    try {
        std::lock_guard lock(m0_);
        const std::int32_t assigned = nextHandle_;
        channels_.emplace(assigned, state);
        ++nextHandle_;
        *handle = assigned;
    } catch (...) {
        // Out of memory: undo the routing so that nothing of the call is kept.
        detach(state);
        throw;
    }
    return QZQTU_OK;
}

void UnitApi::detach(std::shared_ptr<ChannelState> state) {
    const ChannelKeyView key{state->controlIp, state->channel};
    // Under M1: take the channel out of every endpoint's table, but only where
    // the entry is this channel (a newer registration of the key stays
    // routed); endpoints left empty are closed after the walk. Teardown runs
    // here, while the endpoint's socket is still open, unless a call in flight
    // still holds the channel.
    std::vector<std::shared_ptr<ControlEndpoint>> emptied;
    std::lock_guard lock(m1_);
    for (auto& endpoint : endpoints_) {
        auto it = endpoint->channels().find(key);
        if (it != endpoint->channels().end() && it->second == state) endpoint->channels().erase(it);
    }
    state.reset();
    for (auto it = endpoints_.begin(); it != endpoints_.end();) {
        if ((*it)->channels().empty()) {
            emptied.push_back(std::move(*it));
            it = endpoints_.erase(it);
        } else {
            ++it;
        }
    }
    // Out of the group before the sockets close; a report already taken for
    // one finds no token any more.
    for (const auto& endpoint : emptied) {
        group_->remove(endpoint->socket());
        byToken_.erase(endpoint->token());
    }
    emptied.clear();
}

QZQTU_Error UnitApi::unregisterOutputChannel(std::int32_t handle) {
    std::shared_ptr<ChannelState> state;
    {
        std::lock_guard lock(m0_);
        auto it = channels_.find(handle);
        if (it == channels_.end()) return QZQTU_INVALID_HANDLE;
        state = std::move(it->second);
        channels_.erase(it);
    }
    detach(std::move(state));
    return QZQTU_OK;
}

std::shared_ptr<ChannelState> UnitApi::find(std::int32_t handle) {
    std::lock_guard lock(m0_);
    auto it = channels_.find(handle);
    return it == channels_.end() ? nullptr : it->second;
}

std::size_t UnitApi::endpointCount() {
    std::lock_guard lock(m1_);
    return endpoints_.size();
}

std::size_t UnitApi::channelCount() {
    std::lock_guard lock(m0_);
    return channels_.size();
}

}  // namespace qtu
