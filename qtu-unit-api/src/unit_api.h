// The process-wide object behind the exported functions: the channel table
// (M0), the control endpoints with their routing tables (M1), the
// reachability cache (M2) and the receiver thread.
//
// Lock order: M1 may be held while M0 is taken, never the reverse; the
// library's own paths take them one after the other. Channel teardown may
// run under M1 and takes only the channel's own locks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "control_endpoint.h"
#include "reachability.h"
#include "ready_group.h"

namespace qtu {

// A QZQTU_InputInterface is valid when both unit addresses are given and are
// dotted IPv4 texts, and localControlIp is null or one too.
bool isValidInputInterface(const QZQTU_InputInterface& config);

class UnitApi final : public ReplyPump {
public:
    // The one instance of the process, created on first use (thread-safe;
    // concurrent first calls wait for it) and destroyed when the library is
    // unloaded. Throws std::system_error when the receiver thread can't be
    // started and std::bad_alloc (the next call tries again), and
    // std::runtime_error once the instance has been destroyed.
    static UnitApi& instance();

    // Independent instances are for tests; `hooks` replaces the clock and
    // echo of the reachability check, and `maxWaitSockets` the most sockets
    // one wait of the receiver watches (the platform's limit by default).
    UnitApi() : UnitApi(Reachability::Hooks{}) {}
    explicit UnitApi(Reachability::Hooks hooks, std::size_t maxWaitSockets = platform::kMaxWaitSockets);
    // Ordered shutdown: stop and join the receiver, tear the channels down
    // while the control sockets are open, close the endpoints, release the
    // socket library.
    ~UnitApi();

    UnitApi(const UnitApi&) = delete;
    UnitApi& operator=(const UnitApi&) = delete;

    QZQTU_Error isInputInterfaceAvailable(const QZQTU_InputInterface* config);
    QZQTU_Error registerOutputChannel(const QZQTU_InputInterface* config, std::int32_t channelIndex,
                                      std::int32_t* handle);
    QZQTU_Error unregisterOutputChannel(std::int32_t handle);

    // The channel of `handle`, kept alive by the returned reference; nullptr
    // when the handle is unknown.
    std::shared_ptr<ChannelState> find(std::int32_t handle);

    // Inspection for tests.
    std::size_t endpointCount();
    std::size_t channelCount();
    // Rounds of the receiver so far (each one wait and what it read).
    std::uint64_t receiverRounds() const { return rounds_.load(); }
    // Replies that their own caller read while it waited (no hand-off).
    std::uint64_t repliesReadByTheirCaller() const { return readByCaller_.load(); }
    bool callersReadReplies() const { return group_->readersWait(); }

    // Longest wait of one round.
    inline static constexpr int kRoundMs = 10;

    // ReplyPump: while a caller waits for the reply to `seq`, it reads the
    // control sockets itself, as the receiver does, where the platform lets
    // it wait beside the receiver (one caller at a time; others wait for the
    // hand-off). Returns when the reply is in, at the deadline, or at once.
    void pump(ControlChannel& channel, std::uint16_t seq, std::chrono::steady_clock::time_point deadline) override;

private:
    // Removes the channel from the endpoints' tables (where it is the entry
    // of its key) and closes endpoints left without channels. Takes M1.
    void detach(std::shared_ptr<ChannelState> state);
    // Receiver thread (receiver.cpp).
    void receiverLoop();
    // What one datagram turned out to be.
    enum class Outcome { Nothing, Other, Reply, ReaderReply };
    struct Handled {
        int datagrams = 0;
        int replies = 0;           // datagrams that answered a request
        bool readerReply = false;  // one answered the reading caller's request
    };
    // Reads from each reported endpoint, in list order, and dispatches what
    // came. Takes M1.
    Handled handleReports(std::uint64_t* tokens, int count, bool byReader);
    // Under M1: one datagram of the endpoint, accepted, routed, dispatched.
    Outcome handleReadable(ControlEndpoint& endpoint, bool byReader);

    // M0: channel table, handle counter and the keys of registrations under way.
    std::mutex m0_;
    std::map<std::int32_t, std::shared_ptr<ChannelState>> channels_;
    std::int32_t nextHandle_ = 0;
    std::set<ChannelKey, ChannelKeyLess> reserved_;

    // M1: the endpoints (newest first) and their channel tables, and the
    // endpoints by their tokens in group_ (tokens count up from 1 and are
    // never reused, so a report for a closed endpoint finds nothing).
    std::mutex m1_;
    std::list<std::shared_ptr<ControlEndpoint>> endpoints_;
    std::unordered_map<std::uint64_t, ControlEndpoint*> byToken_;
    std::uint64_t nextToken_ = 1;

    Reachability reachability_;  // holds M2

    std::unique_ptr<ReadyGroup> group_;
    // The caller reading the sockets while it waits, if any: its channel and
    // request. The receiver wakes it when it dispatched that reply itself
    // (the reply came while the caller was not waiting).
    std::atomic<bool> readerActive_{false};
    std::atomic<const ControlChannel*> readerChannel_{nullptr};
    std::atomic<std::uint16_t> readerSeq_{0};
    std::atomic<bool> readerWoken_{false};  // the receiver woke it: its wake-up is in the group
    std::atomic<std::uint64_t> readByCaller_{0};
    std::atomic<std::uint64_t> rounds_{0};

    std::atomic<bool> stop_{false};
    std::thread receiver_;
};

}  // namespace qtu
