#include "tflite/testing/reference_evaluator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "absl/strings/str_cat.h"
#include "absl/strings/str_join.h"
#include "base/status_macros.h"
#include "tflite/model.h"
#include "tflite/schema_generated.h"

namespace tflite {
namespace testing {
namespace {

using Shape = std::vector<int32_t>;

int64_t NumElements(const Shape& shape) {
  int64_t n = 1;
  for (int32_t d : shape) n *= d;
  return n;
}

std::string ShapeText(const Shape& shape) {
  return absl::StrCat("[", absl::StrJoin(shape, ", "), "]");
}

float Activate(float v, ActivationFunctionType activation) {
  switch (activation) {
    case ActivationFunctionType_RELU:
      return std::max(v, 0.0f);
    case ActivationFunctionType_RELU_N1_TO_1:
      return std::clamp(v, -1.0f, 1.0f);
    case ActivationFunctionType_RELU6:
      return std::clamp(v, 0.0f, 6.0f);
    case ActivationFunctionType_TANH:
      return std::tanh(v);
    default:
      return v;
  }
}

absl::Status CheckActivation(ActivationFunctionType activation) {
  switch (activation) {
    case ActivationFunctionType_NONE:
    case ActivationFunctionType_RELU:
    case ActivationFunctionType_RELU_N1_TO_1:
    case ActivationFunctionType_RELU6:
    case ActivationFunctionType_TANH:
      return absl::OkStatus();
    default:
      return absl::UnimplementedError(absl::StrCat("Unsupported fused activation ",
                                                   EnumNameActivationFunctionType(activation)));
  }
}

// Output size and leading padding of a window along one dimension.
struct Window {
  int out = 0;
  int pad_before = 0;
};

Window WindowAlong(Padding padding, int in, int kernel, int stride, int dilation) {
  const int extent = dilation * (kernel - 1) + 1;
  Window w;
  if (padding == Padding_SAME) {
    w.out = (in + stride - 1) / stride;
    w.pad_before = std::max(0, (w.out - 1) * stride + extent - in) / 2;
  } else {
    w.out = std::max(0, (in - extent + stride) / stride);
  }
  return w;
}

// Evaluates the operators of one subgraph in order.
class Evaluator {
 public:
  Evaluator(const Model& model, const SubGraph& graph, const EvaluationOptions& options = {})
      : model_(model), graph_(graph), options_(options) {
    values_.resize(graph.tensors() != nullptr ? graph.tensors()->size() : 0);
  }

  absl::Status SetInputs(const std::vector<FloatTensor>& inputs) {
    const auto* ids = graph_.inputs();
    const size_t count = ids != nullptr ? ids->size() : 0;
    if (inputs.size() != count) {
      return absl::InvalidArgumentError(
          absl::StrCat("The model has ", count, " inputs, given ", inputs.size()));
    }
    for (size_t i = 0; i < count; ++i) {
      ASSIGN_OR_RETURN(const Tensor* t, TensorAt(ids->Get(i)));
      const Shape declared = DeclaredShape(*t);
      if (inputs[i].shape != declared) {
        return absl::InvalidArgumentError(absl::StrCat("Input ", i, " has shape ",
                                                       ShapeText(inputs[i].shape), ", expected ",
                                                       ShapeText(declared)));
      }
      if (static_cast<int64_t>(inputs[i].data.size()) != NumElements(declared)) {
        return absl::InvalidArgumentError(absl::StrCat("Input ", i, " has ",
                                                       inputs[i].data.size(), " values"));
      }
      values_[ids->Get(i)] = inputs[i];
      Store(*values_[ids->Get(i)]);
    }
    return absl::OkStatus();
  }

  absl::Status RunAll() {
    if (graph_.operators() == nullptr) return absl::OkStatus();
    for (const Operator* op : *graph_.operators()) {
      RETURN_IF_ERROR(RunOperator(*op));
    }
    return absl::OkStatus();
  }

  util::StatusOr<std::vector<FloatTensor>> Outputs() {
    std::vector<FloatTensor> outputs;
    if (graph_.outputs() == nullptr) return outputs;
    for (int32_t id : *graph_.outputs()) {
      ASSIGN_OR_RETURN(const FloatTensor* v, Value(id));
      outputs.push_back(*v);
    }
    return outputs;
  }

  // Multiply-adds of the operator, from declared shapes.
  util::StatusOr<int64_t> MultiplyAdds(const Operator& op) {
    ASSIGN_OR_RETURN(BuiltinOperator code, CodeOf(op));
    if (code != BuiltinOperator_CONV_2D && code != BuiltinOperator_DEPTHWISE_CONV_2D &&
        code != BuiltinOperator_FULLY_CONNECTED) {
      return 0;
    }
    ASSIGN_OR_RETURN(const Tensor* weights, InputTensor(op, 1));
    ASSIGN_OR_RETURN(const Tensor* out, OutputTensor(op));
    const Shape w = DeclaredShape(*weights);
    const int64_t outputs = NumElements(DeclaredShape(*out));
    if (w.empty()) return absl::InvalidArgumentError("Weights without a shape");
    switch (code) {
      case BuiltinOperator_CONV_2D:
        return outputs * (NumElements(w) / std::max(1, w[0]));
      case BuiltinOperator_DEPTHWISE_CONV_2D:
        return outputs * (NumElements(w) / std::max(1, w.back()));
      default:
        return outputs * w.back();
    }
  }

 private:
  util::StatusOr<const Tensor*> TensorAt(int32_t id) const {
    if (id < 0 || graph_.tensors() == nullptr ||
        static_cast<uint32_t>(id) >= graph_.tensors()->size()) {
      return absl::InvalidArgumentError(absl::StrCat("Tensor index ", id, " out of range"));
    }
    return graph_.tensors()->Get(id);
  }

  static Shape DeclaredShape(const Tensor& t) {
    return t.shape() != nullptr ? Shape(t.shape()->begin(), t.shape()->end()) : Shape();
  }

  // The constant data of a tensor, or null when it has none.
  const flatbuffers::Vector<uint8_t>* ConstantData(const Tensor& t) const {
    if (t.buffer() == 0 || model_.buffers() == nullptr ||
        t.buffer() >= model_.buffers()->size()) {
      return nullptr;
    }
    const Buffer* b = model_.buffers()->Get(t.buffer());
    if (b == nullptr || b->data() == nullptr || b->data()->size() == 0) return nullptr;
    return b->data();
  }

  // The value of tensor `id`: computed earlier, given as input or constant float data.
  util::StatusOr<const FloatTensor*> Value(int32_t id) {
    ASSIGN_OR_RETURN(const Tensor* t, TensorAt(id));
    if (values_[id].has_value()) return &*values_[id];
    const auto* data = ConstantData(*t);
    if (data == nullptr) {
      return absl::FailedPreconditionError(
          absl::StrCat("Tensor ", id, " (", t->name() != nullptr ? t->name()->str() : "",
                       ") is read before it is computed"));
    }
    if (t->type() != TensorType_FLOAT32) {
      return absl::UnimplementedError(absl::StrCat("Tensor ", id, " is not float32"));
    }
    FloatTensor v{DeclaredShape(*t), {}};
    if (static_cast<int64_t>(data->size()) != NumElements(v.shape) * 4) {
      return absl::InvalidArgumentError(
          absl::StrCat("Tensor ", id, " has ", data->size(), " bytes of data for shape ",
                       ShapeText(v.shape)));
    }
    v.data.resize(NumElements(v.shape));
    std::memcpy(v.data.data(), data->data(), data->size());
    values_[id] = std::move(v);
    return &*values_[id];
  }

  util::StatusOr<std::vector<int32_t>> IntConstant(int32_t id) const {
    ASSIGN_OR_RETURN(const Tensor* t, TensorAt(id));
    const auto* data = ConstantData(*t);
    if (data == nullptr || t->type() != TensorType_INT32 ||
        static_cast<int64_t>(data->size()) != NumElements(DeclaredShape(*t)) * 4) {
      return absl::InvalidArgumentError(absl::StrCat("Tensor ", id, " is not constant int32"));
    }
    std::vector<int32_t> values(data->size() / 4);
    std::memcpy(values.data(), data->data(), data->size());
    return values;
  }

  util::StatusOr<BuiltinOperator> CodeOf(const Operator& op) const {
    if (model_.operator_codes() == nullptr ||
        op.opcode_index() >= model_.operator_codes()->size()) {
      return absl::InvalidArgumentError("Operator code index out of range");
    }
    return GetBuiltinCode(*model_.operator_codes()->Get(op.opcode_index()));
  }

  static int NumInputs(const Operator& op) {
    return op.inputs() != nullptr ? static_cast<int>(op.inputs()->size()) : 0;
  }

  util::StatusOr<const Tensor*> InputTensor(const Operator& op, int i) const {
    if (i >= NumInputs(op)) return absl::InvalidArgumentError(absl::StrCat("Missing input ", i));
    return TensorAt(op.inputs()->Get(i));
  }
  util::StatusOr<const FloatTensor*> Input(const Operator& op, int i) {
    if (i >= NumInputs(op)) return absl::InvalidArgumentError(absl::StrCat("Missing input ", i));
    return Value(op.inputs()->Get(i));
  }
  // Optional input i (a bias): null when absent or -1.
  util::StatusOr<const FloatTensor*> OptionalInput(const Operator& op, int i) {
    if (i >= NumInputs(op) || op.inputs()->Get(i) < 0) return nullptr;
    return Value(op.inputs()->Get(i));
  }
  util::StatusOr<const Tensor*> OutputTensor(const Operator& op) const {
    if (op.outputs() == nullptr || op.outputs()->size() != 1) {
      return absl::InvalidArgumentError("Expected one output");
    }
    return TensorAt(op.outputs()->Get(0));
  }

  // Stores the operator's result after checking it against the declared output shape.
  absl::Status SetOutput(const Operator& op, FloatTensor value, const std::string& name) {
    ASSIGN_OR_RETURN(const Tensor* t, OutputTensor(op));
    const Shape declared = DeclaredShape(*t);
    if (declared != value.shape) {
      return absl::InvalidArgumentError(absl::StrCat(name, " computes shape ",
                                                     ShapeText(value.shape), ", declared ",
                                                     ShapeText(declared)));
    }
    Store(value);
    values_[op.outputs()->Get(0)] = std::move(value);
    return absl::OkStatus();
  }

  // What keeping a computed tensor does to its values.
  void Store(FloatTensor& value) const {
    if (!options_.half_storage) return;
    for (float& v : value.data) v = RoundToHalf(v);
  }

  absl::Status RunOperator(const Operator& op) {
    ASSIGN_OR_RETURN(BuiltinOperator code, CodeOf(op));
    const std::string name = EnumNameBuiltinOperator(code);
    switch (code) {
      case BuiltinOperator_CONV_2D:
      case BuiltinOperator_DEPTHWISE_CONV_2D:
        return Convolution(op, code == BuiltinOperator_DEPTHWISE_CONV_2D, name);
      case BuiltinOperator_MAX_POOL_2D:
      case BuiltinOperator_AVERAGE_POOL_2D:
        return Pool(op, code == BuiltinOperator_MAX_POOL_2D, name);
      case BuiltinOperator_FULLY_CONNECTED:
        return FullyConnected(op, name);
      case BuiltinOperator_ADD: {
        const auto* o = op.builtin_options_as_AddOptions();
        return Binary(op, [](float a, float b) { return a + b; },
                      o != nullptr ? o->fused_activation_function() : ActivationFunctionType_NONE,
                      name);
      }
      case BuiltinOperator_MUL: {
        const auto* o = op.builtin_options_as_MulOptions();
        return Binary(op, [](float a, float b) { return a * b; },
                      o != nullptr ? o->fused_activation_function() : ActivationFunctionType_NONE,
                      name);
      }
      case BuiltinOperator_PRELU:
        return Binary(op, [](float x, float alpha) { return x >= 0 ? x : alpha * x; },
                      ActivationFunctionType_NONE, name);
      case BuiltinOperator_RELU:
        return Unary(op, [](float v) { return std::max(v, 0.0f); }, name);
      case BuiltinOperator_LEAKY_RELU: {
        const auto* o = op.builtin_options_as_LeakyReluOptions();
        if (o == nullptr) return absl::InvalidArgumentError(name + " has no options");
        const float alpha = o->alpha();
        return Unary(op, [alpha](float v) { return v >= 0 ? v : alpha * v; }, name);
      }
      case BuiltinOperator_LOGISTIC:
        return Unary(op, [](float v) { return 1.0f / (1.0f + std::exp(-v)); }, name);
      case BuiltinOperator_PAD:
        return Pad(op, name);
      case BuiltinOperator_RESHAPE:
        return Reshape(op, name);
      case BuiltinOperator_CONCATENATION:
        return Concatenation(op, name);
      default:
        return absl::UnimplementedError(absl::StrCat("Unsupported op: ", name));
    }
  }

  absl::Status Convolution(const Operator& op, bool depthwise, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    ASSIGN_OR_RETURN(const FloatTensor* filter, Input(op, 1));
    ASSIGN_OR_RETURN(const FloatTensor* bias, OptionalInput(op, 2));
    Padding padding;
    int stride_w, stride_h, dil_w, dil_h, multiplier = 1;
    ActivationFunctionType activation;
    if (depthwise) {
      const auto* o = op.builtin_options_as_DepthwiseConv2DOptions();
      if (o == nullptr) return absl::InvalidArgumentError(name + " has no options");
      padding = o->padding(), stride_w = o->stride_w(), stride_h = o->stride_h();
      dil_w = o->dilation_w_factor(), dil_h = o->dilation_h_factor();
      activation = o->fused_activation_function();
    } else {
      const auto* o = op.builtin_options_as_Conv2DOptions();
      if (o == nullptr) return absl::InvalidArgumentError(name + " has no options");
      padding = o->padding(), stride_w = o->stride_w(), stride_h = o->stride_h();
      dil_w = o->dilation_w_factor(), dil_h = o->dilation_h_factor();
      activation = o->fused_activation_function();
    }
    RETURN_IF_ERROR(CheckActivation(activation));
    const Shape& is = in->shape;
    const Shape& fs = filter->shape;
    if (is.size() != 4 || fs.size() != 4) return absl::InvalidArgumentError(name + " needs rank 4");
    if (stride_w < 1 || stride_h < 1 || dil_w < 1 || dil_h < 1) {
      return absl::InvalidArgumentError(name + " has a stride or dilation below 1");
    }
    const int n = is[0], h = is[1], w = is[2], c = is[3];
    const int kh = fs[1], kw = fs[2];
    int out_c;
    if (depthwise) {
      if (fs[0] != 1 || c <= 0 || fs[3] % c != 0) {
        return absl::InvalidArgumentError(name + " filter does not match the input channels");
      }
      multiplier = fs[3] / c;
      out_c = fs[3];
    } else {
      if (fs[3] != c) {
        return absl::InvalidArgumentError(name + " filter does not match the input channels");
      }
      out_c = fs[0];
    }
    if (bias != nullptr && static_cast<int64_t>(bias->data.size()) != out_c) {
      return absl::InvalidArgumentError(name + " bias size differs from the output channels");
    }
    const Window wy = WindowAlong(padding, h, kh, stride_h, dil_h);
    const Window wx = WindowAlong(padding, w, kw, stride_w, dil_w);
    FloatTensor out{{n, wy.out, wx.out, out_c}, {}};
    out.data.resize(NumElements(out.shape));
    for (int b = 0; b < n; ++b) {
      for (int oy = 0; oy < wy.out; ++oy) {
        for (int ox = 0; ox < wx.out; ++ox) {
          for (int oc = 0; oc < out_c; ++oc) {
            double sum = bias != nullptr ? bias->data[oc] : 0.0;
            for (int ky = 0; ky < kh; ++ky) {
              const int iy = oy * stride_h - wy.pad_before + ky * dil_h;
              if (iy < 0 || iy >= h) continue;
              for (int kx = 0; kx < kw; ++kx) {
                const int ix = ox * stride_w - wx.pad_before + kx * dil_w;
                if (ix < 0 || ix >= w) continue;
                const float* pixel = &in->data[((int64_t{b} * h + iy) * w + ix) * c];
                if (depthwise) {
                  sum += double{pixel[oc / multiplier]} *
                         filter->data[(int64_t{ky} * kw + kx) * out_c + oc];
                } else {
                  const float* f = &filter->data[((int64_t{oc} * kh + ky) * kw + kx) * c];
                  for (int ic = 0; ic < c; ++ic) sum += double{pixel[ic]} * f[ic];
                }
              }
            }
            out.data[((int64_t{b} * wy.out + oy) * wx.out + ox) * out_c + oc] =
                Activate(static_cast<float>(sum), activation);
          }
        }
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  absl::Status Pool(const Operator& op, bool max, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    const auto* o = op.builtin_options_as_Pool2DOptions();
    if (o == nullptr) return absl::InvalidArgumentError(name + " has no options");
    RETURN_IF_ERROR(CheckActivation(o->fused_activation_function()));
    if (in->shape.size() != 4) return absl::InvalidArgumentError(name + " needs rank 4");
    if (o->stride_w() < 1 || o->stride_h() < 1 || o->filter_width() < 1 ||
        o->filter_height() < 1) {
      return absl::InvalidArgumentError(name + " has a window or stride below 1");
    }
    const int n = in->shape[0], h = in->shape[1], w = in->shape[2], c = in->shape[3];
    const Window wy = WindowAlong(o->padding(), h, o->filter_height(), o->stride_h(), 1);
    const Window wx = WindowAlong(o->padding(), w, o->filter_width(), o->stride_w(), 1);
    FloatTensor out{{n, wy.out, wx.out, c}, {}};
    out.data.resize(NumElements(out.shape));
    for (int b = 0; b < n; ++b) {
      for (int oy = 0; oy < wy.out; ++oy) {
        for (int ox = 0; ox < wx.out; ++ox) {
          for (int ch = 0; ch < c; ++ch) {
            double sum = 0;
            float best = -INFINITY;
            int count = 0;
            for (int ky = 0; ky < o->filter_height(); ++ky) {
              const int iy = oy * o->stride_h() - wy.pad_before + ky;
              if (iy < 0 || iy >= h) continue;
              for (int kx = 0; kx < o->filter_width(); ++kx) {
                const int ix = ox * o->stride_w() - wx.pad_before + kx;
                if (ix < 0 || ix >= w) continue;
                const float v = in->data[((int64_t{b} * h + iy) * w + ix) * c + ch];
                sum += v;
                best = std::max(best, v);
                ++count;
              }
            }
            const float v = max ? best : count > 0 ? static_cast<float>(sum / count) : 0.0f;
            out.data[((int64_t{b} * wy.out + oy) * wx.out + ox) * c + ch] =
                Activate(v, o->fused_activation_function());
          }
        }
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  absl::Status FullyConnected(const Operator& op, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    ASSIGN_OR_RETURN(const FloatTensor* weights, Input(op, 1));
    ASSIGN_OR_RETURN(const FloatTensor* bias, OptionalInput(op, 2));
    const auto* o = op.builtin_options_as_FullyConnectedOptions();
    const ActivationFunctionType activation =
        o != nullptr ? o->fused_activation_function() : ActivationFunctionType_NONE;
    RETURN_IF_ERROR(CheckActivation(activation));
    if (weights->shape.size() != 2 || weights->shape[1] <= 0) {
      return absl::InvalidArgumentError(name + " weights must have rank 2");
    }
    const int units = weights->shape[0], depth = weights->shape[1];
    const int64_t elements = NumElements(in->shape);
    if (elements % depth != 0) {
      return absl::InvalidArgumentError(name + " input size is not a multiple of the depth");
    }
    if (bias != nullptr && static_cast<int64_t>(bias->data.size()) != units) {
      return absl::InvalidArgumentError(name + " bias size differs from the units");
    }
    const int64_t batch = elements / depth;
    FloatTensor out;
    if (o != nullptr && o->keep_num_dims()) {
      out.shape = in->shape;
      if (out.shape.empty() || out.shape.back() != depth) {
        return absl::InvalidArgumentError(name + " keeps dimensions of a mismatched input");
      }
      out.shape.back() = units;
    } else {
      out.shape = {static_cast<int32_t>(batch), units};
    }
    out.data.resize(batch * units);
    for (int64_t b = 0; b < batch; ++b) {
      for (int u = 0; u < units; ++u) {
        double sum = bias != nullptr ? bias->data[u] : 0.0;
        const float* x = &in->data[b * depth];
        const float* row = &weights->data[int64_t{u} * depth];
        for (int d = 0; d < depth; ++d) sum += double{x[d]} * row[d];
        out.data[b * units + u] = Activate(static_cast<float>(sum), activation);
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  // An element-wise operation of two operands with numpy-style broadcasting.
  template <typename F>
  absl::Status Binary(const Operator& op, F f, ActivationFunctionType activation,
                      const std::string& name) {
    RETURN_IF_ERROR(CheckActivation(activation));
    if (NumInputs(op) != 2) return absl::InvalidArgumentError(name + " needs two inputs");
    ASSIGN_OR_RETURN(const FloatTensor* a, Input(op, 0));
    ASSIGN_OR_RETURN(const FloatTensor* b, Input(op, 1));
    const size_t rank = std::max(a->shape.size(), b->shape.size());
    // Shapes padded to the common rank, and the strides of each operand (0 where broadcast).
    auto padded = [rank](const Shape& s) {
      Shape p(rank - s.size(), 1);
      p.insert(p.end(), s.begin(), s.end());
      return p;
    };
    const Shape pa = padded(a->shape), pb = padded(b->shape);
    Shape out_shape(rank);
    for (size_t i = 0; i < rank; ++i) {
      if (pa[i] != pb[i] && pa[i] != 1 && pb[i] != 1) {
        return absl::InvalidArgumentError(absl::StrCat(name, " cannot broadcast ",
                                                       ShapeText(a->shape), " with ",
                                                       ShapeText(b->shape)));
      }
      out_shape[i] = pa[i] == 1 ? pb[i] : pa[i];
    }
    std::vector<int64_t> sa(rank), sb(rank);
    int64_t ka = 1, kb = 1;
    for (size_t i = rank; i-- > 0;) {
      sa[i] = pa[i] == 1 ? 0 : ka;
      sb[i] = pb[i] == 1 ? 0 : kb;
      ka *= pa[i];
      kb *= pb[i];
    }
    FloatTensor out{out_shape, std::vector<float>(NumElements(out_shape))};
    std::vector<int32_t> index(rank, 0);
    for (int64_t k = 0; k < static_cast<int64_t>(out.data.size()); ++k) {
      int64_t ia = 0, ib = 0;
      for (size_t i = 0; i < rank; ++i) ia += index[i] * sa[i], ib += index[i] * sb[i];
      out.data[k] = Activate(f(a->data[ia], b->data[ib]), activation);
      for (size_t i = rank; i-- > 0;) {
        if (++index[i] < out_shape[i]) break;
        index[i] = 0;
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  template <typename F>
  absl::Status Unary(const Operator& op, F f, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    FloatTensor out{in->shape, in->data};
    for (float& v : out.data) v = f(v);
    return SetOutput(op, std::move(out), name);
  }

  absl::Status Pad(const Operator& op, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    if (NumInputs(op) < 2) return absl::InvalidArgumentError(name + " needs paddings");
    ASSIGN_OR_RETURN(std::vector<int32_t> pads, IntConstant(op.inputs()->Get(1)));
    const size_t rank = in->shape.size();
    if (pads.size() != rank * 2) {
      return absl::InvalidArgumentError(name + " paddings do not match the input rank");
    }
    Shape out_shape(rank);
    for (size_t i = 0; i < rank; ++i) {
      if (pads[2 * i] < 0 || pads[2 * i + 1] < 0) {
        return absl::InvalidArgumentError(name + " has a negative padding");
      }
      out_shape[i] = in->shape[i] + pads[2 * i] + pads[2 * i + 1];
    }
    FloatTensor out{out_shape, std::vector<float>(NumElements(out_shape), 0.0f)};
    std::vector<int32_t> index(rank, 0);
    for (int64_t k = 0; k < static_cast<int64_t>(in->data.size()); ++k) {
      int64_t o = 0;
      for (size_t i = 0; i < rank; ++i) o = o * out_shape[i] + index[i] + pads[2 * i];
      out.data[o] = in->data[k];
      for (size_t i = rank; i-- > 0;) {
        if (++index[i] < in->shape[i]) break;
        index[i] = 0;
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  absl::Status Reshape(const Operator& op, const std::string& name) {
    ASSIGN_OR_RETURN(const FloatTensor* in, Input(op, 0));
    ASSIGN_OR_RETURN(const Tensor* t, OutputTensor(op));
    FloatTensor out{DeclaredShape(*t), in->data};
    if (NumElements(out.shape) != static_cast<int64_t>(in->data.size())) {
      return absl::InvalidArgumentError(absl::StrCat(name, " from ", ShapeText(in->shape),
                                                     " to ", ShapeText(out.shape),
                                                     " changes the element count"));
    }
    return SetOutput(op, std::move(out), name);
  }

  absl::Status Concatenation(const Operator& op, const std::string& name) {
    const auto* o = op.builtin_options_as_ConcatenationOptions();
    if (o == nullptr) return absl::InvalidArgumentError(name + " has no options");
    RETURN_IF_ERROR(CheckActivation(o->fused_activation_function()));
    if (NumInputs(op) < 1) return absl::InvalidArgumentError(name + " has no inputs");
    std::vector<const FloatTensor*> ins;
    for (int i = 0; i < NumInputs(op); ++i) {
      ASSIGN_OR_RETURN(const FloatTensor* v, Input(op, i));
      ins.push_back(v);
    }
    const int rank = static_cast<int>(ins[0]->shape.size());
    const int axis = o->axis() < 0 ? o->axis() + rank : o->axis();
    if (axis < 0 || axis >= rank) return absl::InvalidArgumentError(name + " axis out of range");
    Shape out_shape = ins[0]->shape;
    out_shape[axis] = 0;
    for (const FloatTensor* v : ins) {
      for (int i = 0; i < rank; ++i) {
        if (static_cast<int>(v->shape.size()) != rank ||
            (i != axis && v->shape[i] != ins[0]->shape[i])) {
          return absl::InvalidArgumentError(name + " inputs differ outside the axis");
        }
      }
      out_shape[axis] += v->shape[axis];
    }
    int64_t outer = 1;
    for (int i = 0; i < axis; ++i) outer *= out_shape[i];
    FloatTensor out{out_shape, {}};
    out.data.reserve(NumElements(out_shape));
    for (int64_t k = 0; k < outer; ++k) {
      for (const FloatTensor* v : ins) {
        const int64_t chunk = static_cast<int64_t>(v->data.size()) / std::max<int64_t>(outer, 1);
        for (int64_t j = 0; j < chunk; ++j) {
          out.data.push_back(Activate(v->data[k * chunk + j], o->fused_activation_function()));
        }
      }
    }
    return SetOutput(op, std::move(out), name);
  }

  const Model& model_;
  const SubGraph& graph_;
  const EvaluationOptions options_;
  std::vector<std::optional<FloatTensor>> values_;
};

util::StatusOr<const SubGraph*> MainGraph(absl::Span<const uint8_t> model_file,
                                          const Model** model) {
  *model = VerifiedModel(model_file.data(), model_file.size());
  if (*model == nullptr) return absl::InvalidArgumentError("Not a valid model file");
  if ((*model)->subgraphs() == nullptr || (*model)->subgraphs()->size() == 0) {
    return absl::InvalidArgumentError("The model has no subgraph");
  }
  return (*model)->subgraphs()->Get(0);
}

}  // namespace

float RoundToHalf(float value) {
  if (!std::isfinite(value)) return value;
  const float magnitude = std::fabs(value);
  // Halfway between the largest half, 65504, and the next power of two rounds to even:
  // infinity.
  if (magnitude >= 65520.0f) return std::copysign(INFINITY, value);
  int exponent;
  std::frexp(magnitude, &exponent);
  // Halves have 10 fraction bits; below 2^-14 they are subnormal with a spacing of 2^-24.
  const float spacing = std::ldexp(1.0f, std::max(exponent - 1, -14) - 10);
  return std::copysign(std::nearbyint(magnitude / spacing) * spacing, value);
}

util::StatusOr<std::vector<FloatTensor>> EvaluateModel(absl::Span<const uint8_t> model_file,
                                                       const std::vector<FloatTensor>& inputs,
                                                       const EvaluationOptions& options) {
  const Model* model;
  ASSIGN_OR_RETURN(const SubGraph* graph, MainGraph(model_file, &model));
  Evaluator evaluator(*model, *graph, options);
  RETURN_IF_ERROR(evaluator.SetInputs(inputs));
  RETURN_IF_ERROR(evaluator.RunAll());
  return evaluator.Outputs();
}

util::StatusOr<int64_t> CountMultiplyAdds(absl::Span<const uint8_t> model_file) {
  const Model* model;
  ASSIGN_OR_RETURN(const SubGraph* graph, MainGraph(model_file, &model));
  Evaluator evaluator(*model, *graph);
  int64_t total = 0;
  if (graph->operators() != nullptr) {
    for (const Operator* op : *graph->operators()) {
      ASSIGN_OR_RETURN(int64_t n, evaluator.MultiplyAdds(*op));
      total += n;
    }
  }
  return total;
}

}  // namespace testing
}  // namespace tflite
