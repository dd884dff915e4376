// The control sockets that the receiver thread, and a caller waiting for its
// reply, wait on.
//
// Each datagram's arrival is reported to one waiter: to the reading caller
// when one waits (Readers), else to the receiver thread. A report means that
// the socket is readable; the waiter reads one datagram and hands it on, and
// a socket that stays readable is reported again. Where the platform offers
// this (Linux epoll: two sets, the readers' one watched first, each socket
// in both with EPOLLEXCLUSIVE), a caller is woken by its reply itself, with
// no hand-off through the receiver thread (readersWait()). Elsewhere only the
// receiver waits, on a set rebuilt from the sockets (a window of them,
// turning round by round, where the platform watches fewer at once).
//
// add and remove are called under UnitApi's M1; wait by the receiver thread
// or one reading caller at a time, without M1; wake from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace qtu {

class ReadyGroup {
public:
    // Token of a wake-up; sockets use any other value.
    static constexpr std::uint64_t kWakeToken = 0;

    enum class Waiter { Receiver, Reader };

    virtual ~ReadyGroup() = default;

    // True when a caller may wait (as Reader) beside the receiver.
    virtual bool readersWait() const = 0;

    // A new socket, reported with `token`; new sockets come first in the
    // order of a rebuilt set, as new endpoints do in the list. False when the
    // platform refuses it.
    virtual bool add(platform::SocketHandle socket, std::uint64_t token) = 0;
    // Takes the socket out before it is closed; returns once no wait holds it.
    virtual void remove(platform::SocketHandle socket) = 0;

    // Waits at most timeoutMs (0: only looks) for reports and stores up to
    // `max` tokens. Returns their number, 0 on time-out, -1 when the wait
    // failed.
    virtual int wait(Waiter who, std::uint64_t* tokens, int max, int timeoutMs) = 0;
    // Makes that waiter's wait return with kWakeToken (now, or in its next one).
    virtual void wake(Waiter who) = 0;
    // By the waiter that took kWakeToken: clears its wake-up.
    virtual void drainWake(Waiter who) = 0;
};

// The best group of the platform (epoll on Linux); else the polled one.
std::unique_ptr<ReadyGroup> makeReadyGroup(std::size_t maxWaitSockets);
// A group on platform::waitReadable for the receiver alone, with at most
// maxWaitSockets sockets per wait (wake socket included).
std::unique_ptr<ReadyGroup> makePolledGroup(std::size_t maxWaitSockets);
// Linux only: nullptr where epoll or eventfd can't be had.
std::unique_ptr<ReadyGroup> makeEpollGroup();

}  // namespace qtu
