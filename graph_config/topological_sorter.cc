#include "graph_config/topological_sorter.h"

#include <algorithm>

#include "base/logging.h"

namespace util {
namespace internal {

template <bool stable_sort>
void DenseIntTopologicalSorterTpl<stable_sort>::AddNode(int node_index) {
  CHECK_GE(node_index, 0);
  CHECK(!TraversalStarted()) << "Cannot add nodes after starting traversal";
  if (node_index >= static_cast<int>(adjacency_lists_.size())) {
    adjacency_lists_.resize(node_index + 1);
  }
}

template <bool stable_sort>
void DenseIntTopologicalSorterTpl<stable_sort>::AddEdge(int from, int to) {
  CHECK_GE(from, 0);
  CHECK_GE(to, 0);
  CHECK(!TraversalStarted()) << "Cannot add edges after starting traversal";
  AddNode(std::max(from, to));
  qsx::vector32<int>& successors = adjacency_lists_[from];
  if (successors.size() <= 16) {
    // Short lists reject repeats at once.
    for (int successor : successors) {
      if (successor == to) return;
    }
    successors.push_back(to);
    ++num_edges_;
    return;
  }
  // Long lists take repeats and are cleaned lazily, when they could make up half the edges.
  successors.push_back(to);
  ++num_edges_added_since_last_duplicate_removal_;
  ++num_edges_;
  if (num_edges_added_since_last_duplicate_removal_ > num_edges_ / 2) {
    num_edges_added_since_last_duplicate_removal_ = 0;
    num_edges_ -= RemoveDuplicates(&adjacency_lists_, 32);
  }
}

template <bool stable_sort>
int DenseIntTopologicalSorterTpl<stable_sort>::RemoveDuplicates(AdjacencyList* lists,
                                                                int skip_lists_smaller_than) {
  const size_t min_size = static_cast<size_t>(std::max(2, skip_lists_smaller_than));
  std::vector<bool> seen(lists->size(), false);
  int removed = 0;
  for (qsx::vector32<int>& list : *lists) {
    if (list.size() < min_size) continue;
    uint32_t kept = 0;
    for (uint32_t i = 0; i < list.size(); ++i) {
      int successor = list[i];
      if (successor >= static_cast<int>(seen.size())) seen.resize(successor + 1, false);
      if (seen[successor]) continue;
      seen[successor] = true;
      list[kept++] = successor;
    }
    for (uint32_t i = 0; i < kept; ++i) seen[list[i]] = false;
    removed += static_cast<int>(list.size() - kept);
    list.erase(list.begin() + kept, list.end());
  }
  return removed;
}

template <bool stable_sort>
void DenseIntTopologicalSorterTpl<stable_sort>::StartTraversal() {
  if (TraversalStarted()) return;
  const int num_nodes = static_cast<int>(adjacency_lists_.size());
  indegree_.assign(num_nodes, 0);
  // Repeats count here and are subtracted again in GetNext, so they do no harm.
  for (const qsx::vector32<int>& successors : adjacency_lists_) {
    for (int successor : successors) ++indegree_[successor];
  }
  for (int node = 0; node < num_nodes; ++node) {
    if (indegree_[node] == 0) nodes_with_zero_indegree_.push(node);
  }
  num_nodes_left_for_traversal_ = num_nodes;
  traversal_started_ = true;
}

template <bool stable_sort>
bool DenseIntTopologicalSorterTpl<stable_sort>::GetNext(int* next_node_index, bool* cyclic,
                                                        std::vector<int>* output_cycle_nodes) {
  StartTraversal();
  *cyclic = false;
  if (num_nodes_left_for_traversal_ == 0) return false;
  if (nodes_with_zero_indegree_.empty()) {
    VLOG(2) << "Not all nodes have been visited (" << num_nodes_left_for_traversal_
            << " nodes left), but there aren't any zero-indegree nodes"
            << " available.  This graph is cyclic! Use ExtractCycle() for"
            << " more information.";
    *cyclic = true;
    if (output_cycle_nodes != nullptr) ExtractCycle(output_cycle_nodes);
    return false;
  }
  const int node = FringeTop(nodes_with_zero_indegree_);
  nodes_with_zero_indegree_.pop();
  --num_nodes_left_for_traversal_;
  *next_node_index = node;
  qsx::vector32<int> successors;
  successors.swap(adjacency_lists_[node]);
  for (int successor : successors) {
    if (--indegree_[successor] == 0) nodes_with_zero_indegree_.push(successor);
  }
  return true;
}

template <bool stable_sort>
void DenseIntTopologicalSorterTpl<stable_sort>::ExtractCycle(
    std::vector<int>* cycle_nodes) const {
  cycle_nodes->clear();
  const int num_nodes = static_cast<int>(adjacency_lists_.size());
  std::vector<bool> on_path(num_nodes, false);
  std::vector<bool> finished(num_nodes, false);
  // Each frame is a node of the current path and the position reached in its list.
  std::vector<std::pair<int, uint32_t>> path;
  for (int start = 0; start < num_nodes; ++start) {
    if (finished[start]) continue;
    path.emplace_back(start, 0);
    on_path[start] = true;
    while (!path.empty()) {
      auto& [node, position] = path.back();
      const qsx::vector32<int>& successors = adjacency_lists_[node];
      if (position < successors.size()) {
        const int successor = successors[position++];
        if (finished[successor]) continue;
        if (on_path[successor]) {
          // The path from the top frame down to `successor` is the cycle, in reverse.
          for (auto it = path.rbegin(); it != path.rend(); ++it) {
            cycle_nodes->push_back(it->first);
            if (it->first == successor) break;
          }
          std::reverse(cycle_nodes->begin(), cycle_nodes->end());
          return;
        }
        path.emplace_back(successor, 0);
        on_path[successor] = true;
      } else {
        finished[node] = true;
        on_path[node] = false;
        path.pop_back();
      }
    }
  }
}

template class DenseIntTopologicalSorterTpl<true>;
template class DenseIntTopologicalSorterTpl<false>;

}  // namespace internal

std::vector<int> FindCycleInDenseIntGraph(int num_nodes,
                                          const std::vector<std::pair<int, int>>& arcs) {
  std::vector<int> cycle;
  if (num_nodes <= 0) return cycle;
  DenseIntTopologicalSorter sorter(num_nodes);
  for (const auto& [from, to] : arcs) sorter.AddEdge(from, to);
  sorter.ExtractCycle(&cycle);
  return cycle;
}

}  // namespace util
