#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz targets whose inputs are binary
layouts: fuzz/seeds.py [CORPUS_ROOT] (default fuzz/corpus). Each seed is a
small, well-formed example of its format, named for what it shows; libFuzzer
grows the corpus from them (scripts/fuzz campaign merges what it finds)."""
import os
import struct
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")


def write(target, name, data):
    folder = os.path.join(root, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def control(command, seq=1, channel=3, payload=b"", direction=b"S"):
    length = 12 + len(payload)
    return b"QTU-" + direction + bytes([3, length, channel]) + struct.pack("<HH", command, seq) + payload


def status(flags=0, counter=0, free=100, time=0, channel=3):
    return control(0xFF, 0, channel, struct.pack("<BBHIQ", flags, 0, counter, free, time))


# unit_api: one datagram as the receiver reads it.
write("unit_api", "reply_channel_state", control(0x03, payload=struct.pack("<II", 0, 512)))
write("unit_api", "reply_time", control(0x23, payload=struct.pack("<Q", 123456789)))
write("unit_api", "status_all_flags", status(0x0F, 7, 90, 5000))
write("unit_api", "status_short", status()[:20])
write("unit_api", "request_direction", control(0x01, direction=b"C"))
write("unit_api", "header_only", control(0x8004))


# unit_api_replies: [operations][op][records...], a record being
# [flags][length][bytes]; flags 0x0F make the record the pending request's
# reply with its own command, 0x07 keep the record's command.
def record(data, flags=0x0F):
    return bytes([flags, len(data)]) + data


def op(n, *records, extra=b""):
    return bytes([n]) + extra + b"".join(records)


time_reply = control(0, 0, payload=struct.pack("<Q", 0x1122334455667788))
write("unit_api_replies", "stop_time", b"\0" + op(0, record(time_reply)))
write("unit_api_replies", "start_offset_stop", b"\0" + op(1, record(time_reply), record(time_reply), record(time_reply)))
write("unit_api_replies", "start_time_short_reply", b"\0" + op(1, record(control(0, 0, payload=b"\1\2\3"))))
write("unit_api_replies", "channel_not_available", b"\0" + op(2, record(control(0x8004, 0), 0x07)))
write("unit_api_replies", "frame_size", b"\0" + op(3, record(control(0, 0, payload=struct.pack("<HH", 1024, 16)))))
write("unit_api_replies", "init_capacity",
      b"\0" + op(4, record(control(0, 0)), record(control(0, 0)), record(control(0, 0)),
                 record(control(0, 0, payload=struct.pack("<II", 0, 400)))))
write("unit_api_replies", "set_times_stop_first", b"\0" + op(5, record(control(0, 0)), record(control(0, 0)), extra=b"\x07"))
write("unit_api_replies", "status_then_reply",
      b"\0" + op(8, record(status(0x05, 3, 77, 99), 0x06), record(control(0, 0))))
write("unit_api_replies", "stray_then_reply",
      b"\0" + op(6, record(control(0, 0xBEEF), 0x06), record(control(0, 0, channel=9), 0x05), record(control(0, 0))))


# unit_sim_stream: [lineCount][records of [length][datagram]]; a datagram is
# a 24-byte data header and its payload.
def packet(frame, line, payload, flags, counter, timestamp=0):
    return struct.pack("<HHHBBHB5sQ", frame, line, len(payload), 3, flags, counter, 0, b"\0" * 5, timestamp) + payload


def stream(line_count, *datagrams):
    out = struct.pack("<H", line_count)
    for d in datagrams:
        out += struct.pack("<H", len(d)) + d
    return out


write("unit_sim_stream", "two_lines_one_frame",
      stream(2, packet(0, 0, b"a" * 16, 0x40, 0), packet(0, 1, b"b" * 16, 0xC0, 1)))
write("unit_sim_stream", "block_in_two_packets",
      stream(1, packet(5, 0, b"x" * 8, 0x00, 10), packet(5, 0, b"y" * 4, 0xC0, 11)))
write("unit_sim_stream", "counter_gap",
      stream(2, packet(0, 0, b"a" * 8, 0x40, 0), packet(0, 1, b"b" * 8, 0xC0, 3)))
write("unit_sim_stream", "bad_version",
      stream(1, packet(0, 0, b"a" * 8, 0xC0, 0)[:6] + b"\x07" + packet(0, 0, b"a" * 8, 0xC0, 0)[7:]))
coalesced = packet(0, 0, b"a" * 8, 0x40, 0) + packet(0, 1, b"b" * 8, 0xC0, 1)
write("unit_sim_stream", "coalesced_buffer",
      struct.pack("<H", 2) + struct.pack("<HH", 0x8000 | len(coalesced), 32) + coalesced)

# marker_scan: package bytes with module markers.
marker = b"$!VTRO_MODULE!VTROComponent!QzQtuUnitClient!$!1.0.0!$"
write("marker_scan", "two_markers", b"\x7fELF" + b"\0" * 20 + marker + b"\0junk\0" +
      b"$!VTRO_MODULE!VTROComponent!QzQtuImageConverter!$!2.1!$")
write("marker_scan", "cut_marker", b"\0" * 8 + marker[:30])
write("marker_scan", "nested_start", b"$!VTRO_MODULE!" + marker)


# records: container record files and pcap captures.
def eth_frame(payload=b"hello", ethertype=0x0800):
    return b"\x02\0\0\0\0\x01" + b"\x02\0\0\0\0\x02" + struct.pack(">H", ethertype) + payload


def pcap(frames, magic=0xA1B2C3D4, endian="<"):
    out = struct.pack(endian + "IHHiIII", magic, 2, 4, 0, 0, 65535, 1)
    for i, f in enumerate(frames):
        out += struct.pack(endian + "IIII", 100 + i, 250, len(f), len(f)) + f
    return out


udp = struct.pack(">HHHH", 30490, 30490, 8 + 16 + 4, 0) + struct.pack(">HHIHHBBBB", 0x1234, 0x8001, 12, 1, 1, 1, 1, 2, 0) + b"abcd"
ipv4 = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0, b"\x0a\0\0\1", b"\x0a\0\0\2") + udp
write("records", "pcap_two_frames", pcap([eth_frame(ipv4), eth_frame(b"\0" * 46, 0x88B5)]))
write("records", "pcap_swapped_nano", pcap([eth_frame(ipv4)], 0xA1B23C4D, ">"))
write("records", "pcap_cut_packet", pcap([eth_frame(ipv4)])[:-5])
for name in ("can", "eth_ipv4_udp_someip", "lin", "eth_short_vlan"):
    with open(os.path.join(root, "containers", name), "rb") as f:
        write("records", "records_" + name, f.read())
