// Component threads: both CreateThread forms, the "C" numeric locale, the
// threads-finished bookkeeping, the priority handler, and property traffic
// while the component runs.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <cstring>
#include <locale.h>
#include <memory>
#include <thread>

#include "fake_engine.h"
#include "platform/vtro_platform.h"
#include "test_components.h"
#include "test_support.h"

namespace vtro_test {
namespace {

class Worker : public TestComponent {
 public:
  using TestComponent::TestComponent;
  std::atomic<std::uint32_t> workerThread{0};
  std::atomic<bool> cLocale{false};
  std::atomic<bool> ownLocale{false};
  std::atomic<int> loops{0};
  void Work() {
    workerThread = vtro::platform::CurrentThreadId();
    cLocale = std::strcmp(localeconv()->decimal_point, ".") == 0;
    ownLocale = uselocale(static_cast<locale_t>(0)) != LC_GLOBAL_LOCALE;
    while (true) {
      ++loops;
      Rest(1000);  // ends with 57005 on the stop
    }
  }
};

class Threads : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = &Engine();
    model.record.factory = [](const char* name, const VTROComponentDefinition* definition) -> VTROComponent* {
      return new Worker(name, definition);
    };
    component.reset(static_cast<Worker*>(model.record.factory("worker", &model.record)));
    engine->Reset();
  }
  void TearDown() override {
    if ((component->State() & VTRO_STATE_DEAD) == 0) component->EngineStop();
  }
  FakeEngine* engine = nullptr;
  TestDefinition model{"WorkerModel"};
  std::unique_ptr<Worker> component;
};

TEST_F(Threads, MemberThreadRunsBesideCoreWithTheCNumericLocaleAndIsJoinedAtStop) {
  component->birth = [](TestComponent& self) {
    static_cast<Worker&>(self).CreateThread(static_cast<VTROThreadFunction>(&Worker::Work));
  };
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  EXPECT_NE(component->workerThread.load(), 0u);  // started before CreateThread returned
  EXPECT_TRUE(component->cLocale.load());
  EXPECT_TRUE(component->ownLocale.load());
  EXPECT_EQ(component->RunningThreads(), 2);  // main thread and worker
  while (component->loops.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  component->EngineStop();
  EXPECT_EQ(component->RunningThreads(), 0);
  EXPECT_EQ(component->LogEntries().back(), "Death");
  EXPECT_EQ(engine->CountReportsContaining("still running"), 0);
  EXPECT_EQ(engine->CountReportsContaining("component thread"), 0);  // 57005 ends the thread quietly
}

TEST_F(Threads, FreeFunctionThreadNeedsTheEngineVersion) {
  static std::atomic<std::uint32_t> seen{0};
  auto run = [](void* argument) {
    seen = vtro::platform::CurrentThreadId();
    static_cast<std::atomic<bool>*>(argument)->store(true);
  };
  std::atomic<bool> ran{false};
  EXPECT_EQ(Raised([&] { component->CreateThread(run, &ran); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport(
      "component worker: This component needs to create a component thread that runs a non-member function. Your "
      "engine version does NOT support creating component threads that run non-member functions. Either update your "
      "engine to Vantro >= 4.7.0 or change this component's code to use "
      "VTROComponent::CreateThread(VTROThreadFunction) instead of VTROComponent::CreateThread(VTROThreadFreeFunction, "
      "void*)"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(ran.load());  // no thread was started

  engine->SetString("Engine.version", "4.7.0");
  const VTROCouple<bool, std::uint32_t> started = component->CreateThread(run, &ran);
  EXPECT_TRUE(started.first);
  EXPECT_NE(started.second, 0u);
  while (!ran.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(started.second, seen.load());
  while (component->RunningThreads() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST_F(Threads, PriorityIsAppliedToEveryComponentThread) {
  if (::geteuid() != 0) GTEST_SKIP() << "raising a thread's priority needs root";
  component->birth = [](TestComponent& self) {
    static_cast<Worker&>(self).CreateThread(static_cast<VTROThreadFunction>(&Worker::Work));
  };
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  const std::uint32_t worker = component->workerThread.load();
  const auto main = static_cast<std::uint32_t>(component->GetIntegerProperty("primaryThreadID"));
  component->SetIntegerValue(component->Property("priority"), 255);
  errno = 0;
  EXPECT_EQ(::getpriority(PRIO_PROCESS, worker), -19);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, main), -19);
  component->SetIntegerValue(component->Property("priority"), 0);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, worker), 19);
  EXPECT_EQ(Raised([&] { component->SetIntegerValue(component->Property("priority"), 256); }), VTRO::ErrorException);
  EXPECT_EQ(component->GetIntegerProperty("priority"), 128);
  EXPECT_EQ(::getpriority(PRIO_PROCESS, worker), 19);  // a refused value changes no thread
}

TEST_F(Threads, PropertyTrafficWhileRunningKeepsValuesWhole) {
  static VTROPropertyValue text{"start"};
  static VTROPropertyDefinition entry{"Label", &text, nullptr,
                                      VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  component->NewProperty(&entry);
  std::atomic<bool> torn{false};
  component->core = [&](TestComponent& self) {
    const VTROStackedString value = self.GetStringProperty("Label");
    if (!(value == "start") && !(value == "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa") && !(value == "b")) {
      torn = true;
    }
    self.GetIntegerProperty("priority");
    self.Rest(100);
  };
  component->EngineStart();
  std::vector<std::thread> writers;
  for (int w = 0; w < 3; ++w) {
    writers.emplace_back([&, w] {
      VTROProperty* label = component->Property("Label");
      VTROProperty* priority = component->Property("priority");
      for (int i = 0; i < 300; ++i) {
        component->SetStringValue(label, (i + w) % 2 == 0 ? "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa" : "b");
        component->SetIntegerValue(priority, 100 + (i % 50));
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  component->EngineStop();
  EXPECT_FALSE(torn.load());
  EXPECT_GT(component->GetIntegerProperty("nbPeriods"), 0);
}

TEST_F(Threads, ConcurrentStartsAndStopsOfSeveralComponentsEndCleanly) {
  std::vector<std::unique_ptr<Worker>> many;
  for (int i = 0; i < 4; ++i) {
    const std::string name = "many" + std::to_string(i);
    many.emplace_back(static_cast<Worker*>(model.record.factory(name.c_str(), &model.record)));
    many.back()->birth = [](TestComponent& self) {
      static_cast<Worker&>(self).CreateThread(static_cast<VTROThreadFunction>(&Worker::Work));
    };
  }
  for (int round = 0; round < 3; ++round) {
    std::vector<std::thread> drivers;
    for (auto& each : many) {
      drivers.emplace_back([&each] {
        each->EngineStart();
        each->EngineBirthEvent()->Wait(5000000);
        each->EngineStop();
      });
    }
    for (std::thread& driver : drivers) driver.join();
  }
  for (auto& each : many) {
    EXPECT_EQ(each->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD));
    EXPECT_EQ(each->RunningThreads(), 0);
  }
  EXPECT_EQ(engine->CountReportsContaining("is dead."), 12);
}

}  // namespace
}  // namespace vtro_test
