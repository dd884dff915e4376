// iperf3 as the peer of the stream benchmark: a UDP client sending as fast
// as it can (-b 0) with the library's largest datagram size, to a server on
// 127.0.0.1; goodput is what the server received (sent less lost).
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "bench_util.h"
#include "stream_measure.h"

namespace qtubench {

Figures measureIperf(const std::string& iperf, const StreamShape& shape) {
    const uint64_t datagramBytes = shape.maxPayload + 24u;
    const std::string port = std::to_string(freePort());
    Child server = spawn({iperf, "-s", "-1", "--forceflush", "-B", "127.0.0.1", "-p", port}, shape.unitCpu);
    const std::string banner = readFrom(server.out, std::chrono::seconds(5), "Server listening");
    if (banner.find("Server listening") == std::string::npos) {
        reap(server.pid, std::chrono::milliseconds(0));
        throw std::runtime_error("iperf3 server did not start: " + banner);
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", shape.seconds);
    Child client = spawn({iperf, "-c", "127.0.0.1", "-p", port, "-u", "-b", "0", "-l", std::to_string(datagramBytes),
                          "-t", duration, "--json"}, shape.senderCpu);
    const std::string output =
        readFrom(client.out, std::chrono::milliseconds(static_cast<long long>(shape.seconds * 1000) + 15000));
    const auto clientUsage = reap(client.pid, std::chrono::seconds(5));
    reap(server.pid, std::chrono::seconds(5));
    close(client.out);
    close(server.out);
    if (!clientUsage) throw std::runtime_error("iperf3 client did not end");
    const auto json = nlohmann::json::parse(output, nullptr, false);
    if (json.is_discarded() || json.contains("error") || !json.contains("end"))
        throw std::runtime_error("iperf3 failed: " + output.substr(0, 400));
    const auto& sum = json["end"]["sum"];
    Figures figures;
    figures.seconds = sum["seconds"].get<double>();
    figures.cpuSeconds = cpuOf(*clientUsage);
    figures.datagrams = sum["packets"].get<uint64_t>();
    figures.datagramsLost = sum["lost_packets"].get<uint64_t>();
    figures.bytesSent = sum["bytes"].get<uint64_t>();
    figures.bytesIntact = (figures.datagrams - figures.datagramsLost) * datagramBytes;
    return figures;
}

}  // namespace qtubench
