#include "options.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include <charconv>
#include <stdexcept>

namespace qtucli {

bool isIpv4(const std::string& text) {
    in_addr address{};
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

std::optional<std::string> parseEndpoint(std::string_view text, uint16_t defaultPort, Endpoint& out) {
    std::string_view ipText = text;
    uint16_t port = defaultPort;
    if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
        ipText = text.substr(0, colon);
        const std::string_view portText = text.substr(colon + 1);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), value);
        if (portText.empty() || ec != std::errc{} || end != portText.data() + portText.size() || value == 0 ||
            value > 65535) {
            return "'" + std::string(portText) + "' is not a port (1..65535)";
        }
        port = static_cast<uint16_t>(value);
    }
    std::string ip(ipText);
    if (!isIpv4(ip)) {
        return "'" + ip + "' is not a dotted IPv4 address";
    }
    out.ip = std::move(ip);
    out.port = port;
    return std::nullopt;
}

Connection::Connection(const ConnectionOptions& options) : channel_(options.channel) {
    if (auto error = parseEndpoint(options.control, kDefaultControlPort, control_)) {
        throw std::invalid_argument("--control: " + *error);
    }
    if (auto error = parseEndpoint(options.data, kDefaultDataBasePort, data_)) {
        throw std::invalid_argument("--data: " + *error);
    }
    // The unit takes channel n's data on base port + n; past 65535 there is no such port.
    if (uint32_t{data_.port} + static_cast<uint32_t>(channel_) > 65535) {
        throw std::invalid_argument("--data/--channel: data base port " + std::to_string(data_.port) +
                                    " + channel " + std::to_string(channel_) +
                                    " is past port 65535; give a lower base port or channel");
    }
    if (!isIpv4(options.localIp)) {
        throw std::invalid_argument("--local-ip: '" + options.localIp + "' is not a dotted IPv4 address");
    }
    localIp_ = options.localIp;
    interface_.qtuControlIp = control_.ip.c_str();
    interface_.qtuControlPort = control_.port;
    interface_.sensorDataIp = data_.ip.c_str();
    interface_.sensorDataBasePort = data_.port;
    interface_.localControlIp = localIp_.c_str();
    interface_.localControlPort = options.localPort;
    interface_.maxPayloadSize = options.maxPayload;
    interface_.timeoutGet = options.timeoutGetMs;
    interface_.timeoutStream = options.timeoutStreamMs;
}

std::optional<std::string> resolveGeometry(const GeometryOptions& options, Geometry& out) {
    const bool byImage = options.width || options.height || options.bitsPerPixel;
    const bool byLines = options.lineSize || options.lineCount;
    if (byImage && byLines) {
        return "give either --width/--height/--bpp or --line-size/--line-count, not both";
    }
    uint64_t lineSize = 0;
    uint64_t lineCount = 0;
    if (byLines) {
        if (!options.lineSize || !options.lineCount) {
            return "--line-size and --line-count go together";
        }
        lineSize = *options.lineSize;
        lineCount = *options.lineCount;
    } else {
        const uint64_t width = options.width.value_or(1920);
        const uint64_t bits = options.bitsPerPixel.value_or(16);
        if (bits == 0 || (width * bits) % 8 != 0) {
            return "a line of " + std::to_string(width) + " pixels at " + std::to_string(bits) +
                   " bits is not a whole number of bytes";
        }
        lineSize = width * bits / 8;
        lineCount = options.height.value_or(1080);
    }
    if (lineSize == 0 || lineSize > 65535) {
        return "line size " + std::to_string(lineSize) + " bytes is outside 1..65535";
    }
    if (lineCount == 0 || lineCount > 65535) {
        return "line count " + std::to_string(lineCount) + " is outside 1..65535";
    }
    out.lineSize = static_cast<uint16_t>(lineSize);
    out.lineCount = static_cast<uint16_t>(lineCount);
    return std::nullopt;
}

}  // namespace qtucli
