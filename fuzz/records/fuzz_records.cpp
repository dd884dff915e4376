// qtu-records on arbitrary file bytes: the record file listed as JSON lines
// and written as pcap, and the same bytes read as a pcap capture. Bad input
// may only end in InputError. A capture that reads must round-trip: its
// records list without error, one per packet, and written back as pcap they
// give the same frames (cut only where a frame is longer than a pcap record
// of the containers holds), which read again give the same records; a
// capture with a time that a pcap file cannot hold once it is a record (its
// microseconds field above a second, past 2106) is refused when written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "qtu/containers/ethernet_container.h"
#include "records.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<std::uint32_t>(p[3]) << 24;
}

std::vector<std::uint8_t> bytesOf(const std::ostringstream& out) {
  const std::string s = out.str();
  return {s.begin(), s.end()};
}

// The frames of a capture the harness knows to be well formed (native byte
// order, as WritePcap writes it), or of the input once ReadPcap accepted it.
std::vector<std::vector<std::uint8_t>> framesOf(const std::vector<std::uint8_t>& pcap, bool swapped) {
  std::vector<std::vector<std::uint8_t>> frames;
  for (std::size_t at = 24; at + 16 <= pcap.size();) {
    std::uint32_t captured = le32(pcap.data() + at + 8);
    if (swapped) captured = __builtin_bswap32(captured);
    at += 16;
    frames.emplace_back(pcap.begin() + static_cast<std::ptrdiff_t>(at),
                        pcap.begin() + static_cast<std::ptrdiff_t>(at + captured));
    at += captured;
  }
  return frames;
}

template <typename F>
bool readable(F&& f) {
  try {
    f();
    return true;
  } catch (const qtu::records::InputError&) {
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qtu::records;
  const std::span<const std::uint8_t> in(data, size);
  {
    std::ostringstream listing, pcap;
    std::size_t listed = 0;
    const bool lists = readable([&] { listed = ListRecords(in, listing); });
    PcapSummary summary;
    const bool converts = readable([&] { summary = WritePcap(in, pcap, (size & 1) != 0); });
    // Both walk the same records (the pcap writer does not look inside the
    // records it skips, so a file may convert and yet not list).
    if (converts && lists) check(summary.frames + summary.skipped == listed);
  }

  std::ostringstream records;
  std::size_t packets = 0;
  if (!readable([&] { packets = ReadPcap(in, records); })) return 0;
  const std::vector<std::uint8_t> first = bytesOf(records);
  std::ostringstream listing;
  check(ListRecords(first, listing) == packets);

  // Times a pcap file cannot hold (past its 32-bit seconds) are refused.
  const bool swapped = le32(data) != 0xa1b2c3d4u && le32(data) != 0xa1b23c4du;
  const bool nano = le32(data) == 0xa1b23c4du || le32(data) == 0x4d3cb2a1u;
  bool representable = true;
  for (std::size_t at = 24; at + 16 <= size;) {
    const auto field = [&](std::size_t o) { return swapped ? __builtin_bswap32(le32(data + at + o)) : le32(data + at + o); };
    const std::uint64_t micros = std::uint64_t{field(0)} * 1000000 + (nano ? field(4) / 1000 : field(4));
    representable = representable && micros <= std::uint64_t{0xFFFFFFFF} * 1000000 + 999999;
    at += 16 + field(8);
  }
  std::ostringstream pcap;
  PcapSummary summary;
  const bool writes = readable([&] { summary = WritePcap(first, pcap, false); });
  check(writes == representable);
  if (!writes) return 0;
  check(summary.frames == packets && summary.skipped == 0);
  const auto original = framesOf({data, data + size}, swapped);
  const auto written = framesOf(bytesOf(pcap), false);
  check(original.size() == packets && written.size() == packets);
  const std::size_t cutAt = qtu::containers::kPcapMaxPayload + 14;
  std::size_t cut = 0;
  for (std::size_t i = 0; i < packets; ++i) {
    const auto& a = original[i];
    const auto& b = written[i];
    if (a.size() > cutAt) {
      ++cut;
      check(b.size() == cutAt && std::memcmp(a.data(), b.data(), cutAt) == 0);
    } else {
      check(a == b);
    }
  }
  check(cut == summary.cut);

  std::ostringstream again;
  check(ReadPcap(bytesOf(pcap), again) == packets);
  if (cut == 0) check(bytesOf(again) == first);
  return 0;
}
