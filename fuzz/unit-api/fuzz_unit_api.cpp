// One datagram as the receiver thread would see it on a control socket: the
// acceptance check, then dispatch into a channel with a request pending under
// the datagram's sequence number, then the readers of what was delivered.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "channel_state.h"
#include "control_endpoint.h"
#include "control_protocol.h"
#include "wire.h"

namespace {

qtu::ChannelState& channel() {
    static std::shared_ptr<qtu::ChannelState> ch = [] {
        QZQTU_InputInterface c{};
        c.qtuControlIp = "127.0.0.1";
        c.qtuControlPort = 9;  // discard; only the teardown at exit sends there
        c.sensorDataIp = "127.0.0.1";
        c.sensorDataBasePort = 9;
        c.localControlIp = "127.0.0.1";
        c.maxPayloadSize = 1400;
        c.timeoutGet = 0;
        c.timeoutStream = 0;
        return std::make_shared<qtu::ChannelState>(0, c, qtu::ControlEndpoint::open("127.0.0.1", 0));
    }();
    return *ch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > qtu::ControlEndpoint::kReceiveBufferSize) return 0;  // the receive buffer's limit
    qtu::ChannelState& ch = channel();
    const uint16_t seq = size >= 12 ? qtu::get16(data + qtu::ctl::kSequence) : 0;
    ch.control.addPending(seq);
    if (qtu::acceptControlDatagram(data, size)) qtu::dispatch(ch, data, size);
    qtu::ReplayStatusMessage reply;
    if (ch.control.await(seq, 0, &reply) == QZQTU_OK) {
        // What the callers read from a reply, guarded as they guard it.
        volatile uint64_t sink = reply.command();
        if (reply.carries(qtu::ctl::kReplyTime, 8)) sink = sink + qtu::get64(reply.bytes + qtu::ctl::kReplyTime);
        if (reply.carries(qtu::ctl::kReplyCapacity, 4)) sink = sink + qtu::get32(reply.bytes + qtu::ctl::kReplyCapacity);
        (void)sink;
    }
    QZQTU_ReplayState st;
    ch.status.read(&st);
    (void)ch.stream.credit.holds(ch.stream.packetCounter());
    return 0;
}
