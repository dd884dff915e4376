"""The Lua dissector on an engine-driven session like the demo's: the demo's
diagram (TestCamera -> QzQtuUnitClient, a time source, status dumps) runs with
vtro-engine against qtu-unit-sim --capture, with small images so that the
capture stays short. tshark with the dissector must name every field of every
control and data datagram, flag none as malformed, and read each field as the
captured bytes say.

usage: demo_capture_test.py REPO BUILD_DIR DISSECTOR.lua
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dissector_test import expected_control, expected_data, read_pcap  # noqa: E402

REPO, BUILD, LUA = sys.argv[1:4] if len(sys.argv) >= 4 else (None, None, None)


def registered_fields(lua):
    """The fields the dissector registers, as qtu.lua declares them."""
    with open(lua) as f:
        return set(re.findall(r'ProtoField\.\w+\("((?:qtu_ctl|qtu_data)\.[\w.]+)"', f.read()))


class DemoSession(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.capture = os.path.join(cls.dir.name, "demo.pcap")
        env = dict(os.environ, QTU_BUILD_DIR=BUILD, QTU_SIM_ARGS="--capture " + cls.capture)
        # 30 frames/s of 2 lines of 12000 bytes: each line is two datagrams, the second shorter.
        run = subprocess.run([os.path.join(REPO, "examples/unit_client/run"),
                              os.path.join(REPO, "examples/unit_client/demo.json"), "--for", "1",
                              "--set", "cam.Width=6000", "--set", "cam.Height=2",
                              "--set", "status.Directory=" + os.path.join(cls.dir.name, "status"),
                              "--set", "unittime.Directory=" + os.path.join(cls.dir.name, "unit_time")],
                             cwd=cls.dir.name, env=env, capture_output=True, text=True, timeout=120)
        cls.run_output = run.stdout + run.stderr
        ports = re.search(r"control port (\d+), data port (\d+)", run.stdout)
        assert run.returncode == 0 and ports, cls.run_output
        cls.control_port, cls.data_port = int(ports.group(1)), int(ports.group(2))
        cls.packets = read_pcap(cls.capture)
        decode = ["-X", "lua_script:" + LUA, "-d", "udp.port==%d,qtu_ctl" % cls.control_port,
                  "-d", "udp.port==%d,qtu_data" % cls.data_port]
        cls.verbose = subprocess.run(["tshark", "-r", cls.capture, "-V"] + decode, check=True,
                                     capture_output=True, text=True, timeout=120).stdout
        pdml = subprocess.run(["tshark", "-r", cls.capture, "-T", "pdml"] + decode, check=True,
                              capture_output=True, text=True, timeout=120).stdout
        cls.pdml = ET.fromstring(pdml).findall("packet")

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_the_session_holds_both_protocols(self):
        control = [p for p in self.packets if self.control_port in p[:2]]
        data = [p for p in self.packets if p[1] == self.data_port]
        commands = {int.from_bytes(p[2][8:10], "little") for p in control}
        # Channel set-up, replay times, status requests and the unit's status messages.
        for command in (0x30, 0x01, 0x11, 0x03, 0x20, 0xFF):
            self.assertIn(command, commands, "command 0x%02x missing; %s" % (command, self.run_output))
        self.assertGreaterEqual(len(data), 2 * 2 * 10)
        self.assertEqual(len(self.pdml), len(self.packets))

    def test_no_packet_is_malformed_or_flagged(self):
        for needle in ("Malformed", "Expert Info", "Dissector bug", "Lua Error"):
            self.assertNotIn(needle, self.verbose)
        protocols = re.findall(r"^(QTU Unit (?:control|data) protocol)$", self.verbose, re.M)
        self.assertEqual(len(protocols), len(self.packets))

    def test_every_field_is_named(self):
        known = registered_fields(LUA)
        for number, packet in enumerate(self.pdml, 1):
            protos = [p for p in packet.findall("proto") if p.get("name") in ("qtu_ctl", "qtu_data")]
            self.assertEqual(len(protos), 1, "packet %d" % number)
            proto = protos[0]
            fields = list(proto.iter("field"))
            self.assertGreater(len(fields), 5, "packet %d" % number)
            for f in fields:
                name = f.get("name", "")
                self.assertIn(name, known, "packet %d: unnamed field %r" % (number, f.get("show")))
                self.assertTrue(name.startswith(proto.get("name") + "."), "packet %d: %s" % (number, name))

    def test_every_field_reads_as_sent(self):
        for number, (packet, (sport, dport, payload)) in enumerate(zip(self.pdml, self.packets), 1):
            is_control = self.control_port in (sport, dport)
            proto = "qtu_ctl." if is_control else "qtu_data."
            got = {}
            for f in packet.iter("field"):
                name = f.get("name", "")
                if name.startswith(proto) and name != "qtu_ctl.unused":  # bytes the protocol leaves unused
                    # Byte fields as their hex digits, the others as shown.
                    raw = name in ("qtu_data.reserved", "qtu_data.payload")
                    got[name[len(proto):]] = f.get("value") if raw else f.get("show")
            expected = expected_control(payload) if is_control else expected_data(payload)
            self.assertEqual(got, expected, "packet %d" % number)


if __name__ == "__main__":
    if not all((REPO, BUILD, LUA)):
        sys.exit(__doc__)
    del sys.argv[1:4]
    unittest.main(verbosity=2)
