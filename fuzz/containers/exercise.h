// Runs one input through CreateContainer with every accessor, and through
// ParseSOMEIPMessages. Shared by the fuzz target and by the regression test
// that replays the corpus and every input that once failed.
//
// Bad input may only end in std::runtime_error; any other exception escapes
// and a broken invariant traps, so both show up as failures.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "qtu/containers/container.h"
#include "qtu/containers/ethernet_container.h"
#include "qtu/containers/someip.h"

namespace qtu::containers::fuzzing {

#define QTU_FUZZ_CHECK(cond) \
  do {                       \
    if (!(cond)) __builtin_trap(); \
  } while (0)

template <typename F>
inline void Try(F&& f) {
  try {
    f();
  } catch (const std::runtime_error&) {
  }
}

inline void ExerciseEthernet(EthernetContainer& e) {
  for (bool skip : {false, true}) {
    Try([&] { (void)e.GetEtherType(skip); });
    Try([&] {
      const uint8_t* p = e.GetPayload(skip);
      const int64_t n = e.GetPayloadLength(skip);
      QTU_FUZZ_CHECK(n >= 0);
      volatile uint8_t sum = 0;
      for (int64_t i = 0; i < n; ++i) sum = sum + p[i];
    });
    Try([&] { (void)e.GetProtocol(skip); });
    Try([&] { (void)e.GetTransportHeader(skip); });
    Try([&] { (void)e.GetTransportLength(skip); });
    Try([&] {
      static thread_local PcapFrameRecord block;  // 64 KiB: not allocated per input
      PcapFrameRecord* rec = &block;
      rec->one = 0;
      e.ExportPcap(skip, *rec);
      QTU_FUZZ_CHECK(rec->capturedLength <= kPcapMaxPayload + 14 && rec->capturedLength <= rec->wireLength);
      QTU_FUZZ_CHECK(rec->one == 1);
    });
  }
  (void)e.GetMacAddress1();
  (void)e.GetMacAddress2();
  Try([&] { (void)e.GetIPVersion(); });
  Try([&] { (void)e.GetIPv4HeaderLength(); });
  Try([&] { (void)e.GetIPv4Source(); });
  Try([&] { (void)e.GetIPv4Destination(); });
  Try([&] { (void)e.GetIPv6Source(); });
  Try([&] { (void)e.GetIPv6Destination(); });
  Try([&] { (void)e.GetSourcePort(); });
  Try([&] { (void)e.GetDestinationPort(); });
  Try([&] { (void)e.GetUDPLength(); });
  Try([&] { (void)e.GetUDPPayload(); });
  Try([&] {
    const auto messages = e.GetSOMEIPMessages();
    const auto containers = SOMEIPContainersFromMessages(messages);
    QTU_FUZZ_CHECK(containers.size() == messages.size());
  });
  Try([&] {
    std::vector<SOMEIPMessageView> views;
    e.GetSOMEIPMessageViews(views);
  });
  // Setters on an owning copy: the caller's input is never written.
  EthernetContainer copy(e);
  Try([&] { copy.SetIPv4Source({1, 2, 3, 4}); });
  Try([&] { copy.SetIPv4Destination({5, 6, 7, 8}); });
  Try([&] { copy.SetIPv6Source({}); });
  Try([&] { copy.SetIPv6Destination({}); });
  Try([&] { copy.SetSourcePort(0x1234); });
  Try([&] { copy.SetDestinationPort(0x5678); });
}

inline void ExerciseRecord(const uint8_t* data, size_t size, bool copy) {
  // An exact-size heap copy lets AddressSanitizer see any read past the end.
  std::unique_ptr<uint8_t[]> record(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(record.get(), data, size);
  std::unique_ptr<BaseContainer> c;
  try {
    c = CreateContainer(static_cast<const uint8_t*>(record.get()), size, copy);
  } catch (const std::runtime_error&) {
    return;
  }
  if (!c) return;
  QTU_FUZZ_CHECK(c->IsOfType());

  std::vector<uint8_t> written(c->RecordLength());
  QTU_FUZZ_CHECK(c->WriteRecord(written.data(), written.size()) == written.data() + written.size());
  std::vector<uint8_t> frame(c->FrameSize());
  QTU_FUZZ_CHECK(c->WriteFrame(frame.data(), frame.size()) == frame.data() + frame.size());
  // The written record reads back into the same record.
  auto again = CreateContainer(static_cast<const uint8_t*>(written.data()), written.size(), false);
  QTU_FUZZ_CHECK(again && again->RecordLength() == c->RecordLength());
  std::vector<uint8_t> rewritten(again->RecordLength());
  again->WriteRecord(rewritten.data(), rewritten.size());
  QTU_FUZZ_CHECK(rewritten == written);

  if (auto* e = dynamic_cast<EthernetContainer*>(c.get())) {
    ExerciseEthernet(*e);
    EthernetContainer moved(std::move(*e));
    ExerciseEthernet(moved);
    ExerciseEthernet(*e);  // the moved-from container stays usable
  }
}

inline void ExerciseSomeIp(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size == 0 ? 1 : size]);
  if (size != 0) std::memcpy(copy.get(), data, size);
  Try([&] {
    const auto messages = ParseSOMEIPMessages(copy.get(), size, 1);
    size_t total = 0;
    for (const auto& m : messages) total += m.payload.size() + 16;
    QTU_FUZZ_CHECK(total <= size);
  });
}

inline void ExerciseAll(const uint8_t* data, size_t size) {
  ExerciseRecord(data, size, false);
  ExerciseRecord(data, size, true);
  ExerciseSomeIp(data, size);
}

}  // namespace qtu::containers::fuzzing
