#include "graph_config/topological_sorter.h"

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "gmock/gmock.h"
#include "gtest/gtest.h"

namespace util {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Edges = std::vector<std::pair<int, int>>;

// The whole order a sorter hands out, and whether it stopped on a cycle.
template <typename Sorter>
std::vector<int> Drain(Sorter* sorter, bool* cyclic, std::vector<int>* cycle) {
  std::vector<int> order;
  int node;
  while (sorter->GetNext(&node, cyclic, cycle)) order.push_back(node);
  return order;
}

// Reference: the lexicographically smallest permutation that respects every edge, by trying
// every permutation; empty when none does (the graph is cyclic).
std::vector<int> SmallestTopologicalOrder(int n, const Edges& edges) {
  std::vector<int> perm(n);
  std::iota(perm.begin(), perm.end(), 0);
  do {
    std::vector<int> position(n);
    for (int i = 0; i < n; ++i) position[perm[i]] = i;
    bool ok = std::all_of(edges.begin(), edges.end(),
                          [&](const auto& e) { return position[e.first] < position[e.second]; });
    if (ok) return perm;
  } while (std::next_permutation(perm.begin(), perm.end()));
  return {};
}

void ExpectRealCycle(const std::vector<int>& cycle, const Edges& edges) {
  ASSERT_FALSE(cycle.empty());
  std::set<std::pair<int, int>> edge_set(edges.begin(), edges.end());
  for (size_t i = 0; i < cycle.size(); ++i) {
    EXPECT_TRUE(edge_set.count({cycle[i], cycle[(i + 1) % cycle.size()]}))
        << cycle[i] << "->" << cycle[(i + 1) % cycle.size()];
  }
  EXPECT_EQ(std::set<int>(cycle.begin(), cycle.end()).size(), cycle.size());
}

TEST(TopologicalSorterTest, StableAndUnstableOrders) {
  DenseIntStableTopologicalSorter stable(4);
  DenseIntTopologicalSorter unstable(4);
  for (auto [from, to] : Edges{{0, 3}, {1, 2}}) {
    stable.AddEdge(from, to);
    unstable.AddEdge(from, to);
  }
  bool cyclic = true;
  EXPECT_THAT(Drain(&stable, &cyclic, nullptr), ElementsAre(0, 1, 2, 3));
  EXPECT_FALSE(cyclic);
  EXPECT_THAT(Drain(&unstable, &cyclic, nullptr), ElementsAre(0, 1, 3, 2));
  EXPECT_FALSE(cyclic);

  DenseIntStableTopologicalSorter empty;
  int node;
  EXPECT_FALSE(empty.GetNext(&node, &cyclic, nullptr));
  EXPECT_FALSE(cyclic);
}

TEST(TopologicalSorterTest, StableOrderIsSmallestOnRandomDags) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + rng() % 7;
    // Edges follow a random hidden order, so the graph is acyclic; some repeat.
    std::vector<int> hidden(n);
    std::iota(hidden.begin(), hidden.end(), 0);
    std::shuffle(hidden.begin(), hidden.end(), rng);
    Edges edges;
    for (int k = rng() % (2 * n + 1); k > 0; --k) {
      int a = rng() % n, b = rng() % n;
      if (a == b) continue;
      if (a > b) std::swap(a, b);
      edges.emplace_back(hidden[a], hidden[b]);
      if (rng() % 4 == 0) edges.emplace_back(hidden[a], hidden[b]);
    }
    DenseIntStableTopologicalSorter sorter(n);
    for (auto [from, to] : edges) sorter.AddEdge(from, to);
    bool cyclic = true;
    EXPECT_EQ(Drain(&sorter, &cyclic, nullptr), SmallestTopologicalOrder(n, edges));
    EXPECT_FALSE(cyclic);
  }
}

TEST(TopologicalSorterTest, RandomGraphsReportRealCycles) {
  std::mt19937 rng(11);
  int cyclic_graphs = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 1 + rng() % 6;
    Edges edges;
    for (int k = rng() % (2 * n + 1); k > 0; --k) edges.emplace_back(rng() % n, rng() % n);
    const bool expect_cycle = SmallestTopologicalOrder(n, edges).empty();
    for (bool stable : {true, false}) {
      bool cyclic = false;
      std::vector<int> cycle;
      if (stable) {
        DenseIntStableTopologicalSorter sorter(n);
        for (auto [from, to] : edges) sorter.AddEdge(from, to);
        Drain(&sorter, &cyclic, &cycle);
      } else {
        DenseIntTopologicalSorter sorter(n);
        for (auto [from, to] : edges) sorter.AddEdge(from, to);
        Drain(&sorter, &cyclic, &cycle);
      }
      EXPECT_EQ(cyclic, expect_cycle);
      if (expect_cycle) {
        ExpectRealCycle(cycle, edges);
      } else {
        EXPECT_THAT(cycle, IsEmpty());
      }
    }
    cyclic_graphs += expect_cycle;
    if (expect_cycle) ExpectRealCycle(FindCycleInDenseIntGraph(n, edges), edges);
  }
  EXPECT_GT(cyclic_graphs, 50);
}

TEST(TopologicalSorterTest, CycleAfterSomeNodesAndSelfLoop) {
  DenseIntStableTopologicalSorter sorter(4);
  for (auto [from, to] : Edges{{0, 1}, {1, 2}, {2, 1}, {2, 3}}) sorter.AddEdge(from, to);
  bool cyclic = false;
  std::vector<int> cycle;
  EXPECT_THAT(Drain(&sorter, &cyclic, &cycle), ElementsAre(0));
  EXPECT_TRUE(cyclic);
  EXPECT_THAT(cycle, ElementsAre(1, 2));

  EXPECT_THAT(FindCycleInDenseIntGraph(3, {{1, 1}}), ElementsAre(1));
  EXPECT_THAT(FindCycleInDenseIntGraph(0, {{0, 0}}), IsEmpty());
  // An arc may name a node beyond the count; it is added.
  EXPECT_THAT(FindCycleInDenseIntGraph(2, {{0, 5}, {5, 0}}), ElementsAre(0, 5));
}

TEST(TopologicalSorterTest, DuplicateEdgesCountOnce) {
  // Short lists drop a repeat at once: node 3 becomes ready after one removal.
  DenseIntTopologicalSorter sorter(4);
  sorter.AddEdge(0, 3);
  sorter.AddEdge(0, 3);
  EXPECT_EQ(sorter.GetCurrentFringeSize(), 3);  // 0, 1, 2
  bool cyclic;
  EXPECT_THAT(Drain(&sorter, &cyclic, nullptr), ElementsAre(0, 1, 2, 3));

  // Long lists take repeats and are cleaned lazily; the order is unaffected either way.
  const int n = 60;
  DenseIntStableTopologicalSorter long_lists(n);
  Edges edges;
  for (int round = 0; round < 3; ++round) {
    for (int to = n - 1; to >= 1; --to) {
      long_lists.AddEdge(0, to);
      edges.emplace_back(0, to);
    }
  }
  long_lists.AddEdge(n - 1, 1);
  std::vector<int> expected = {0};
  for (int k = 2; k < n; ++k) expected.push_back(k);
  expected.push_back(1);
  EXPECT_EQ(Drain(&long_lists, &cyclic, nullptr), expected);
  EXPECT_FALSE(cyclic);
}

TEST(TopologicalSorterTest, RemoveDuplicatesKeepsFirstOccurrences) {
  DenseIntTopologicalSorter::AdjacencyList lists(3);
  for (int v : {2, 1, 2, 2, 0, 1}) lists[0].push_back(v);
  for (int v : {1, 1}) lists[1].push_back(v);
  // The same successors in another list are that list's own.
  for (int v : {0, 1, 0, 2}) lists[2].push_back(v);
  EXPECT_EQ(DenseIntTopologicalSorter::RemoveDuplicates(&lists, 3), 4);
  EXPECT_THAT(std::vector<int>(lists[0].begin(), lists[0].end()), ElementsAre(2, 1, 0));
  EXPECT_EQ(lists[1].size(), 2u);  // shorter than 3: kept as is
  EXPECT_THAT(std::vector<int>(lists[2].begin(), lists[2].end()), ElementsAre(0, 1, 2));
}

TEST(Vector32Test, GrowsByThirtyPercent) {
  qsx::vector32<int> v;
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 20; ++i) {
    v.push_back(i);
    if (capacities.empty() || capacities.back() != v.capacity()) capacities.push_back(v.capacity());
  }
  EXPECT_THAT(capacities, ElementsAre(1, 2, 3, 4, 5, 6, 7, 9, 11, 14, 18, 23));
  v.erase(v.begin() + 2, v.begin() + 19);
  EXPECT_THAT(std::vector<int>(v.begin(), v.end()), ElementsAre(0, 1, 19));
}

TEST(Vector32DeathTest, OverflowAndOvererasingAreFatal) {
  qsx::vector32<int> v;
  v.push_back(1);
  EXPECT_DEATH(v.NewCapacity(qsx::vector32<int>::max_size()),
               "delta <= max_size\\(\\) - size\\(\\)");
  int outside[3] = {};
  EXPECT_DEATH(v.erase(outside, outside + 2), "last - first <= size_");
}

TEST(TopologicalSorterDeathTest, AddingAfterTraversalStartedIsFatal) {
  DenseIntStableTopologicalSorter sorter(2);
  int node;
  bool cyclic;
  sorter.GetNext(&node, &cyclic, nullptr);
  EXPECT_DEATH(sorter.AddEdge(0, 1), "Cannot add edges after starting traversal");
}

}  // namespace
}  // namespace util
