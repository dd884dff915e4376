// Throughput of the container library on a recording-like mix of records:
// CreateContainer plus the Ethernet accessors and SOME/IP parsing, and the
// pcap export. A plain copy of the same bytes is measured beside them as the
// floor any record walk has to pay.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "qtu/containers/container.h"
#include "qtu/containers/ethernet_container.h"
#include "qtu/containers/someip.h"

namespace {

using namespace qtu::containers;
using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint16_t v) {
  b.push_back(uint8_t(v >> 8));
  b.push_back(uint8_t(v));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, uint16_t(v >> 16));
  Put16(b, uint16_t(v));
}

Bytes SomeIp(uint16_t service, size_t payload, bool tp) {
  Bytes m;
  Put16(m, service);
  Put16(m, 0x8001);
  Put32(m, static_cast<uint32_t>(8 + (tp ? 4 : 0) + payload));
  Put16(m, 1);
  Put16(m, 2);
  m.insert(m.end(), {1, 1, uint8_t(tp ? 0x22 : 0x02), 0});
  if (tp) Put32(m, 0x51);
  m.resize(m.size() + payload, 0x5A);
  return m;
}

Bytes Udp(const Bytes& payload) {
  Bytes u;
  Put16(u, 30501);
  Put16(u, 30502);
  Put16(u, static_cast<uint16_t>(8 + payload.size()));
  Put16(u, 0);
  u.insert(u.end(), payload.begin(), payload.end());
  return u;
}

Bytes Ipv4(uint8_t protocol, const Bytes& rest) {
  Bytes ip = {0x45, 0};
  Put16(ip, static_cast<uint16_t>(20 + rest.size()));
  ip.insert(ip.end(), {0, 0, 0x40, 0, 64, protocol, 0, 0, 10, 0, 0, 1, 10, 0, 0, 2});
  ip.insert(ip.end(), rest.begin(), rest.end());
  return ip;
}

Bytes Ipv6(uint8_t next, const Bytes& rest) {
  Bytes ip = {0x60, 0, 0, 0};
  Put16(ip, static_cast<uint16_t>(rest.size()));
  ip.insert(ip.end(), {next, 64});
  ip.resize(ip.size() + 32, 0xFD);
  ip.insert(ip.end(), rest.begin(), rest.end());
  return ip;
}

void AppendRecord(Bytes& out, uint8_t type, int64_t ts, size_t typeHeader, const Bytes& payload,
                  uint16_t etherType = 0) {
  ContainerHeader h{ts, type, static_cast<uint32_t>(17 + typeHeader + payload.size()),
                    static_cast<uint32_t>(payload.size())};
  const size_t at = out.size();
  out.resize(at + 17 + typeHeader);
  std::memcpy(out.data() + at, &h, sizeof h);
  if (type == 3) std::memcpy(out.data() + at + 17 + 12, &etherType, 2);
  out.insert(out.end(), payload.begin(), payload.end());
}

// About 20000 records: 30 % CAN, 10 % FlexRay and LIN, 60 % Ethernet, of which
// most are SOME/IP over UDP (some in a VLAN, some IPv6, some SOME/IP-TP
// segments of 1400 bytes) and the rest TCP.
struct Recording {
  Bytes data;
  std::vector<size_t> offsets;
  size_t ethernet = 0;
  size_t bytes() const { return data.size(); }
};

const Recording& Mix() {
  static const Recording recording = [] {
    Recording r;
    std::mt19937 rng(7);
    int64_t ts = 1700000000000000;
    for (int i = 0; i < 20000; ++i) {
      ts += 50;
      r.offsets.push_back(r.data.size());
      const unsigned pick = rng() % 100;
      if (pick < 30) {
        AppendRecord(r.data, 1, ts, 10, Bytes(8, 0x11));
      } else if (pick < 35) {
        AppendRecord(r.data, 2, ts, 15, Bytes(32, 0x22));
      } else if (pick < 40) {
        AppendRecord(r.data, 7, ts, 3, Bytes(4, 0x33));
      } else {
        ++r.ethernet;
        const unsigned kind = rng() % 100;
        if (kind < 45) {
          Bytes s;
          for (unsigned m = 0, n = 1 + rng() % 3; m < n; ++m) {
            const Bytes one = SomeIp(0x1000 + m, 8 + rng() % 120, false);
            s.insert(s.end(), one.begin(), one.end());
          }
          AppendRecord(r.data, 3, ts, 18, Ipv4(17, Udp(s)), kEtherTypeIPv4);
        } else if (kind < 60) {
          Bytes p = {0x20, 0x05, 0x08, 0x00};
          const Bytes ip = Ipv4(17, Udp(SomeIp(0x2000, 64, false)));
          p.insert(p.end(), ip.begin(), ip.end());
          AppendRecord(r.data, 3, ts, 18, p, kEtherTypeVlan);
        } else if (kind < 70) {
          AppendRecord(r.data, 3, ts, 18, Ipv6(17, Udp(SomeIp(0x3000, 200, false))), kEtherTypeIPv6);
        } else if (kind < 80) {
          AppendRecord(r.data, 3, ts, 18, Ipv4(17, Udp(SomeIp(0x4000, 1400, true))), kEtherTypeIPv4);
        } else {
          Bytes tcp(20 + 600, 0);
          tcp[12] = 0x50;
          AppendRecord(r.data, 3, ts, 18, Ipv4(6, tcp), kEtherTypeIPv4);
        }
      }
    }
    return r;
  }();
  return recording;
}

// What a reader of a recording does per Ethernet record.
int64_t Analyse(const EthernetContainer& e, std::vector<SOMEIPMessageView>& views) {
  int64_t sum = e.GetEtherType(true);
  const uint8_t version = e.GetIPVersion();
  if (version == 4) {
    sum += e.GetIPv4Source()[3] + e.GetIPv4Destination()[3];
  } else {
    sum += e.GetIPv6Source()[15] + e.GetIPv6Destination()[15];
  }
  const uint8_t protocol = e.GetProtocol(true);
  sum += e.GetSourcePort() + e.GetDestinationPort();
  if (protocol == kProtocolUDP) {
    e.GetSOMEIPMessageViews(views);
    for (const auto& m : views) sum += m.header.serviceId + static_cast<int64_t>(m.payloadSize);
  }
  return sum;
}

void BM_CreateContainerAndAnalyse(benchmark::State& state) {
  const Recording& r = Mix();
  std::vector<SOMEIPMessageView> views;
  for (auto _ : state) {
    int64_t sum = 0;
    for (size_t offset : r.offsets) {
      auto c = CreateContainer(r.data.data() + offset, r.data.size() - offset, false);
      if (auto* e = dynamic_cast<EthernetContainer*>(c.get())) sum += Analyse(*e, views);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * r.offsets.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * r.bytes()));
}
BENCHMARK(BM_CreateContainerAndAnalyse)->Unit(benchmark::kMillisecond);

// The same with SOME/IP messages copied out (ParseSOMEIPMessages).
void BM_CreateContainerAndCopyMessages(benchmark::State& state) {
  const Recording& r = Mix();
  for (auto _ : state) {
    int64_t sum = 0;
    for (size_t offset : r.offsets) {
      auto c = CreateContainer(r.data.data() + offset, r.data.size() - offset, false);
      auto* e = dynamic_cast<EthernetContainer*>(c.get());
      if (e == nullptr || e->GetProtocol(true) != kProtocolUDP) continue;
      for (const auto& m : e->GetSOMEIPMessages()) sum += m.header.serviceId + static_cast<int64_t>(m.payload.size());
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * r.offsets.size()));
}
BENCHMARK(BM_CreateContainerAndCopyMessages)->Unit(benchmark::kMillisecond);

// Ethernet records wrapped in place, without the factory's heap object.
void BM_InPlaceEthernetAnalyse(benchmark::State& state) {
  const Recording& r = Mix();
  std::vector<SOMEIPMessageView> views;
  for (auto _ : state) {
    int64_t sum = 0;
    for (size_t offset : r.offsets) {
      const uint8_t* record = r.data.data() + offset;
      if (record[8] != 3) continue;
      const EthernetContainer e(record, r.data.size() - offset, false);
      sum += Analyse(e, views);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * r.ethernet));
}
BENCHMARK(BM_InPlaceEthernetAnalyse)->Unit(benchmark::kMillisecond);

// Pcap export of every Ethernet record into one output buffer, as to-pcap does.
void BM_PcapExport(benchmark::State& state) {
  const Recording& r = Mix();
  std::vector<std::unique_ptr<BaseContainer>> frames;
  for (size_t offset : r.offsets) {
    auto c = CreateContainer(r.data.data() + offset, r.data.size() - offset, false);
    if (c->TypeCode() == 3) frames.push_back(std::move(c));
  }
  auto block = std::make_unique<PcapFrameRecord>();
  Bytes out(r.bytes() + frames.size() * 16);
  size_t written = 0;
  for (auto _ : state) {
    written = 0;
    for (const auto& c : frames) {
      static_cast<const EthernetContainer&>(*c).ExportPcap(state.range(0) != 0, *block);
      const size_t n = kPcapRecordHeaderSize + block->capturedLength;
      std::memcpy(out.data() + written, block.get(), n);
      written += n;
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * written));
}
BENCHMARK(BM_PcapExport)->Arg(0)->Arg(1)->ArgName("skip_vlan")->Unit(benchmark::kMillisecond);

// Floor: copying the recording's bytes once.
void BM_CopyRecordingBytes(benchmark::State& state) {
  const Recording& r = Mix();
  Bytes out(r.bytes());
  for (auto _ : state) {
    std::memcpy(out.data(), r.data.data(), r.bytes());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * r.offsets.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * r.bytes()));
}
BENCHMARK(BM_CopyRecordingBytes)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
