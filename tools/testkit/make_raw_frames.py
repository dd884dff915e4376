#!/usr/bin/env python3
"""Writes a raw frame file for RawFramePlayer: frames laid back to back, each a
64-byte frame header (frame size in bytes, header included, as u32 LE at 0;
frame number u32 LE at 4; bits per pixel at 10; lines u16 LE at 12) and then
width x height 16-bit little-endian grey samples: a diagonal ramp that moves
with the frame number.

  make_raw_frames.py OUT.raw [--width 32] [--height 24] [--frames 5] [--cut N]

--cut N drops the last N bytes, which leaves a truncated last frame.
"""
import argparse
import struct


def frame(number, width, height):
    samples = bytearray()
    for y in range(height):
        for x in range(width):
            samples += struct.pack('<H', ((x + y + 3 * number) * 997) & 0xFFFF)
    size = 64 + len(samples)
    header = bytearray(64)
    struct.pack_into('<I', header, 0, size)
    struct.pack_into('<I', header, 4, number)
    header[10] = 16
    struct.pack_into('<H', header, 12, height)
    return bytes(header) + bytes(samples)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('out')
    parser.add_argument('--width', type=int, default=32)
    parser.add_argument('--height', type=int, default=24)
    parser.add_argument('--frames', type=int, default=5)
    parser.add_argument('--cut', type=int, default=0)
    args = parser.parse_args()
    data = b''.join(frame(n, args.width, args.height) for n in range(args.frames))
    if args.cut:
        data = data[:-args.cut]
    with open(args.out, 'wb') as out:
        out.write(data)


if __name__ == '__main__':
    main()
