// Command-line values of qtu-cli that need more than a type check: unit
// addresses, frame geometry, and the QZQTU_InputInterface built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "QZQTUApi.h"

namespace qtucli {

// Defaults point at the emulated unit on loopback, never at a real network.
inline constexpr const char* kDefaultIp = "127.0.0.1";
inline constexpr uint16_t kDefaultControlPort = 65024;
inline constexpr uint16_t kDefaultDataBasePort = 61440;
inline constexpr uint16_t kDefaultMaxPayload = 8948;
inline constexpr uint32_t kDefaultTimeoutGetMs = 200;
inline constexpr uint32_t kDefaultTimeoutStreamMs = 50;
// Largest UDP payload over IPv4 (65507) less the 24-byte packet header.
inline constexpr uint16_t kLargestMaxPayload = 65507 - 24;
// Fewer than 8 data bytes per datagram cannot carry a block longer than that.
inline constexpr uint16_t kSmallestMaxPayload = 8;

struct Endpoint {
    std::string ip;
    uint16_t port = 0;
};

// True when `text` is a dotted IPv4 address (the conversion the library uses).
bool isIpv4(const std::string& text);

// Parses "IP" or "IP:PORT". The port, when given, is 1..65535; when absent,
// `defaultPort` is used. Returns an error text on failure.
std::optional<std::string> parseEndpoint(std::string_view text, uint16_t defaultPort, Endpoint& out);

// Every field of QZQTU_InputInterface, as the user gave it.
struct ConnectionOptions {
    std::string control = kDefaultIp;  // IP[:PORT]
    std::string data = kDefaultIp;     // IP[:BASEPORT]
    int channel = 0;
    std::string localIp = kDefaultIp;
    uint16_t localPort = 0;
    uint16_t maxPayload = kDefaultMaxPayload;
    uint32_t timeoutGetMs = kDefaultTimeoutGetMs;
    uint32_t timeoutStreamMs = kDefaultTimeoutStreamMs;
};

// The resolved connection. Owns the address texts that `inputInterface`
// points into, so it must outlive every use of that record (and not be copied).
class Connection {
public:
    // Throws std::invalid_argument with a user-facing text on a bad address,
    // or a channel whose data port (base + channel) would be past 65535.
    explicit Connection(const ConnectionOptions& options);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const QZQTU_InputInterface& inputInterface() const { return interface_; }
    int32_t channel() const { return channel_; }
    const Endpoint& control() const { return control_; }
    const Endpoint& data() const { return data_; }
    // Port the unit takes this channel's data on (base + channel, at most 65535).
    uint16_t dataPort() const { return static_cast<uint16_t>(data_.port + channel_); }

private:
    Endpoint control_;
    Endpoint data_;
    std::string localIp_;
    int32_t channel_;
    QZQTU_InputInterface interface_{};
};

// Frame geometry of a stream: lineCount blocks of lineSize bytes each.
struct Geometry {
    uint16_t lineSize = 0;
    uint16_t lineCount = 0;
    uint64_t frameBytes() const { return uint64_t{lineSize} * lineCount; }
};

// What the user asked for; unset fields fall back to 1920x1080 at 16 bits.
struct GeometryOptions {
    std::optional<uint32_t> width, height, bitsPerPixel;
    std::optional<uint32_t> lineSize, lineCount;
};

// Resolves the geometry or returns an error text (mixed forms, a line that
// is not whole bytes, or sizes outside 1..65535).
std::optional<std::string> resolveGeometry(const GeometryOptions& options, Geometry& out);

}  // namespace qtucli
