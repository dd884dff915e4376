// A loopback relay in front of the emulated unit's data port: it records the
// header and payload of every data datagram the client sends and passes the
// datagram on unchanged, so the unit still reassembles, checks and credits
// the stream. Tests read back blocks and frames as the unit saw them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace unit_client_test {

struct TappedPacket {
  std::uint16_t frameCounter;
  std::uint16_t lineIndex;
  std::uint8_t flags;
  std::uint16_t packetCounter;
  std::uint64_t timestamp;
  std::vector<std::uint8_t> payload;  // kept when payloads are kept
  std::uint16_t payloadLength;
};

// One block as reassembled from its packets.
struct TappedBlock {
  std::uint16_t frameCounter;
  std::uint16_t lineIndex;
  std::uint64_t timestamp;
  std::vector<std::uint8_t> bytes;
  std::size_t length;
};

class DataTap {
 public:
  // Relays to 127.0.0.1:`unitDataPort`; `keepPayloads` keeps the data bytes.
  DataTap(std::uint16_t unitDataPort, bool keepPayloads);
  ~DataTap();
  DataTap(const DataTap&) = delete;
  DataTap& operator=(const DataTap&) = delete;

  std::uint16_t Port() const { return port_; }
  std::vector<TappedPacket> Packets() const;
  // Consecutive packets of one (frame counter, line index) up to the packet
  // that closes the block (flag 0x40 or 0xC0).
  std::vector<TappedBlock> Blocks() const;

 private:
  void Run();
  int socket_ = -1;
  int out_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t unitPort_;
  bool keep_;
  std::atomic<bool> stop_{false};
  mutable std::mutex lock_;
  std::vector<TappedPacket> packets_;
  std::thread thread_;
};

}  // namespace unit_client_test
