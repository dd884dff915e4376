// Reading the control sockets: the receiver thread's rounds, and the caller
// that reads while it waits for its reply. Either takes reports from the
// ReadyGroup, then under M1 reads from each reported endpoint, in list order
// (the caller one datagram, the receiver up to kPerReport), and accepts,
// routes and dispatches each datagram.
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
// Datagrams the receiver reads from one reported endpoint in one round.
constexpr int kPerReport = 16;
// A unit streamed to sends a status message whenever buffers come back, up
// to one every few microseconds. When rounds that handle nothing but status
// messages follow each other this closely, the receiver lets the next ones
// gather for kStatusGather before it waits again: one wake-up then takes
// several, instead of one wake-up (and the CPU the stream needs) for each.
// Replies are never held back (a round with a reply does not pause), and
// flow control allows far more than this much data in flight.
constexpr auto kBusyGap = std::chrono::microseconds(500);
constexpr auto kStatusGather = std::chrono::microseconds(100);
}  // namespace

void UnitApi::receiverLoop() {
    std::uint64_t tokens[kReportsPerWait];
    auto lastStatusRound = std::chrono::steady_clock::time_point{};
    while (!stop_.load()) {
        rounds_.fetch_add(1, std::memory_order_relaxed);
        const int n = group_->wait(ReadyGroup::Waiter::Receiver, tokens, kReportsPerWait, kRoundMs);
        if (n < 0) {
            // The wait itself failed: try again after one round, not at once.
            platform::sleepMs(kRoundMs);
            continue;
        }
        if (n == 0) continue;
        const Handled handled = handleReports(tokens, n, false);
        if (handled.datagrams == 0 || handled.replies != 0) continue;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastStatusRound < kBusyGap) std::this_thread::sleep_for(kStatusGather);
        lastStatusRound = now;
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
        if (n > 0) mine = handleReports(tokens, n, true).readerReply;
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

UnitApi::Handled UnitApi::handleReports(std::uint64_t* tokens, int count, bool byReader) {
    // Tokens grow with the endpoints' creation and the list is newest
    // first: descending tokens are list order.
    std::sort(tokens, tokens + count, std::greater<>());
    Handled handled;
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
            for (int k = 0; k < (byReader ? 1 : kPerReport); ++k) {
                const Outcome outcome = handleReadable(*it->second, byReader);
                if (outcome == Outcome::Nothing) break;
                ++handled.datagrams;
                if (outcome != Outcome::Other) ++handled.replies;
                if (outcome == Outcome::ReaderReply) handled.readerReply = true;
            }
        }
    }
    if (wakeTaken) group_->drainWake(byReader ? ReadyGroup::Waiter::Reader : ReadyGroup::Waiter::Receiver);
    return handled;
}

UnitApi::Outcome UnitApi::handleReadable(ControlEndpoint& endpoint, bool byReader) {
    char sender[platform::kAddressTextSize];
    std::uint8_t* buffer = endpoint.receiveBuffer();
    const long got = platform::receiveFrom(endpoint.socket(), buffer, ControlEndpoint::kReceiveBufferSize,
                                           sender);
    if (got <= 0) return Outcome::Nothing;
    const auto length = static_cast<std::size_t>(got);
    if (!acceptControlDatagram(buffer, length)) return Outcome::Other;
    auto it = endpoint.channels().find(ChannelKeyView{sender, buffer[ctl::kChannel]});
    if (it == endpoint.channels().end()) return Outcome::Other;
    std::uint16_t seq = 0;
    if (!dispatch(*it->second, buffer, length, &seq)) return Outcome::Other;
    // The reply of the caller that reads: it sees it itself, or (when the
    // receiver dispatched it) is woken out of its wait on the group.
    if (readerChannel_.load() != &it->second->control || readerSeq_.load() != seq) return Outcome::Reply;
    if (byReader) {
        readByCaller_.fetch_add(1, std::memory_order_relaxed);
        return Outcome::ReaderReply;
    }
    group_->wake(ReadyGroup::Waiter::Reader);
    return Outcome::Reply;
}

}  // namespace qtu
