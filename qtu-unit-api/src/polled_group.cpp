// ReadyGroup on platform::waitReadable: the receiver is the one waiter, on a
// set rebuilt when the sockets change, with a wake socket in front of it.
// A readable socket is reported in every wait until it has been read.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "ready_group.h"
#include "receiver_wake.h"

namespace qtu {

namespace {

class PolledGroup final : public ReadyGroup {
public:
    explicit PolledGroup(std::size_t maxWaitSockets) : maxWait_(std::max<std::size_t>(maxWaitSockets, 2)) {}

    bool readersWait() const override { return false; }

    bool add(platform::SocketHandle socket, std::uint64_t token) override {
        {
            std::lock_guard lock(mutex_);
            members_.insert(members_.begin(), Member{socket, token});
            changed_ = true;
        }
        // The new socket is watched from the next wait on; end this one.
        wake(Waiter::Receiver);
        return true;
    }

    void remove(platform::SocketHandle socket) override {
        std::unique_lock lock(mutex_);
        members_.erase(std::remove_if(members_.begin(), members_.end(),
                                      [&](const Member& m) { return m.socket == socket; }),
                       members_.end());
        changed_ = true;
        // A socket closed while a wait holds it keeps its port bound until
        // the wait ends; a registration that binds that port right after
        // would fail. So wait for the current wait to end (woken at once).
        if (!waiting_) return;
        wake(Waiter::Receiver);
        waitDone_.wait(lock, [this] { return !waiting_; });
    }

    int wait(Waiter who, std::uint64_t* tokens, int max, int timeoutMs) override {
        if (who != Waiter::Receiver) return -1;
        std::size_t count;
        {
            std::lock_guard lock(mutex_);
            if (changed_ || window_.size() < members_.size()) build();
            changed_ = false;
            count = sockets_.size();
            waiting_ = true;
        }
        const int ready = count == 0 ? 0 : platform::waitReadable(sockets_.data(), count, readable_.get(), timeoutMs);
        if (count == 0) platform::sleepMs(timeoutMs);
        {
            std::lock_guard lock(mutex_);
            waiting_ = false;
        }
        waitDone_.notify_all();
        if (ready <= 0) return ready;
        int n = 0;
        for (std::size_t i = 0; i < count && n < max; ++i) {
            if (!readable_[i]) continue;
            tokens[n++] = i < firstMember_ ? kWakeToken : window_[i - firstMember_].token;
        }
        return n;
    }

    void wake(Waiter) override { wakeSocket_.signal(); }
    void drainWake(Waiter) override { wakeSocket_.drain(); }

private:
    struct Member {
        platform::SocketHandle socket;
        std::uint64_t token;
    };

    // Under mutex_: the wake socket, then every member in order where they
    // all fit; otherwise as many as fit, in order from where the last window
    // ended, so that each is watched at least once in every
    // ceil(members / room) waits.
    void build() {
        sockets_.clear();
        window_.clear();
        if (wakeSocket_.valid()) sockets_.push_back(wakeSocket_.socket());
        firstMember_ = sockets_.size();
        const std::size_t total = members_.size();
        const std::size_t take = std::min(total, maxWait_ - firstMember_);
        const std::size_t start = take == total ? 0 : rotation_ % total;
        for (std::size_t k = 0; k < take; ++k) {
            window_.push_back(members_[(start + k) % total]);
            sockets_.push_back(window_.back().socket);
        }
        if (take < total) rotation_ = (start + take) % total;
        if (readableRoom_ < sockets_.size()) {
            readable_ = std::make_unique<bool[]>(sockets_.size());
            readableRoom_ = sockets_.size();
        }
    }

    const std::size_t maxWait_;
    WakeSocket wakeSocket_;
    std::mutex mutex_;
    std::condition_variable waitDone_;
    std::vector<Member> members_;  // newest first; under mutex_
    bool changed_ = true;
    bool waiting_ = false;
    // The set of the current wait: written in build() under mutex_, read by
    // the one waiter during its wait.
    std::vector<Member> window_;
    std::vector<platform::SocketHandle> sockets_;
    std::unique_ptr<bool[]> readable_;
    std::size_t readableRoom_ = 0;
    std::size_t firstMember_ = 0;
    std::size_t rotation_ = 0;
};

}  // namespace

std::unique_ptr<ReadyGroup> makePolledGroup(std::size_t maxWaitSockets) {
    return std::make_unique<PolledGroup>(maxWaitSockets);
}

}  // namespace qtu
