// qtu_sim/unit_sim.h: the emulated QTU Unit, usable in-process.
//
// The emulated unit answers the control protocol on one UDP socket, takes the
// data stream of each channel on its own UDP port (base + channel number),
// reassembles blocks and frames, checks every data header, keeps a buffer model
// per channel and sends status messages to the host. It shares no code with the
// unit API library: it is written from the wire format only.
//
// Status flags (bits 0 to 3 of the status byte), set by the unit and cleared by
// ClearStatusFlags (0x12) and ResetChannel (0x02):
//   bit 0  buffer overrun: a block completed while no buffer was free
//   bit 1  packet lost: the packet counter jumped (a gap in the data stream)
//   bit 2  malformed packet: a data header failed a check
//   bit 3  incomplete frame: a frame ended (or was abandoned) with data missing
//
// Reply codes of the emulated unit besides the command's own code:
//   0x8001 unknown command, 0x8002 request length wrong for its command,
//   0x8004 channel not offered by this unit.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace qtusim {

inline constexpr uint16_t kReplyUnknownCommand = 0x8001;
inline constexpr uint16_t kReplyBadLength = 0x8002;
inline constexpr uint16_t kReplyChannelNotOffered = 0x8004;

inline constexpr uint8_t kFlagOverrun = 0x01;
inline constexpr uint8_t kFlagPacketLost = 0x02;
inline constexpr uint8_t kFlagMalformed = 0x04;
inline constexpr uint8_t kFlagIncompleteFrame = 0x08;

// Injected misbehaviour of the unit. Every fault leaves the unit's own state
// as if it had answered normally: a dropped reply still carries out its command.
struct Faults {
  double dropReplyShare = 0;                 // 0..1: share of replies not sent
  unsigned replyDelayMs = 0;                 // every reply goes out this late
  std::map<uint16_t, uint16_t> answerWith;   // request command -> reply code used instead
  bool stopStatus = false;                   // no status messages at all
};

struct Config {
  std::string bind = "127.0.0.1";
  uint16_t controlPort = 0;         // 0: pick a free port; read back with UnitSim::controlPort()
  uint16_t dataBasePort = 0;        // 0: pick N consecutive free ports
  int channels = 1;                 // 1..256
  uint32_t capacity = 64;           // buffers per channel
  unsigned statusPeriodMs = 10;     // period of unsolicited status messages; 0: only when buffers come back
  double drainBlocksPerSecond = 0;  // 0 or infinity: buffers come back at once
  std::string saveFramesDir;        // empty: do not save; else ch<N>_frame<K>.raw per complete frame
  unsigned savePngBits = 0;         // 8 or 16: also write ch<N>_frame<K>.png (mono, width lineSize/bytes)
  uint64_t seed = 1;                // seeds the reply-drop choice
  bool coalesceReceives = true;     // UDP_GRO on the data sockets, split back into datagrams
  std::string capturePath;          // non-empty: a pcap file of every datagram received and sent
  Faults faults;
};

struct ChannelReport {
  // Data stream.
  uint64_t framesComplete = 0;
  uint64_t framesIncomplete = 0;
  uint64_t blocks = 0;             // complete blocks
  uint64_t blocksIncomplete = 0;
  uint64_t packets = 0;            // datagrams received on the channel's port
  uint64_t receiveBuffers = 0;     // receive buffers they came in (fewer when coalesced)
  uint64_t counterGaps = 0;        // times the packet counter jumped
  uint64_t packetsMissing = 0;     // packets skipped by those jumps
  uint64_t headerErrors = 0;       // datagrams failing a header check
  uint64_t bytes = 0;              // data bytes of accepted packets
  uint64_t overruns = 0;           // blocks that completed with no buffer free
  uint16_t lastPacketCounter = 0;  // last packet counter taken in (sent in status)
  // Control state as the host set it.
  uint64_t startTime = 0, stopTime = 0, offset = 0;
  uint16_t lineSize = 0, lineCount = 0;
  bool outputEnabled = false, replayEnabled = false;
  uint8_t statusFlags = 0;
  // Buffer model and messages.
  uint32_t capacity = 0;
  uint32_t freeBuffers = 0;
  uint64_t requests = 0;           // well-formed control requests for this channel
  uint64_t statusSent = 0;
  uint64_t resets = 0;
};

class UnitSim {
 public:
  explicit UnitSim(Config config);
  ~UnitSim();
  UnitSim(const UnitSim&) = delete;
  UnitSim& operator=(const UnitSim&) = delete;

  void start();  // threads running, sockets bound; throws std::runtime_error on bind failure
  void stop();   // idempotent; also in the destructor

  uint16_t controlPort() const;
  uint16_t dataBasePort() const;
  int channelCount() const;

  ChannelReport channel(int index) const;
  nlohmann::json reportJson() const;  // the same JSON as --report-json

  // Waits (bounded) until predicate(channel(i)) holds; false on time-out.
  bool waitFor(int channel, std::function<bool(const ChannelReport&)> predicate,
               std::chrono::milliseconds limit) const;

  std::vector<std::vector<uint8_t>> controlLog() const;  // every control datagram received, in order
  uint64_t malformedControl() const;  // control datagrams dropped for a bad header
  uint64_t capturedPackets() const;   // datagrams written to the capture file
  int dataReceiveBufferBytes() const; // receive buffer the system granted a data socket

  void setFaults(const Faults& faults);  // replaces the faults while running
  void sendStatusNow(int channel);       // one status message now (if the channel has a host)

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Parses "--drain" text: a number of blocks per second, or "inf".
double parseDrain(const std::string& text);

}  // namespace qtusim
