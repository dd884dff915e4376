// Inputs and outputs through real rings: the reader types' sequences, the
// never-skipping readers holding the writer back, subsampling, stops of
// blocked readers and writers, timestamps, start/stop/start, connections.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "io_fixture.h"
#include "VTROOutputRing.h"
#include "test_support.h"
#include "vtro/vtro_io_access.h"

namespace vtro_test {
namespace {

using Values = std::vector<std::int64_t>;

TEST_F(IoTest, EachReaderTypeTakesItsSequence) {
  // "wN" writes the next N values (1, 2, ...), "r" reads one (-1: nothing).
  struct Case {
    std::int32_t type;
    const char* script;
    Values read;
  };
  const Case cases[] = {
      {FifoReader, "w3 r r r r", {1, 2, 3, -1}},
      {FifoReader, "w6 r r r r r", {3, 4, 5, 6, -1}},  // a FIFO of 4 lost the two oldest
      {NeverSkippingReader, "w3 r w2 r r r r r", {1, 2, 3, 4, 5, -1}},
      {LastOrNextReader, "w3 r r w2 r", {3, -1, 5}},
      {Wait4NextReader, "w2 r r r", {1, 2, -1}},  // sequential: the ones after its last read
      {SamplingReader, "r w2 r r w1 r", {-1, 2, 2, 3}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.script);
    engine->SetDelivery(false);
    TestComponent* writer = Writer("w", 4);
    VTROInput* input = Reader("r", each.type, writer)->Input("in");
    std::int64_t next = 1;
    Values read;
    std::istringstream script(each.script);
    for (std::string step; script >> step;) {
      if (step == "r") {
        read.push_back(ReadNow(input));
      } else {
        for (int i = std::stoi(step.substr(1)); i > 0; --i) Write(writer, next++);
      }
    }
    EXPECT_EQ(read, each.read);
    EXPECT_FALSE(input->HasUnreadData());
    // A sampling reader still finds the newest element, read or not.
    EXPECT_EQ(input->DataAvailable(), each.type == SamplingReader);
    TearDown();
  }
}

TEST_F(IoTest, AnElementAReaderHoldsIsNotReused) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 2);
  VTROInput* input = Reader("r", FifoReader, writer)->Input("in");
  Write(writer, 1);
  VTROIOElt* held = input->StartReading();
  ASSERT_NE(held, nullptr);
  for (std::int64_t value = 2; value <= 9; ++value) Write(writer, value);
  EXPECT_EQ(*static_cast<std::int64_t*>(held->Data()), 1);
  input->StopReading();
  EXPECT_EQ(ReadNow(input), 9);  // the one other element held the newest
  EXPECT_EQ(writer->Output("out")->FreeElementCount(), 1);  // the newest stays published
}

TEST_F(IoTest, NeverSkippingReaderHoldsTheWriterBackAndLosesNothing) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 2);
  VTROInput* input = Reader("r", NeverSkippingReader, writer)->Input("in");
  std::atomic<int> written{0};
  std::thread producer([&] {
    for (std::int64_t value = 1; value <= 8; ++value) {
      Write(writer, value);
      ++written;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return written.load() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(written.load(), 2);  // the ring is full of unread elements
  Values read;
  while (read.size() < 8) {
    const std::int64_t value = ReadNow(input);
    if (value >= 0) read.push_back(value);
  }
  producer.join();
  EXPECT_EQ(read, (Values{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(IoTest, StopEndsABlockedWriterAndABlockedReaderAtOnce) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 1);
  Reader("r", NeverSkippingReader, writer);
  Write(writer, 1);
  std::atomic<int> raised{0};
  std::thread producer([&] { raised = Raised([&] { Write(writer, 2); }); });
  // Stopped only once it waits for the reader: a writer that starts after
  // the stop meets a stopped output, not a stop.
  const auto* ring = static_cast<const VTROOutputRing*>(writer->Output("out")->Ring());
  EXPECT_TRUE(WaitUntil([&] { return ring->WriterWaiting(); }));
  EXPECT_EQ(raised.load(), 0);
  const auto begin = std::chrono::steady_clock::now();
  writer->EngineStop();
  producer.join();
  EXPECT_EQ(raised.load(), VTRO::StopException);

  // A threaded reader waiting for data (and one waiting for a connection).
  TestComponent* other = Writer("w2", 4);
  TestComponent* connected = Reader("tr", FifoReader, other, true);
  TestComponent* unconnected = Make("tu", models.threadedReaders[FifoReader]);
  for (TestComponent* reader : {connected, unconnected}) {
    reader->core = [](TestComponent& self) { self.StartReading(self.Input("in")); };
    reader->EngineStart();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  connected->EngineStop();
  unconnected->EngineStop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_EQ(connected->LogEntries().back(), "Death");
  EXPECT_EQ(unconnected->LogEntries().back(), "Death");
  EXPECT_EQ(engine->CountReportsContaining("died"), 0);
}

TEST_F(IoTest, ThreadedReadersWaitForTheirElement) {
  TestComponent* writer = Writer("w", 8);
  Write(writer, 1);
  Write(writer, 2);
  struct Case {
    std::int32_t type;
    Values read;
  };
  // Started after two writes, each reader reads twice; 3 and 4 come later.
  const Case cases[] = {{Wait4NextReader, {3, 4}}, {FifoReader, {3, 4}}, {SamplingReader, {2, 2}}};
  std::vector<TestComponent*> readers;
  std::vector<std::shared_ptr<std::vector<std::int64_t>>> logs;
  for (const Case& each : cases) {
    TestComponent* reader = Reader(("t" + std::to_string(each.type)).c_str(), each.type, writer, true);
    auto log = std::make_shared<std::vector<std::int64_t>>();
    reader->core = [log](TestComponent& self) {
      if (log->size() < 2) {
        VTRO::InputGuard<std::int64_t> in(&self, self.Input("in"));
        log->push_back(*in.Data());
      } else {
        self.Rest(1000000);
      }
    };
    readers.push_back(reader);
    logs.push_back(log);
  }
  // The pauses let the wait-for-next reader reach its call before each write.
  for (TestComponent* reader : readers) reader->EngineStart();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Write(writer, 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Write(writer, 4);
  for (std::size_t i = 0; i < readers.size(); ++i) {
    ASSERT_TRUE(WaitUntil([&] { return readers[i]->coreCalls.load() >= 3; })) << i;
    readers[i]->EngineStop();
    EXPECT_EQ(*logs[i], cases[i].read) << cases[i].type;
  }
}

TEST_F(IoTest, SubsamplingOfInputsAndOutputs) {
  engine->SetDelivery(false);
  // Output subsampling 3: two of three written elements never reach a reader.
  TestComponent* writer = Make("w", models.writer);
  writer->core = [](TestComponent&) {};
  writer->SetIntegerValue(writer->Property("out.subsampling"), 3);
  writer->SetIntegerValue(writer->Property("out.fifosize"), 16);
  writer->EngineStart();
  VTROInput* input = Reader("r", FifoReader, writer)->Input("in");
  for (std::int64_t value = 1; value <= 9; ++value) Write(writer, value);
  EXPECT_EQ((Values{ReadNow(input), ReadNow(input), ReadNow(input), ReadNow(input)}), (Values{3, 6, 9, -1}));
  EXPECT_EQ(writer->Output("out")->WrittenCount(), 9u);
  EXPECT_EQ(writer->Output("out")->PublishedCount(), 3u);

  // Input subsampling 3 of a threaded FIFO reader: every third element.
  TestComponent* source = Writer("w2", 16);
  TestComponent* reader = Reader("tr", FifoReader, source, true);
  reader->SetIntegerValue(reader->Property("in.subsampling"), 3);
  Values read;
  reader->core = [&](TestComponent& self) {
    if (read.size() < 3) {
      VTRO::InputGuard<std::int64_t> in(&self, self.Input("in"));
      read.push_back(*in.Data());
    } else {
      self.Rest(1000000);
    }
  };
  for (std::int64_t value = 1; value <= 9; ++value) Write(source, value);
  reader->EngineStart();
  ASSERT_TRUE(WaitUntil([&] { return reader->coreCalls.load() >= 4; }));
  reader->EngineStop();
  EXPECT_EQ(read, (Values{3, 6, 9}));
}

TEST_F(IoTest, SequentialStepsCallCoreForWhatTheReaderTakes) {
  struct Case {
    std::int32_t type;
    std::int64_t subsampling;
    Values cored;
  };
  const Case cases[] = {
      {FifoReader, 3, {3, 6, 9}},
      {SamplingReader, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {NeverSkippingReader, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.type);
    TestComponent* writer = Writer("w", 16);
    TestComponent* reader = Reader("r", each.type, writer);
    reader->SetIntegerValue(reader->Property("in.subsampling"), each.subsampling);
    Values cored;
    reader->core = [&](TestComponent& self) {
      VTRO::InputGuard<std::int64_t> in(&self, self.Input("in"));
      if (in) cored.push_back(*in.Data());
    };
    reader->EngineStart();
    // One element at a time, each delivered on the engine's thread.
    for (std::int64_t value = 1; value <= 9; ++value) {
      Write(writer, value);
      ASSERT_TRUE(engine->WaitForDeliveries(5000));
    }
    EXPECT_EQ(cored, each.cored);
    TearDown();
  }
}

TEST_F(IoTest, SequentialStepGoesOnWhileCoreTakesElements) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 8);
  TestComponent* reader = Reader("r", FifoReader, writer);
  Values cored;
  // The guard gives the element back itself, inside Core.
  reader->core = [&](TestComponent& self) {
    VTRO::InputGuard<std::int64_t> in(&self, self.Input("in"));
    if (in) cored.push_back(*in.Data());
  };
  reader->EngineStart();
  for (std::int64_t value = 1; value <= 5; ++value) Write(writer, value);
  reader->SequentialStep(reader->Input("in"));
  EXPECT_EQ(cored, (Values{1, 2, 3, 4, 5}));
  EXPECT_EQ(reader->coreCalls.load(), 5);
}

TEST_F(IoTest, TimestampsDefaultToTheTimeOfIssue) {
  engine->SetDelivery(false);
  engine->AdvanceClock(5000000);
  TestComponent* writer = Writer("w", 4);
  VTROInput* input = Reader("r", FifoReader, writer)->Input("in");
  Write(writer, 1);
  Write(writer, 2, 1234);
  for (std::int64_t stamp : {std::int64_t{0}, std::int64_t{1234}}) {
    VTROIOElt* element = input->StartReading();
    ASSERT_NE(element, nullptr);
    EXPECT_GE(element->TimeOfIssue(), 5000000);
    EXPECT_EQ(element->Timestamp(), stamp == 0 ? element->TimeOfIssue() : stamp);
    input->StopReading();
  }
}

TEST_F(IoTest, StartStopStartCarriesElementsEachRun) {
  TestComponent* writer = Writer("w", 4);
  TestComponent* reader = Reader("r", FifoReader, writer, true);
  std::atomic<std::int64_t> sum{0};
  reader->core = [&](TestComponent& self) {
    VTRO::InputGuard<std::int64_t> in(&self, self.Input("in"));
    sum += *in.Data();
  };
  for (int run = 0; run < 3; ++run) {
    if (run > 0) writer->EngineStart();
    reader->EngineStart();
    sum = 0;
    for (std::int64_t value = 1; value <= 4; ++value) Write(writer, value);
    ASSERT_TRUE(WaitUntil([&] { return sum.load() == 10; })) << run;
    reader->EngineStop();
    writer->EngineStop();
    EXPECT_FALSE(writer->Output("out")->IsAllocated());
    EXPECT_TRUE(reader->Input("in")->IsConnected());
  }
  EXPECT_EQ(engine->CountReports("Component r is dead."), 3);
}

TEST_F(IoTest, ReaderTypePropertySwitchesWithinTheFifoFamilyAfterARename) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 4);
  TestComponent* reader = Reader("r", FifoReader, writer);
  reader->Rename("r", "renamed");
  VTROInput* input = reader->Input("in");
  reader->SetIntegerValue(reader->Property("in.readerType"), LastOrNextReader);
  EXPECT_EQ(input->ReaderType(), LastOrNextReader);
  Write(writer, 1);
  Write(writer, 2);
  EXPECT_EQ(ReadNow(input), 2);
  EXPECT_EQ(Raised([&] { reader->SetIntegerValue(reader->Property("in.readerType"), SamplingReader); }),
            VTRO::ErrorException);
  EXPECT_EQ(input->ReaderType(), LastOrNextReader);
  EXPECT_EQ(reader->GetIntegerProperty("in.readerType"), LastOrNextReader);
  // Sampling readers keep their type; the component operation says so.
  TestComponent* sampler = Reader("s", SamplingReader, writer);
  EXPECT_FALSE(sampler->SetReaderType(sampler->Input("in"), FifoReader));
  EXPECT_TRUE(reader->SetReaderType(input, NeverSkippingReader));
  EXPECT_EQ(reader->GetIntegerProperty("in.readerType"), NeverSkippingReader);
}

TEST_F(IoTest, RemovedEndsLeaveTheirPeers) {
  engine->SetDelivery(false);
  TestComponent* writer = Writer("w", 4);
  TestComponent* reader = Reader("r", FifoReader, writer);
  VTROOutput* output = writer->Output("out");
  EXPECT_EQ(output->ReaderCount(), 1);
  components.pop_back();  // the reader goes: it leaves the output first
  EXPECT_EQ(output->ReaderCount(), 0);
  Write(writer, 1);  // nobody to tell

  reader = Reader("r2", FifoReader, writer);
  VTROInput* input = reader->Input("in");
  writer->EngineStop();
  std::swap(components.front(), components.back());
  components.pop_back();  // the writer goes first now
  EXPECT_FALSE(input->IsConnected());
  EXPECT_EQ(ReadNow(input), -1);
}

}  // namespace
}  // namespace vtro_test
