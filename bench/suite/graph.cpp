// Graph search in C++: a grid graph with weighted edges, shortest paths
// by Dijkstra's algorithm over a binary heap template, and cost models
// chosen through virtual calls: templates, inlining and indirect calls
// as C++ programs make them.  No heap: everything lives in static arrays.
#include <stdint.h>

#include "suite.h"

namespace {

constexpr int kSide = 48, kNodes = kSide * kSide, kRounds = 96;

template <typename T, int N, typename Less>
class Heap {
 public:
  void clear() { size_ = 0; }
  bool empty() const { return size_ == 0; }
  void push(const T& v) {
    int i = size_++;
    items_[i] = v;
    while (i > 0 && less_(items_[i], items_[(i - 1) / 2])) {
      swap(i, (i - 1) / 2);
      i = (i - 1) / 2;
    }
  }
  T pop() {
    const T top = items_[0];
    items_[0] = items_[--size_];
    for (int i = 0;;) {
      const int l = 2 * i + 1, r = l + 1;
      int m = i;
      if (l < size_ && less_(items_[l], items_[m])) m = l;
      if (r < size_ && less_(items_[r], items_[m])) m = r;
      if (m == i) break;
      swap(i, m);
      i = m;
    }
    return top;
  }

 private:
  void swap(int a, int b) {
    const T t = items_[a];
    items_[a] = items_[b];
    items_[b] = t;
  }
  T items_[N];
  int size_ = 0;
  Less less_;
};

struct Entry {
  uint32_t dist;
  int node;
};
struct Closer {
  bool operator()(const Entry& a, const Entry& b) const { return a.dist < b.dist; }
};

class CostModel {
 public:
  virtual ~CostModel() = default;
  virtual uint32_t cost(int from, int to, uint8_t terrain) const = 0;
};

class Walking : public CostModel {
 public:
  uint32_t cost(int, int, uint8_t terrain) const override { return 10u + terrain; }
};

class Climbing : public CostModel {
 public:
  explicit Climbing(const uint8_t* height) : height_(height) {}
  uint32_t cost(int from, int to, uint8_t terrain) const override {
    const int rise = height_[to] - height_[from];
    return 5u + terrain / 2 + uint32_t(rise > 0 ? rise * 3 : -rise);
  }

 private:
  const uint8_t* height_;
};

class Toll : public CostModel {
 public:
  uint32_t cost(int from, int to, uint8_t terrain) const override {
    return ((from ^ to) & 7) == 0 ? 200u : 8u + (terrain & 15);
  }
};

uint8_t terrain[kNodes], height[kNodes];
uint32_t dist[kNodes];
Heap<Entry, kNodes * 4, Closer> heap;

uint32_t shortest(const CostModel& model, int source) {
  for (uint32_t& d : dist) d = ~0u;
  heap.clear();
  dist[source] = 0;
  heap.push({0, source});
  static const int dx[4] = {1, -1, 0, 0}, dy[4] = {0, 0, 1, -1};
  while (!heap.empty()) {
    const Entry e = heap.pop();
    if (e.dist != dist[e.node]) continue;
    const int x = e.node % kSide, y = e.node / kSide;
    for (int k = 0; k < 4; ++k) {
      const int nx = x + dx[k], ny = y + dy[k];
      if (nx < 0 || ny < 0 || nx >= kSide || ny >= kSide) continue;
      const int to = ny * kSide + nx;
      const uint32_t d = e.dist + model.cost(e.node, to, terrain[to]);
      if (d < dist[to]) {
        dist[to] = d;
        heap.push({d, to});
      }
    }
  }
  uint32_t h = 0;
  for (int i = 0; i < kNodes; i += 7) h = mix(h, dist[i]);
  return h;
}

}  // namespace

int main() {
  rng_seed(73);
  const Walking walking;
  const Climbing climbing(height);
  const Toll toll;
  const CostModel* const models[] = {&walking, &climbing, &toll};
  uint32_t check = 0;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < kNodes; ++i) {
      terrain[i] = uint8_t(rng_below(32));
      height[i] = uint8_t((i % kSide + i / kSide + int(rng_below(16))) & 0xff);
    }
    for (const CostModel* m : models) check = mix(check, shortest(*m, int(rng_below(kNodes))));
  }
  report("graph", check);
  return 0;
}
