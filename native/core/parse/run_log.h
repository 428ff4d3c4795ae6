// The parser's diagnostics under speculation and memoisation: a list that can
// be cut back to an earlier length (a failed speculative reading) and that
// replays what a memoised rule recorded in constant time. Copying the recorded
// items on every reuse would cost nesting depth × diagnostics on nested,
// erroneous input (each level reuses everything below it).
#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarn::parse {

template <class Item>
class RunLog {
 public:
  static constexpr uint32_t kEmpty = UINT32_MAX;  // a run with no items

  size_t mark() const { return live_.size(); }
  void push(const Item& item) { live_.push_back({item, kEmpty}); }
  // Forgets everything recorded since `m`.
  void cut(size_t m) {
    if (live_.size() > m) live_.resize(m);
  }
  // Keeps everything recorded since `m` as a run for replay(), standing in
  // for it from now on. A mark taken after `m` is no longer valid; marks up
  // to `m` are.
  uint32_t seal(size_t m) {
    if (live_.size() <= m) return kEmpty;
    const auto begin = static_cast<uint32_t>(sealed_.size());
    sealed_.insert(sealed_.end(), live_.begin() + static_cast<std::ptrdiff_t>(m), live_.end());
    const auto run = static_cast<uint32_t>(runs_.size());
    runs_.emplace_back(begin, static_cast<uint32_t>(sealed_.size()));
    live_.resize(m);
    live_.push_back({Item{}, run});
    return run;
  }
  void replay(uint32_t run) {
    if (run != kEmpty) live_.push_back({Item{}, run});
  }
  // Every item, in the order recorded, runs expanded (without recursion:
  // runs nest as deeply as the rules that sealed them).
  std::vector<Item> items() const {
    std::vector<Item> out;
    std::vector<std::pair<const Entry*, const Entry*>> stack{{live_.data(), live_.data() + live_.size()}};
    while (!stack.empty()) {
      auto& [it, end] = stack.back();
      if (it == end) {
        stack.pop_back();
        continue;
      }
      const Entry& e = *it++;
      if (e.run == kEmpty) {
        out.push_back(e.item);
      } else {
        const auto [b, en] = runs_[e.run];
        stack.emplace_back(sealed_.data() + b, sealed_.data() + en);
      }
    }
    return out;
  }

 private:
  struct Entry {
    Item item;
    uint32_t run;  // kEmpty: the item itself; else a sealed run
  };
  std::vector<Entry> live_;
  std::vector<Entry> sealed_;
  std::vector<std::pair<uint32_t, uint32_t>> runs_;  // [begin, end) in sealed_
};

}  // namespace tarn::parse
