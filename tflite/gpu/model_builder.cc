#include "tflite/gpu/model_builder.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "base/statusor.h"
#include "tflite/gpu/operations.h"
#include "tflite/schema_generated.h"

namespace tflite {
namespace gpu {
namespace {

std::string OpName(const TfLiteRegistration& r) {
  if (r.custom_name != nullptr) return r.custom_name;
  const char* name = EnumNameBuiltinOperator(static_cast<BuiltinOperator>(r.builtin_code));
  return *name != '\0' ? name : absl::StrCat("builtin ", r.builtin_code);
}

absl::Status Unsupported(const std::string& name) {
  return absl::UnimplementedError(absl::StrCat("Unsupported op: ", name));
}

// Reads one node's tensors into the graph.
class NodeReader {
 public:
  NodeReader(TfLiteContext* context, const TfLiteNode& node, GraphFloat32* graph,
             Node* gpu_node)
      : context_(context), node_(node), graph_(graph), gpu_node_(gpu_node) {}

  int NumInputs() const { return node_.inputs->size; }
  const TfLiteTensor* Tensor(int input) const {
    if (input < 0 || input >= node_.inputs->size) return nullptr;
    const int t = node_.inputs->data[input];
    return t == kTfLiteOptionalTensor ? nullptr : &context_->tensors[t];
  }
  bool IsConstant(int input) const {
    const TfLiteTensor* t = Tensor(input);
    return t != nullptr && t->allocation_type == kTfLiteMmapRo;
  }

  // Connects input `input` (a computed tensor) to the node.
  absl::Status AddInput(int input) {
    const TfLiteTensor* t = Tensor(input);
    if (t == nullptr) return absl::InvalidArgumentError(absl::StrCat("Missing input ", input));
    if (t->allocation_type == kTfLiteMmapRo) {
      return absl::UnimplementedError("A constant tensor is not supported as this input");
    }
    ASSIGN_OR_RETURN(Value * v, ValueFor(node_.inputs->data[input]));
    return graph_->AddConsumer(gpu_node_->id, v->id);
  }
  // Makes output `output` the node's output.
  absl::Status AddOutput(int output) {
    if (output >= node_.outputs->size) return absl::InvalidArgumentError("Missing output");
    ASSIGN_OR_RETURN(Value * v, ValueFor(node_.outputs->data[output]));
    return graph_->SetProducer(gpu_node_->id, v->id);
  }
  util::StatusOr<BHWC> OutputShape(int output) const {
    BHWC shape;
    RETURN_IF_ERROR(ExtractTensorShape(context_->tensors[node_.outputs->data[output]], &shape));
    return shape;
  }
  util::StatusOr<BHWC> InputShape(int input) const {
    const TfLiteTensor* t = Tensor(input);
    if (t == nullptr) return absl::InvalidArgumentError(absl::StrCat("Missing input ", input));
    BHWC shape;
    RETURN_IF_ERROR(ExtractTensorShape(*t, &shape));
    return shape;
  }
  // The float data of constant input `input`.
  util::StatusOr<std::vector<float>> ReadFloats(int input) const {
    const TfLiteTensor* t = Tensor(input);
    if (t == nullptr || t->allocation_type != kTfLiteMmapRo || t->data.raw_const == nullptr) {
      return absl::InvalidArgumentError(absl::StrCat("Input ", input, " is not constant"));
    }
    if (t->type != kTfLiteFloat32) {
      return absl::UnimplementedError(
          absl::StrCat("Constant of type ", TfLiteTypeGetName(t->type), " is not supported"));
    }
    std::vector<float> values(t->bytes / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), t->data.raw_const, values.size() * sizeof(float));
    return values;
  }
  util::StatusOr<std::vector<int32_t>> ReadInts(int input) const {
    const TfLiteTensor* t = Tensor(input);
    if (t == nullptr || t->allocation_type != kTfLiteMmapRo || t->type != kTfLiteInt32 ||
        t->data.raw_const == nullptr) {
      return absl::InvalidArgumentError(absl::StrCat("Input ", input, " is not constant int32"));
    }
    std::vector<int32_t> values(t->bytes / sizeof(int32_t));
    if (!values.empty()) std::memcpy(values.data(), t->data.raw_const, values.size() * sizeof(int32_t));
    return values;
  }
  std::vector<int> Dims(int input) const { return TfLiteIntArrayToVector(Tensor(input)->dims); }

  // Puts an activation node after the node: the node's output moves to a new value that
  // feeds the activation, which produces the output.
  absl::Status AddActivation(ActivationFunctionType activation) {
    if (activation == ActivationFunctionType_NONE) return absl::OkStatus();
    Operation op;
    switch (activation) {
      case ActivationFunctionType_RELU:
        op = {ToString(OperationType::RELU), ReLUAttributes{0, 0}};
        break;
      case ActivationFunctionType_RELU6:
        op = {ToString(OperationType::RELU), ReLUAttributes{6, 0}};
        break;
      case ActivationFunctionType_TANH:
        op = {ToString(OperationType::TANH), {}};
        break;
      default:
        return absl::UnimplementedError(absl::StrCat(
            "Unsupported fused activation: ", EnumNameActivationFunctionType(activation)));
    }
    const std::vector<Value*> outputs = graph_->FindOutputs(gpu_node_->id);
    if (outputs.size() != 1) return absl::InternalError("Activation after a node of no output");
    Value* output = outputs[0];
    Node* act = graph_->NewNode();
    act->operation = std::move(op);
    // Re-wire: node -> intermediate -> activation -> output.
    Value* intermediate = graph_->NewValue();
    intermediate->tensor = output->tensor;
    intermediate->tensor.ref = -1;
    std::swap(intermediate->tensor, output->tensor);
    return RewireOutput(output, intermediate, act);
  }

 private:
  absl::Status RewireOutput(Value* output, Value* intermediate, Node* act);

  util::StatusOr<Value*> ValueFor(int tensor_index) {
    for (Value* v : graph_->values()) {
      if (v->tensor.ref == tensor_index) return v;
    }
    const TfLiteTensor& t = context_->tensors[tensor_index];
    Value* v = graph_->NewValue();
    RETURN_IF_ERROR(ExtractTensorShape(t, &v->tensor.shape));
    v->tensor.type = t.type == kTfLiteFloat16 ? DataType::FLOAT16 : DataType::FLOAT32;
    v->tensor.ref = tensor_index;
    return v;
  }

  TfLiteContext* context_;
  const TfLiteNode& node_;
  GraphFloat32* graph_;
  Node* gpu_node_;
};

absl::Status NodeReader::RewireOutput(Value* output, Value* intermediate, Node* act) {
  // The graph cannot move a producer, so the caller exchanged the tensors instead: the value
  // the node produces now holds the intermediate tensor (ref -1) and the new value the TFLite
  // output. The activation reads the first and produces the second.
  RETURN_IF_ERROR(graph_->AddConsumer(act->id, output->id));
  return graph_->SetProducer(act->id, intermediate->id);
}

PaddingAttributes<HW> WindowPadding(Padding padding, const BHWC& in, const BHWC& out, HW kernel,
                                    HW strides, HW dilations) {
  PaddingAttributes<HW> p;
  if (padding != Padding_SAME) return p;
  auto total = [](int in, int out, int k, int s, int d) {
    const int64_t needed = int64_t{out - 1} * s + int64_t{k - 1} * d + 1 - in;
    return static_cast<int32_t>(needed > 0 ? needed : 0);
  };
  const int32_t th = total(in.h, out.h, kernel.h, strides.h, dilations.h);
  const int32_t tw = total(in.w, out.w, kernel.w, strides.w, dilations.w);
  p.prepended = HW(th / 2, tw / 2);
  p.appended = HW(th - th / 2, tw - tw / 2);
  return p;
}

template <typename Options>
absl::Status ParseConv(NodeReader& r, const Options& options, bool depthwise, Node* node) {
  Convolution2DAttributes attr;
  RETURN_IF_ERROR(r.AddInput(0));
  ASSIGN_OR_RETURN(std::vector<float> weights, r.ReadFloats(1));
  const std::vector<int> wd = r.Dims(1);
  if (wd.size() != 4) return absl::InvalidArgumentError("Convolution weights must have rank 4");
  ASSIGN_OR_RETURN(BHWC in, r.InputShape(0));
  ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
  attr.strides = HW(options.stride_h(), options.stride_w());
  attr.dilations = HW(options.dilation_h_factor(), options.dilation_w_factor());
  attr.padding = WindowPadding(options.padding(), in, out, HW(wd[1], wd[2]), attr.strides,
                               attr.dilations);
  if (depthwise) {
    // The file's [1, h, w, c * m] becomes (m, h, w, c).
    const int c = in.c, m = in.c > 0 ? wd[3] / in.c : 0;
    attr.weights = {m, wd[1], wd[2], c, std::vector<float>(weights.size())};
    for (int y = 0; y < wd[1]; ++y) {
      for (int x = 0; x < wd[2]; ++x) {
        for (int ci = 0; ci < c; ++ci) {
          for (int mi = 0; mi < m; ++mi) {
            attr.weights.data[((mi * wd[1] + y) * wd[2] + x) * c + ci] =
                weights[(y * wd[2] + x) * (c * m) + ci * m + mi];
          }
        }
      }
    }
  } else {
    attr.weights = {wd[0], wd[1], wd[2], wd[3], std::move(weights)};
  }
  if (r.NumInputs() > 2 && r.Tensor(2) != nullptr) {
    ASSIGN_OR_RETURN(attr.bias, r.ReadFloats(2));
  }
  node->operation.type = ToString(depthwise ? OperationType::DEPTHWISE_CONVOLUTION
                                            : OperationType::CONVOLUTION_2D);
  if (depthwise) {
    node->operation.attributes = DepthwiseConvolution2DAttributes{attr};
  } else {
    node->operation.attributes = std::move(attr);
  }
  RETURN_IF_ERROR(r.AddOutput(0));
  return r.AddActivation(options.fused_activation_function());
}

absl::Status ParsePool(NodeReader& r, const Pool2DOptions& options, PoolingType type,
                       Node* node) {
  RETURN_IF_ERROR(r.AddInput(0));
  ASSIGN_OR_RETURN(BHWC in, r.InputShape(0));
  ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
  Pooling2DAttributes attr;
  attr.type = type;
  attr.kernel = HW(options.filter_height(), options.filter_width());
  attr.strides = HW(options.stride_h(), options.stride_w());
  attr.padding = WindowPadding(options.padding(), in, out, attr.kernel, attr.strides, HW(1, 1));
  node->operation = {ToString(OperationType::POOLING_2D), attr};
  RETURN_IF_ERROR(r.AddOutput(0));
  return r.AddActivation(options.fused_activation_function());
}

// An element-wise operation of two operands, either of which may be constant.
absl::Status ParseElementwise(NodeReader& r, OperationType type,
                              ActivationFunctionType activation, Node* node) {
  if (r.NumInputs() != 2) return absl::InvalidArgumentError("Expected two inputs");
  ElementwiseAttributes attr;
  const bool c0 = r.IsConstant(0), c1 = r.IsConstant(1);
  if (c0 && c1) return absl::UnimplementedError("Both operands are constant");
  if (!c0 && !c1) {
    RETURN_IF_ERROR(r.AddInput(0));
    RETURN_IF_ERROR(r.AddInput(1));
  } else {
    const int runtime = c0 ? 1 : 0, constant = c0 ? 0 : 1;
    if (c0 && (type == OperationType::SUB || type == OperationType::DIV)) {
      return absl::UnimplementedError("A constant first operand is not supported");
    }
    RETURN_IF_ERROR(r.AddInput(runtime));
    ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
    ASSIGN_OR_RETURN(attr.values, r.ReadFloats(constant));
    if (attr.values.size() == 1) {
      attr.kind = ElementwiseAttributes::Kind::kScalar;
      attr.scalar = attr.values[0];
      attr.values.clear();
    } else if (static_cast<int64_t>(attr.values.size()) == out.c &&
               r.Dims(constant).back() == out.c) {
      attr.kind = ElementwiseAttributes::Kind::kPerChannel;
    } else if (static_cast<int64_t>(attr.values.size()) == int64_t{out.h} * out.w * out.c) {
      attr.kind = ElementwiseAttributes::Kind::kTensor;
      attr.shape = HWC(out.h, out.w, out.c);
    } else {
      return absl::UnimplementedError("Unsupported broadcast of a constant operand");
    }
  }
  node->operation = {ToString(type), std::move(attr)};
  RETURN_IF_ERROR(r.AddOutput(0));
  return r.AddActivation(activation);
}

// The fused activation of optional options.
template <typename Options>
ActivationFunctionType Fused(const Options* options) {
  return options != nullptr ? options->fused_activation_function() : ActivationFunctionType_NONE;
}

Axis AxisOfDimension(int rank, int axis) {
  if (axis < 0) axis += rank;
  if (axis == rank - 1) return Axis::CHANNELS;
  if (rank == 4) {
    return axis == 0 ? Axis::BATCH : axis == 1 ? Axis::HEIGHT : axis == 2 ? Axis::WIDTH
                                                                          : Axis::UNKNOWN;
  }
  if (rank == 3) return axis == 0 ? Axis::HEIGHT : axis == 1 ? Axis::WIDTH : Axis::UNKNOWN;
  if (rank == 2 && axis == 0) return Axis::BATCH;
  return Axis::UNKNOWN;
}

absl::Status ParseNode(TfLiteContext* context, const TfLiteNode& tfl_node,
                       const TfLiteRegistration& registration, GraphFloat32* graph) {
  const std::string name = OpName(registration);
  if (registration.custom_name != nullptr || tfl_node.op == nullptr) return Unsupported(name);
  const tflite::Operator& op = *tfl_node.op;
  Node* node = graph->NewNode();
  NodeReader r(context, tfl_node, graph, node);
  auto options_missing = [&] {
    return absl::InvalidArgumentError(absl::StrCat(name, " has no options"));
  };
  switch (static_cast<BuiltinOperator>(registration.builtin_code)) {
    case BuiltinOperator_CONV_2D: {
      const auto* o = op.builtin_options_as_Conv2DOptions();
      if (o == nullptr) return options_missing();
      return ParseConv(r, *o, false, node);
    }
    case BuiltinOperator_DEPTHWISE_CONV_2D: {
      const auto* o = op.builtin_options_as_DepthwiseConv2DOptions();
      if (o == nullptr) return options_missing();
      return ParseConv(r, *o, true, node);
    }
    case BuiltinOperator_MAX_POOL_2D:
    case BuiltinOperator_AVERAGE_POOL_2D: {
      const auto* o = op.builtin_options_as_Pool2DOptions();
      if (o == nullptr) return options_missing();
      return ParsePool(r, *o,
                       registration.builtin_code == BuiltinOperator_MAX_POOL_2D
                           ? PoolingType::MAX
                           : PoolingType::AVERAGE,
                       node);
    }
    case BuiltinOperator_ADD:
      return ParseElementwise(r, OperationType::ADD, Fused(op.builtin_options_as_AddOptions()),
                              node);
    case BuiltinOperator_SUB:
      return ParseElementwise(r, OperationType::SUB, Fused(op.builtin_options_as_SubOptions()),
                              node);
    case BuiltinOperator_MUL:
      return ParseElementwise(r, OperationType::MUL, Fused(op.builtin_options_as_MulOptions()),
                              node);
    case BuiltinOperator_DIV:
      return ParseElementwise(r, OperationType::DIV, Fused(op.builtin_options_as_DivOptions()),
                              node);
    case BuiltinOperator_MAXIMUM:
      return ParseElementwise(r, OperationType::MAXIMUM, ActivationFunctionType_NONE, node);
    case BuiltinOperator_MINIMUM:
      return ParseElementwise(r, OperationType::MINIMUM, ActivationFunctionType_NONE, node);
    case BuiltinOperator_RELU:
    case BuiltinOperator_RELU6:
    case BuiltinOperator_LEAKY_RELU: {
      ReLUAttributes attr;
      if (registration.builtin_code == BuiltinOperator_RELU6) attr.clip = 6;
      if (registration.builtin_code == BuiltinOperator_LEAKY_RELU) {
        const auto* o = op.builtin_options_as_LeakyReluOptions();
        if (o == nullptr) return options_missing();
        attr.alpha = o->alpha();
      }
      node->operation = {ToString(OperationType::RELU), attr};
      RETURN_IF_ERROR(r.AddInput(0));
      return r.AddOutput(0);
    }
    case BuiltinOperator_LOGISTIC:
    case BuiltinOperator_TANH:
      node->operation.type = ToString(registration.builtin_code == BuiltinOperator_LOGISTIC
                                          ? OperationType::SIGMOID
                                          : OperationType::TANH);
      RETURN_IF_ERROR(r.AddInput(0));
      return r.AddOutput(0);
    case BuiltinOperator_PRELU: {
      PReLUAttributes attr;
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(attr.alpha, r.ReadFloats(1));
      ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
      attr.per_channel = static_cast<int64_t>(attr.alpha.size()) == out.c;
      if (!attr.per_channel) {
        if (static_cast<int64_t>(attr.alpha.size()) != int64_t{out.h} * out.w * out.c) {
          return absl::UnimplementedError("Unsupported PReLU alpha shape");
        }
        attr.shape = HWC(out.h, out.w, out.c);
      }
      node->operation = {ToString(OperationType::PRELU), std::move(attr)};
      return r.AddOutput(0);
    }
    case BuiltinOperator_FULLY_CONNECTED: {
      const auto* o = op.builtin_options_as_FullyConnectedOptions();
      FullyConnectedAttributes attr;
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(std::vector<float> weights, r.ReadFloats(1));
      const std::vector<int> wd = r.Dims(1);
      if (wd.size() != 2) return absl::InvalidArgumentError("Weights must have rank 2");
      attr.weights = {wd[0], 1, 1, wd[1], std::move(weights)};
      if (r.NumInputs() > 2 && r.Tensor(2) != nullptr) {
        ASSIGN_OR_RETURN(attr.bias, r.ReadFloats(2));
      }
      node->operation = {ToString(OperationType::FULLY_CONNECTED), std::move(attr)};
      RETURN_IF_ERROR(r.AddOutput(0));
      return r.AddActivation(Fused(o));
    }
    case BuiltinOperator_CONCATENATION: {
      const auto* o = op.builtin_options_as_ConcatenationOptions();
      if (o == nullptr) return options_missing();
      ConcatAttributes attr;
      attr.axis = AxisOfDimension(static_cast<int>(r.Dims(0).size()), o->axis());
      if (attr.axis == Axis::UNKNOWN) return absl::UnimplementedError("Unsupported axis");
      for (int i = 0; i < r.NumInputs(); ++i) RETURN_IF_ERROR(r.AddInput(i));
      node->operation = {ToString(OperationType::CONCAT), attr};
      RETURN_IF_ERROR(r.AddOutput(0));
      return r.AddActivation(o->fused_activation_function());
    }
    case BuiltinOperator_RESHAPE: {
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
      node->operation = {ToString(OperationType::RESHAPE), ReshapeAttributes{out}};
      return r.AddOutput(0);
    }
    case BuiltinOperator_PAD: {
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(std::vector<int32_t> p, r.ReadInts(1));
      if (p.size() != 8) return absl::UnimplementedError("Only 4-D padding is supported");
      node->operation = {ToString(OperationType::PAD),
                         PadAttributes{BHWC(p[0], p[2], p[4], p[6]), BHWC(p[1], p[3], p[5], p[7])}};
      return r.AddOutput(0);
    }
    case BuiltinOperator_RESIZE_BILINEAR: {
      const auto* o = op.builtin_options_as_ResizeBilinearOptions();
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
      Resize2DAttributes attr;
      attr.new_shape = HW(out.h, out.w);
      attr.align_corners = o != nullptr && o->align_corners();
      attr.half_pixel_centers = o != nullptr && o->half_pixel_centers();
      node->operation = {ToString(OperationType::RESIZE), attr};
      return r.AddOutput(0);
    }
    case BuiltinOperator_SLICE: {
      RETURN_IF_ERROR(r.AddInput(0));
      ASSIGN_OR_RETURN(std::vector<int32_t> begin, r.ReadInts(1));
      if (begin.size() != 4) return absl::UnimplementedError("Only 4-D slices are supported");
      ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
      SliceAttributes attr;
      attr.starts = BHWC(begin[0], begin[1], begin[2], begin[3]);
      attr.ends = BHWC(begin[0] + out.b, begin[1] + out.h, begin[2] + out.w, begin[3] + out.c);
      node->operation = {ToString(OperationType::SLICE), attr};
      return r.AddOutput(0);
    }
    case BuiltinOperator_SOFTMAX: {
      const auto* o = op.builtin_options_as_SoftmaxOptions();
      if (o != nullptr && o->beta() != 1.0f) {
        return absl::UnimplementedError("Softmax.beta != 1 is not supported.");
      }
      RETURN_IF_ERROR(r.AddInput(0));
      node->operation = {ToString(OperationType::SOFTMAX), SoftmaxAttributes{}};
      return r.AddOutput(0);
    }
    case BuiltinOperator_TRANSPOSE_CONV: {
      const auto* o = op.builtin_options_as_TransposeConvOptions();
      if (o == nullptr) return options_missing();
      ConvolutionTransposedAttributes attr;
      RETURN_IF_ERROR(r.AddInput(2));
      ASSIGN_OR_RETURN(std::vector<float> weights, r.ReadFloats(1));
      const std::vector<int> wd = r.Dims(1);
      if (wd.size() != 4) return absl::InvalidArgumentError("Weights must have rank 4");
      attr.weights = {wd[0], wd[1], wd[2], wd[3], std::move(weights)};
      attr.stride = HW(o->stride_h(), o->stride_w());
      if (r.NumInputs() > 3 && r.Tensor(3) != nullptr) {
        ASSIGN_OR_RETURN(attr.bias, r.ReadFloats(3));
      }
      ASSIGN_OR_RETURN(BHWC in, r.InputShape(2));
      ASSIGN_OR_RETURN(BHWC out, r.OutputShape(0));
      if (o->padding() == Padding_SAME) {
        // The input is the output of a convolution over the transposed output.
        attr.padding = WindowPadding(Padding_SAME, out, in, HW(wd[1], wd[2]), attr.stride,
                                     HW(1, 1));
      }
      node->operation = {ToString(OperationType::CONVOLUTION_TRANSPOSED), std::move(attr)};
      return r.AddOutput(0);
    }
    default:
      return Unsupported(name);
  }
}

}  // namespace

absl::Status ExtractTensorShape(const TfLiteTensor& tensor, BHWC* shape) {
  const std::vector<int> d = TfLiteIntArrayToVector(tensor.dims);
  switch (d.size()) {
    case 1: *shape = BHWC(1, 1, 1, d[0]); return absl::OkStatus();
    case 2: *shape = BHWC(d[0], 1, 1, d[1]); return absl::OkStatus();
    case 3: *shape = BHWC(1, d[0], d[1], d[2]); return absl::OkStatus();
    case 4: *shape = BHWC(d[0], d[1], d[2], d[3]); return absl::OkStatus();
    default:
      return absl::InvalidArgumentError(absl::StrCat(
          "Tensor \"", tensor.name != nullptr ? tensor.name : "", "\" has bad input dims size: ",
          d.size(), "."));
  }
}

TfLiteIntArray* GetOpsToReplace(TfLiteContext* context) {
  TfLiteIntArray* plan = nullptr;
  if (context->GetExecutionPlan(context, &plan) != kTfLiteOk) return TfLiteIntArrayCreate(0);
  std::vector<int> nodes;
  for (int i = 0; i < plan->size; ++i) {
    TfLiteNode* node;
    TfLiteRegistration* registration;
    if (context->GetNodeAndRegistration(context, plan->data[i], &node, &registration) !=
            kTfLiteOk ||
        node->delegate != nullptr) {
      continue;
    }
    nodes.push_back(plan->data[i]);
  }
  return TfLiteIntArrayFromVector(nodes);
}

absl::Status BuildModel(TfLiteContext* context, const TfLiteDelegateParams* delegate_params,
                        GraphFloat32* graph) {
  RET_CHECK(context != nullptr && delegate_params != nullptr && graph != nullptr);
  const TfLiteIntArray* nodes = delegate_params->nodes_to_replace;
  for (int i = 0; i < nodes->size; ++i) {
    TfLiteNode* node;
    TfLiteRegistration* registration;
    if (context->GetNodeAndRegistration(context, nodes->data[i], &node, &registration) !=
        kTfLiteOk) {
      return absl::InternalError(absl::StrCat("No node ", nodes->data[i]));
    }
    RETURN_IF_ERROR(ParseNode(context, *node, *registration, graph));
  }
  return absl::OkStatus();
}

}  // namespace gpu
}  // namespace tflite
