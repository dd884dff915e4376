// Reachability check of a unit interface: one ICMP echo with the payload
// "FIND-QTU", 1000 ms, and a cache of successes that are younger than 20 s.
// Writes its "[Debug] IP " lines to standard output (or the stream given).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace qtu {

class Reachability {
public:
    inline static constexpr char kEchoPayload[] = {'F', 'I', 'N', 'D', '-', 'Q', 'T', 'U'};
    inline static constexpr int kEchoTimeoutMs = 1000;
    inline static constexpr std::int64_t kCacheLifetimeSeconds = 20;

    // Replaceable pieces, so the cache can be tested without waiting.
    // clock: whole seconds of the system clock (since 1970-01-01 UTC).
    // echo: one echo request to an IPv4 address in network byte order.
    using Clock = std::function<std::int64_t()>;
    using Echo = std::function<platform::EchoResult(std::uint32_t address)>;
    struct Hooks {
        Clock clock;          // empty: the system clock
        Echo echo;            // empty: platform::icmpEcho with the payload above
        std::FILE* out = nullptr;  // null: stdout
    };

    Reachability() : Reachability(Hooks{}) {}
    explicit Reachability(Hooks hooks);

    // True when the address answered now or a success is cached and fresh.
    // Serialised (this is M2): a check whose echo goes unanswered holds the
    // lock for about a second. Throws only std::bad_alloc.
    bool check(const char* ip);

private:
    bool echo(const char* ip);

    std::mutex m2_;
    std::map<std::string, std::int64_t, std::less<>> cache_;  // guarded by m2_
    Hooks hooks_;
};

}  // namespace qtu
