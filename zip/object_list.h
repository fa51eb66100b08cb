// Lists of objects: TObjectList (optionally owning), TSortedObjectList
// (kept in order by binary insertion, with a duplicates policy) and
// TSortedZip (directory entries in one of the engine's sort modes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zip/errors.h"

namespace corvid::zip {

// A list can never hold more than this many items: ZIP counts are 16-bit.
inline constexpr int kMaxListCapacity = 65535;

[[noreturn]] void ThrowListIndexError(int64_t index);

template <typename T>
class TObjectList {
 public:
  explicit TObjectList(bool owns_items = true) : owns_items_(owns_items) {}
  virtual ~TObjectList() { Clear(); }
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  int Capacity() const { return capacity_; }
  void SetOwnsItems(bool owns) { owns_items_ = owns; }

  T* Get(int index) const {
    CheckIndex(index);
    return items_[static_cast<size_t>(index)];
  }
  T* operator[](int index) const { return Get(index); }

  // Appends and returns the new index.
  virtual int Add(T* item) {
    Insert(Count(), item);
    return Count() - 1;
  }
  // Replaces the item at `index` (the old one is freed when owned).
  virtual void Put(int index, T* item) {
    CheckIndex(index);
    if (owns_items_ && items_[static_cast<size_t>(index)] != item) delete items_[static_cast<size_t>(index)];
    items_[static_cast<size_t>(index)] = item;
  }
  void Delete(int index) {
    CheckIndex(index);
    if (owns_items_) delete items_[static_cast<size_t>(index)];
    items_.erase(items_.begin() + index);
  }
  // Takes an item out without freeing it.
  T* Extract(int index) {
    T* item = Get(index);
    items_.erase(items_.begin() + index);
    return item;
  }
  void Clear() {
    if (owns_items_)
      for (T* item : items_) delete item;
    items_.clear();
    capacity_ = 0;
    items_.shrink_to_fit();
  }

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 protected:
  void Insert(int index, T* item) {
    if (index < 0 || index > Count()) ThrowListIndexError(index);
    if (Count() == capacity_) Grow();
    items_.insert(items_.begin() + index, item);
  }
  void CheckIndex(int index) const {
    if (index < 0 || index >= Count()) ThrowListIndexError(index);
  }

 private:
  // Grows by 4 while below 5, by 8 while below 9, then by 16; the last step
  // stops at the largest capacity a list may have.
  void Grow() {
    int delta = capacity_ < 5 ? 4 : capacity_ < 9 ? 8 : 16;
    int wanted = capacity_ + delta;
    if (wanted > kMaxListCapacity) {
      if (capacity_ >= kMaxListCapacity) ThrowListIndexError(capacity_ + 1);
      wanted = kMaxListCapacity;
    }
    // The vector keeps its own geometric growth: reserving each small step
    // would copy the whole list every 16 items.
    capacity_ = wanted;
  }

  std::vector<T*> items_;
  int capacity_ = 0;
  bool owns_items_;
};

enum class TDuplicates { Ignore = 0, Accept = 1, Error = 2 };

template <typename T>
class TSortedObjectList : public TObjectList<T> {
 public:
  TSortedObjectList(TDuplicates duplicates, bool owns_items)
      : TObjectList<T>(owns_items), duplicates_(duplicates) {}

  // <0 when a sorts before b, 0 when equal, >0 after.
  virtual int Compare(const T& a, const T& b) const = 0;

  // Inserts at its sorted place. Returns the index, or -1 when an equal item
  // was ignored (TDuplicates::Ignore). Raises EListError "Duplicate Object index" with
  // TDuplicates::Error.
  int Add(T* item) override {
    int index = 0;
    if (Find(*item, &index)) {
      if (duplicates_ == TDuplicates::Ignore) return -1;
      if (duplicates_ == TDuplicates::Error) throw EListError("Duplicate Object index");
    }
    this->Insert(index, item);
    return index;
  }
  void Put(int, T*) override { throw EListError("Cannot <Put> an Object in a sorted list!"); }

  // Whether an equal item exists; `*index` gets the insertion index (the
  // found item's own index when duplicates are not accepted).
  bool Find(const T& item, int* index) const {
    bool found = false;
    int lo = 0;
    int hi = this->Count() - 1;
    while (lo <= hi) {
      int mid = static_cast<int>((static_cast<unsigned>(lo) + static_cast<unsigned>(hi)) / 2);
      int c = Compare(*this->Get(mid), item);
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
        if (c == 0) {
          found = true;
          if (duplicates_ != TDuplicates::Accept) lo = mid;
        }
      }
    }
    *index = lo;
    return found;
  }

 private:
  TDuplicates duplicates_;
};

class TZipHeaderInfo;

enum class TZipSortMode {
  ByName = 0,
  ByFileName = 1,
  ByDirectoryName = 2,
  ByDate = 3,
  ByCompressedSize = 4,
  ByUnCompressedSize = 5,
  ByRate = 6,
  ByNone = 7,
};

class TSortedZip : public TSortedObjectList<TZipHeaderInfo> {
 public:
  TSortedZip(TZipSortMode mode, TDuplicates duplicates, bool owns_items)
      : TSortedObjectList(duplicates, owns_items), mode_(mode) {}

  TZipSortMode SortMode() const { return mode_; }
  int Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const override;

 private:
  TZipSortMode mode_;
};

// The compression rate used by ByRate: min(100, round(compressed * 100 /
// uncompressed)), 0 for an empty entry.
int CompressionRate(const TZipHeaderInfo& entry);

}  // namespace corvid::zip
