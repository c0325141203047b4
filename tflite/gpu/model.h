// The GPU graph: operation nodes connected by values. A value carries a tensor reference
// (element type, shape and the index of the TensorFlow Lite tensor it came from); a node
// carries an operation (its type name and a type-erased attributes record, see
// operations.h). A value has at most one producer and any number of consumers. The graph's
// inputs are the values no node produces, its outputs the values no node consumes.
//
//   GraphFloat32 graph;
//   Value* in = graph.NewValue();
//   in->tensor.shape = BHWC(1, 8, 8, 3);
//   Node* relu = graph.NewNode();
//   relu->operation.type = ToString(OperationType::RELU);
//   RETURN_IF_ERROR(graph.AddConsumer(relu->id, in->id));
//
// Nodes and values keep their addresses and ids for the life of the graph; removal only
// takes them out of the lists.

#ifndef TFLITE_GPU_MODEL_H_
#define TFLITE_GPU_MODEL_H_

#include <algorithm>
#include <any>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/status.h"
#include "tflite/gpu/shape.h"

namespace tflite {
namespace gpu {

enum class DataType { UNKNOWN, FLOAT32, FLOAT16, INT32 };

template <typename ShapeT>
struct TensorRef {
  DataType type = DataType::UNKNOWN;
  ShapeT shape;
  // The TensorFlow Lite tensor index; -1 for values the transformations made.
  int64_t ref = -1;
};

using ValueId = uint32_t;
using NodeId = uint32_t;

template <typename TensorT>
struct ValueT {
  ValueId id = 0;
  TensorT tensor;
};

struct Operation {
  std::string type;
  std::any attributes;
};

struct Node {
  NodeId id = 0;
  Operation operation;
};

template <typename TensorT>
class Model {
 public:
  using Value = ValueT<TensorT>;

  Model() = default;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  Node* NewNode() {
    NodeEntry& e = node_store_.emplace_back();
    e.node.id = static_cast<NodeId>(node_store_.size() - 1);
    order_.push_back(e.node.id);
    return &e.node;
  }
  Value* NewValue() {
    ValueEntry& e = value_store_.emplace_back();
    e.value.id = static_cast<ValueId>(value_store_.size() - 1);
    value_order_.push_back(e.value.id);
    return &e.value;
  }

  // Nodes in insertion order (for converted models, the execution order).
  std::vector<Node*> nodes() const {
    std::vector<Node*> out;
    for (NodeId id : order_) out.push_back(const_cast<Node*>(&node_store_[id].node));
    return out;
  }
  std::vector<Value*> values() const {
    std::vector<Value*> out;
    for (ValueId id : value_order_) out.push_back(const_cast<Value*>(&value_store_[id].value));
    return out;
  }
  std::vector<Value*> inputs() const {
    std::vector<Value*> out;
    for (Value* v : values()) {
      if (value_store_[v->id].producer < 0) out.push_back(v);
    }
    return out;
  }
  std::vector<Value*> outputs() const {
    std::vector<Value*> out;
    for (Value* v : values()) {
      if (value_store_[v->id].consumers.empty()) out.push_back(v);
    }
    return out;
  }

  Node* GetNode(NodeId id) const {
    return HasNode(id) ? const_cast<Node*>(&node_store_[id].node) : nullptr;
  }
  Value* GetValue(ValueId id) const {
    return HasValue(id) ? const_cast<Value*>(&value_store_[id].value) : nullptr;
  }

  // The node's inputs and outputs in connection order.
  std::vector<Value*> FindInputs(NodeId id) const { return Lookup(node_store_[id].inputs); }
  std::vector<Value*> FindOutputs(NodeId id) const { return Lookup(node_store_[id].outputs); }
  Node* FindProducer(ValueId id) const {
    const int p = value_store_[id].producer;
    return p < 0 ? nullptr : GetNode(static_cast<NodeId>(p));
  }
  std::vector<Node*> FindConsumers(ValueId id) const {
    std::vector<Node*> out;
    for (NodeId n : value_store_[id].consumers) out.push_back(GetNode(n));
    return out;
  }

  absl::Status AddConsumer(NodeId node, ValueId value) {
    if (!HasNode(node) || !HasValue(value)) return absl::NotFoundError("No such node or value");
    auto& inputs = node_store_[node].inputs;
    if (std::find(inputs.begin(), inputs.end(), value) != inputs.end()) {
      return absl::AlreadyExistsError(
          absl::StrCat("Value ", value, " is already an input of node ", node));
    }
    inputs.push_back(value);
    value_store_[value].consumers.push_back(node);
    return absl::OkStatus();
  }
  absl::Status SetProducer(NodeId node, ValueId value) {
    if (!HasNode(node) || !HasValue(value)) return absl::NotFoundError("No such node or value");
    ValueEntry& v = value_store_[value];
    if (v.producer >= 0) {
      return absl::AlreadyExistsError(absl::StrCat("Value ", value, " already has a producer"));
    }
    v.producer = static_cast<int>(node);
    node_store_[node].outputs.push_back(value);
    return absl::OkStatus();
  }
  // Moves the consumers of `from` to read `to` instead.
  absl::Status ReplaceValueUses(ValueId from, ValueId to) {
    if (!HasValue(from) || !HasValue(to)) return absl::NotFoundError("No such value");
    if (from == to) return absl::OkStatus();
    const std::vector<NodeId> consumers = value_store_[from].consumers;
    for (NodeId n : consumers) {
      for (ValueId& input : node_store_[n].inputs) {
        if (input == from) input = to;
      }
      value_store_[to].consumers.push_back(n);
    }
    value_store_[from].consumers.clear();
    return absl::OkStatus();
  }
  // Removes a node of one input and one output, connecting the input to the output's
  // consumers; the output value goes away with the node.
  absl::Status RemoveSimpleNodeKeepInput(NodeId id) {
    const std::vector<Value*> in = FindInputs(id), out = FindOutputs(id);
    if (in.size() != 1 || out.size() != 1) {
      return absl::FailedPreconditionError("Node must have one input and one output");
    }
    if (in[0] == out[0]) return absl::FailedPreconditionError("The node reads its own output");
    // A graph output keeps its producer: the runner finds outputs by their tensor.
    if (value_store_[out[0]->id].consumers.empty()) {
      return absl::FailedPreconditionError("The node produces a graph output");
    }
    const absl::Status replaced = ReplaceValueUses(out[0]->id, in[0]->id);
    if (!replaced.ok()) return replaced;
    auto& consumers = value_store_[in[0]->id].consumers;
    consumers.erase(std::remove(consumers.begin(), consumers.end(), id), consumers.end());
    Erase(id, out[0]->id);
    return absl::OkStatus();
  }

 private:
  struct NodeEntry {
    Node node;
    std::vector<ValueId> inputs, outputs;
    bool removed = false;
  };
  struct ValueEntry {
    Value value;
    int producer = -1;
    std::vector<NodeId> consumers;
    bool removed = false;
  };

  bool HasNode(NodeId id) const { return id < node_store_.size() && !node_store_[id].removed; }
  bool HasValue(ValueId id) const { return id < value_store_.size() && !value_store_[id].removed; }
  std::vector<Value*> Lookup(const std::vector<ValueId>& ids) const {
    std::vector<Value*> out;
    for (ValueId v : ids) out.push_back(GetValue(v));
    return out;
  }
  void Erase(NodeId node, ValueId value) {
    node_store_[node].removed = true;
    value_store_[value].removed = true;
    order_.erase(std::remove(order_.begin(), order_.end(), node), order_.end());
    value_order_.erase(std::remove(value_order_.begin(), value_order_.end(), value),
                       value_order_.end());
  }

  std::deque<NodeEntry> node_store_;
  std::deque<ValueEntry> value_store_;
  std::vector<NodeId> order_;
  std::vector<ValueId> value_order_;
};

using GraphFloat32 = Model<TensorRef<BHWC>>;
using Value = GraphFloat32::Value;

}  // namespace gpu
}  // namespace tflite

#endif  // TFLITE_GPU_MODEL_H_
