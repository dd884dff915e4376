// Output: buffer allocation with its checks and texts, writing, and the
// system properties.
#include "VTROOutputImplementation.h"

#include <cinttypes>
#include <exception>
#include <limits>
#include <new>

#include "framework_internal.h"
#include "vtro/VTROComponent.h"

namespace {

constexpr const char* kAlreadyInitialized =
    "Output buffer already initialized. Can't initialize an output buffer twice.";

std::int32_t AtLeastOne(std::int64_t value) {
  if (value < 1) return 1;
  return value > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                           : static_cast<std::int32_t>(value);
}

}  // namespace

VTROOutputImplementation::VTROOutputImplementation(VTROComponent* component, const VTROOutputDefinition* definition,
                                                   const char* shortName, const char* fullName)
    : m_definition(*definition),
      m_shortName(shortName),
      m_fullName(fullName),
      m_structureName(definition->structureName != nullptr ? definition->structureName->c_str() : ""),
      m_component(component),
      m_subsamplingEntry(this, shortName, ".subsampling", VTROPropertyValue(std::int64_t{definition->subsampling}),
                         vtro::kSystemPropertyFlags),
      m_fifoSizeEntry(this, shortName, ".fifosize", VTROPropertyValue(std::int64_t{definition->fifoSize}),
                      vtro::kSystemPropertyFlags),
      m_periodicEntry(this, shortName, ".periodic", VTROPropertyValue(false), vtro::kSystemPropertyFlags),
      m_subsampling(AtLeastOne(definition->subsampling)),
      m_fifoSize(AtLeastOne(definition->fifoSize)),
      m_on(definition->onOff) {
  m_definition.name = m_shortName.c_str();
  if (definition->defaultBufferSize != 1) m_definition.typeMask |= VTRO_TYPE_VECTOR_FLAG;
  m_type = VTROIOType{m_definition.typeMask, m_structureName.c_str()};
}

VTROOutputImplementation::~VTROOutputImplementation() {
  // Unlocked: an input may be in a call on this output; OutputGone waits for it.
  for (VTROInput* input : m_ring.DropReaders()) input->OutputGone(this);
}

void VTROOutputImplementation::Fail(const char* text) const {
  m_component->Error(text, 1, 0);
  throw VTRO::ErrorException;  // Error does not return (a virtual call is not known as such)
}

std::int32_t VTROOutputImplementation::FifoSize() const {
  const std::int32_t count = m_ring.Count();
  return count > 0 ? count : m_fifoSize.load();
}

void VTROOutputImplementation::SetModuleName(const char* moduleName) {
  m_fullName = moduleName;
  m_fullName.Append(".");
  m_fullName += m_shortName;
}

// Allocation -----------------------------------------------------------------------

void VTROOutputImplementation::LayOut(std::int32_t index, VTROIOEltImplementation& element, char* block) const {
  char* slot = block + static_cast<std::size_t>(index) * m_layout.slotBytes;
  if (!m_layout.image) {
    element.Reset(const_cast<VTROOutputImplementation*>(this), m_type, slot, m_layout.bufferSize, m_layout.vectorSize);
    return;
  }
  const std::uintptr_t align = m_layout.model.align > 0 ? static_cast<std::uintptr_t>(m_layout.model.align) : 1;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(slot);
  char* pixels = slot + ((align - address % align) % align);
  element.Reset(const_cast<VTROOutputImplementation*>(this), m_type, pixels, m_layout.bufferSize, m_layout.vectorSize);
  element.UseImageHeader(m_layout.model, pixels);
}

void VTROOutputImplementation::Allocate(const Layout& layout) {
  const std::int32_t fifo = AtLeastOne(m_fifoSize.load());
  unsigned __int128 total = static_cast<unsigned __int128>(layout.slotBytes) * static_cast<unsigned>(fifo);
  if (total > std::numeric_limits<std::size_t>::max()) {
    Fail(vtro::Format("Requested buffer size [%zu] is too big given the current FIFO size [%d] of output [%s]. Please "
                      "reduce the requested output buffer size and/or the output FIFO size such that (buffer_size * "
                      "fifo_size) <= %zu (i.e. std::numeric_limits<size_t>::max)",
                      layout.slotBytes, fifo, FullName(), std::numeric_limits<std::size_t>::max())
             .c_str());
  }
  const std::size_t bytes = static_cast<std::size_t>(total);
  VTROStackedString cause;
  try {
    m_layout = layout;
    const auto result = m_ring.Allocate(fifo, bytes, [this](std::int32_t index, VTROIOEltImplementation& element,
                                                            char* block) { LayOut(index, element, block); });
    if (result == VTROOutputRing::AllocationResult::noRecords) {
      Fail(vtro::Format("Output : %s : Not enough memory to allocate output buffer.", FullName()).c_str());
    }
    m_elementBufferSize.store(layout.bufferSize);
    return;
  } catch (const std::bad_alloc& error) {
    cause = vtro::Format("std::bad_alloc: %s", error.what());
  } catch (const std::exception& error) {
    cause = vtro::Format("std::exception: %s", error.what());
  } catch (const char* text) {
    cause = vtro::Format("const char*: %s", text != nullptr ? text : "");
  } catch (int code) {
    if (code == VTRO::ErrorException || code == VTRO::StopException) throw;
    cause = vtro::Format("int: %d", code);
  } catch (...) {
    cause = "an unknown error";
  }
  Fail(vtro::Format("Failed to allocate [buffer_size:%zu x fifo_size:%d = %zu] bytes for output [%s] due to: %s. Please "
                    "reduce the requested output buffer size and/or the output FIFO size",
                    layout.slotBytes, fifo, bytes, FullName(), cause.c_str())
           .c_str());
}

void VTROOutputImplementation::AllocOutputBuffer(std::int32_t size, std::int32_t flag) {
  if (size <= 0) return;  // allocated by its component (images)
  if (m_ring.Allocated()) {
    if (flag != 1) Fail(kAlreadyInitialized);
    // A new run on the same ring: every element starts afresh.
    m_ring.ResetElements([this](std::int32_t index, VTROIOEltImplementation& element, char* block) {
      LayOut(index, element, block);
    });
    return;
  }
  if (size > 1 && (m_type.typeMask & VTRO_TYPE_VECTOR_FLAG) == 0) {
    Fail(vtro::Format("Output %s is a vector but its vector flag is not set.", FullName()).c_str());
  }
  Layout layout;
  layout.slotBytes = static_cast<std::size_t>(size) * static_cast<std::size_t>(VTROTypeElementSize(m_type.typeMask));
  layout.bufferSize = size;
  layout.vectorSize = (m_type.typeMask & VTRO_TYPE_VECTOR_FLAG) != 0 ? 0 : size;
  Allocate(layout);
}

void VTROOutputImplementation::AllocOutputBufferIplImage(const IplImage* model, std::int32_t /*flag*/) {
  if (m_ring.Allocated()) Fail(kAlreadyInitialized);
  if (model == nullptr) Fail("VTROOutputImplementation::AllocOutputBufferIplImage : [model == NULL]");
  if (model->imageSize < 0) {
    Fail(vtro::Format("VTROOutputImplementation::AllocOutputBufferIplImage : [model.imageSize:%d] < 0", model->imageSize)
             .c_str());
  }
  Layout layout;
  layout.image = true;
  layout.model = *model;
  layout.model.imageData = nullptr;
  layout.model.imageDataOrigin = nullptr;
  const std::size_t align = model->align > 0 ? static_cast<std::size_t>(model->align) : 1;
  // Room for the alignment of each element's pixels.
  layout.slotBytes = static_cast<std::size_t>(model->imageSize) + align;
  layout.bufferSize = model->imageSize;
  layout.vectorSize = model->imageSize;
  Allocate(layout);
}

void VTROOutputImplementation::AllocOutputBufferImage(std::int32_t width, std::int32_t height, std::int32_t channels,
                                                      std::int32_t depth) {
  const char* model = channels == 1 ? "GRAY" : channels == 4 ? "ARGB" : channels == 3 ? "RGB" : nullptr;
  if (model == nullptr) Fail(vtro::Format("Output %s : images of %d channels are not supported.", FullName(), channels).c_str());
  const IplImage header = VTROComponent::IplImageModel(width, height, model, IPL_DATA_ORDER_PIXEL, depth, IPL_ALIGN_4BYTES);
  AllocOutputBufferIplImage(&header, 0);
}

void VTROOutputImplementation::AllocOutputBufferBytes(std::int64_t bytes) {
  const std::int64_t unit = VTROTypeElementSize(m_type.typeMask);
  const std::int64_t units = (bytes + unit - 1) / unit;
  if (bytes < 0 || units > std::numeric_limits<std::int32_t>::max()) {
    Fail(vtro::Format("Output %s : a buffer of %" PRId64 " bytes can't be allocated.", FullName(), bytes).c_str());
  }
  AllocOutputBuffer(static_cast<std::int32_t>(units), 0);
}

void VTROOutputImplementation::AllocOutputBufferMatrix(std::int32_t rows, std::int32_t columns) {
  const std::int64_t units = static_cast<std::int64_t>(rows) * columns;
  if (rows < 0 || columns < 0 || units > std::numeric_limits<std::int32_t>::max()) {
    Fail(vtro::Format("Output %s : a matrix of %d x %d can't be allocated.", FullName(), rows, columns).c_str());
  }
  AllocOutputBuffer(static_cast<std::int32_t>(units), 0);
}

void VTROOutputImplementation::AllocOutputBufferVector(std::int32_t count) { AllocOutputBuffer(count, 0); }

void VTROOutputImplementation::ClearElementSizeRecord() { m_ring.RestartRun(m_subsampling.load()); }

void VTROOutputImplementation::FreeBuffer() {
  m_ring.Free();
  m_elementBufferSize.store(0);
}

// Writing ----------------------------------------------------------------------------

VTROIOElt* VTROOutputImplementation::StartWriting() {
  if (m_component->IsDying()) throw VTRO::StopException;
  VTROIOEltImplementation* element = m_ring.AcquireForWriting(m_component->StopEvent());
  if (element == nullptr) {
    Fail("Output buffer fatal error : StartWriting has no space where to write. Check that each call to StartWriting "
         "has its corresponding call to StopWriting.");
  }
  element->ClearTimes();
  return element;
}

void VTROOutputImplementation::StopWriting(VTROIOElt* element, bool discard) {
  if (element == nullptr) return;
  VTROIOEltImplementation* written = static_cast<VTROIOEltImplementation*>(element);
  if (written->VectorSize() > written->BufferSize()) {
    Fail(vtro::Format("Buffer overflow detected: VectorSize(%d) > BufferSize(%d)", written->VectorSize(),
                      written->BufferSize())
             .c_str());
  }
  if (written->TimeOfIssue() == 0) *written->TimeOfIssueLocation() = m_component->CurrentTime(true, true);
  if (written->Timestamp() == 0) written->SetTimestamp(written->TimeOfIssue());
  if (!discard) m_written.fetch_add(1, std::memory_order_relaxed);
  m_ring.Publish(written, discard, m_subsampling.load(std::memory_order_relaxed),
                 m_periodic.load(std::memory_order_relaxed));
}

void VTROOutputImplementation::ReleaseElement(std::int32_t reader, VTROIOElt* element) {
  if (m_ring.Release(reader, element)) return;
  VTRO::ReportError(vtro::Format("VTROFastIO fatal error : Stop reading without starting (X) : reader %d of output %s "
                                 "does not hold the element it gives back.",
                                 reader, FullName())
                        .c_str(),
                    1);
  throw VTRO::ErrorException;
}

// System properties --------------------------------------------------------------------

void VTROOutputImplementation::SubsamplingChanged(VTROProperty* property) {
  auto* output = vtro::OwnerOf<VTROOutputImplementation>(property);
  const std::int32_t value = AtLeastOne(vtro::HandlerValue(property).Integer());
  output->m_subsampling.store(value);
  output->m_ring.RestartSubsampling(value);
}

void VTROOutputImplementation::FifoSizeChanged(VTROProperty* property) {
  // Takes effect at the next allocation (a running ring keeps its size).
  vtro::OwnerOf<VTROOutputImplementation>(property)->m_fifoSize.store(AtLeastOne(vtro::HandlerValue(property).Integer()));
}

void VTROOutputImplementation::PeriodicChanged(VTROProperty* property) {
  vtro::OwnerOf<VTROOutputImplementation>(property)->m_periodic.store(vtro::HandlerValue(property).Bool());
}
