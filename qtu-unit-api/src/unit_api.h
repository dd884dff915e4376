// The process-wide object behind the exported functions: the channel table
// (M0), the control endpoints with their routing tables (M1), the
// reachability cache (M2) and the receiver thread.
//
// Lock order: M1 may be held while M0 is taken, never the reverse; the
// library's own paths take them one after the other. Channel teardown may
// run under M1 and takes only the channel's own locks.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "control_endpoint.h"
#include "reachability.h"

namespace qtu {

// A QZQTU_InputInterface is valid when both unit addresses are given and are
// dotted IPv4 texts, and localControlIp is null or one too.
bool isValidInputInterface(const QZQTU_InputInterface& config);

class UnitApi {
public:
    // The one instance of the process, created on first use (thread-safe;
    // concurrent first calls wait for it) and destroyed when the library is
    // unloaded. Throws std::system_error when the receiver thread can't be
    // started and std::bad_alloc (the next call tries again), and
    // std::runtime_error once the instance has been destroyed.
    static UnitApi& instance();

    // Independent instances are for tests; `hooks` replaces the clock and
    // echo of the reachability check.
    UnitApi() : UnitApi(Reachability::Hooks{}) {}
    explicit UnitApi(Reachability::Hooks hooks);
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

    // Most sockets the receiver waits on in one round.
    inline static constexpr std::size_t kMaxReadSockets = 64;
    inline static constexpr int kRoundMs = 10;

private:
    // Removes the channel from the endpoints' tables (where it is the entry
    // of its key) and closes endpoints left without channels. Takes M1.
    void detach(std::shared_ptr<ChannelState> state);
    void receiverLoop();
    void handleReadable(ControlEndpoint& endpoint);
    // Called under M1 after endpoints left the list: returns once the
    // receiver is no longer waiting on their sockets. A socket that is
    // closed while a wait still holds it keeps its port bound until the wait
    // ends, and a registration that binds that port right after would fail.
    void awaitReceiverOutOfWait();

    // M0: channel table, handle counter and the keys of registrations under way.
    std::mutex m0_;
    std::map<std::int32_t, std::shared_ptr<ChannelState>> channels_;
    std::int32_t nextHandle_ = 0;
    std::set<ChannelKey, ChannelKeyLess> reserved_;

    // M1: the endpoints (newest first) and their channel tables.
    std::mutex m1_;
    std::list<std::shared_ptr<ControlEndpoint>> endpoints_;

    Reachability reachability_;  // holds M2

    // Set (under M1) while the receiver waits on the sockets it collected.
    std::mutex waitMutex_;
    std::condition_variable waitDone_;
    bool waiting_ = false;  // guarded by waitMutex_

    std::atomic<bool> stop_{false};
    std::mutex idleMutex_;
    std::condition_variable idle_;
    std::thread receiver_;
};

}  // namespace qtu
