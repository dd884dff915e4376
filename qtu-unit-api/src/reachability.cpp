#include "reachability.h"

#include <chrono>
#include <utility>

namespace qtu {

namespace {

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

platform::EchoResult systemEcho(std::uint32_t address) {
    return platform::icmpEcho(address, Reachability::kEchoPayload, sizeof Reachability::kEchoPayload,
                              Reachability::kEchoTimeoutMs);
}

}  // namespace

Reachability::Reachability(Hooks hooks) : hooks_(std::move(hooks)) {
    if (!hooks_.clock) hooks_.clock = systemSeconds;
    if (!hooks_.echo) hooks_.echo = systemEcho;
}

bool Reachability::check(const char* ip) {
    std::FILE* out = hooks_.out != nullptr ? hooks_.out : stdout;
    std::lock_guard lock(m2_);
    const std::int64_t now = hooks_.clock();

    auto it = cache_.find(std::string_view(ip));
    if (it != cache_.end()) {
        const std::int64_t age = now - it->second;
        if (age < kCacheLifetimeSeconds) {
            std::fprintf(out, "[Debug] IP %s, last ping: %ld ago -> SUCCESS\n", ip,
                         static_cast<long>(age));
            std::fflush(out);
            return true;
        }
        std::fprintf(out, "[Debug] IP %s too old.\n", ip);
        cache_.erase(it);
    } else {
        std::fprintf(out, "[Debug] IP %s could not be found\n", ip);
    }
    std::fflush(out);

    if (!echo(ip)) {
        std::fprintf(out, "[Debug] IP %s can not be pinged -> FAIL\n", ip);
        std::fflush(out);
        return false;
    }
    std::fprintf(out, "[Debug] IP %s can be pinged -> SUCCESS\n", ip);
    std::fflush(out);
    cache_.insert_or_assign(std::string(ip), now);
    return true;
}

bool Reachability::echo(const char* ip) {
    std::uint32_t address = 0;
    if (!platform::parseIpv4(ip, &address)) return false;
    const platform::EchoResult result = hooks_.echo(address);
    if (result.outcome == platform::EchoOutcome::NoHandle) {
        std::FILE* out = hooks_.out != nullptr ? hooks_.out : stdout;
        std::fprintf(out, "\tUnable to open handle.\n");
        std::fprintf(out, "IcmpCreatefile returned error: %ld\n", result.error);
    }
    return result.outcome == platform::EchoOutcome::Answered;
}

}  // namespace qtu
