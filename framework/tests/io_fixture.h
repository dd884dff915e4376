// Writer and reader components for the I/O tests: a writer with an int64
// output "out" (FIFO size from its property) and readers with one input "in"
// of a chosen reader type, connected through the fake engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_engine.h"
#include "test_components.h"

namespace vtro_test {

struct IoModels {
  IoModels() {
    writer.record.outputs = outputs;
    for (int type = 0; type < 5; ++type) {
      readers[type].record.inputs = inputs[type];
      threadedReaders[type].record.inputs = inputs[type];
    }
  }
  const VTROTypeFilter filter{0, 0, VTRO_TYPE_INT64, nullptr, {0, 0, 0}};
  VTROOutputDefinition outputs[2] = {{"out", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 1, 4, 1, 1}, {}};
  VTROInputDefinition inputs[5][2] = {{{"in", nullptr, &filter, FifoReader, 1}, {}},
                                      {{"in", nullptr, &filter, NeverSkippingReader, 1}, {}},
                                      {{"in", nullptr, &filter, LastOrNextReader, 1}, {}},
                                      {{"in", nullptr, &filter, Wait4NextReader, 1}, {}},
                                      {{"in", nullptr, &filter, SamplingReader, 1}, {}}};
  TestDefinition writer{"Writer", VTRO_THREADING_SEQUENTIAL, 0};
  TestDefinition readers[5] = {
      TestDefinition{"Reader0", VTRO_THREADING_SEQUENTIAL, 0}, TestDefinition{"Reader1", VTRO_THREADING_SEQUENTIAL, 0},
      TestDefinition{"Reader2", VTRO_THREADING_SEQUENTIAL, 0}, TestDefinition{"Reader3", VTRO_THREADING_SEQUENTIAL, 0},
      TestDefinition{"Reader4", VTRO_THREADING_SEQUENTIAL, 0}};
  TestDefinition threadedReaders[5] = {TestDefinition{"TReader0"}, TestDefinition{"TReader1"}, TestDefinition{"TReader2"},
                                       TestDefinition{"TReader3"}, TestDefinition{"TReader4"}};
};

class IoTest : public ::testing::Test {
 protected:
  void SetUp() override { engine = &Engine(); }
  void TearDown() override {
    for (auto& component : components) {
      if ((component->State() & VTRO_STATE_DEAD) == 0) component->EngineStop();
    }
    engine->WaitForDeliveries(5000);
    // Last made first: readers before their writers.
    while (!components.empty()) components.pop_back();
  }
  TestComponent* Make(const char* name, TestDefinition& definition) {
    components.emplace_back(static_cast<TestComponent*>(definition.record.factory(name, &definition.record)));
    return components.back().get();
  }
  // A started writer whose ring holds `fifo` elements.
  TestComponent* Writer(const char* name = "w", std::int64_t fifo = 4) {
    TestComponent* writer = Make(name, models.writer);
    writer->core = [](TestComponent&) {};
    writer->SetIntegerValue(writer->Property("out.fifosize"), fifo);
    writer->EngineStart();
    return writer;
  }
  TestComponent* Reader(const char* name, std::int32_t type, TestComponent* writer, bool threaded = false) {
    TestComponent* reader = Make(name, threaded ? models.threadedReaders[type] : models.readers[type]);
    EXPECT_TRUE(engine->Connect(writer->Output("out"), reader->Input("in")));
    return reader;
  }
  // Writes one value (timestamp 0: the time of StopWriting).
  static void Write(TestComponent* writer, std::int64_t value, std::int64_t timestamp = 0) {
    VTROIOElt* element = writer->StartWriting(writer->Output("out"));
    *static_cast<std::int64_t*>(element->Data()) = value;
    element->SetTimestamp(timestamp);
    writer->StopWriting(element, false);
  }
  // Reads one value without waiting (sequential reader): -1 when none.
  static std::int64_t ReadNow(VTROInput* input) {
    VTROIOElt* element = input->StartReading();
    if (element == nullptr) return -1;
    const std::int64_t value = *static_cast<std::int64_t*>(element->Data());
    input->StopReading();
    return value;
  }
  static bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  FakeEngine* engine = nullptr;
  IoModels models;
  std::vector<std::unique_ptr<TestComponent>> components;
};

}  // namespace vtro_test
