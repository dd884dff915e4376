// A bound control socket shared by every channel registered with the same
// local address text and port. The unit's replies and status messages for all
// of those channels arrive here and are routed by (sender text, channel).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace qtu {

struct ChannelState;

// Routing key of a channel: the unit's control address text and the channel
// number. Ordered by text, then number; looked up without allocating.
struct ChannelKey {
    std::string ip;
    std::int32_t channel;
};
struct ChannelKeyView {
    std::string_view ip;
    std::int32_t channel;
};
struct ChannelKeyLess {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        const std::string_view ai = a.ip, bi = b.ip;
        return ai < bi || (ai == bi && a.channel < b.channel);
    }
};
using ChannelTable = std::map<ChannelKey, std::shared_ptr<ChannelState>, ChannelKeyLess>;

class ControlEndpoint {
public:
    inline static constexpr std::size_t kReceiveBufferSize = 1500;

    // Creates the socket and binds it. Returns nullptr when that fails (the
    // socket layer has printed why). Throws only std::bad_alloc.
    static std::shared_ptr<ControlEndpoint> open(std::string localIp, std::uint16_t localPort);

    // Closes the socket.
    ~ControlEndpoint();

    ControlEndpoint(const ControlEndpoint&) = delete;
    ControlEndpoint& operator=(const ControlEndpoint&) = delete;

    const std::string& localIp() const { return localIp_; }
    std::uint16_t localPort() const { return localPort_; }  // as requested (0: system's choice)
    platform::SocketHandle socket() const { return socket_; }
    // The endpoint's token in UnitApi's ReadyGroup (set once, under M1).
    std::uint64_t token() const { return token_; }
    void setToken(std::uint64_t token) { token_ = token; }

    // Guarded by UnitApi's M1.
    ChannelTable& channels() { return channels_; }
    // Receive buffer of kReceiveBufferSize bytes, allocated once; used only by
    // the receiver thread under M1.
    std::uint8_t* receiveBuffer() { return receiveBuffer_.data(); }

private:
    ControlEndpoint(std::string localIp, std::uint16_t localPort, platform::SocketHandle socket);

    const std::string localIp_;
    const std::uint16_t localPort_;
    platform::SocketHandle socket_;
    std::uint64_t token_ = 0;
    ChannelTable channels_;
    std::vector<std::uint8_t> receiveBuffer_;
};

}  // namespace qtu
