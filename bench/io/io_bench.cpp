// Hand-off rate of an output ring: one writer (the benchmark thread) and one
// never-skipping reader on another thread, for small and large elements. The
// writer does not fill the data: only the hand-off is measured. The peer is a
// plain queue of pointers to the same elements under a mutex and two
// condition variables (free and full), measured in the same run.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_engine.h"
#include "test_components.h"

namespace {

constexpr std::int32_t kFifo = 16;

struct Models {
  Models() {
    writer.record.outputs = outputs;
    reader.record.inputs = inputs;
  }
  const VTROTypeFilter filter{0, 0, VTRO_TYPE_BYTE_STREAM, nullptr, {0, 0, 0}};
  VTROOutputDefinition outputs[2] = {{"out", nullptr, VTRO_TYPE_BYTE_STREAM, nullptr, nullptr, 2, kFifo, 1, 1}, {}};
  VTROInputDefinition inputs[2] = {{"in", nullptr, &filter, NeverSkippingReader, 1}, {}};
  vtro_test::TestDefinition writer{"BenchWriter", VTRO_THREADING_SEQUENTIAL, 0};
  vtro_test::TestDefinition reader{"BenchReader"};  // threaded: StartReading waits
};

void BM_OutputRing(benchmark::State& state) {
  vtro_test::FakeEngine& engine = vtro_test::Engine();
  static Models models;
  const auto bytes = static_cast<std::int32_t>(state.range(0));
  std::unique_ptr<VTROComponent> writer(models.writer.record.factory("bw", &models.writer.record));
  std::unique_ptr<VTROComponent> reader(models.reader.record.factory("br", &models.reader.record));
  VTROOutput* output = writer->Output("out");
  VTROInput* input = reader->Input("in");
  engine.Connect(output, input);
  writer->EngineStart();
  output->FreeBuffer();
  output->AllocOutputBuffer(bytes, 1);
  const std::int64_t total = state.max_iterations;
  std::thread consumer([&] {
    for (std::int64_t i = 0; i < total; ++i) {
      benchmark::DoNotOptimize(input->StartReading());
      input->StopReading();
    }
  });
  for (auto _ : state) {
    VTROIOElt* element = output->StartWriting();
    element->SetVectorSize(bytes);
    output->StopWriting(element, false);
  }
  consumer.join();
  state.SetItemsProcessed(state.iterations());
  writer->EngineStop();
  input->Disconnect();
}

// Free and full queues of pointers to preallocated elements.
class PointerQueue {
 public:
  void Push(void* element) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_items.push_back(element);
    }
    m_ready.notify_one();
  }
  void* Pop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ready.wait(lock, [this] { return !m_items.empty(); });
    void* element = m_items.front();
    m_items.pop_front();
    return element;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_ready;
  std::deque<void*> m_items;
};

void BM_MutexQueue(benchmark::State& state) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  std::vector<std::unique_ptr<char[]>> storage;
  PointerQueue free;
  PointerQueue full;
  for (int i = 0; i < kFifo; ++i) {
    storage.emplace_back(new char[bytes]);
    free.Push(storage.back().get());
  }
  const std::int64_t total = state.max_iterations;
  std::thread consumer([&] {
    for (std::int64_t i = 0; i < total; ++i) free.Push(full.Pop());
  });
  for (auto _ : state) full.Push(free.Pop());
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}

// A fixed count per run, so that the reader knows how many elements come.
BENCHMARK(BM_OutputRing)->Arg(16)->Arg(4 << 20)->Iterations(200000)->Repetitions(3)->UseRealTime();
BENCHMARK(BM_MutexQueue)->Arg(16)->Arg(4 << 20)->Iterations(200000)->Repetitions(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
