// The engine's object through which the framework reaches the engine. The
// engine implements every operation; the package keeps the pointer handed to
// VTROPckInit and never owns it. Operations stand in the order the framework
// relies on; those after the property queries serve inputs and outputs.
#pragma once

#include <cstddef>
#include <cstdint>

class VTROAction;
class VTROComponent;
class VTROEvent;
class VTROInput;
class VTROOutput;
class VTROProperty;
class VTROThreadContext;

// Sets registered events at absolute engine times. The engine calls
// VTROEvent::Set() (virtual) when the time is reached.
class VTROTimerService {
 public:
  virtual ~VTROTimerService() = default;
  // Arms `event` to be set once the engine time reaches `engineTimeUs`;
  // re-arming an armed event moves it. False when no timer is available.
  virtual bool Arm(VTROEvent* event, std::int64_t engineTimeUs) = 0;
  // Removes `event`; nothing happens when it is not armed. After Disarm
  // returns the service no longer touches the event.
  virtual void Disarm(VTROEvent* event) = 0;
};

// The engine's list of waiting events. Every change of the clock (speed,
// pause, jump) is made under the clock lock and then sets every event in the
// list, so a Rest that waits wakes up and recomputes.
class VTROWaitingList {
 public:
  virtual ~VTROWaitingList() = default;
  virtual void Add(VTROEvent* event) = 0;
  virtual void Remove(VTROEvent* event) = 0;
};

class VTROEngineInterface {
 public:
  virtual ~VTROEngineInterface() = default;

  // Trace text (e.g. "Calling Dynamic"); nothing is relied on.
  virtual void Trace(const char* text) = 0;
  // Registration by full name: false when an object of that full name exists.
  virtual bool RegisterInput(VTROInput* input) = 0;
  virtual bool RegisterOutput(VTROOutput* output) = 0;
  virtual bool RegisterProperty(VTROProperty* property) = 0;
  virtual bool RegisterAction(VTROAction* action) = 0;
  // The state flags of a module changed (VTRO_STATE_*).
  virtual void StateChanged(const char* moduleName, std::uint32_t state) = 0;
  // Component main-thread routine, run on the new thread the framework
  // started for a threaded component. Must call component->EngineRunMainThread().
  virtual void ComponentMainThread(VTROComponent* component) = 0;
  // Component-thread routine, run on a new component thread. Must call
  // context->Run() (and not touch the context afterwards).
  virtual void ComponentThread(VTROThreadContext* context) = 0;
  // Shows or logs a report. kind: 0 information, 1 warning, 2 error.
  virtual void Report(const char* text, int kind, int level, int frameworkFlag) = 0;
  // Engine time in µs.
  virtual std::int64_t CurrentTime() = 0;
  // Clock speed in per mille of real time (1000 real time, 0 paused, <0 backwards).
  virtual std::int32_t ClockSpeed() = 0;
  // Engine time in µs; (true, true) for elapsed-time measurements.
  virtual std::int64_t Time(bool elapsed, bool precise) = 0;
  // Serialise Rest's arithmetic with clock changes (recursive or not, the
  // framework never takes it twice).
  virtual void ClockLock() = 0;
  virtual void ClockUnlock() = 0;
  virtual VTROWaitingList* TriggerList() = 0;
  // Engine settings and properties by full name. `found` (may be null) is set
  // false when the name is unknown.
  virtual std::int64_t GetIntegerProperty(const char* fullName, bool* found) = 0;
  virtual bool GetBoolProperty(const char* fullName, bool* found) = 0;
  // Type code of a property (0 bool, 1 integer, 2 float, 3 string, 4 enum), -1 unknown.
  virtual std::int32_t GetPropertyType(const char* fullName) = 0;
  // Copies the text of a string property, or the selected text of an
  // enumeration, into `buffer` (terminated when capacity > 0); returns the full
  // length. `found` false when unknown.
  virtual std::size_t GetStringProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) = 0;
  // Serialized form "<count>|<selected>|<v0>|..." of an enumeration.
  virtual std::size_t GetEnumProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) = 0;
  virtual VTROTimerService* TimerService() = 0;

  // ---- Inputs and outputs ----
  // Connects `input` to `output` after the engine's type check (an engine
  // calls input->Connect(output)); false when refused.
  virtual bool Connect(VTROOutput* output, VTROInput* input) = 0;
  virtual void Disconnect(VTROInput* input) = 0;
  // Registers `input` as a reader of `output`; returns the reader index or -1
  // (an engine answers output->AddReader(input, input->ReaderType())). Called
  // by VTROInput::Connect.
  virtual std::int32_t RegisterReader(VTROOutput* output, VTROInput* input) = 0;
  // Tells the engine that `input` left the readers of `output` (the input
  // has already removed itself).
  virtual void UnregisterReader(VTROOutput* output, VTROInput* input) = 0;
  // 0: element accessors check nothing; above 0 they check.
  virtual std::int32_t IOCheckLevel() = 0;
  // An element was published for `input`, an input of a sequential
  // component. Called by the writer's thread while it holds the output's
  // ring lock, so it must only take note (a queue) and return: the engine
  // runs input->Component()->SequentialStep(input) later on a thread of its
  // own, never on the writer's thread inside the writer's locks (two run
  // locks nested, and a cycle of components would deadlock). Deliveries for
  // an input that is unregistered (UnregisterSymbol) are dropped.
  virtual void DataArrived(VTROInput* input) = 0;

  // ---- Symbols ----
  // Forgets a registered input, output, property or action by full name
  // (element removed by Dynamic, renamed or destroyed).
  virtual void UnregisterSymbol(const char* fullName) = 0;
};

// Interface code that VTROPckInit accepts.
constexpr std::int32_t VTRO_ENGINE_INTERFACE_CODE = 0x804A8;
