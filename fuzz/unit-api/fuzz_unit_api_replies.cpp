// The library's requests against a unit whose replies and status messages
// come from the input. Each step picks an operation (a time getter, a setter,
// the availability check, InitOutputChannel, GetFrameSize, the status
// snapshot); each request it sends is read back from a bound "unit" socket
// and answered by a reply pump with the input's next records, datagrams that
// go through the receiver's acceptance check and dispatch. Records that do not
// answer the request (stray sequence numbers, other channels, status
// messages) are dispatched too; when the records run out the request fails.
//
// The harness models what each operation must return from the datagrams it
// fed, written from the wire format alone, and aborts on any difference: the
// result code, the values a getter stores (and that a failed one stores
// nothing), the capacity learnt, and the status snapshot after the last
// status message.
//
// Input: records of [flags][length][length bytes] after a first byte that
// chooses the operations. Flags: bit 0 puts the pending request's sequence
// number into the record, bit 1 its channel, bit 2 a valid header (magic,
// direction, version, length), bit 3 the command the request expects.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "channel_state.h"
#include "control_endpoint.h"
#include "control_protocol.h"
#include "data_stream.h"
#include "replay_status.h"
#include "wire.h"

namespace {

constexpr std::uint8_t kChannel = 3;

void check(bool ok) {
  if (!ok) std::abort();
}

std::uint64_t le(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool empty() const { return at >= size; }
  std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

// What the pump fed for one request: the datagram that answered it (if any).
struct Answer {
  bool answered = false;
  std::vector<std::uint8_t> bytes;
};

// The unit's side: reads each request, checks it, answers from the input.
class Pump final : public qtu::ReplyPump {
 public:
  Pump(int unitSocket) : unit_(unitSocket) {}
  void attach(qtu::ChannelState* ch) { ch_ = ch; }
  void reset(Input* in) {
    in_ = in;
    answers_.clear();
    haveStatus_ = false;
  }

  // No receiver pause to end here: every datagram is handled in pump().
  void readNow() override {}

  void pump(qtu::ControlChannel& channel, std::uint16_t seq, std::chrono::steady_clock::time_point) override {
    std::uint8_t request[64];
    const ssize_t got = ::recv(unit_, request, sizeof request, MSG_DONTWAIT);
    // The request as the unit sees it: a request header of this channel
    // under the sequence number the caller waits for.
    check(got >= 12 && got <= 20 && std::memcmp(request, "QTU-", 4) == 0 && request[4] == 'C' &&
          request[5] == 3 && request[6] == got && request[7] == kChannel && le(request + 10, 2) == seq);
    const std::uint16_t command = static_cast<std::uint16_t>(le(request + 8, 2));
    Answer answer;
    for (int records = 0; records < 8 && !in_->empty(); ++records) {
      const std::uint8_t flags = in_->byte();
      std::size_t length = in_->byte();
      std::vector<std::uint8_t> d(length, 0);
      for (std::size_t i = 0; i < length; ++i) d[i] = in_->byte();
      if ((flags & 4) && length >= 8) {
        std::memcpy(d.data(), "QTU-", 4);
        d[4] = 'S';
        d[5] = 3;
        d[6] = static_cast<std::uint8_t>(length);
      }
      if ((flags & 2) && length >= 8) d[7] = kChannel;
      if ((flags & 8) && length >= 10) qtu::put16(d.data() + 8, command);
      if ((flags & 1) && length >= 12) qtu::put16(d.data() + 10, seq);
      if (!qtu::acceptControlDatagram(d.data(), d.size())) continue;
      const bool ours = d[7] == kChannel;
      const bool status = ours && le(d.data() + 8, 2) == 0xFF;
      if (status && d.size() >= 28) {
        lastStatus_ = d;
        haveStatus_ = true;
      }
      std::uint16_t answeredSeq = 0;
      const bool answers = qtu::dispatch(*ch_, d.data(), d.size(), &answeredSeq);
      // Only a datagram of this channel, not a status message, under the
      // pending number answers.
      check(answers == (ours && !status && le(d.data() + 10, 2) == seq));
      if (answers) {
        check(answeredSeq == seq);
        answer.answered = true;
        answer.bytes = d;
        break;
      }
    }
    if (!answer.answered) channel.failPending(seq);
    answers_.push_back(std::move(answer));
  }

  const std::vector<Answer>& answers() const { return answers_; }
  bool haveStatus() const { return haveStatus_; }
  const std::vector<std::uint8_t>& lastStatus() const { return lastStatus_; }

 private:
  int unit_;
  qtu::ChannelState* ch_ = nullptr;
  Input* in_ = nullptr;
  std::vector<Answer> answers_;
  bool haveStatus_ = false;
  std::vector<std::uint8_t> lastStatus_;
};

struct Rig {
  int unit = -1;
  std::unique_ptr<Pump> pump;
  std::shared_ptr<qtu::ChannelState> ch;
};

Rig& rig() {
  static Rig r = [] {
    Rig made;
    made.unit = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    check(made.unit >= 0 && ::bind(made.unit, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
          ::getsockname(made.unit, reinterpret_cast<sockaddr*>(&a), &len) == 0);
    made.pump = std::make_unique<Pump>(made.unit);
    QZQTU_InputInterface c{};
    c.qtuControlIp = "127.0.0.1";
    c.qtuControlPort = ntohs(a.sin_port);
    c.sensorDataIp = "127.0.0.1";
    c.sensorDataBasePort = 9;  // discard; nothing is streamed
    c.localControlIp = "127.0.0.1";
    c.maxPayloadSize = 1400;
    c.timeoutGet = 1000;  // the pump answers or fails every request at once
    c.timeoutStream = 0;
    made.ch = std::make_shared<qtu::ChannelState>(kChannel, c, qtu::ControlEndpoint::open("127.0.0.1", 0),
                                                  made.pump.get());
    made.pump->attach(made.ch.get());
    return made;
  }();
  return r;
}

// The result a request gives for the answer it got: 9 when the pump ran out,
// else 0; with `expect`, 1 unless the reply carries that command and
// `needed` bytes.
QZQTU_Error resultOf(const Answer& a, int expect = -1, std::size_t needed = 0) {
  if (!a.answered) return QZQTU_CONTROL_SOCKET_ERROR;
  if (expect >= 0 && (le(a.bytes.data() + 8, 2) != static_cast<std::uint64_t>(expect) || a.bytes.size() < needed)) {
    return QZQTU_INTERNAL_ERROR;
  }
  return QZQTU_OK;
}

// Checks a chain of requests that stops at the first failure: the model's
// code of each answer in turn, and the code the operation returned.
template <typename Model>
void checkChain(QZQTU_Error rc, const std::vector<Answer>& answers, Model&& model) {
  QZQTU_Error expected = QZQTU_OK;
  std::size_t i = 0;
  for (; i < answers.size(); ++i) {
    expected = model(i, answers[i]);
    if (expected != QZQTU_OK) break;
  }
  // No request after the one that failed.
  check(i + 1 >= answers.size());
  check(rc == expected);
}

constexpr std::uint64_t kUntouched = 0x5A5A5A5A5A5A5A5Aull;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Rig& r = rig();
  qtu::ChannelState& ch = *r.ch;
  Input in{data, size};
  const std::uint8_t ops = in.byte();
  for (int step = 0; step < 4 && !in.empty(); ++step) {
    r.pump->reset(&in);
    const int op = ((ops >> (2 * step)) + in.byte()) % 9;
    std::uint64_t v1 = kUntouched, v2 = kUntouched, v3 = kUntouched;
    QZQTU_Error rc = QZQTU_OK;
    const auto& answers = r.pump->answers();
    const auto time = [](std::size_t, const Answer& a, int command) -> QZQTU_Error { return resultOf(a, command, 20); };
    switch (op) {
      case 0: {
        rc = qtu::getReplayStopTime(ch, &v1);
        checkChain(rc, answers, [&](std::size_t i, const Answer& a) -> QZQTU_Error { return time(i, a, 0x25); });
        check(rc == QZQTU_OK ? v1 == le(answers[0].bytes.data() + 12, 8) : v1 == kUntouched);
        break;
      }
      case 1: {
        rc = qtu::getReplayStartTime(ch, &v1, &v2, &v3);
        const int commands[3] = {0x23, 0x21, 0x25};
        checkChain(rc, answers, [&](std::size_t i, const Answer& a) -> QZQTU_Error { return time(i, a, commands[i]); });
        std::uint64_t* values[3] = {&v1, &v2, &v3};
        for (std::size_t i = 0; i < 3; ++i) {
          const bool stored = i < answers.size() && resultOf(answers[i], commands[i], 20) == QZQTU_OK;
          check(stored ? *values[i] == le(answers[i].bytes.data() + 12, 8) : *values[i] == kUntouched);
        }
        break;
      }
      case 2: {
        rc = qtu::isOutputChannelAvailable(ch);
        checkChain(rc, answers, [&](std::size_t, const Answer& a) -> QZQTU_Error {
          if (!a.answered) return QZQTU_CONTROL_SOCKET_ERROR;
          const std::uint64_t code = le(a.bytes.data() + 8, 2);
          return code == 0x03 ? QZQTU_OK : code == 0x8004 ? QZQTU_CHANNEL_NOT_AVAILABLE : QZQTU_INTERNAL_ERROR;
        });
        break;
      }
      case 3: {
        std::uint16_t lineSize = 0x5A5A, lineCount = 0x5A5A;
        rc = qtu::getFrameSize(ch, &lineSize, &lineCount);
        checkChain(rc, answers, [&](std::size_t, const Answer& a) -> QZQTU_Error { return resultOf(a, 0x31, 16); });
        if (rc == QZQTU_OK) {
          check(lineSize == le(answers[0].bytes.data() + 12, 2) && lineCount == le(answers[0].bytes.data() + 14, 2));
        } else {
          check(lineSize == 0x5A5A && lineCount == 0x5A5A);
        }
        break;
      }
      case 4: {
        const std::uint32_t before = ch.stream.credit.capacity();
        rc = qtu::initOutputChannel(ch, 1024, 16);
        checkChain(rc, answers,
                   [&](std::size_t i, const Answer& a) -> QZQTU_Error { return i < 3 ? resultOf(a) : resultOf(a, 0x03, 20); });
        check(ch.stream.credit.capacity() ==
              (rc == QZQTU_OK ? le(answers[3].bytes.data() + 16, 4) : before));
        break;
      }
      case 5: {
        // Start, offset and stop times, the stop time before the start time
        // when the input says so: 8 is returned before the stop request.
        const std::uint8_t pick = in.byte();
        const std::uint64_t start = 1000, offset = pick & 1 ? 5 : 0, stop = pick & 2 ? (pick & 4 ? 10 : 2000) : 0;
        rc = qtu::setReplayStartTime(ch, start, offset, stop);
        const std::size_t offsetRequests = offset != 0 ? 1 : 0;
        checkChain(rc, answers, [&](std::size_t i, const Answer& a) -> QZQTU_Error {
          const QZQTU_Error got = resultOf(a);
          if (got == QZQTU_OK && i == offsetRequests && stop != 0 && stop < start) return QZQTU_INVALID_TIMING;
          return got;
        });
        if (stop != 0 && stop < start) check(answers.size() <= 1 + offsetRequests);
        break;
      }
      case 6:
        rc = qtu::resetChannel(ch);
        checkChain(rc, answers, [](std::size_t, const Answer& a) -> QZQTU_Error { return resultOf(a); });
        break;
      case 7:
        rc = qtu::setReplayOffset(ch, 77);
        checkChain(rc, answers, [](std::size_t, const Answer& a) -> QZQTU_Error { return resultOf(a); });
        break;
      default: {
        // Status messages alone: fed through a request whose answer does not matter.
        rc = qtu::clearStatusFlags(ch);
        checkChain(rc, answers, [](std::size_t, const Answer& a) -> QZQTU_Error { return resultOf(a); });
        break;
      }
    }
    check(ch.control.pendingCount() == 0);
    if (r.pump->haveStatus()) {
      const std::uint8_t* s = r.pump->lastStatus().data();
      QZQTU_ReplayState st{};
      check(qtu::getCurrentState(ch, &st) == QZQTU_OK);
      check(st.statusBit0 == (s[12] & 1) && st.statusBit1 == ((s[12] >> 1) & 1) &&
            st.statusBit2 == ((s[12] >> 2) & 1) && st.statusBit3 == ((s[12] >> 3) & 1));
      check(st.freeBuffers == le(s + 16, 4) && st.statusTime == le(s + 20, 8));
      check(ch.stream.credit.unitCounter() == le(s + 14, 2) && ch.stream.credit.freeBuffers() == le(s + 16, 4));
    }
  }
  return 0;
}
