"""The Lua dissector on captured traffic: qtu-unit-sim --capture records a
short session of qtu-cli commands and a stream; tshark with the dissector must
read every field of the control and data datagrams as they were sent. What
was sent is known twice over: from the commands given, and from the captured
bytes themselves, which this test decodes on its own from the pcap file.

usage: dissector_test.py QTU_UNIT_SIM QTU_CLI DISSECTOR.lua
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest

SIM, CLI, LUA = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)

CONTROL_FIELDS = ["magic", "direction", "version", "length", "channel", "command", "sequence", "time_value",
                  "line_size", "line_count", "capacity", "status", "status.bit0", "status.bit1", "status.bit2",
                  "status.bit3", "enables", "unit_packet_counter", "free_buffers", "status_time"]
DATA_FIELDS = ["frame_counter", "line_index", "payload_length", "version", "flags", "flags.last_of_block",
               "flags.end_of_frame", "packet_counter", "tag", "reserved", "timestamp", "payload"]


def read_pcap(path):
    """(source port, destination port, UDP payload) of each packet of a raw-IPv4 pcap file."""
    with open(path, "rb") as f:
        data = f.read()
    magic, _, _, _, _, _, linktype = struct.unpack_from("<IHHiIII", data, 0)
    assert magic == 0xA1B2C3D4 and linktype == 101, (hex(magic), linktype)
    packets, at = [], 24
    while at + 16 <= len(data):
        _, _, captured, _ = struct.unpack_from("<IIII", data, at)
        if at + 16 + captured > len(data):
            break  # a record still being written
        ip = data[at + 16:at + 16 + captured]
        header = (ip[0] & 0x0F) * 4
        sport, dport, ulen = struct.unpack_from(">HHH", ip, header)
        packets.append((sport, dport, ip[header + 8:header + ulen]))
        at += 16 + captured
    return packets


def remap_ports(source, target, mapping):
    """Copies a raw-IPv4 pcap file with UDP ports replaced by `mapping`."""
    with open(source, "rb") as f:
        data = bytearray(f.read())
    at = 24
    while at < len(data):
        _, _, captured, _ = struct.unpack_from("<IIII", data, at)
        header = at + 16 + (data[at + 16] & 0x0F) * 4
        for field in (header, header + 2):
            port = struct.unpack_from(">H", data, field)[0]
            struct.pack_into(">H", data, field, mapping.get(port, port))
        at += 16 + captured
    with open(target, "wb") as f:
        f.write(data)


def le(b, at, size):
    return int.from_bytes(b[at:at + size], "little")


def expected_control(d):
    """The dissector's fields of one control datagram, decoded here from its bytes."""
    command, n, request = le(d, 8, 2), len(d), d[4] == 0x43
    f = {"magic": d[0:4].decode(), "direction": "0x%02x" % d[4], "version": str(d[5]), "length": str(d[6]),
         "channel": str(d[7]), "command": "0x%04x" % command}
    if command != 0xFF:
        f["sequence"] = str(le(d, 10, 2))

    def status_byte(at):
        f["status"] = "0x%02x" % d[at]
        for bit in range(4):
            f["status.bit%d" % bit] = str((d[at] >> bit) & 1)

    if request and command in (0x20, 0x22, 0x24):
        f["time_value"] = str(le(d, 12, 8))
    elif request and command == 0x30:
        f["line_size"], f["line_count"] = str(le(d, 12, 2)), str(le(d, 14, 2))
    elif not request and command == 0xFF and n >= 28:
        status_byte(12)
        f["unit_packet_counter"], f["free_buffers"] = str(le(d, 14, 2)), str(le(d, 16, 4))
        f["status_time"] = str(le(d, 20, 8))
    elif not request and command == 0x03 and n >= 20:
        status_byte(12)
        f["enables"] = "0x%02x" % d[13]
        f["unit_packet_counter"], f["capacity"] = str(le(d, 14, 2)), str(le(d, 16, 4))
    elif not request and command in (0x21, 0x23, 0x25) and n >= 20:
        f["time_value"] = str(le(d, 12, 8))
    elif not request and command == 0x31 and n >= 16:
        f["line_size"], f["line_count"] = str(le(d, 12, 2)), str(le(d, 14, 2))
    return f


def expected_data(d):
    return {"frame_counter": str(le(d, 0, 2)), "line_index": str(le(d, 2, 2)), "payload_length": str(le(d, 4, 2)),
            "version": str(d[6]), "flags": "0x%02x" % d[7], "flags.last_of_block": str((d[7] >> 6) & 1),
            "flags.end_of_frame": str(d[7] >> 7), "packet_counter": str(le(d, 8, 2)), "tag": "0x%02x" % d[10],
            "reserved": d[11:16].hex(), "timestamp": str(le(d, 16, 8)), "payload": d[24:].hex()}


class CapturedSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.capture = os.path.join(cls.dir.name, "session.pcap")
        cls.begin_ns = time.time_ns()
        sim = subprocess.Popen([SIM, "--bind", "127.0.0.1", "--capacity", "77", "--status-period-ms", "0",
                                "--capture", cls.capture, "--quiet", "--for", "30"],
                               stdout=subprocess.PIPE, text=True)
        try:
            banner = sim.stdout.readline()
            ports = dict(part.split("=") for part in banner.split()[1:3])
            cls.control_port = int(ports["control"].split(":")[1])
            cls.data_port = int(ports["data"].split(":")[1])
            # Long time-outs: a loaded machine (sanitizer builds, parallel tests) answers late.
            unit = ["--control", "127.0.0.1:%d" % cls.control_port, "--data", "127.0.0.1:%d" % cls.data_port,
                    "--timeout-get", "3000", "--timeout-stream", "3000"]
            for command in (["set-times", "--start", "5000", "--offset", "100", "--stop", "9000"],
                            ["--max-payload", "64", "stream", "--line-size", "100", "--line-count", "3",
                             "--frames", "2"],
                            ["reset"], ["clear-flags"]):
                subprocess.run([CLI] + unit + command, check=True, capture_output=True, timeout=30)
            # The unit takes the data in on threads of its own: wait until it
            # has, and has reported the last packet, before stopping it.
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                packets = read_pcap(cls.capture)
                if sum(1 for p in packets if p[1] == cls.data_port) == 12 and any(
                        len(p[2]) == 28 and p[2][8] == 0xFF and le(p[2], 14, 2) == 11 for p in packets):
                    break
                time.sleep(0.05)
        finally:
            sim.send_signal(signal.SIGINT)
            sim.communicate(timeout=30)
        cls.end_ns = time.time_ns()
        cls.packets = read_pcap(cls.capture)
        names = ["qtu_ctl." + f for f in CONTROL_FIELDS] + ["qtu_data." + f for f in DATA_FIELDS]
        out = subprocess.run(["tshark", "-r", cls.capture, "-X", "lua_script:" + LUA,
                              "-d", "udp.port==%d,qtu_ctl" % cls.control_port,
                              "-d", "udp.port==%d,qtu_data" % cls.data_port,
                              "-T", "fields", "-E", "separator=|"] + sum([["-e", n] for n in names], []),
                             check=True, capture_output=True, text=True, timeout=60).stdout
        cls.rows = []
        for line in out.splitlines():
            values = line.split("|")
            cls.rows.append({name.split(".", 1)[1] if name.startswith("qtu_ctl.") else "data." + name[9:]: v
                             for name, v in zip(names, values) if v != ""})

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def control(self):
        return [(i, p[2]) for i, p in enumerate(self.packets) if self.control_port in (p[0], p[1])]

    def data(self):
        return [(i, p[2]) for i, p in enumerate(self.packets) if p[1] == self.data_port]

    def test_every_control_field_reads_as_sent(self):
        control = self.control()
        self.assertGreater(len(control), 20)
        for i, d in control:
            got = {k: v for k, v in self.rows[i].items() if not k.startswith("data.")}
            self.assertEqual(got, expected_control(d), "packet %d" % (i + 1))

    def test_every_data_field_reads_as_sent(self):
        data = self.data()
        self.assertEqual(len(data), 12)  # 2 frames of 3 lines of 64 + 36 bytes
        for i, d in data:
            got = {k[5:]: v for k, v in self.rows[i].items() if k.startswith("data.")}
            self.assertEqual(got, expected_data(d), "packet %d" % (i + 1))

    def test_default_ports_need_no_decode_as(self):
        moved = os.path.join(self.dir.name, "default-ports.pcap")
        remap_ports(self.capture, moved, {self.control_port: 65024, self.data_port: 61440})
        out = subprocess.run(["tshark", "-r", moved, "-X", "lua_script:" + LUA, "-T", "fields",
                              "-e", "_ws.col.Protocol"], check=True, capture_output=True, text=True,
                             timeout=60).stdout.split()
        expected = ["QTU-CTL" if self.control_port in p[:2] else "QTU-DATA" for p in self.packets]
        self.assertEqual(out, expected)

    def test_the_commands_values_are_where_they_belong(self):
        by_command = {}
        for i, d in self.control():
            by_command.setdefault((d[4], le(d, 8, 2)), []).append(self.rows[i])
        self.assertEqual(by_command[(0x43, 0x22)][0]["time_value"], "5000")
        self.assertEqual(by_command[(0x43, 0x20)][0]["time_value"], "100")
        self.assertEqual(by_command[(0x43, 0x24)][0]["time_value"], "9000")
        self.assertEqual(by_command[(0x53, 0x23)][0]["time_value"], "5000")  # read back by set-times
        init = by_command[(0x43, 0x30)][0]
        self.assertEqual((init["line_size"], init["line_count"], init["length"]), ("100", "3", "16"))
        self.assertEqual(by_command[(0x53, 0x03)][0]["capacity"], "77")
        self.assertIn((0x43, 0x02), by_command)  # reset
        self.assertIn((0x43, 0x12), by_command)  # clear-flags
        statuses = by_command[(0x53, 0xFF)]
        self.assertGreaterEqual(len(statuses), 2)
        for s in statuses:
            self.assertEqual(s["free_buffers"], "77")
            self.assertEqual(s["length"], "28")
            self.assertTrue(self.begin_ns <= int(s["status_time"]) <= self.end_ns, s["status_time"])
        self.assertEqual(statuses[-1]["unit_packet_counter"], "11")

        rows = [self.rows[i] for i, _ in self.data()]
        self.assertEqual([r["data.packet_counter"] for r in rows], [str(n) for n in range(12)])
        self.assertEqual([r["data.flags"] for r in rows], ["0x00", "0x40", "0x00", "0x40", "0x00", "0xc0"] * 2)
        self.assertEqual([r["data.payload_length"] for r in rows], ["64", "36"] * 6)
        self.assertEqual([r["data.line_index"] for r in rows], ["0", "0", "1", "1", "2", "2"] * 2)
        self.assertEqual([r["data.frame_counter"] for r in rows], ["0"] * 6 + ["1"] * 6)


if __name__ == "__main__":
    if not all((SIM, CLI, LUA)):
        sys.exit(__doc__)
    del sys.argv[1:4]
    unittest.main(verbosity=2)
