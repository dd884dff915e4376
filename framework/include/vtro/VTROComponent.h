// The component base: definition record, modules and components, actions,
// reporting, timing and threads. Component classes derive from VTROComponent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vtro/VTROEvent.h"
#include "vtro/VTROIO.h"
#include "vtro/VTROIplImage.h"
#include "vtro/VTROList.h"
#include "vtro/VTROProperty.h"
#include "vtro/VTROStackedString.h"

class VTROComponent;
class VTROEngineInterface;
class VTROModule;
struct VTROComponentDefinition;

namespace VTRO {
// Exceptions used for control flow, thrown as plain integers.
constexpr int ErrorException = -5;     // the component raised an error
constexpr int StopException = 0xDEAD;  // 57005: a stop was requested; unwinds Core quietly
constexpr int TimeoutException = -3;   // a framework condition wait timed out
constexpr int WaitFailedException = -4;

// The engine interface stored by VTROPckInit (null before).
VTROEngineInterface* Engine();

// Global reports: the text goes unchanged to the engine (framework flag 0).
void ReportInfo(const char* text, int level = 0);
void ReportWarning(const char* text, int level = 0);
void ReportError(const char* text, int level = 0);
// Engine report with kind 2 and framework flag 1, then raises -5.
[[noreturn]] void FatalReport(const char* text, int level);
// Local fatal display: a message box (printed; there is no window system), or
// with SILENT / VANTRO_SILENT set one line on standard output or error.
// kind 0 information, 1 warning, 2 error.
void LocalFatalDisplay(bool engineTitle, const char* text, int kind);

// Engine property queries by full name. Without a found flag an unknown name
// is fatal; with one, it is set false and 0 / false / "" is returned.
std::int64_t GetEngineIntegerProperty(const char* fullName, bool* found = nullptr);
bool GetEngineBoolProperty(const char* fullName, bool* found = nullptr);
VTROStackedString GetEngineStringProperty(const char* fullName, bool* found = nullptr);
VTROEnumStruct GetEngineEnumProperty(const char* fullName, bool* found = nullptr);

// True when `name` matches ^[a-zA-Z][a-zA-Z_0-9]*$.
bool IsValidName(const char* name);
// True when `name` matches ^[a-zA-Z][a-zA-Z_0-9\.:]*$ (outputs of plain modules).
bool IsValidModuleOutputName(const char* name);
}  // namespace VTRO

// State flags of a module.
enum : std::uint32_t {
  VTRO_STATE_DEAD = 0x1,
  VTRO_STATE_STOP_REQUESTED = 0x2,
  VTRO_STATE_STARTED = 0x4,
  VTRO_STATE_ERROR = 0x8,
};

// Threading-model bits of a definition.
enum : std::uint32_t {
  VTRO_THREADING_THREADED = 0x1,
  VTRO_THREADING_SEQUENTIAL = 0x2,
};

using VTROThreadFunction = void (VTROComponent::*)();
using VTROThreadFreeFunction = void (*)(void* argument);
using VTROComponentFactory = VTROComponent* (*)(const char* instanceName, const VTROComponentDefinition* definition);

// Callback object of an action: a member function of the component (with its
// adjustment, 16 bytes).
struct VTROActionCallback {
  void (VTROComponent::*method)();
};
static_assert(sizeof(VTROActionCallback) == 16);

// Action definition entry (24 bytes).
struct VTROActionDefinition {
  const char* name;                    // null ends a table
  const VTROActionCallback* callback;  // offset 8
  std::uint8_t allowedWhileNotRunning; // offset 16
  std::uint8_t zero[7];
};
static_assert(sizeof(VTROActionDefinition) == 24);
static_assert(offsetof(VTROActionDefinition, callback) == 8);
static_assert(offsetof(VTROActionDefinition, allowedWhileNotRunning) == 16);

// Describes one component class to the engine (128 bytes).
struct VTROComponentDefinition {
  const char* name;                              // 0
  const char* version;                           // 8
  VTROComponentFactory factory;                  // 16
  void* reserved0;                               // 24
  void* reserved1;                               // 32
  std::int32_t reserved2;                        // 40
  std::int32_t inputCount;                       // 44 (-1: all)
  const VTROInputDefinition* inputs;             // 48
  std::int32_t outputCount;                      // 56
  std::int32_t zero0;                            // 60
  const VTROOutputDefinition* outputs;           // 64
  std::int32_t propertyCount;                    // 72
  std::int32_t zero1;                            // 76
  const VTROPropertyDefinition* properties;      // 80
  std::int32_t actionCount;                      // 88
  std::int32_t zero2;                            // 92
  const VTROActionDefinition* actions;           // 96
  std::uint16_t defaultPriority;                 // 104
  std::uint16_t zero3;                           // 106
  std::uint32_t threadingModel;                  // 108
  std::uint8_t defaultThreaded;                  // 112
  std::uint8_t zero4[7];                         // 113
  const char* moduleMarker;                      // 120
};
static_assert(sizeof(VTROComponentDefinition) == 128);
static_assert(offsetof(VTROComponentDefinition, version) == 8);
static_assert(offsetof(VTROComponentDefinition, factory) == 16);
static_assert(offsetof(VTROComponentDefinition, reserved0) == 24);
static_assert(offsetof(VTROComponentDefinition, reserved1) == 32);
static_assert(offsetof(VTROComponentDefinition, reserved2) == 40);
static_assert(offsetof(VTROComponentDefinition, inputCount) == 44);
static_assert(offsetof(VTROComponentDefinition, inputs) == 48);
static_assert(offsetof(VTROComponentDefinition, outputCount) == 56);
static_assert(offsetof(VTROComponentDefinition, outputs) == 64);
static_assert(offsetof(VTROComponentDefinition, propertyCount) == 72);
static_assert(offsetof(VTROComponentDefinition, properties) == 80);
static_assert(offsetof(VTROComponentDefinition, actionCount) == 88);
static_assert(offsetof(VTROComponentDefinition, actions) == 96);
static_assert(offsetof(VTROComponentDefinition, defaultPriority) == 104);
static_assert(offsetof(VTROComponentDefinition, threadingModel) == 108);
static_assert(offsetof(VTROComponentDefinition, defaultThreaded) == 112);
static_assert(offsetof(VTROComponentDefinition, moduleMarker) == 120);

// The engine's record kept in a component (not used by the framework).
struct VTROEngineRecord {
  std::int64_t value = -1;
  std::int32_t extra = 0;
};

// A named command of a component. The engine triggers it through Trigger().
class VTROAction {
 public:
  virtual ~VTROAction() = default;
  virtual const char* FullName() const = 0;
  virtual const char* ShortName() const = 0;
  virtual VTROComponent* Component() const = 0;
  virtual bool AllowedWhileNotRunning() const = 0;
  // Calls the callback on the component, or reports (kind 1) "This action is
  // not allowed when the component is not running." when it may not run now.
  virtual void Trigger() = 0;
  virtual void SetModuleName(const char* moduleName) = 0;
};

// Start context of a component thread, handed to the engine's
// component-thread routine. It lives on the creator's stack until Run() has
// marked the thread started, so the routine must not touch it after Run().
class VTROThreadContext {
 public:
  virtual VTROComponent* Component() const = 0;
  // Registers the calling thread with the component, marks the start (the
  // creator returns), runs the function, then unregisters the thread; the last
  // thread to leave sets the component's threads-finished event. 57005 ends the
  // thread quietly; other exceptions are reported.
  virtual void Run() = 0;

 protected:
  ~VTROThreadContext() = default;
};

class VTROModuleBase {
 public:
  explicit VTROModuleBase(const char* name);
  VTROModuleBase(const VTROModuleBase&) = delete;
  VTROModuleBase& operator=(const VTROModuleBase&) = delete;
  virtual ~VTROModuleBase();                                   // slot 0
  virtual void Rename(const char* oldName, const char* newName);  // slot 1

  const char* Name() const { return m_name.c_str(); }

 protected:
  VTROStackedString m_name;
};

class VTROModule : public VTROModuleBase {
 public:
  explicit VTROModule(const char* name);
  ~VTROModule() override;                                                   // 0
  void Rename(const char* oldName, const char* newName) override;          // 1
  virtual const char* KindName() const;                                     // 2
  virtual void SequentialStep(VTROInput* input);                            // 3
  [[noreturn]] virtual void Error(const char* text, int level, int code);   // 4
  virtual void Report(const char* text, int kind, int level);               // 5
  virtual void UpdatePeriodStatistics();                                    // 6
  virtual bool GetEnumValue(VTROProperty* property, VTROEnumStruct& out);          // 7
  virtual bool GetStringValue(VTROProperty* property, VTROStackedString& out);     // 8
  virtual bool GetFloatValue(VTROProperty* property, double& out);                 // 9
  virtual bool GetIntegerValue(VTROProperty* property, std::int64_t& out);         // 10
  virtual bool GetBoolValue(VTROProperty* property, bool& out);                    // 11
  virtual bool SetEnumValue(VTROProperty* property, const VTROEnumStruct& value);  // 12
  virtual bool SetStringValue(VTROProperty* property, const char* value);          // 13
  virtual bool SetFloatValue(VTROProperty* property, double value);                // 14
  virtual bool SetIntegerValue(VTROProperty* property, std::int64_t value);        // 15
  virtual bool SetBoolValue(VTROProperty* property, bool value);                   // 16

  // Reports with kind 0, 1, 2 and level 0.
  void ReportInfo(const char* text) { Report(text, 0, 0); }
  void ReportWarning(const char* text) { Report(text, 1, 0); }
  void ReportError(const char* text) { Report(text, 2, 0); }
  // Engine report (kind 2, framework flag 1) then -5.
  [[noreturn]] void FatalReport(const char* text, int level);

  bool IsDying() const { return (m_state.load(std::memory_order_acquire) & VTRO_STATE_STOP_REQUESTED) != 0; }
  std::uint32_t State() const { return m_state.load(std::memory_order_acquire); }
  bool IsStarted() const { return (State() & VTRO_STATE_STARTED) != 0; }
  // Sequential during this run (from the `threaded` property at start).
  bool RunsSequentially() const { return m_threaded.load(std::memory_order_acquire) == 0; }
  std::int32_t LastErrorCode() const { return m_lastErrorCode; }
  const char* LastErrorText() const { return m_lastErrorText.c_str(); }

  // Properties (lookups take the module lock).
  VTROProperty* Property(const char* name);
  VTROProperty* Property(std::int32_t index);
  // Null when no property has that short name (no report).
  VTROProperty* FindProperty(const char* name);
  bool GetBoolProperty(const char* name);
  std::int64_t GetIntegerProperty(const char* name);
  double GetFloatProperty(const char* name);
  VTROStackedString GetStringProperty(const char* name);
  void GetStringProperty(const char* name, VTROStackedString& out);
  VTROProperty* NewProperty(const VTROPropertyDefinition* definition, const char* name = nullptr);

  std::int32_t PropertyCount() const { return m_properties.Count(); }
  std::int32_t InputCount() const { return m_inputs.Count(); }
  std::int32_t OutputCount() const { return m_outputs.Count(); }
  std::int32_t ActionCount() const { return m_actions.Count(); }
  const VTROList<VTROStackedString*>& Symbols() const { return m_symbols; }

  // Engine time services.
  std::int64_t CurrentTime(bool elapsed = true, bool precise = true);

  VTROMutex& ModuleLock() { return m_moduleLock; }
  VTROMutex& PropertyValueLock() { return m_propertyValueLock; }
  VTROEvent& StopEvent() { return m_stopEvent; }

 protected:
  friend class VTROPropertyImplementation;
  friend class VTROActionImplementation;
  friend class VTROFrameworkAccess;

  // Unregisters and destroys every element and frees the period ring.
  void ReleaseElements();
  // Sends the state flags to the engine.
  void NotifyState();
  void SetStateBits(std::uint32_t bits);
  void ClearStateBits(std::uint32_t bits);
  // Common gate and storage of the five setters.
  bool SetValue(VTROProperty* property, std::int32_t kind, const void* value);
  // Adds a full name to the symbol list.
  void AddSymbol(const char* fullName);
  void RemoveSymbol(const char* fullName);
  void ResetPeriodStatistics();
  // Builds "<module>.<name>".
  VTROStackedString FullNameOf(const char* shortName) const;

  // Period statistics.
  std::int64_t* m_periodRing = nullptr;
  std::uint32_t m_periodMask = 0;
  std::uint32_t m_windowLength = 10;
  std::uint32_t m_ringStart = 0;
  std::uint32_t m_sampleCount = 0;
  std::int64_t m_lastCoreTime = 0;
  std::int64_t m_periodSum = 0;
  VTROProperty* m_counterProperty = nullptr;
  VTROProperty* m_nbPeriodsProperty = nullptr;
  VTROProperty* m_averagePeriodProperty = nullptr;
  VTROProperty* m_maxPeriodProperty = nullptr;
  VTROProperty* m_minPeriodProperty = nullptr;
  bool m_periodsTaken = false;

  // State word and last error. The state word is read without locks (IsDying).
  std::atomic<std::uint32_t> m_state{0};
  std::int32_t m_lastErrorCode = 0;
  VTROStackedString m_lastErrorText;

  VTROEvent m_stopEvent{false};
  VTROEvent m_threadsFinishedEvent{false};
  std::atomic<std::int32_t> m_runningThreadCount{0};
  std::atomic<std::int16_t> m_threaded{1};

  VTROMutex m_moduleLock;
  VTROMutex m_propertyValueLock;

  VTROList<VTROStackedString*> m_symbols;
  VTROList<VTROInput*> m_inputs;
  VTROList<VTROOutput*> m_outputs;
  VTROList<VTROProperty*> m_properties;
  VTROList<VTROAction*> m_actions;
  struct ThreadRecord {
    std::uint32_t threadId;
    std::int32_t priority;
    bool operator==(const ThreadRecord& other) const { return threadId == other.threadId; }
  };
  VTROList<ThreadRecord> m_threads;

  // Dynamic part of each list: elements after these construction counts.
  std::int32_t m_staticInputCount = 0;
  std::int32_t m_staticOutputCount = 0;
  std::int32_t m_staticPropertyCount = 0;
  std::int32_t m_staticActionCount = 0;
  // Set while a Dynamic call may remove undeclared dynamic elements; the
  // default Dynamic clears it ("clears the cursors").
  bool m_dynamicCursorsSet = false;
  VTROList<void*> m_declaredInDynamic;

  VTROInput* m_currentTriggerInput = nullptr;
};

class VTROComponent : public VTROModule {
 public:
  VTROComponent(const char* instanceName, const VTROComponentDefinition* definition);
  ~VTROComponent() override;                                               // 0
  const char* KindName() const override;                                   // 2
  void SequentialStep(VTROInput* input) override;                          // 3
  bool SetEnumValue(VTROProperty* property, const VTROEnumStruct& value) override;  // 12
  bool SetStringValue(VTROProperty* property, const char* value) override;          // 13
  bool SetFloatValue(VTROProperty* property, double value) override;                // 14
  bool SetIntegerValue(VTROProperty* property, std::int64_t value) override;        // 15
  bool SetBoolValue(VTROProperty* property, bool value) override;                   // 16
  virtual void Dynamic();                                                  // 17
  virtual void Core() = 0;                                                 // 18
  virtual void Birth();                                                    // 19
  virtual void BeforeDeath();                                              // 20
  virtual void Death();                                                    // 21
  virtual void FreeOutputBuffers();                                        // 22
  virtual VTROEngineRecord GetEngineRecord();                              // 23
  virtual void SetEngineRecord(const VTROEngineRecord& record);            // 24

  // ---- Operations the engine calls (slots 25 onwards; see FW-CONTRACT) ----
  // Start sequence. Raises -5 after reporting when the start fails.
  virtual void EngineStart();                                              // 25
  // Stop sequence: returns once the component is dead (or the death time-out
  // passed) and its outputs are reset.
  virtual void EngineStop();                                               // 26
  // Body of the component main thread (threaded components): Birth, birth
  // event, UpdatePeriodStatistics + Core until stopped, then the end.
  virtual void EngineRunMainThread();                                      // 27
  // End sequence after a fatal exception (sets error and stop requested).
  virtual void EngineEndSequence();                                        // 28
  virtual void EngineIsDeadStep();                                         // 29
  virtual const char* EngineName() const;                                  // 30
  virtual std::uint32_t EngineState() const;                               // 31
  virtual const VTROComponentDefinition* EngineDefinition() const;         // 32
  virtual bool EngineIsThreaded();                                         // 33: property `threaded`
  virtual std::int32_t EnginePropertyCount();                              // 34
  virtual VTROProperty* EnginePropertyAt(std::int32_t index);              // 35
  virtual VTROProperty* EngineFindProperty(const char* shortName);         // 36: null when absent
  virtual std::int32_t EngineInputCount();                                 // 37
  virtual VTROInput* EngineInputAt(std::int32_t index);                    // 38
  virtual std::int32_t EngineOutputCount();                                // 39
  virtual VTROOutput* EngineOutputAt(std::int32_t index);                  // 40
  virtual std::int32_t EngineActionCount();                                // 41
  virtual VTROAction* EngineActionAt(std::int32_t index);                  // 42
  virtual VTROAction* EngineFindAction(const char* shortName);             // 43: null when absent
  virtual VTROEvent* EngineBirthEvent();                                   // 44

  // ---- For component code ----
  const VTROComponentDefinition* Definition() const { return m_definition; }

  // Waits `durationUs` of engine time. True when reached, false when the
  // cancel event fired; raises 57005 on a stop request.
  bool Rest(std::int64_t durationUs, VTROEvent* cancel = nullptr);
  // Waits for `event` (timeout µs, -1 forever): raises 57005 on a stop
  // request, -3 on time-out, -4 when the wait fails.
  void WaitCondition(VTROEvent& event, std::int64_t timeoutUs = -1);

  void CreateThread(VTROThreadFunction function);
  VTROCouple<bool, std::uint32_t> CreateThread(VTROThreadFreeFunction function, void* argument);

  VTROAction* NewAction(const VTROActionDefinition* definition, const char* name = nullptr);
  VTROAction* NewAction(const char* modelName, const char* name);
  VTROAction* Action(const char* name);
  VTROAction* Action(std::int32_t index);
  VTROProperty* NewProperty(const VTROPropertyDefinition* definition, const char* name = nullptr) {
    return VTROModule::NewProperty(definition, name);
  }
  VTROProperty* NewProperty(const char* modelName, const char* name);

  VTROInput* NewInput(const VTROInputDefinition* definition, const char* name = nullptr);
  VTROInput* NewInput(const char* modelName, const char* name);
  VTROOutput* NewOutput(const VTROOutputDefinition* definition, const char* name = nullptr);
  VTROOutput* NewOutput(const char* modelName, const char* name);
  // Next element of an input (raises 57005 on a stop request); StopReading
  // gives it back. Threaded components wait for it; sequential ones get null
  // when there is none.
  VTROIOElt* StartReading(VTROInput* input);
  void StopReading(VTROInput* input);
  // True when an element is waiting for the input, without blocking.
  bool DataAvailableInFIFO(VTROInput* input);
  // Switches the input's reader type within the FIFO family (0 to 2); false
  // when refused (wait-for-next and sampling readers keep their type).
  bool SetReaderType(VTROInput* input, std::int32_t readerType);
  // A free element of the output, timestamp and time of issue 0 (raises
  // 57005 on a stop request; waits while never-skipping readers still read).
  VTROIOElt* StartWriting(VTROOutput* output);
  // Publishes the element to the readers of its output, or frees it (discard).
  void StopWriting(VTROIOElt* element, bool discard = false);
  // A standard IPL image header for the given geometry (no pixel data).
  static IplImage IplImageModel(std::int32_t width, std::int32_t height, const char* colorModel,
                                std::int32_t dataOrder, std::int32_t depth, std::int32_t align);
  VTROInput* Input(const char* name);
  VTROInput* Input(std::int32_t index);
  VTROOutput* Output(const char* name);
  VTROOutput* Output(std::int32_t index);

 protected:
  friend class VTROComponentThreadContext;
  friend class VTROFrameworkAccess;

  // Dynamic-call procedure run after a successful setter.
  void CallDynamic();
  // Guarded Death: nothing raised by Death leaves it.
  void GuardedDeath();
  // Waits for the threads-finished event up to Engine.shutdownTimeout.
  void WaitForComponentThreads();
  // One pass of the sequential step over an input (run lock held).
  void ProcessInput(VTROInput* input);
  // Exception handling of a step or of the main thread; `sequential` selects the texts.
  // Must be called inside a catch handler. Returns true for the quiet stop
  // (57005); otherwise reports, and either runs the end sequence (returns
  // false) or raises to the engine. A sequential step's time-out (-3) and
  // other integers are raised again unreported: the caller gives the run lock
  // back first, then makes the time-out's fatal report.
  bool HandleStepException(bool sequential);
  // The common tail of the end and stop sequences (run lock held).
  void FinishRun();
  // Marks an element and its sub-properties as declared in this Dynamic call.
  void MarkDeclared(void* element, const char* fullName);
  // Removes the dynamic elements not declared again (module lock held).
  void DropUndeclaredElements();
  bool Declared(void* element) const;
  void ThreadEntered(std::uint32_t threadId);
  void ThreadLeft(std::uint32_t threadId);
  void ApplyPriority(std::int32_t priority);
  static void PriorityHandler(VTROProperty* property);

  const VTROComponentDefinition* m_definition;
  VTROMutex m_runLock;
  VTROMutex2 m_dynamicLock;
  VTROMutex m_thirdLock;
  VTROEvent m_birthEvent{false};
  std::atomic<bool> m_inDynamic{false};
  std::atomic<bool> m_deadFlag{true};
  VTROEngineRecord m_engineRecord;
  std::int32_t m_ownPropertiesStart = 0;
};
