// Columns kept in buckets by an integer key, for the orderings that repeatedly take the
// column of largest or smallest key while keys change by small steps.
#pragma once

#include <vector>

#include "pattern.hpp"

namespace grouping {

class BucketQueue {
 public:
  BucketQueue(Index items, Index max_key)
      : head_(static_cast<std::size_t>(max_key) + 1, -1), next_(items, -1), prev_(items, -1),
        key_(items, -1) {}

  bool empty() const { return size_ == 0; }
  Index key(Index item) const { return key_[item]; }
  bool contains(Index item) const { return key_[item] >= 0; }

  // At the front, the next to be taken among equal keys.
  void push_front(Index item, Index key) {
    grow_to(key);
    key_[item] = key;
    prev_[item] = -1;
    next_[item] = head_[key];
    if (head_[key] >= 0) prev_[head_[key]] = item;
    head_[key] = item;
    ++size_;
    if (key > high_) high_ = key;
    if (key < low_) low_ = key;
  }

  void erase(Index item) {
    Index key = key_[item];
    if (prev_[item] >= 0) {
      next_[prev_[item]] = next_[item];
    } else {
      head_[key] = next_[item];
    }
    if (next_[item] >= 0) prev_[next_[item]] = prev_[item];
    key_[item] = -1;
    --size_;
  }

  void change(Index item, Index key) {
    erase(item);
    push_front(item, key);
  }

  Index pop_max() {
    while (head_[high_] < 0) --high_;
    Index item = head_[high_];
    erase(item);
    return item;
  }

  // The column of largest degree among the first `scan` of the largest key (the first of
  // them among equals), taken out: Coleman and Moré's tie-break for incidence degree.
  Index pop_max_by(const std::vector<Index>& degree, Index scan) {
    while (head_[high_] < 0) --high_;
    Index chosen = head_[high_];
    Index item = chosen;
    for (Index k = 1; k < scan && (item = next_[item]) >= 0; ++k) {
      if (degree[item] > degree[chosen]) chosen = item;
    }
    erase(chosen);
    return chosen;
  }

  Index pop_min() {
    while (head_[low_] < 0) ++low_;
    Index item = head_[low_];
    erase(item);
    return item;
  }

 private:
  void grow_to(Index key) {
    if (static_cast<std::size_t>(key) >= head_.size()) head_.resize(2 * key + 1, -1);
  }

  std::vector<Index> head_, next_, prev_, key_;
  Index size_ = 0;
  Index high_ = 0;
  Index low_ = 0x7fffffff;
};

}  // namespace grouping
