// The framework's containers: VTROList, an ordered doubly linked list with a
// signed 32-bit count, and VTROArray, a growable array. Header-only, so that a
// list built by one package can be walked by the engine or another package.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

template <class T>
class VTROListItem {
 public:
  explicit VTROListItem(const T& value) : m_value(value) {}
  virtual ~VTROListItem() = default;

  VTROListItem* Previous() const { return m_previous; }
  VTROListItem* Next() const { return m_next; }
  T& Value() { return m_value; }
  const T& Value() const { return m_value; }

 private:
  template <class>
  friend class VTROList;
  VTROListItem* m_previous = nullptr;
  VTROListItem* m_next = nullptr;
  T m_value;
};

// Items are appended at the tail; Remove unlinks one item and deletes it, never
// the value it holds.
template <class T>
class VTROList {
 public:
  using Item = VTROListItem<T>;

  VTROList() = default;
  VTROList(const VTROList&) = delete;
  VTROList& operator=(const VTROList&) = delete;
  virtual ~VTROList() { Clear(); }

  Item* Append(const T& value) {
    Item* item = new Item(value);
    item->m_previous = m_tail;
    if (m_tail != nullptr) {
      m_tail->m_next = item;
    } else {
      m_head = item;
    }
    m_tail = item;
    ++m_count;
    return item;
  }
  void Remove(Item* item) {
    if (item == nullptr) return;
    if (item->m_previous != nullptr) {
      item->m_previous->m_next = item->m_next;
    } else {
      m_head = item->m_next;
    }
    if (item->m_next != nullptr) {
      item->m_next->m_previous = item->m_previous;
    } else {
      m_tail = item->m_previous;
    }
    --m_count;
    delete item;
  }
  // Removes the first item holding `value`; returns whether one was found.
  bool RemoveValue(const T& value) {
    Item* item = Find(value);
    if (item == nullptr) return false;
    Remove(item);
    return true;
  }
  Item* Find(const T& value) const {
    for (Item* item = m_head; item != nullptr; item = item->m_next) {
      if (item->m_value == value) return item;
    }
    return nullptr;
  }
  // Position `index` (0 = head), or null outside the list.
  Item* At(std::int32_t index) const {
    if (index < 0 || index >= m_count) return nullptr;
    Item* item = m_head;
    while (index-- > 0) item = item->m_next;
    return item;
  }
  void Clear() {
    while (m_head != nullptr) Remove(m_head);
  }

  Item* Head() const { return m_head; }
  Item* Tail() const { return m_tail; }
  std::int32_t Count() const { return m_count; }
  bool Empty() const { return m_count == 0; }

  class Iterator {
   public:
    explicit Iterator(Item* item) : m_item(item) {}
    T& operator*() const { return m_item->Value(); }
    Iterator& operator++() {
      m_item = m_item->Next();
      return *this;
    }
    bool operator!=(const Iterator& other) const { return m_item != other.m_item; }

   private:
    Item* m_item;
  };
  Iterator begin() const { return Iterator(m_head); }
  Iterator end() const { return Iterator(nullptr); }

 private:
  Item* m_head = nullptr;
  Item* m_tail = nullptr;
  std::int32_t m_count = 0;
};

// A growable array of values that are copied in. Used for the values of an
// enumeration and other small collections.
template <class T>
class VTROArray {
 public:
  VTROArray() = default;
  VTROArray(const VTROArray& other) { *this = other; }
  VTROArray& operator=(const VTROArray& other) {
    if (this == &other) return *this;
    Clear();
    Reserve(other.m_count);
    for (std::int32_t i = 0; i < other.m_count; ++i) Add(other.m_data[i]);
    return *this;
  }
  ~VTROArray() {
    Clear();
    std::free(m_data);
  }

  void Add(const T& value) {
    Reserve(m_count + 1);
    new (&m_data[m_count]) T(value);
    ++m_count;
  }
  void Clear() {
    for (std::int32_t i = 0; i < m_count; ++i) m_data[i].~T();
    m_count = 0;
  }
  std::int32_t Count() const { return m_count; }
  T& operator[](std::int32_t index) { return m_data[index]; }
  const T& operator[](std::int32_t index) const { return m_data[index]; }

 private:
  void Reserve(std::int32_t wanted) {
    if (wanted <= m_capacity) return;
    std::int32_t capacity = m_capacity < 4 ? 4 : m_capacity * 2;
    while (capacity < wanted) capacity *= 2;
    T* block = static_cast<T*>(std::malloc(sizeof(T) * static_cast<std::size_t>(capacity)));
    if (block == nullptr) throw -5;  // VTRO::ErrorException
    for (std::int32_t i = 0; i < m_count; ++i) {
      new (&block[i]) T(std::move(m_data[i]));
      m_data[i].~T();
    }
    std::free(m_data);
    m_data = block;
    m_capacity = capacity;
  }

  T* m_data = nullptr;
  std::int32_t m_count = 0;
  std::int32_t m_capacity = 0;
};

// A pair of values, as returned by the free-function form of CreateThread.
template <class A, class B>
struct VTROCouple {
  A first;
  B second;
};
