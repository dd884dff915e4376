// VTROStackedString: the framework's string, with a 40-byte inline buffer so
// that names and short texts need no heap block. Header-only: the engine and
// every package may read a string made by another copy of the framework.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

class VTROStackedString {
 public:
  static constexpr std::size_t kInlineCapacity = 40;

  VTROStackedString() { m_inline[0] = '\0'; }
  VTROStackedString(const char* text) { m_inline[0] = '\0'; Assign(text); }  // NOLINT: implicit by design
  VTROStackedString(const char* text, std::size_t length) {
    m_inline[0] = '\0';
    Assign(text, length);
  }
  VTROStackedString(const VTROStackedString& other) {
    m_inline[0] = '\0';
    Assign(other.c_str(), other.m_length);
  }
  VTROStackedString(VTROStackedString&& other) noexcept {
    m_inline[0] = '\0';
    if (other.m_heap != nullptr) {
      m_heap = other.m_heap;
      m_capacity = other.m_capacity;
      m_length = other.m_length;
      other.m_heap = nullptr;
      other.m_capacity = 0;
      other.m_length = 0;
      other.m_inline[0] = '\0';
    } else {
      Assign(other.m_inline, other.m_length);
    }
  }
  ~VTROStackedString() { std::free(m_heap); }

  VTROStackedString& operator=(const VTROStackedString& other) {
    if (this != &other) Assign(other.c_str(), other.m_length);
    return *this;
  }
  VTROStackedString& operator=(const char* text) {
    Assign(text);
    return *this;
  }

  void Assign(const char* text) { Assign(text, text == nullptr ? 0 : std::strlen(text)); }
  void Assign(const char* text, std::size_t length) {
    if (text == nullptr) length = 0;
    // The source may lie inside this string's own buffer: reserve keeps it.
    char* target = Reserve(length);
    if (length > 0 && target != text) std::memmove(target, text, length);
    target[length] = '\0';
    m_length = length;
  }
  void Append(const char* text) { Append(text, text == nullptr ? 0 : std::strlen(text)); }
  void Append(const char* text, std::size_t length) {
    if (text == nullptr || length == 0) return;
    const std::size_t total = m_length + length;
    // Copy first when the appended text lives in our buffer and a grow may move it.
    if (text >= c_str() && text < c_str() + m_length + 1) {
      VTROStackedString copy(text, length);
      Append(copy.c_str(), length);
      return;
    }
    char* target = Reserve(total);
    std::memcpy(target + m_length, text, length);
    target[total] = '\0';
    m_length = total;
  }
  VTROStackedString& operator+=(const char* text) {
    Append(text);
    return *this;
  }
  VTROStackedString& operator+=(const VTROStackedString& text) {
    Append(text.c_str(), text.m_length);
    return *this;
  }
  void Clear() {
    c_buffer()[0] = '\0';
    m_length = 0;
  }

  const char* c_str() const { return m_heap != nullptr ? m_heap : m_inline; }
  std::size_t size() const { return m_length; }
  bool empty() const { return m_length == 0; }
  bool operator==(const char* text) const { return std::strcmp(c_str(), text == nullptr ? "" : text) == 0; }
  bool operator==(const VTROStackedString& other) const { return std::strcmp(c_str(), other.c_str()) == 0; }

 private:
  char* c_buffer() { return m_heap != nullptr ? m_heap : m_inline; }
  // Makes room for `length` characters plus the terminator, keeping the content.
  char* Reserve(std::size_t length) {
    if (m_heap == nullptr && length < kInlineCapacity) return m_inline;
    if (m_heap != nullptr && length < m_capacity) return m_heap;
    std::size_t capacity = length + 1 + length / 2;
    char* block = static_cast<char*>(std::malloc(capacity));
    if (block == nullptr) throw -5;  // VTRO::ErrorException: no memory left for a text
    std::memcpy(block, c_str(), m_length + 1);
    std::free(m_heap);
    m_heap = block;
    m_capacity = capacity;
    return m_heap;
  }

  char m_inline[kInlineCapacity];
  char* m_heap = nullptr;
  std::size_t m_capacity = 0;
  std::size_t m_length = 0;
};
