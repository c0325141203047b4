// Topological sorting of graphs whose nodes are numbered densely from 0.
//
// The stable sorter always hands out the smallest-numbered node whose predecessors have all
// been handed out, so its order is the lexicographically smallest topological order; the
// unstable sorter hands nodes out in the order they become ready. A cyclic graph stops the
// traversal, and `ExtractCycle` names one cycle.
//
//   util::internal::DenseIntTopologicalSorterTpl<true> sorter(3);
//   sorter.AddEdge(2, 0);
//   int node; bool cyclic;
//   while (sorter.GetNext(&node, &cyclic, nullptr)) { ... }   // 1, 2, 0

#ifndef GRAPH_CONFIG_TOPOLOGICAL_SORTER_H_
#define GRAPH_CONFIG_TOPOLOGICAL_SORTER_H_

#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "graph_config/vector32.h"

namespace util {
namespace internal {

template <bool stable_sort>
class DenseIntTopologicalSorterTpl {
 public:
  using AdjacencyList = std::vector<qsx::vector32<int>>;

  DenseIntTopologicalSorterTpl() = default;
  explicit DenseIntTopologicalSorterTpl(int num_nodes) : adjacency_lists_(num_nodes) {}

  // Makes sure nodes 0 to `node_index` exist.
  void AddNode(int node_index);
  // Adds the edge from -> to (once; repeats are dropped), creating nodes as needed.
  void AddEdge(int from, int to);

  // Hands out the next node and returns true; returns false when every node was handed out
  // (`*cyclic` false) or when the rest of the graph is cyclic (`*cyclic` true, and `*cycle`,
  // when not null, holds one cycle).
  bool GetNext(int* next_node_index, bool* cyclic, std::vector<int>* output_cycle_nodes);

  bool TraversalStarted() const { return traversal_started_; }
  void StartTraversal();
  int GetCurrentFringeSize() {
    StartTraversal();
    return static_cast<int>(nodes_with_zero_indegree_.size());
  }

  // One cycle of the current successor lists, in edge order, starting where it closes; empty
  // when there is none. Nodes already handed out take no part.
  void ExtractCycle(std::vector<int>* cycle_nodes) const;

  // Drops repeated successors from every list of at least max(2, skip_lists_smaller_than)
  // entries, keeping first occurrences in order; returns how many entries were dropped.
  static int RemoveDuplicates(AdjacencyList* lists, int skip_lists_smaller_than);

 private:
  using Fringe =
      std::conditional_t<stable_sort,
                         std::priority_queue<int, std::vector<int>, std::greater<int>>,
                         std::queue<int>>;

  static int FringeTop(const Fringe& fringe) {
    if constexpr (stable_sort) {
      return fringe.top();
    } else {
      return fringe.front();
    }
  }

  AdjacencyList adjacency_lists_;
  bool traversal_started_ = false;
  int num_nodes_left_for_traversal_ = 0;
  Fringe nodes_with_zero_indegree_;
  std::vector<int> indegree_;
  int num_edges_ = 0;
  int num_edges_added_since_last_duplicate_removal_ = 0;
};

extern template class DenseIntTopologicalSorterTpl<true>;
extern template class DenseIntTopologicalSorterTpl<false>;

}  // namespace internal

using DenseIntStableTopologicalSorter = internal::DenseIntTopologicalSorterTpl<true>;
using DenseIntTopologicalSorter = internal::DenseIntTopologicalSorterTpl<false>;

// One cycle of the graph of `num_nodes` nodes and `arcs` (from, to), or an empty list.
std::vector<int> FindCycleInDenseIntGraph(int num_nodes,
                                          const std::vector<std::pair<int, int>>& arcs);

}  // namespace util

#endif  // GRAPH_CONFIG_TOPOLOGICAL_SORTER_H_
