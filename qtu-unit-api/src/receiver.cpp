// Reading the control sockets: the receiver thread's rounds, and the caller
// that reads while it waits for its reply. Either takes reports from the
// ReadyGroup, then under M1 reads one datagram from each reported endpoint,
// in list order, accepts, routes and dispatches it, and re-arms the socket.
#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "control_protocol.h"
#include "unit_api.h"
#include "wire.h"

namespace qtu {

namespace {
constexpr int kReportsPerWait = 64;
// Rounds of reports a leaving reader takes at most, so that no datagram it
// was reported (and not the receiver) is left unread on a socket.
constexpr int kReaderLeavingRounds = 8;
}  // namespace

void UnitApi::receiverLoop() {
    std::uint64_t tokens[kReportsPerWait];
    while (!stop_.load()) {
        rounds_.fetch_add(1, std::memory_order_relaxed);
        const int n = group_->wait(ReadyGroup::Waiter::Receiver, tokens, kReportsPerWait, kRoundMs);
        if (n < 0) {
            // The wait itself failed: try again after one round, not at once.
            platform::sleepMs(kRoundMs);
            continue;
        }
        if (n > 0) handleReports(tokens, n, false);
    }
}

void UnitApi::pump(ControlChannel& channel, std::uint16_t seq, std::chrono::steady_clock::time_point deadline) {
    if (!group_->readersWait()) return;
    // One reading caller at a time; the others wait for the hand-off.
    bool expected = false;
    if (!readerActive_.compare_exchange_strong(expected, true)) return;
    readerChannel_.store(&channel);
    readerSeq_.store(seq);
    std::uint64_t tokens[kReportsPerWait];
    bool mine = false;
    while (!mine && !channel.answered(seq)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        // Rounded up: the wait must not end before the deadline.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        const int n = group_->wait(ReadyGroup::Waiter::Reader, tokens, kReportsPerWait,
                                   static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (n < 0) break;
        if (n > 0) mine = handleReports(tokens, n, true);
    }
    readerChannel_.store(nullptr);
    readerActive_.store(false);
    // Datagrams that came with the reply were reported to this caller only.
    for (int round = 0; round < kReaderLeavingRounds; ++round) {
        const int n = group_->wait(ReadyGroup::Waiter::Reader, tokens, kReportsPerWait, 0);
        if (n <= 0) break;
        handleReports(tokens, n, true);
    }
}

bool UnitApi::handleReports(std::uint64_t* tokens, int count, bool byReader) {
    // Tokens grow with the endpoints' creation and the list is newest
    // first: descending tokens are list order.
    std::sort(tokens, tokens + count, std::greater<>());
    bool answeredReader = false;
    bool wakeTaken = false;
    {
        std::lock_guard lock(m1_);
        for (int i = 0; i < count; ++i) {
            if (tokens[i] == ReadyGroup::kWakeToken) {
                wakeTaken = true;
                continue;
            }
            const auto it = byToken_.find(tokens[i]);
            if (it == byToken_.end()) continue;  // closed since it was reported
            answeredReader |= handleReadable(*it->second, byReader);
        }
    }
    if (wakeTaken) group_->drainWake(byReader ? ReadyGroup::Waiter::Reader : ReadyGroup::Waiter::Receiver);
    return answeredReader;
}

bool UnitApi::handleReadable(ControlEndpoint& endpoint, bool byReader) {
    char sender[platform::kAddressTextSize];
    std::uint8_t* buffer = endpoint.receiveBuffer();
    const long got = platform::receiveFrom(endpoint.socket(), buffer, ControlEndpoint::kReceiveBufferSize,
                                           sender);
    if (got <= 0) return false;
    const auto length = static_cast<std::size_t>(got);
    if (!acceptControlDatagram(buffer, length)) return false;
    auto it = endpoint.channels().find(ChannelKeyView{sender, buffer[ctl::kChannel]});
    if (it == endpoint.channels().end()) return false;
    std::uint16_t seq = 0;
    if (!dispatch(*it->second, buffer, length, &seq)) return false;
    // The reply of the caller that reads: it sees it itself, or (when the
    // receiver dispatched it) is woken out of its wait on the group.
    if (readerChannel_.load() != &it->second->control || readerSeq_.load() != seq) return false;
    if (byReader) {
        readByCaller_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    readerWoken_.store(true);
    group_->wake(ReadyGroup::Waiter::Reader);
    return false;
}

}  // namespace qtu
