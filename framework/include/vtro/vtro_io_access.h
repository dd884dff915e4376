// Typed access to I/O elements for component code:
//
//   VTRO::GetIOElementPointer<T>(element, index, check)  a T* into an element's data
//   VTRO::InputGuard<T>(component, input, check)          StartReading ... StopReading by scope
//   VTRO::OutputGuard<T>(component, output, check)        StartWriting ... StopWriting by scope
//
// T is a type with a trait (VTRO::IOTypeOf): int64_t (0x8000), double (0x4),
// float (0x2), int32_t (0x10000), a custom structure declared with
// VTRO_IO_STRUCTURE(Name) at namespace scope (0x40000, known by its name), or
// IplImage (0x20) and VTROCompressedImage (0x40), whose elements are read
// whole through Element().
//
// Every failure is sent through the global error report (level 0) as
// "vtro_io_access:<line> <signature of the template function>: <condition>",
// then -5 is raised. The line numbers are part of the texts: each check is
// pinned to its line by a static_assert, so an edit that moves one fails to
// compile. Keep the blank lines between the functions for that reason (add
// or remove them to move code, never the checks).
//
//   VTRO_IO_STRUCTURE(QZTQtuStatusT)
//   ...
//   void Core() override {
//     VTRO::InputGuard<std::int64_t> time(this, Input("ReplayStartTime"));
//     if (time) startTime = *time.Data();
//     VTRO::OutputGuard<QZTQtuStatusT> status(this, Output("oReplayStateInfo"));
//     *status.Data() = current;  // published when `status` goes out of scope
//   }
//
// A guard that is destroyed by an exception gives its element back without
// publishing it (OutputGuard discards the half-written element).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "vtro/VTROComponent.h"
#include "vtro/VTROIO.h"
#include "vtro/VTROIplImage.h"

namespace VTRO {

// How the typed accessor counts the elements of a buffer.
enum class IOKind {
  number,     // capacity = buffer size (1 for a single value)
  structure,  // capacity = buffer size in bytes / sizeof(T)
  other,      // read whole through the element, not typed by index
};

// The element type of T. A type without a trait does not compile.
template <class T>
struct IOTypeOf;

template <>
struct IOTypeOf<std::int64_t> {
  static constexpr std::uint64_t mask = VTRO_TYPE_INT64;
  static constexpr IOKind kind = IOKind::number;
  static constexpr const char* name = "";
};
template <>
struct IOTypeOf<double> {
  static constexpr std::uint64_t mask = VTRO_TYPE_FLOAT64;
  static constexpr IOKind kind = IOKind::number;
  static constexpr const char* name = "";
};
template <>
struct IOTypeOf<float> {
  static constexpr std::uint64_t mask = VTRO_TYPE_FLOAT32;
  static constexpr IOKind kind = IOKind::number;
  static constexpr const char* name = "";
};
template <>
struct IOTypeOf<std::int32_t> {
  static constexpr std::uint64_t mask = VTRO_TYPE_NUMBER32;
  static constexpr IOKind kind = IOKind::number;
  static constexpr const char* name = "";
};
template <>
struct IOTypeOf<IplImage> {
  static constexpr std::uint64_t mask = VTRO_TYPE_IPL_IMAGE;
  static constexpr IOKind kind = IOKind::other;
  static constexpr const char* name = "";
};
template <>
struct IOTypeOf<VTROCompressedImage> {
  static constexpr std::uint64_t mask = VTRO_TYPE_COMPRESSED_IMAGE;
  static constexpr IOKind kind = IOKind::other;
  static constexpr const char* name = "";
};

namespace io_access_detail {

// The failure report of this header, then -5. `prefix` (may be null) goes in
// front, followed by ": ".
[[noreturn]] inline void Fail(int line, const char* signature, const std::string& condition,
                              const char* prefix = nullptr) {
  std::string text;
  if (prefix != nullptr) {
    text = prefix;
    text += ": ";
  }
  text += "vtro_io_access:";
  text += std::to_string(line);
  text += " ";
  text += signature;
  text += ": ";
  text += condition;
  ReportError(text.c_str(), 0);
  throw ErrorException;
}

// True when elements of `type` are T's: the number's type bit, or a custom
// structure (code 0x40000, or 1 as an output entry may give it) of T's name
// when the element carries one.
template <class T>
bool TypeMatches(const VTROIOType& type) {
  const std::uint64_t mask = type.typeMask & ~VTRO_TYPE_VECTOR_FLAG;
  if constexpr (IOTypeOf<T>::kind == IOKind::structure) {
    if ((mask & (VTRO_TYPE_CUSTOM_STRUCTURE | VTRO_TYPE_STRUCTURE_CODE)) == 0) return false;
    const char* name = type.structureName;
    return name == nullptr || name[0] == '\0' || std::strcmp(name, IOTypeOf<T>::name) == 0;
  } else {
    return (mask & IOTypeOf<T>::mask) != 0;
  }
}

// Whether a guard is being destroyed by an exception that started after it was made.
class UnwindProbe {
 public:
  UnwindProbe() : m_count(std::uncaught_exceptions()) {}
  bool Unwinding() const { return std::uncaught_exceptions() > m_count; }

 private:
  int m_count;
};

}  // namespace io_access_detail

// Declares the custom structure `Type` (type 0x40000, known by the name
// "Type") for the typed accessors. Use it at global namespace scope.
#define VTRO_IO_STRUCTURE(Type)                                                  \
  template <>                                                                    \
  struct VTRO::IOTypeOf<Type> {                                                  \
    static constexpr std::uint64_t mask = VTRO_TYPE_CUSTOM_STRUCTURE;            \
    static constexpr ::VTRO::IOKind kind = ::VTRO::IOKind::structure;            \
    static constexpr const char* name = #Type;                                   \
  }





























// Reading. An InputGuard takes the next element for its input the way the
// input's reader type says (see VTROReaderType):
//   - FIFO and never-skipping readers: the oldest element not read yet;
//   - last-or-next: the newest one not read yet (older ones are skipped);
//   - wait-for-next: the next element published after the guard was made;
//   - sampling: the newest published element, read before or not.
// A threaded component waits for it (a stop ends the wait with 57005); a
// sequential one gets an empty guard when there is nothing to read. The
// element stays valid, and is not reused by the writer, until the guard
// goes out of scope.
//
// Writing. An OutputGuard takes a free element of its output; when the ring
// is full and a never-skipping reader has still to read the oldest element,
// it waits for that reader (a stop ends the wait with 57005). Set the
// element's vector size when the output is a vector, then let the guard go:
// the element is published with the time of issue and, unless set, the
// timestamp of that moment.
//
// The checks of this header, by line:
//
//   GetIOElementPointer  227  the element is null
//                        232  the index does not fit a 32-bit int
//                        257  (with check) the element is not of T's type
//                        281  a structure buffer holds no whole T
//                        294  T is read whole (images): no typed pointer
//                        299  the element has no data
//                        304  the index is past the buffer's capacity
//   InputGuard           386  no component
//                        392  (with check) the element read is not of T's type
//   OutputGuard          (its own lines below) no component, no element
//                        written, (with check) the output is not of T's type
//
// Capacity of an element's buffer, in T's:
//   - a custom structure: the buffer size in bytes / sizeof(T), so an
//     upstream component must set it to sizeof(structure) x count;
//   - a number: the buffer size of a vector output, 1 for a single value.
//
// The pointer is the element's data pointer + index x sizeof(T), the same
// for every reader of the element: readers must not write through it.

// A T* at `elementIndex` of the element's data: data + index x sizeof(T).
// With `check`, the element's type must be T's. The index must lie within
// the buffer: buffer size / sizeof(T) structures, buffer size numbers (1 for
// a single value).
template <class T>
T* GetIOElementPointer(VTROIOElt* ioElt, std::size_t elementIndex, bool check) {
  using io_access_detail::Fail;
  static_assert(__LINE__ == 227); if (ioElt == nullptr) Fail(__LINE__, __PRETTY_FUNCTION__, "[ioElt == NULL]");


  if (elementIndex > static_cast<std::size_t>(INT_MAX)) {
    const std::string condition = "[elementIndex:" + std::to_string(elementIndex) + "] > [INT_MAX:2147483647]";
    static_assert(__LINE__ == 232); Fail(__LINE__, __PRETTY_FUNCTION__, condition);
  }
  const VTROIOType* type = ioElt->Type();
  const std::int64_t bufferSize = ioElt->BufferSize();
  std::int64_t capacity = 0;
  // The type check compares the element's type record (its output's type
  // mask without the vector flag, and its structure name) with T's trait:
  //   - a number needs its type bit (0x8000, 0x4, 0x2 or 0x10000);
  //   - a custom structure needs a structure code (0x40000, or 1 as an
  //     output entry may give it) and, when the element carries a name, the
  //     same name as T's (VTRO_IO_STRUCTURE(T) gives the name "T");
  //   - an image needs its bit too, although it is then refused below.
  // Without check the caller answers for the type; the bounds are checked
  // whatever `check` says, since a wrong index reads outside the buffer.










  if (check && !io_access_detail::TypeMatches<T>(*type)) {
    static_assert(__LINE__ == 257); Fail(__LINE__, __PRETTY_FUNCTION__, "[ElementType != ioElt.Type] The requested ElementType is different from actual data type of the I/O element");
  }
  // Capacity in T's (see the table above). A structure that does not fit
  // once into the buffer is the typical sign of two different definitions
  // of one structure in two packages, or of an upstream component that
  // kept the buffer size of a single value.








  if constexpr (IOTypeOf<T>::kind == IOKind::structure) {
    capacity = bufferSize / static_cast<std::int64_t>(sizeof(T));
    if (capacity <= 0) {
      const std::string condition =
          "[bufferElementCapacity:" + std::to_string(capacity) + "] == [bufferSize:" + std::to_string(bufferSize) +
          "] / [sizeOfElement:" + std::to_string(sizeof(T)) + "]" + "\n    This might happen if:" +
          "\n    * The structure used in the upstream component is different from the one that is used in the "
          "downstream component (event if they both appear to have the same name)" +
          "\n    * And/or the upstream component has not set the buffer size to be equal to [sizeof(structure) * "
          "elementCount]";
      static_assert(__LINE__ == 281); Fail(__LINE__, __PRETTY_FUNCTION__, condition);
    }
  } else if constexpr (IOTypeOf<T>::kind == IOKind::number) {
    capacity = (type->typeMask & VTRO_TYPE_VECTOR_FLAG) != 0 ? bufferSize : 1;
  }
  // Images and compressed images are read whole: Element().






  if constexpr (IOTypeOf<T>::kind == IOKind::other) {
    static_assert(__LINE__ == 294); Fail(__LINE__, __PRETTY_FUNCTION__, "I/O type not supported");
  }
  char* data = static_cast<char*>(ioElt->Data());
  T* typedElementPtr = data != nullptr ? reinterpret_cast<T*>(data + elementIndex * sizeof(T)) : nullptr;

  static_assert(__LINE__ == 299); if (typedElementPtr == nullptr) Fail(__LINE__, __PRETTY_FUNCTION__, "Assertion Failed: typedElementPtr != NULL");

  if (static_cast<std::int64_t>(elementIndex) >= capacity) {
    const std::string condition = "Element index is out of bounds. [elementIndex:" + std::to_string(elementIndex) +
                                  "] >= [bufferElementCapacity:" + std::to_string(capacity) + "]";
    static_assert(__LINE__ == 304); Fail(__LINE__, __PRETTY_FUNCTION__, condition);
  }
  return typedElementPtr;
}

// StartWriting on construction (the output's type checked against T's with
// `check`; a custom structure's output may give code 1 or 0x40000),
// StopWriting on destruction: published, or discarded when an exception
// destroys the guard.
template <class T>
class OutputGuard {
 public:
  OutputGuard(VTROComponent* component, VTROOutput* output, bool check = true)
      : m_component(component), m_output(output), m_check(check) {
    using io_access_detail::Fail;
    static_assert(__LINE__ == 319); if (m_component == nullptr) Fail(__LINE__, __PRETTY_FUNCTION__, "Assertion Failed: m_component != NULL");
    m_ioEltOut = m_component->StartWriting(m_output);
    static_assert(__LINE__ == 321); if (m_ioEltOut == nullptr) Fail(__LINE__, __PRETTY_FUNCTION__, "Assertion Failed: m_ioEltOut != NULL");
    if (m_check && !io_access_detail::TypeMatches<T>(*m_output->ElementType())) {
      const std::string condition = std::string("The ElementType of the OutputGuard of [output_name:") + m_output->ShortName() + "] doesn't match the actual type of the output";
      m_component->StopWriting(m_ioEltOut, true);
      m_ioEltOut = nullptr;
      static_assert(__LINE__ == 326); Fail(__LINE__, __PRETTY_FUNCTION__, condition, m_component->Name());
    }
  }
  ~OutputGuard() noexcept(false) {
    if (m_ioEltOut == nullptr) return;
    if (!m_unwind.Unwinding()) {
      m_component->StopWriting(m_ioEltOut, false);
      return;
    }
    try {
      m_component->StopWriting(m_ioEltOut, true);
    } catch (...) {
      // Already unwinding: the first exception goes on.
    }
  }
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;

  VTROIOElt* Element() const { return m_ioEltOut; }
  // Element 0, typed.
  T* Data() const { return GetIOElementPointer<T>(m_ioEltOut, 0, m_check); }
  T& operator[](std::size_t index) const { return *GetIOElementPointer<T>(m_ioEltOut, index, m_check); }

 private:
  VTROComponent* m_component;
  VTROOutput* m_output;
  bool m_check;
  VTROIOElt* m_ioEltOut = nullptr;
  io_access_detail::UnwindProbe m_unwind;
};

// The guards are made on the stack of the thread that reads or writes, one
// per element: a component takes at most one element of an input, and one
// of an output, at a time (a second StartReading gives the first element
// back; a second StartWriting before StopWriting takes another element).
//
// StartReading on construction (the element's type checked against T's with
// `check`), StopReading on destruction. False when there was nothing to read
// (a sequential component without data, an unconnected input).
template <class T>
class InputGuard {
 public:
  InputGuard(VTROComponent* component, VTROInput* input, bool check = true)
      : m_component(component), m_input(input), m_check(check) {
    using io_access_detail::Fail;















    static_assert(__LINE__ == 386); if (m_component == nullptr) Fail(__LINE__, __PRETTY_FUNCTION__, "Assertion Failed: m_component != NULL");
    m_ioElt = m_component->StartReading(m_input);
    if (m_ioElt != nullptr && m_check && !io_access_detail::TypeMatches<T>(*m_ioElt->Type())) {
      const std::string condition = std::string("The ElementType of the InputGuard of [input_name:") + m_input->ShortName() + "] doesn't match the actual type of the input";
      m_component->StopReading(m_input);

      static_assert(__LINE__ == 392); Fail(__LINE__, __PRETTY_FUNCTION__, condition, m_component->Name());
    }
  }
  ~InputGuard() noexcept(false) {
    if (m_ioElt == nullptr) return;
    if (!m_unwind.Unwinding()) {
      m_component->StopReading(m_input);
      return;
    }
    try {
      m_component->StopReading(m_input);
    } catch (...) {
      // Already unwinding: the first exception goes on.
    }
  }
  InputGuard(const InputGuard&) = delete;
  InputGuard& operator=(const InputGuard&) = delete;

  explicit operator bool() const { return m_ioElt != nullptr; }
  VTROIOElt* Element() const { return m_ioElt; }
  // Element 0, typed.
  T* Data() const { return GetIOElementPointer<T>(m_ioElt, 0, m_check); }
  T& operator[](std::size_t index) const { return *GetIOElementPointer<T>(m_ioElt, index, m_check); }

 private:
  VTROComponent* m_component;
  VTROInput* m_input;
  bool m_check;
  VTROIOElt* m_ioElt = nullptr;
  io_access_detail::UnwindProbe m_unwind;
};

}  // namespace VTRO
