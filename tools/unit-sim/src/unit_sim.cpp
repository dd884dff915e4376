#include "qtu_sim/unit_sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

#include "capture.h"
#include "data_receiver.h"
#include "frame_writer.h"
#include "stream_checker.h"
#include "wire.h"

namespace qtusim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReceiveBufferBytes = 64 << 20;
constexpr size_t kControlLogLimit = 1'000'000;
constexpr auto kPollInterval = std::chrono::milliseconds(20);

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd = o.fd;
      o.fd = -1;
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

sockaddr_in makeAddress(const std::string& ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (inet_pton(AF_INET, ip.c_str(), &a.sin_addr) != 1)
    throw std::runtime_error("not an IPv4 address: " + ip);
  return a;
}

// A UDP socket bound to ip:port whose receive calls return every `kPollInterval`
// so the threads see the stop request. Returns -1 (and leaves errno) when the bind fails.
Fd boundSocket(const sockaddr_in& address, bool bigReceiveBuffer) {
  Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (s.fd < 0) fail("socket");
  timeval tv{0, static_cast<suseconds_t>(std::chrono::microseconds(kPollInterval).count())};
  ::setsockopt(s.fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (bigReceiveBuffer) {
    int size = kReceiveBufferBytes;
    // The forced variant passes the system limit when running as root.
    if (::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
      ::setsockopt(s.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  if (::bind(s.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return Fd();
  return s;
}

uint16_t localPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Request length that each command of the table must have.
int requestLength(uint16_t command) {
  switch (command) {
    case 0x00: case 0x01: case 0x02: case 0x03:
    case 0x10: case 0x11: case 0x12:
    case 0x21: case 0x23: case 0x25: case 0x31:
      return 12;
    case 0x30:
      return 16;
    case 0x20: case 0x22: case 0x24:
      return 20;
    default:
      return -1;
  }
}

uint64_t wallNanoseconds() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

double parseDrain(const std::string& text) {
  if (text == "inf" || text == "infinity") return std::numeric_limits<double>::infinity();
  size_t used = 0;
  double v = -1;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
  }
  if (used != text.size() || !(v >= 0)) throw std::invalid_argument("drain must be >= 0 or inf: " + text);
  return v;
}

namespace {

// A host as the unit sees it: its address, and the local address it sent to,
// which is the source of everything the unit sends back to it.
struct Peer {
  sockaddr_in remote{};
  in_addr local{};
};

struct Channel final : StreamChecker::Observer {
  uint32_t capacity = 0;
  bool instantDrain = true;
  int index = 0;
  Fd data;
  uint16_t port = 0;
  StreamCounters counters;
  StreamChecker checker;
  std::unique_ptr<FrameWriter> writer;

  // Control state as the host set it, under `mu`.
  mutable std::mutex mu;
  Peer host;
  bool hasHost = false;
  uint64_t startTime = 0, stopTime = 0, offset = 0;
  bool outputEnabled = false, replayEnabled = false;
  std::atomic<uint32_t> geometry{0};  // lineSize << 16 | lineCount, read per packet
  std::atomic<uint8_t> flags{0};
  std::atomic<uint64_t> requests{0}, statusSent{0}, resets{0}, overruns{0};
  std::atomic<uint64_t> receiveBuffers{0};
  std::atomic<uint32_t> resetGeneration{0};
  std::atomic<uint32_t> streamGeneration{0};  // InitOutputChannel requests so far

  // Buffer model, under `bufferMu`.
  mutable std::mutex bufferMu;
  uint32_t inUse = 0;
  Clock::time_point drainAnchor{};
  std::atomic<uint32_t> freeBuffers{0};
  std::atomic<bool> statusDue{false};

  Channel(bool keepFrames) : checker(counters, *this, keepFrames) {}

  void blockComplete() override;
  void frameComplete(uint16_t frameCounter, const uint8_t* bytes, size_t size) override;
  void raiseFlags(uint8_t f) override { flags.fetch_or(f, std::memory_order_relaxed); }
};

struct DelayedReply {
  Clock::time_point due;
  Peer to;
  std::vector<uint8_t> bytes;
};

}  // namespace

struct UnitSim::Impl {
  Config config;
  bool instantDrain = true;
  Fd control;
  in_addr bindAddress{};
  uint16_t controlPort = 0, dataBasePort = 0;
  std::vector<std::unique_ptr<Channel>> channels;
  std::vector<std::thread> threads;
  std::atomic<bool> stopping{false};
  mutable std::mutex lifecycleMu;  // start() and stop() may come from different threads
  bool started = false, stopped = false;
  Clock::time_point startedAt{}, stoppedAt{};

  mutable std::mutex faultMu;
  Faults faults;
  std::mt19937_64 random;
  std::atomic<bool> stopStatus{false};

  std::unique_ptr<Capture> capture;  // --capture: every datagram received and sent

  // The unit's side of a datagram: `address` and `port` (network order).
  static sockaddr_in local(in_addr address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = address;
    a.sin_port = htons(port);
    return a;
  }

  mutable std::mutex logMu;
  std::vector<std::vector<uint8_t>> log;
  std::atomic<uint64_t> malformedControl{0}, requests{0}, repliesSent{0}, repliesDropped{0},
      unknownChannel{0};

  // Timer thread: delayed replies, draining, periodic status.
  std::mutex timerMu;
  std::condition_variable timerCv;
  std::deque<DelayedReply> delayed;

  // Wakes waitFor() callers; notified without a lock, they re-check on a short period.
  mutable std::mutex waitMu;
  mutable std::condition_variable waitCv;

  explicit Impl(Config c) : config(std::move(c)), random(config.seed) {
    faults = config.faults;
    stopStatus = faults.stopStatus;
    const double d = config.drainBlocksPerSecond;
    instantDrain = d == 0 || std::isinf(d);
  }

  void openSockets();
  void openSocketsOnly();
  void controlLoop();
  void dataLoop(Channel& ch);
  void timerLoop();
  void handleRequest(const uint8_t* req, size_t length, const Peer& from);
  void sendReply(std::vector<uint8_t> reply, uint16_t command, const Peer& to);
  void sendTo(const Peer& to, const uint8_t* bytes, size_t length) const;
  void sendStatus(Channel& ch);
  void resetChannel(Channel& ch);
  bool drain(Channel& ch, Clock::time_point now);
  ChannelReport report(const Channel& ch) const;
};

void Channel::blockComplete() {
  std::lock_guard lock(bufferMu);
  if (instantDrain) {
    statusDue.store(true, std::memory_order_relaxed);  // the buffer came back at once
    return;
  }
  if (inUse >= capacity) {
    overruns.fetch_add(1, std::memory_order_relaxed);
    raiseFlags(kFlagOverrun);
    return;
  }
  if (inUse == 0) drainAnchor = Clock::now();
  ++inUse;
  freeBuffers.store(capacity - inUse, std::memory_order_relaxed);
}

void Channel::frameComplete(uint16_t, const uint8_t* bytes, size_t size) {
  if (!writer) return;
  const uint32_t g = geometry.load(std::memory_order_relaxed);
  writer->write(index, counters.framesComplete.load(std::memory_order_relaxed), bytes, size,
                static_cast<uint16_t>(g >> 16), static_cast<uint16_t>(g));
}

void UnitSim::Impl::openSockets() {
  openSocketsOnly();
  // Coalesced receives: a host's segmented sends arrive as one buffer each,
  // split back into their datagrams here.
  if (config.coalesceReceives)
    for (auto& ch : channels) DataReceiver::enableCoalescing(ch->data.fd);
}

void UnitSim::Impl::openSocketsOnly() {
  if (config.channels < 1 || config.channels > 256)
    throw std::invalid_argument("channels must be 1..256");
  const sockaddr_in controlAddress = makeAddress(config.bind, config.controlPort);
  bindAddress = controlAddress.sin_addr;
  control = boundSocket(controlAddress, false);
  if (control.fd < 0) fail("bind control " + config.bind + ":" + std::to_string(config.controlPort));
  controlPort = localPort(control.fd);
  // Learn the address each request was sent to: replies and status go out from it.
  const int on = 1;
  ::setsockopt(control.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);

  const int n = config.channels;
  for (int i = 0; i < n; ++i) {
    auto ch = std::make_unique<Channel>(!config.saveFramesDir.empty());
    ch->capacity = config.capacity;
    ch->instantDrain = instantDrain;
    ch->index = i;
    ch->freeBuffers = config.capacity;
    if (!config.saveFramesDir.empty())
      ch->writer = std::make_unique<FrameWriter>(config.saveFramesDir, config.savePngBits);
    channels.push_back(std::move(ch));
  }
  if (config.dataBasePort != 0) {
    if (config.dataBasePort + n - 1 > 65535) throw std::invalid_argument("data ports beyond 65535");
    for (int i = 0; i < n; ++i) {
      const uint16_t port = static_cast<uint16_t>(config.dataBasePort + i);
      channels[i]->data = boundSocket(makeAddress(config.bind, port), true);
      if (channels[i]->data.fd < 0) fail("bind data " + config.bind + ":" + std::to_string(port));
      channels[i]->port = port;
    }
    dataBasePort = config.dataBasePort;
    return;
  }
  // Let the system pick the first port, then try to take the ones after it.
  for (int attempt = 0; attempt < 100; ++attempt) {
    Fd first = boundSocket(makeAddress(config.bind, 0), true);
    if (first.fd < 0) fail("bind data " + config.bind);
    const uint16_t base = localPort(first.fd);
    if (base + n - 1 > 65535) continue;
    std::vector<Fd> rest;
    for (int i = 1; i < n; ++i) {
      Fd s = boundSocket(makeAddress(config.bind, static_cast<uint16_t>(base + i)), true);
      if (s.fd < 0) break;
      rest.push_back(std::move(s));
    }
    if (static_cast<int>(rest.size()) != n - 1) continue;
    channels[0]->data = std::move(first);
    channels[0]->port = base;
    for (int i = 1; i < n; ++i) {
      channels[i]->data = std::move(rest[i - 1]);
      channels[i]->port = static_cast<uint16_t>(base + i);
    }
    dataBasePort = base;
    return;
  }
  throw std::runtime_error("no " + std::to_string(n) + " consecutive free data ports");
}

void UnitSim::Impl::controlLoop() {
  uint8_t buffer[2048];
  alignas(cmsghdr) uint8_t ancillary[CMSG_SPACE(sizeof(in_pktinfo))];
  while (!stopping.load(std::memory_order_relaxed)) {
    Peer from;
    iovec iov{buffer, sizeof buffer};
    msghdr msg{};
    msg.msg_name = &from.remote;
    msg.msg_namelen = sizeof from.remote;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ancillary;
    msg.msg_controllen = sizeof ancillary;
    const ssize_t n = ::recvmsg(control.fd, &msg, 0);
    if (n < 0) continue;  // time-out tick (or interrupted): look at the stop flag
    from.local = bindAddress;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        from.local = info.ipi_addr;
      }
    }
    const size_t length = static_cast<size_t>(n);
    if (capture) capture->write(from.remote, local(from.local, controlPort), buffer, length);
    {
      std::lock_guard lock(logMu);
      if (log.size() < kControlLogLimit) log.emplace_back(buffer, buffer + length);
    }
    if (msg.msg_flags & MSG_TRUNC) {
      malformedControl.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    handleRequest(buffer, length, from);
    waitCv.notify_all();
  }
}

void UnitSim::Impl::sendTo(const Peer& to, const uint8_t* bytes, size_t length) const {
  iovec iov{const_cast<uint8_t*>(bytes), length};
  alignas(cmsghdr) uint8_t ancillary[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to.remote);
  msg.msg_namelen = sizeof to.remote;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = ancillary;
  msg.msg_controllen = sizeof ancillary;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = to.local;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  if (::sendmsg(control.fd, &msg, 0) >= 0 && capture) capture->write(local(to.local, controlPort), to.remote, bytes, length);
}

void UnitSim::Impl::handleRequest(const uint8_t* req, size_t length, const Peer& from) {
  using namespace wire;
  if (length < kControlHeaderSize || std::memcmp(req, kMagic, 4) != 0 ||
      req[kDirectionOffset] != kDirectionRequest || req[kVersionOffset] != kVersion ||
      req[kLengthOffset] != length) {
    malformedControl.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  requests.fetch_add(1, std::memory_order_relaxed);
  const uint8_t channelNumber = req[kChannelOffset];
  const uint16_t command = get16(req + kCommandOffset);
  const uint16_t sequence = get16(req + kSequenceOffset);

  std::vector<uint8_t> reply(kControlHeaderSize, 0);
  uint16_t code = command;
  const int expected = requestLength(command);
  Channel* ch = channelNumber < channels.size() ? channels[channelNumber].get() : nullptr;
  bool statusAfter = false;
  if (ch == nullptr) {
    unknownChannel.fetch_add(1, std::memory_order_relaxed);
    code = kReplyChannelNotOffered;
  } else if (expected < 0) {
    code = kReplyUnknownCommand;
  } else if (static_cast<size_t>(expected) != length) {
    code = kReplyBadLength;
  } else {
    ch->requests.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(ch->mu);
    ch->host = from;
    ch->hasHost = true;
    switch (command) {
      case 0x00: ch->outputEnabled = false; break;
      case 0x01: ch->outputEnabled = true; break;
      case 0x10: ch->replayEnabled = false; break;
      case 0x11: ch->replayEnabled = true; break;
      case 0x02: resetChannel(*ch); break;
      case 0x12: ch->flags.store(0, std::memory_order_relaxed); break;
      case 0x03: {
        // Status byte, enables and packet counter, then the capacity the host reads.
        reply.resize(20, 0);
        reply[kStatusByteOffset] = ch->flags.load(std::memory_order_relaxed);
        reply[13] = static_cast<uint8_t>((ch->outputEnabled ? 1 : 0) | (ch->replayEnabled ? 2 : 0));
        put16(reply.data() + kStatusCounterOffset,
              ch->counters.lastPacketCounter.load(std::memory_order_relaxed));
        put32(reply.data() + kCapacityOffset, config.capacity);
        statusAfter = true;
        break;
      }
      case 0x20: ch->offset = get64(req + 12); break;
      case 0x22: ch->startTime = get64(req + 12); break;
      case 0x24: ch->stopTime = get64(req + 12); break;
      case 0x21: case 0x23: case 0x25: {
        reply.resize(20, 0);
        const uint64_t v = command == 0x21 ? ch->offset : command == 0x23 ? ch->startTime : ch->stopTime;
        put64(reply.data() + kTimeValueOffset, v);
        break;
      }
      case 0x30: {
        const uint16_t lineSize = get16(req + kLineSizeOffset);
        const uint16_t lineCount = get16(req + kLineCountOffset);
        ch->geometry.store(static_cast<uint32_t>(lineSize) << 16 | lineCount, std::memory_order_relaxed);
        ch->streamGeneration.fetch_add(1, std::memory_order_release);
        break;
      }
      case 0x31: {
        reply.resize(16, 0);
        const uint32_t g = ch->geometry.load(std::memory_order_relaxed);
        put16(reply.data() + kLineSizeOffset, static_cast<uint16_t>(g >> 16));
        put16(reply.data() + kLineCountOffset, static_cast<uint16_t>(g));
        break;
      }
      default: break;
    }
  }
  putReplyHeader(reply.data(), static_cast<uint8_t>(reply.size()), channelNumber, code, sequence);
  sendReply(std::move(reply), command, from);
  // The host learns the buffers as soon as it has asked for the channel's state.
  if (statusAfter) sendStatus(*ch);
}

void UnitSim::Impl::sendReply(std::vector<uint8_t> reply, uint16_t command, const Peer& to) {
  unsigned delayMs = 0;
  {
    std::lock_guard lock(faultMu);
    if (faults.dropReplyShare > 0 &&
        std::uniform_real_distribution<double>(0, 1)(random) < faults.dropReplyShare) {
      repliesDropped.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (auto it = faults.answerWith.find(command); it != faults.answerWith.end())
      wire::put16(reply.data() + wire::kCommandOffset, it->second);
    delayMs = faults.replyDelayMs;
  }
  if (delayMs > 0) {
    {
      std::lock_guard lock(timerMu);
      delayed.push_back({Clock::now() + std::chrono::milliseconds(delayMs), to, std::move(reply)});
    }
    timerCv.notify_all();
    return;
  }
  sendTo(to, reply.data(), reply.size());
  repliesSent.fetch_add(1, std::memory_order_relaxed);
}

void UnitSim::Impl::resetChannel(Channel& ch) {
  // Under ch.mu. Times and flags back to 0, every buffer free, the data
  // assembled so far dropped; geometry and enables stay as set.
  ch.startTime = ch.stopTime = ch.offset = 0;
  ch.flags.store(0, std::memory_order_relaxed);
  {
    std::lock_guard lock(ch.bufferMu);
    ch.inUse = 0;
    ch.freeBuffers.store(config.capacity, std::memory_order_relaxed);
  }
  ch.resetGeneration.fetch_add(1, std::memory_order_release);
  ch.resets.fetch_add(1, std::memory_order_relaxed);
}

void UnitSim::Impl::sendStatus(Channel& ch) {
  using namespace wire;
  if (stopStatus.load(std::memory_order_relaxed)) return;
  Peer to;
  {
    std::lock_guard lock(ch.mu);
    if (!ch.hasHost) return;
    to = ch.host;
  }
  uint8_t m[kStatusSize] = {};
  putReplyHeader(m, kStatusSize, static_cast<uint8_t>(ch.index), kCommandStatus, 0);
  m[kStatusByteOffset] = ch.flags.load(std::memory_order_relaxed) & 0x0F;
  put16(m + kStatusCounterOffset, ch.counters.lastPacketCounter.load(std::memory_order_relaxed));
  put32(m + kStatusFreeOffset, ch.freeBuffers.load(std::memory_order_relaxed));
  put64(m + kStatusTimeOffset, wallNanoseconds());
  sendTo(to, m, sizeof m);
  ch.statusSent.fetch_add(1, std::memory_order_relaxed);
}

void UnitSim::Impl::dataLoop(Channel& ch) {
  DataReceiver receiver;
  uint32_t generation = ch.resetGeneration.load(std::memory_order_acquire);
  uint32_t stream = ch.streamGeneration.load(std::memory_order_acquire);
  size_t reservedFor = 0;
  while (!stopping.load(std::memory_order_relaxed)) {
    if (receiver.receive(ch.data.fd) == 0) continue;  // time-out tick
    const uint32_t now = ch.resetGeneration.load(std::memory_order_acquire);
    if (now != generation) {
      generation = now;
      ch.checker.discardOpen();
    }
    // Packets of a new stream come after the reply to its InitOutputChannel,
    // so a batch that holds them sees the new generation.
    if (const uint32_t s = ch.streamGeneration.load(std::memory_order_acquire); s != stream) {
      stream = s;
      ch.checker.restartCounter();
    }
    const uint32_t g = ch.geometry.load(std::memory_order_relaxed);
    const size_t frameBytes = static_cast<size_t>(g >> 16) * (g & 0xFFFF);
    if (frameBytes != reservedFor) {
      ch.checker.reserveFrame(frameBytes);
      reservedFor = frameBytes;
    }
    const auto lineCount = static_cast<uint16_t>(g);
    // Counted before the datagrams: a reader that sees their count sees this.
    ch.receiveBuffers.store(receiver.buffers(), std::memory_order_relaxed);
    const sockaddr_in unitSide = local(bindAddress, ch.port);
    receiver.forEach([&](const uint8_t* datagram, size_t length, bool truncated, const sockaddr_in& from) {
      if (capture) capture->write(from, unitSide, datagram, length);
      ch.checker.take(datagram, length, truncated, lineCount);
    });
    if (ch.statusDue.exchange(false, std::memory_order_relaxed)) sendStatus(ch);
    waitCv.notify_all();
  }
}

bool UnitSim::Impl::drain(Channel& ch, Clock::time_point now) {
  std::lock_guard lock(ch.bufferMu);
  if (ch.inUse == 0) return false;
  const double rate = config.drainBlocksPerSecond;
  const double elapsed = std::chrono::duration<double>(now - ch.drainAnchor).count();
  const auto back = static_cast<uint64_t>(elapsed * rate);
  if (back == 0) return false;
  const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(back, ch.inUse));
  ch.inUse -= n;
  ch.drainAnchor += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(n / rate));
  ch.freeBuffers.store(config.capacity - ch.inUse, std::memory_order_relaxed);
  return true;
}

void UnitSim::Impl::timerLoop() {
  const auto period = std::chrono::milliseconds(config.statusPeriodMs);
  auto nextPeriodic = Clock::now() + period;
  constexpr auto kDrainTick = std::chrono::milliseconds(1);
  std::unique_lock lock(timerMu);
  while (!stopping.load(std::memory_order_relaxed)) {
    auto wake = Clock::now() + kPollInterval;
    if (config.statusPeriodMs > 0) wake = std::min(wake, nextPeriodic);
    if (!instantDrain) wake = std::min(wake, Clock::now() + kDrainTick);
    if (!delayed.empty()) {
      for (const auto& d : delayed) wake = std::min(wake, d.due);
    }
    timerCv.wait_until(lock, wake);
    if (stopping.load(std::memory_order_relaxed)) break;
    const auto now = Clock::now();
    // Delayed replies that are due (the queue is in order of due time per delay setting).
    std::vector<DelayedReply> due;
    for (auto it = delayed.begin(); it != delayed.end();) {
      if (it->due <= now) {
        due.push_back(std::move(*it));
        it = delayed.erase(it);
      } else {
        ++it;
      }
    }
    lock.unlock();
    for (auto& d : due) {
      sendTo(d.to, d.bytes.data(), d.bytes.size());
      repliesSent.fetch_add(1, std::memory_order_relaxed);
    }
    const bool periodic = config.statusPeriodMs > 0 && now >= nextPeriodic;
    if (periodic) {
      nextPeriodic += period;
      if (nextPeriodic <= now) nextPeriodic = now + period;
    }
    for (auto& ch : channels) {
      const bool back = !instantDrain && drain(*ch, now);
      if (back || periodic) sendStatus(*ch);
    }
    if (!instantDrain) waitCv.notify_all();
    lock.lock();
  }
}

ChannelReport UnitSim::Impl::report(const Channel& ch) const {
  ChannelReport r;
  const auto& c = ch.counters;
  constexpr auto o = std::memory_order_relaxed;
  // First: everything the counted packets did is visible after it.
  r.packets = c.packets.load(std::memory_order_acquire);
  r.framesComplete = c.framesComplete.load(o);
  r.framesIncomplete = c.framesIncomplete.load(o);
  r.blocks = c.blocks.load(o);
  r.blocksIncomplete = c.blocksIncomplete.load(o);
  r.counterGaps = c.counterGaps.load(o);
  r.packetsMissing = c.packetsMissing.load(o);
  r.headerErrors = c.headerErrors.load(o);
  r.bytes = c.bytes.load(o);
  r.lastPacketCounter = c.lastPacketCounter.load(o);
  r.overruns = ch.overruns.load(o);
  r.receiveBuffers = ch.receiveBuffers.load(o);
  {
    std::lock_guard lock(ch.mu);
    r.startTime = ch.startTime;
    r.stopTime = ch.stopTime;
    r.offset = ch.offset;
    r.outputEnabled = ch.outputEnabled;
    r.replayEnabled = ch.replayEnabled;
  }
  const uint32_t g = ch.geometry.load(o);
  r.lineSize = static_cast<uint16_t>(g >> 16);
  r.lineCount = static_cast<uint16_t>(g);
  r.statusFlags = ch.flags.load(o);
  r.capacity = config.capacity;
  r.freeBuffers = ch.freeBuffers.load(o);
  r.requests = ch.requests.load(o);
  r.statusSent = ch.statusSent.load(o);
  r.resets = ch.resets.load(o);
  return r;
}

UnitSim::UnitSim(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

UnitSim::~UnitSim() { stop(); }

void UnitSim::start() {
  Impl& m = *impl_;
  std::lock_guard lifecycle(m.lifecycleMu);
  if (m.started) return;
  if (!m.config.capturePath.empty()) m.capture = std::make_unique<Capture>(m.config.capturePath);
  m.openSockets();
  m.started = true;
  m.startedAt = Clock::now();
  m.threads.emplace_back([&m] { m.controlLoop(); });
  for (auto& ch : m.channels) {
    Channel* c = ch.get();
    m.threads.emplace_back([&m, c] { m.dataLoop(*c); });
  }
  m.threads.emplace_back([&m] { m.timerLoop(); });
}

void UnitSim::stop() {
  Impl& m = *impl_;
  std::lock_guard lifecycle(m.lifecycleMu);
  if (!m.started || m.stopped) return;
  m.stopped = true;
  m.stopping = true;
  m.stoppedAt = Clock::now();
  {
    std::lock_guard lock(m.timerMu);
  }
  m.timerCv.notify_all();
  for (auto& t : m.threads) t.join();
  m.threads.clear();
  for (auto& ch : m.channels) ch->checker.finish();
  m.waitCv.notify_all();
}

uint16_t UnitSim::controlPort() const { return impl_->controlPort; }
uint16_t UnitSim::dataBasePort() const { return impl_->dataBasePort; }
int UnitSim::channelCount() const { return static_cast<int>(impl_->channels.size()); }

ChannelReport UnitSim::channel(int index) const {
  if (index < 0 || index >= channelCount()) throw std::out_of_range("no such channel");
  return impl_->report(*impl_->channels[index]);
}

bool UnitSim::waitFor(int channel, std::function<bool(const ChannelReport&)> predicate,
                      std::chrono::milliseconds limit) const {
  const auto deadline = Clock::now() + limit;
  std::unique_lock lock(impl_->waitMu);
  while (true) {
    if (predicate(this->channel(channel))) return true;
    if (Clock::now() >= deadline) return false;
    // Notifiers do not take the lock, so re-check on a short period as well.
    impl_->waitCv.wait_until(lock, std::min(deadline, Clock::now() + std::chrono::milliseconds(2)));
  }
}

std::vector<std::vector<uint8_t>> UnitSim::controlLog() const {
  std::lock_guard lock(impl_->logMu);
  return impl_->log;
}

int UnitSim::dataReceiveBufferBytes() const {
  if (impl_->channels.empty() || impl_->channels[0]->data.fd < 0) return 0;
  int size = 0;
  socklen_t length = sizeof size;
  ::getsockopt(impl_->channels[0]->data.fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
  return size;
}

uint64_t UnitSim::malformedControl() const { return impl_->malformedControl.load(); }

uint64_t UnitSim::capturedPackets() const { return impl_->capture ? impl_->capture->packets() : 0; }

void UnitSim::setFaults(const Faults& faults) {
  std::lock_guard lock(impl_->faultMu);
  impl_->faults = faults;
  impl_->stopStatus = faults.stopStatus;
}

void UnitSim::sendStatusNow(int channel) {
  if (channel < 0 || channel >= channelCount()) throw std::out_of_range("no such channel");
  impl_->sendStatus(*impl_->channels[channel]);
}

nlohmann::json UnitSim::reportJson() const {
  const Impl& m = *impl_;
  nlohmann::json channels = nlohmann::json::array();
  for (const auto& ch : m.channels) {
    const ChannelReport r = m.report(*ch);
    channels.push_back({
        {"channel", ch->index},
        {"port", ch->port},
        {"framesComplete", r.framesComplete},
        {"framesIncomplete", r.framesIncomplete},
        {"blocks", r.blocks},
        {"blocksIncomplete", r.blocksIncomplete},
        {"packets", r.packets},
        {"receiveBuffers", r.receiveBuffers},
        {"counterGaps", r.counterGaps},
        {"packetsMissing", r.packetsMissing},
        {"headerErrors", r.headerErrors},
        {"bytes", r.bytes},
        {"overruns", r.overruns},
        {"lastPacketCounter", r.lastPacketCounter},
        {"replayTimes", {{"startTime", r.startTime}, {"stopTime", r.stopTime}, {"offset", r.offset}}},
        {"frameGeometry", {{"lineSize", r.lineSize}, {"lineCount", r.lineCount}}},
        {"outputEnabled", r.outputEnabled},
        {"replayEnabled", r.replayEnabled},
        {"statusFlags", r.statusFlags},
        {"capacity", r.capacity},
        {"freeBuffers", r.freeBuffers},
        {"requests", r.requests},
        {"statusSent", r.statusSent},
        {"resets", r.resets},
    });
  }
  double seconds = 0;
  {
    std::lock_guard lifecycle(m.lifecycleMu);
    if (m.started)
      seconds = std::chrono::duration<double>((m.stopped ? m.stoppedAt : Clock::now()) - m.startedAt).count();
  }
  return {
      {"control",
       {{"address", m.config.bind},
        {"port", m.controlPort},
        {"requests", m.requests.load()},
        {"malformed", m.malformedControl.load()},
        {"unknownChannel", m.unknownChannel.load()},
        {"repliesSent", m.repliesSent.load()},
        {"repliesDropped", m.repliesDropped.load()}}},
      {"dataBasePort", m.dataBasePort},
      {"seconds", seconds},
      {"channels", channels},
  };
}

}  // namespace qtusim
