// ReadyGroup on Linux: two epoll sets, one that a reading caller waits on and
// one that the receiver thread waits on, each holding every control socket
// with EPOLLEXCLUSIVE. A socket's wakeup goes to its exclusive entries in the
// order they were added and stops at the first set that has a waiter: the
// readers' set is added first, so a waiting caller takes the datagram (its
// reply, usually) and the receiver is not woken; with no caller waiting the
// receiver is. Level-triggered: a socket that stays readable is reported
// again to whoever waits next on that set.
#include "ready_group.h"

#if defined(__linux__)

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace qtu {

namespace {

constexpr int kMaxEvents = 64;

class EpollGroup final : public ReadyGroup {
public:
    EpollGroup() = default;
    ~EpollGroup() override {
        for (const Set& s : sets_) {
            if (s.wake >= 0) ::close(s.wake);
            if (s.epoll >= 0) ::close(s.epoll);
        }
    }

    bool open() {
        for (Set& s : sets_) {
            s.epoll = ::epoll_create1(EPOLL_CLOEXEC);
            s.wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (s.epoll < 0 || s.wake < 0) return false;
            epoll_event e = event(kWakeToken);
            if (::epoll_ctl(s.epoll, EPOLL_CTL_ADD, s.wake, &e) != 0) return false;
        }
        return true;
    }

    bool readersWait() const override { return true; }

    bool add(platform::SocketHandle socket, std::uint64_t token) override {
        // The readers' set first: its entry comes first in the socket's queue.
        for (const Set& s : sets_) {
            epoll_event e = event(token);
            if (::epoll_ctl(s.epoll, EPOLL_CTL_ADD, socket, &e) != 0) {
                remove(socket);
                return false;
            }
        }
        return true;
    }
    void remove(platform::SocketHandle socket) override {
        // An epoll wait holds no reference to the socket: once it is closed
        // its port is free, whoever waits.
        for (const Set& s : sets_) ::epoll_ctl(s.epoll, EPOLL_CTL_DEL, socket, nullptr);
    }

    int wait(Waiter who, std::uint64_t* tokens, int max, int timeoutMs) override {
        epoll_event events[kMaxEvents];
        if (max > kMaxEvents) max = kMaxEvents;
        const int n = ::epoll_wait(set(who).epoll, events, max, timeoutMs);
        if (n < 0) return errno == EINTR ? 0 : -1;
        for (int i = 0; i < n; ++i) tokens[i] = events[i].data.u64;
        return n;
    }

    void wake(Waiter who) override {
        const std::uint64_t one = 1;
        (void)!::write(set(who).wake, &one, sizeof one);
    }
    void drainWake(Waiter who) override {
        std::uint64_t count;
        (void)!::read(set(who).wake, &count, sizeof count);
    }

private:
    struct Set {
        int epoll = -1;
        int wake = -1;  // eventfd in this set only
    };

    static epoll_event event(std::uint64_t token) {
        epoll_event e{};
        e.events = EPOLLIN | EPOLLEXCLUSIVE;
        e.data.u64 = token;
        return e;
    }
    const Set& set(Waiter who) const { return sets_[who == Waiter::Reader ? 0 : 1]; }

    Set sets_[2];  // [0] readers, [1] receiver: in the order sockets join them
};

}  // namespace

std::unique_ptr<ReadyGroup> makeEpollGroup() {
    auto group = std::make_unique<EpollGroup>();
    if (!group->open()) return nullptr;
    return group;
}

}  // namespace qtu

#endif  // __linux__
