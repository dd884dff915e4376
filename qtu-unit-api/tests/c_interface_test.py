#!/usr/bin/env python3
"""Drives libQZQTUApi.so through its C interface alone, as a program in
another language would: every result code of the interface, and the bytes
that reach a unit played by plain UDP sockets on loopback.

Usage: c_interface_test.py PATH/TO/libQZQTUApi.so

Where the process may create a network namespace (root and the ip command),
it runs inside one of its own, so that an address without a host can be
checked for reachability; otherwise those two cases are skipped.
"""
import ctypes
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

LIB_PATH = None
NAMESPACE = None
LOCAL = "10.213.1.1"    # our end of a veth pair inside the namespace
NOBODY = "10.213.1.2"   # on the link, no host behind it
NO_ROUTE = "10.99.0.1"  # no route to it inside the namespace

TEXTS = [
    "No error",
    "Internal error",
    "Control interface not available",
    "Data interface not available",
    "Channel not available",
    "Invalid channel handle",
    "Invalid channel index",
    "Invalid timing",
    "Invalid pointer",
    "Error in control socket",
    "Error in data socket",
    "Timeout",
    "Invalid inputInterface configuration",
    "Channel already registered",
    "Data not available",
    "Packet fragmentation, maxPayloadSize too big for MTU",
]


class InputInterface(ctypes.Structure):
    _fields_ = [
        ("qtuControlIp", ctypes.c_char_p),
        ("qtuControlPort", ctypes.c_uint16),
        ("sensorDataIp", ctypes.c_char_p),
        ("sensorDataBasePort", ctypes.c_uint16),
        ("localControlIp", ctypes.c_char_p),
        ("localControlPort", ctypes.c_uint16),
        ("maxPayloadSize", ctypes.c_uint16),
        ("timeoutGet", ctypes.c_uint32),
        ("timeoutStream", ctypes.c_uint32),
    ]


class StreamDataInfo(ctypes.Structure):
    _fields_ = [
        ("timestamp", ctypes.c_uint64),
        ("frameCounter", ctypes.c_uint16),
        ("lineIndex", ctypes.c_uint16),
        ("tag", ctypes.c_uint8),
    ]


class ReplayState(ctypes.Structure):
    _fields_ = [
        ("statusBit0", ctypes.c_uint8),
        ("statusBit1", ctypes.c_uint8),
        ("statusBit2", ctypes.c_uint8),
        ("statusBit3", ctypes.c_uint8),
        ("freeBuffers", ctypes.c_uint32),
        ("statusTime", ctypes.c_uint64),
    ]


def load():
    lib = ctypes.CDLL(LIB_PATH)
    i32, u16, u32, u64 = ctypes.c_int32, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_uint64
    P = ctypes.POINTER
    sig = {
        "QZQTU_IsInputInterfaceAvailable": [P(InputInterface)],
        "QZQTU_RegisterOutputChannel": [P(InputInterface), i32, P(i32)],
        "QZQTU_UnregisterOutputChannel": [i32],
        "QZQTU_InitOutputChannel": [i32, u16, u16],
        "QZQTU_GetFrameSize": [i32, P(u16), P(u16)],
        "QZQTU_ReplayStreamData": [i32, P(StreamDataInfo), ctypes.c_void_p, u16],
        "QZQTU_IsOutputChannelAvailable": [i32],
        "QZQTU_ResetChannel": [i32],
        "QZQTU_ClearStatusFlags": [i32],
        "QZQTU_SetReplayStartTime": [i32, u64, u64, u64],
        "QZQTU_GetReplayStartTime": [i32, P(u64), P(u64), P(u64)],
        "QZQTU_SetReplayStopTime": [i32, u64],
        "QZQTU_GetReplayStopTime": [i32, P(u64)],
        "QZQTU_SetReplayOffset": [i32, u64],
        "QZQTU_GetReplayOffset": [i32, P(u64)],
        "QZQTU_GetCurrentState": [i32, P(ReplayState)],
    }
    for name, args in sig.items():
        f = getattr(lib, name)
        f.argtypes = args
        f.restype = i32
    lib.QZQTU_ErrorToString.argtypes = [u32]
    lib.QZQTU_ErrorToString.restype = ctypes.c_char_p
    return lib


def reply(request, command=None, payload=b"", length=None):
    """A unit-to-host datagram answering `request`."""
    cmd = struct.unpack_from("<H", request, 8)[0] if command is None else command
    body = b"QTU-" + bytes([0x53, 3, 0, request[7]]) + struct.pack("<HH", cmd, struct.unpack_from("<H", request, 10)[0])
    body += payload
    body = body[:6] + bytes([len(body) if length is None else length]) + body[7:]
    return body


def status(channel, flags, unit_counter, free, time_value):
    d = b"QTU-" + bytes([0x53, 3, 28, channel]) + struct.pack("<HH", 0xFF, 0)
    return d + bytes([flags, 0]) + struct.pack("<HIQ", unit_counter, free, time_value)


class FakeUnit:
    """The unit's control interface: logs requests and answers through `policy`."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.settimeout(0.02)
        self.port = self.sock.getsockname()[1]
        self.log = []
        self.lock = threading.Lock()
        self.policy = lambda req: [reply(req)]
        self.peer = None
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stopped:
            try:
                data, peer = self.sock.recvfrom(2048)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.log.append(data)
                self.peer = peer  # the library's control socket
                policy = self.policy
            for answer in policy(data):
                self.sock.sendto(answer, peer)

    def requests(self):
        with self.lock:
            return list(self.log)

    def clear(self):
        with self.lock:
            self.log.clear()

    def wait_for(self, count, limit=3.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if len(self.requests()) >= count:
                return self.requests()
            time.sleep(0.005)
        return self.requests()

    def close(self):
        self.stopped = True
        self.thread.join()
        self.sock.close()


def config(unit_port, data_port=0, timeout_get=300, max_payload=1400, timeout_stream=300):
    c = InputInterface()
    c.qtuControlIp = b"127.0.0.1"
    c.qtuControlPort = unit_port
    c.sensorDataIp = b"127.0.0.1"
    c.sensorDataBasePort = data_port
    c.localControlIp = b"127.0.0.1"
    c.localControlPort = 0
    c.maxPayloadSize = max_payload
    c.timeoutGet = timeout_get
    c.timeoutStream = timeout_stream
    return c


class CInterface(unittest.TestCase):
    lib = None
    next_channel = 0

    @classmethod
    def setUpClass(cls):
        cls.lib = load()

    def setUp(self):
        self.unit = FakeUnit()
        self.handles = []

    def tearDown(self):
        for h in self.handles:
            self.lib.QZQTU_UnregisterOutputChannel(h)
        self.unit.close()

    def register(self, cfg, channel=None):
        if channel is None:
            channel = CInterface.next_channel
            CInterface.next_channel += 1
        h = ctypes.c_int32(-1)
        self.assertEqual(0, self.lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), channel, ctypes.byref(h)))
        self.handles.append(h.value)
        return h.value, channel

    # -- codes without traffic ------------------------------------------------

    def test_error_texts(self):
        for code, text in enumerate(TEXTS):
            self.assertEqual(text.encode(), self.lib.QZQTU_ErrorToString(code))
        for code in (16, 1000, 0xFFFFFFFF):
            self.assertEqual(b"Invalid error code", self.lib.QZQTU_ErrorToString(code))

    def test_registration_codes(self):
        lib = self.lib
        cfg = config(self.unit.port)
        h = ctypes.c_int32(-1)
        self.assertEqual(8, lib.QZQTU_RegisterOutputChannel(None, 0, ctypes.byref(h)))
        bad = config(self.unit.port)
        bad.localControlIp = b"abc"
        self.assertEqual(12, lib.QZQTU_RegisterOutputChannel(ctypes.byref(bad), 0, ctypes.byref(h)))
        self.assertEqual(12, lib.QZQTU_IsInputInterfaceAvailable(ctypes.byref(bad)))
        self.assertEqual(8, lib.QZQTU_IsInputInterfaceAvailable(None))
        self.assertEqual(8, lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), 0, None))
        self.assertEqual(6, lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), -1, ctypes.byref(h)))
        self.assertEqual(6, lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), 256, ctypes.byref(h)))
        small = config(self.unit.port, max_payload=7)
        self.assertEqual(12, lib.QZQTU_RegisterOutputChannel(ctypes.byref(small), 0, ctypes.byref(h)))
        self.assertEqual(-1, h.value)

        first, channel = self.register(cfg)
        self.assertEqual(13, lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), channel, ctypes.byref(h)))
        second, _ = self.register(cfg)
        self.assertEqual(first + 1, second)
        # Bind failure: the local port is taken by someone else.
        holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        holder.bind(("127.0.0.1", 0))
        taken = config(self.unit.port)
        taken.localControlPort = holder.getsockname()[1]
        self.assertEqual(9, lib.QZQTU_RegisterOutputChannel(ctypes.byref(taken), 200, ctypes.byref(h)))
        holder.close()

        # Unknown handles: 5 before any pointer check.
        self.assertEqual(0, lib.QZQTU_UnregisterOutputChannel(first))
        self.handles.remove(first)
        for call in (
            lambda: lib.QZQTU_UnregisterOutputChannel(first),
            lambda: lib.QZQTU_GetReplayOffset(first, None),
            lambda: lib.QZQTU_GetCurrentState(first, None),
            lambda: lib.QZQTU_ReplayStreamData(first, None, None, 0),
            lambda: lib.QZQTU_GetFrameSize(-5, None, None),
            lambda: lib.QZQTU_SetReplayOffset(0x7FFFFFFF, 1),
        ):
            self.assertEqual(5, call())
        third, _ = self.register(cfg)
        self.assertEqual(second + 1, third)
        # Null pointers on a known handle: 8, and nothing sent.
        self.assertEqual(8, lib.QZQTU_GetReplayOffset(third, None))
        self.assertEqual(8, lib.QZQTU_GetReplayStopTime(third, None))
        self.assertEqual(8, lib.QZQTU_GetReplayStartTime(third, None, None, None))
        self.assertEqual(8, lib.QZQTU_GetCurrentState(third, None))
        self.assertEqual(8, lib.QZQTU_GetFrameSize(third, None, None))
        self.assertEqual(8, lib.QZQTU_ReplayStreamData(third, None, b"x", 1))
        # Teardown of `first` sent 0x00 and 0x10; nothing else went out.
        self.unit.wait_for(2)
        time.sleep(0.05)
        self.assertEqual([0x00, 0x10], [struct.unpack_from("<H", d, 8)[0] for d in self.unit.requests()])

    # -- requests on the wire -------------------------------------------------

    def test_requests_replies_and_their_codes(self):
        lib = self.lib
        h, channel = self.register(config(self.unit.port))
        self.assertEqual([], self.unit.requests())  # registration sends nothing

        self.assertEqual(0, lib.QZQTU_SetReplayOffset(h, 0x0102030405060708))
        req = self.unit.requests()[0]
        self.assertEqual(b"QTU-" + bytes([0x43, 3, 20, channel, 0x20, 0, 1, 0]) +
                         bytes([8, 7, 6, 5, 4, 3, 2, 1]), req)

        # A getter answered with its value.
        value = 0x1122334455667788
        self.unit.policy = lambda r: [reply(r, payload=struct.pack("<Q", value))]
        got = ctypes.c_uint64(0)
        self.assertEqual(0, lib.QZQTU_GetReplayOffset(h, ctypes.byref(got)))
        self.assertEqual(value, got.value)
        # 1: a reply with another command code.
        self.unit.policy = lambda r: [reply(r, command=0x99, payload=struct.pack("<Q", 1))]
        self.assertEqual(1, lib.QZQTU_GetReplayOffset(h, ctypes.byref(got)))
        # 4: the unit refuses the channel; 0 when it answers 0x03.
        self.unit.policy = lambda r: [reply(r, command=0x8004, payload=bytes(8))]
        self.assertEqual(4, lib.QZQTU_IsOutputChannelAvailable(h))
        self.unit.policy = lambda r: [reply(r, payload=bytes(8))]
        self.assertEqual(0, lib.QZQTU_IsOutputChannelAvailable(h))
        self.assertEqual(0, lib.QZQTU_ResetChannel(h))
        self.assertEqual(0, lib.QZQTU_ClearStatusFlags(h))
        # 7: stop before start, after start and offset have gone out.
        self.unit.clear()
        self.assertEqual(7, lib.QZQTU_SetReplayStartTime(h, 5000, 100, 4000))
        self.assertEqual([0x22, 0x20], [struct.unpack_from("<H", d, 8)[0] for d in self.unit.requests()])
        # 11: the unit stays silent.
        self.unit.policy = lambda r: []
        start = time.monotonic()
        self.assertEqual(11, lib.QZQTU_SetReplayStopTime(h, 1))
        self.assertGreaterEqual(time.monotonic() - start, 0.25)
        # A reply whose length byte doesn't match is dropped: 11 as well.
        self.unit.policy = lambda r: [reply(r, payload=bytes(12), length=20)]
        self.assertEqual(11, lib.QZQTU_ResetChannel(h))

        # Sequence numbers count up per request.
        seqs = [struct.unpack_from("<H", d, 10)[0] for d in self.unit.requests()]
        self.assertEqual(list(range(seqs[0], seqs[0] + len(seqs))), seqs)

    def test_status_and_streaming(self):
        lib = self.lib
        data = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        data.bind(("127.0.0.1", 0))
        data.settimeout(2)
        h, channel = self.register(config(self.unit.port, data_port=data.getsockname()[1], timeout_stream=200),
                                   channel=0)
        state = ReplayState()
        self.assertEqual(14, lib.QZQTU_GetCurrentState(h, ctypes.byref(state)))
        info = StreamDataInfo(timestamp=0xAABBCCDD00112233, frameCounter=7, lineIndex=1, tag=9)
        block = bytes(range(256)) * 12  # 3072 bytes
        # 11: no capacity known yet.
        self.assertEqual(11, lib.QZQTU_ReplayStreamData(h, ctypes.byref(info), block, len(block)))

        # Init: 0x30 with the geometry, then 0x01, 0x11, 0x03 (capacity 100).
        def answer(r):
            cmd = struct.unpack_from("<H", r, 8)[0]
            if cmd == 0x03:
                return [reply(r, payload=struct.pack("<IIi", 0, 100, 0))]
            return [reply(r)]
        self.unit.policy = answer
        self.unit.clear()
        self.assertEqual(0, lib.QZQTU_InitOutputChannel(h, 3072, 2))
        reqs = self.unit.requests()
        self.assertEqual(16, len(reqs[0]))
        self.assertEqual((0x30, 3072, 2), (struct.unpack_from("<H", reqs[0], 8)[0],) + struct.unpack_from("<HH", reqs[0], 12))
        self.assertEqual([0x01, 0x11, 0x03], [struct.unpack_from("<H", d, 8)[0] for d in reqs[1:]])
        self.assertTrue(all(len(d) == 12 for d in reqs[1:]))

        # The unit reports status: flags 0x0A, 50 free buffers.
        self.unit.sock.sendto(status(channel, 0x0A, 0, 50, 123456789), ("127.0.0.1", self.unit_peer_port))
        end = time.monotonic() + 3
        while lib.QZQTU_GetCurrentState(h, ctypes.byref(state)) == 14 and time.monotonic() < end:
            time.sleep(0.005)
        self.assertEqual(0, lib.QZQTU_GetCurrentState(h, ctypes.byref(state)))
        self.assertEqual((0, 1, 0, 1, 50, 123456789),
                         (state.statusBit0, state.statusBit1, state.statusBit2, state.statusBit3,
                          state.freeBuffers, state.statusTime))

        # The block leaves as 1400 + 1400 + 272 bytes behind 24-byte headers.
        self.assertEqual(0, lib.QZQTU_ReplayStreamData(h, ctypes.byref(info), block, len(block)))
        sizes, sent = [], b""
        for i in range(3):
            d = data.recv(70000)
            (frame, line, n, version, flags, counter, tag) = struct.unpack_from("<HHHBBHB", d, 0)
            self.assertEqual((7, 1, 3, 9, i), (frame, line, version, tag, counter))
            self.assertEqual(bytes(5), d[11:16])
            self.assertEqual(0xAABBCCDD00112233, struct.unpack_from("<Q", d, 16)[0])
            self.assertEqual(0xC0 if i == 2 else 0, flags)  # last of block and of frame (line 1 of 2)
            self.assertEqual(n + 24, len(d))
            sizes.append(n)
            sent += d[24:]
        self.assertEqual([1400, 1400, 272], sizes)
        self.assertEqual(block, sent)
        data.close()

    @property
    def unit_peer_port(self):
        """The library's control socket port: where its requests came from."""
        return self.unit.peer[1]

    # -- data socket failures -------------------------------------------------

    def stream_ready(self, cfg, channel):
        """A channel with capacity and credit, ready to stream."""
        lib = self.lib
        h, channel = self.register(cfg, channel)

        def answer(r):
            cmd = struct.unpack_from("<H", r, 8)[0]
            return [reply(r, payload=struct.pack("<IIi", 0, 10, 0) if cmd == 0x03 else b"")]
        self.unit.policy = answer
        self.assertEqual(0, lib.QZQTU_InitOutputChannel(h, 100, 1))
        self.unit.sock.sendto(status(channel, 0, 0, 10, 0), ("127.0.0.1", self.unit_peer_port))
        state = ReplayState()
        end = time.monotonic() + 3
        while lib.QZQTU_GetCurrentState(h, ctypes.byref(state)) != 0 and time.monotonic() < end:
            time.sleep(0.005)
        return h

    def test_packet_fragmentation_and_data_socket_error(self):
        lib = self.lib
        info = StreamDataInfo(timestamp=1, frameCounter=0, lineIndex=0, tag=0)
        # 15: a datagram of 65535 + 24 bytes is larger than any IPv4 path takes.
        sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sink.bind(("127.0.0.1", 0))
        h = self.stream_ready(config(self.unit.port, data_port=sink.getsockname()[1] - 250, max_payload=65535), 250)
        block = bytes(65535)
        self.assertEqual(15, lib.QZQTU_ReplayStreamData(h, ctypes.byref(info), block, len(block)))
        sink.close()
        # 10: the data destination has no route. Only inside the test's own
        # namespace, where that holds for certain and nothing can leave.
        if NAMESPACE is None:
            self.skipTest("no network namespace here; data socket error not checked")
        cfg = config(self.unit.port, data_port=5000)
        cfg.sensorDataIp = NO_ROUTE.encode()
        h = self.stream_ready(cfg, 251)
        self.assertEqual(10, lib.QZQTU_ReplayStreamData(h, ctypes.byref(info), b"12345678", 8))


class Reachability(unittest.TestCase):
    def test_loopback_and_a_missing_host(self):
        lib = load()
        cfg = config(1)
        cfg.qtuControlIp = b"127.0.0.1"
        cfg.sensorDataIp = b"127.0.0.1"
        self.assertEqual(0, lib.QZQTU_IsInputInterfaceAvailable(ctypes.byref(cfg)))
        if NAMESPACE is None:
            self.skipTest("no network namespace here (needs root and ip); unreachable host not checked")
        cfg.sensorDataIp = NOBODY.encode()
        self.assertEqual(3, lib.QZQTU_IsInputInterfaceAvailable(ctypes.byref(cfg)))
        cfg.qtuControlIp = NOBODY.encode()
        cfg.sensorDataIp = LOCAL.encode()
        self.assertEqual(2, lib.QZQTU_IsInputInterfaceAvailable(ctypes.byref(cfg)))


class Unload(unittest.TestCase):
    def test_unloading_tears_down_the_remaining_channels(self):
        """A child process registers two channels and unloads the library: the
        unit receives OutputEnable off and ReplayEnable off for each."""
        unit = FakeUnit()
        try:
            child = (
                "import ctypes, sys, _ctypes\n"
                "sys.path.insert(0, %r)\n"
                "import c_interface_test as t\n"
                "t.LIB_PATH = %r\n"
                "lib = t.load()\n"
                "cfg = t.config(%d)\n"
                "h = ctypes.c_int32()\n"
                "assert lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), 1, ctypes.byref(h)) == 0\n"
                "assert lib.QZQTU_RegisterOutputChannel(ctypes.byref(cfg), 2, ctypes.byref(h)) == 0\n"
                "_ctypes.dlclose(lib._handle)\n"
                "print('unloaded', flush=True)\n"
            ) % (os.path.dirname(os.path.abspath(__file__)), LIB_PATH, unit.port)
            out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=30)
            self.assertEqual(0, out.returncode, out.stderr)
            got = unit.wait_for(4)
            seen = sorted((d[7], struct.unpack_from("<H", d, 8)[0]) for d in got)
            self.assertEqual([(1, 0x00), (1, 0x10), (2, 0x00), (2, 0x10)], seen)
        finally:
            unit.close()


def enter_namespace():
    """Moves this process into a fresh network namespace with loopback and a
    veth pair; returns its name, or None where that isn't possible."""
    if os.geteuid() != 0 or subprocess.run(["sh", "-c", "command -v ip"], capture_output=True).returncode != 0:
        return None
    name = "qtucapi%d" % os.getpid()
    n = ["ip", "-n", name]
    steps = [["ip", "netns", "add", name], n + ["link", "set", "lo", "up"],
             n + ["link", "add", "qa", "type", "veth", "peer", "name", "qb"],
             n + ["addr", "add", LOCAL + "/24", "dev", "qa"], n + ["link", "set", "qa", "up"],
             n + ["link", "set", "qb", "up"]]
    for step in steps:
        if subprocess.run(step, capture_output=True).returncode != 0:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)
            return None
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open("/run/netns/" + name, os.O_RDONLY)
    CLONE_NEWNET = 0x40000000
    ok = libc.setns(fd, CLONE_NEWNET) == 0
    os.close(fd)
    if not ok:
        subprocess.run(["ip", "netns", "del", name], capture_output=True)
        return None
    return name


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LIB_PATH = os.path.abspath(sys.argv.pop(1))
    NAMESPACE = enter_namespace()
    try:
        unittest.main(verbosity=2)
    finally:
        if NAMESPACE:
            subprocess.run(["ip", "netns", "del", NAMESPACE], capture_output=True)
