// qtu-records: files of container records laid back to back, listed as JSON
// lines and converted to and from pcap captures.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace qtu::records {

// Bad input; the text names the record (or pcap packet) and its offset.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The output stream refused the data (a full disk, a closed device).
class OutputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Calls `visit(offset, record, length)` for each record of `data`, where
// `length` is the stored record length. Throws InputError naming the offset
// when a record does not fit or its lengths disagree.
void ForEachRecord(std::span<const uint8_t> data,
                   const std::function<void(uint64_t offset, const uint8_t* record, size_t length)>& visit);

// One listing object: offset, type, timestamp, lengths, and what the record
// carries (Ethernet addresses, ports and SOME/IP messages, SOME/IP headers,
// CAN and LIN identifiers). Problems inside a frame go to an "error" member.
nlohmann::json DescribeRecord(uint64_t offset, const uint8_t* record, size_t length);

// Prints one JSON object per line and record; returns the number of records.
size_t ListRecords(std::span<const uint8_t> data, std::ostream& out);

struct PcapSummary {
  size_t frames = 0;   // Ethernet records written
  size_t skipped = 0;  // records of other kinds
  size_t cut = 0;      // frames cut to the largest pcap record
};

// Writes a pcap capture (link type Ethernet) of the Ethernet records in `data`.
// Throws InputError for a record whose lengths do not fit or whose time lies
// before 1970 or past the 32-bit seconds of a pcap file.
PcapSummary WritePcap(std::span<const uint8_t> data, std::ostream& out, bool skipVlan);

// Turns an Ethernet pcap capture into Ethernet container records; returns the
// number of records written. Throws InputError naming the packet's offset.
size_t ReadPcap(std::span<const uint8_t> pcap, std::ostream& out);

}  // namespace qtu::records
