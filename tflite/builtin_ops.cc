// The prepare callbacks of the built-in operators: each checks its node's inputs and options
// and sets its outputs' dimensions. Input from the model file is never trusted: wrong arity,
// ranks, sizes or missing options fail the node with a report.

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "tflite/common.h"
#include "tflite/op_resolver.h"
#include "tflite/schema_generated.h"

namespace tflite {
namespace ops {
namespace builtin {
namespace {

using Dims = std::vector<int>;

int NumInputs(const TfLiteNode* node) { return node->inputs->size; }
int NumOutputs(const TfLiteNode* node) { return node->outputs->size; }

// Input i, or null when it is omitted.
const TfLiteTensor* Input(TfLiteContext* context, const TfLiteNode* node, int i) {
  const int index = node->inputs->data[i];
  return index == kTfLiteOptionalTensor ? nullptr : &context->tensors[index];
}

Dims GetDims(const TfLiteTensor* tensor) { return TfLiteIntArrayToVector(tensor->dims); }

// Inferred tensors are bounded like the file's own: at most 2^31 elements, checked as the
// product grows, so element counts of any tensor fit in 64 bits at every step.
constexpr int64_t kMaxElements = int64_t{1} << 31;

TfLiteStatus SetOutputDims(TfLiteContext* context, const TfLiteNode* node, int i,
                           const Dims& dims) {
  int64_t elements = 1;
  for (int d : dims) {
    TF_LITE_ENSURE(context, d >= 0);
    elements *= d;
    TF_LITE_ENSURE(context, elements <= kMaxElements);
  }
  return context->ResizeTensor(context, &context->tensors[node->outputs->data[i]],
                               TfLiteIntArrayFromVector(dims));
}

// The int32 values of a constant tensor, or false when it is not one.
bool ConstInts(const TfLiteTensor* tensor, std::vector<int32_t>* values) {
  if (tensor == nullptr || tensor->allocation_type != kTfLiteMmapRo ||
      tensor->type != kTfLiteInt32 || tensor->data.raw_const == nullptr) {
    return false;
  }
  values->resize(tensor->bytes / sizeof(int32_t));
  if (!values->empty()) std::memcpy(values->data(), tensor->data.raw_const, values->size() * 4);
  return true;
}

int64_t NumElements(const Dims& dims) {
  int64_t n = 1;
  for (int d : dims) n *= d;
  return n;
}

// The output length of a window along one axis; -1 when the window does not fit.
int WindowOutput(Padding padding, int in, int filter, int stride, int dilation) {
  if (stride < 1 || dilation < 1 || filter < 1) return -1;
  const int64_t effective = int64_t{filter - 1} * dilation + 1;
  if (padding == Padding_SAME) return static_cast<int>((int64_t{in} + stride - 1) / stride);
  if (in < effective) return -1;
  return static_cast<int>((in - effective + stride) / stride);
}

// The output of a convolution-like window over `in` with filter dims `f` ([., h, w, .]).
template <typename Options>
TfLiteStatus SetConvOutput(TfLiteContext* context, TfLiteNode* node, const Options& options,
                           const Dims& in, const Dims& f, int channels) {
  const int h = WindowOutput(options.padding(), in[1], f[1], options.stride_h(),
                             options.dilation_h_factor());
  const int w = WindowOutput(options.padding(), in[2], f[2], options.stride_w(),
                             options.dilation_w_factor());
  TF_LITE_ENSURE(context, h >= 0 && w >= 0);
  return SetOutputDims(context, node, 0, {in[0], h, w, channels});
}

TfLiteStatus PrepareUnary(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) >= 1 && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  return SetOutputDims(context, node, 0, GetDims(input));
}

// Broadcasting of two shapes, aligned at their last dimension.
bool Broadcast(const Dims& a, const Dims& b, Dims* out) {
  const size_t rank = std::max(a.size(), b.size());
  out->assign(rank, 1);
  for (size_t i = 0; i < rank; ++i) {
    const int da = i < rank - a.size() ? 1 : a[i - (rank - a.size())];
    const int db = i < rank - b.size() ? 1 : b[i - (rank - b.size())];
    if (da != db && da != 1 && db != 1) return false;
    (*out)[i] = da == 1 ? db : da;
  }
  return true;
}

TfLiteStatus PrepareBinary(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 2 && NumOutputs(node) == 1);
  const TfLiteTensor* a = Input(context, node, 0);
  const TfLiteTensor* b = Input(context, node, 1);
  TF_LITE_ENSURE(context, a != nullptr && b != nullptr);
  Dims out;
  TF_LITE_ENSURE(context, Broadcast(GetDims(a), GetDims(b), &out));
  return SetOutputDims(context, node, 0, out);
}

TfLiteStatus PreparePrelu(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 2 && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  const TfLiteTensor* alpha = Input(context, node, 1);
  TF_LITE_ENSURE(context, input != nullptr && alpha != nullptr);
  Dims out;
  TF_LITE_ENSURE(context, Broadcast(GetDims(input), GetDims(alpha), &out));
  TF_LITE_ENSURE(context, out == GetDims(input));
  return SetOutputDims(context, node, 0, out);
}

TfLiteStatus PrepareConv(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, (NumInputs(node) == 2 || NumInputs(node) == 3) && NumOutputs(node) == 1);
  const Conv2DOptions* options = node->op->builtin_options_as_Conv2DOptions();
  TF_LITE_ENSURE(context, options != nullptr);
  const TfLiteTensor* input = Input(context, node, 0);
  const TfLiteTensor* filter = Input(context, node, 1);
  TF_LITE_ENSURE(context, input != nullptr && filter != nullptr);
  const Dims in = GetDims(input), f = GetDims(filter);
  TF_LITE_ENSURE(context, in.size() == 4 && f.size() == 4 && f[3] == in[3]);
  if (NumInputs(node) == 3 && Input(context, node, 2) != nullptr) {
    TF_LITE_ENSURE(context, NumElements(GetDims(Input(context, node, 2))) == f[0]);
  }
  return SetConvOutput(context, node, *options, in, f, f[0]);
}

TfLiteStatus PrepareDepthwiseConv(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, (NumInputs(node) == 2 || NumInputs(node) == 3) && NumOutputs(node) == 1);
  const DepthwiseConv2DOptions* options = node->op->builtin_options_as_DepthwiseConv2DOptions();
  TF_LITE_ENSURE(context, options != nullptr);
  const TfLiteTensor* input = Input(context, node, 0);
  const TfLiteTensor* filter = Input(context, node, 1);
  TF_LITE_ENSURE(context, input != nullptr && filter != nullptr);
  const Dims in = GetDims(input), f = GetDims(filter);
  // The filter is [1, height, width, input channels x multiplier].
  TF_LITE_ENSURE(context, in.size() == 4 && f.size() == 4 && f[0] == 1);
  TF_LITE_ENSURE(context, in[3] > 0 && f[3] % in[3] == 0);
  if (NumInputs(node) == 3 && Input(context, node, 2) != nullptr) {
    TF_LITE_ENSURE(context, NumElements(GetDims(Input(context, node, 2))) == f[3]);
  }
  return SetConvOutput(context, node, *options, in, f, f[3]);
}

TfLiteStatus PreparePool(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 1 && NumOutputs(node) == 1);
  const Pool2DOptions* options = node->op->builtin_options_as_Pool2DOptions();
  TF_LITE_ENSURE(context, options != nullptr);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  const Dims in = GetDims(input);
  TF_LITE_ENSURE(context, in.size() == 4);
  const int h = WindowOutput(options->padding(), in[1], options->filter_height(),
                             options->stride_h(), 1);
  const int w = WindowOutput(options->padding(), in[2], options->filter_width(),
                             options->stride_w(), 1);
  TF_LITE_ENSURE(context, h >= 0 && w >= 0);
  return SetOutputDims(context, node, 0, {in[0], h, w, in[3]});
}

TfLiteStatus PrepareFullyConnected(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, (NumInputs(node) == 2 || NumInputs(node) == 3) && NumOutputs(node) == 1);
  const FullyConnectedOptions* options = node->op->builtin_options_as_FullyConnectedOptions();
  const TfLiteTensor* input = Input(context, node, 0);
  const TfLiteTensor* weights = Input(context, node, 1);
  TF_LITE_ENSURE(context, input != nullptr && weights != nullptr);
  const Dims in = GetDims(input), w = GetDims(weights);
  TF_LITE_ENSURE(context, !in.empty() && w.size() == 2 && w[1] > 0);
  const int units = w[0], depth = w[1];
  if (NumInputs(node) == 3 && Input(context, node, 2) != nullptr) {
    TF_LITE_ENSURE(context, NumElements(GetDims(Input(context, node, 2))) == units);
  }
  const int64_t elements = NumElements(in);
  TF_LITE_ENSURE(context, elements % depth == 0);
  if (options != nullptr && options->keep_num_dims()) {
    TF_LITE_ENSURE(context, in.back() == depth);
    Dims out = in;
    out.back() = units;
    return SetOutputDims(context, node, 0, out);
  }
  return SetOutputDims(context, node, 0, {static_cast<int>(elements / depth), units});
}

TfLiteStatus PrepareConcatenation(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) >= 1 && NumOutputs(node) == 1);
  const ConcatenationOptions* options = node->op->builtin_options_as_ConcatenationOptions();
  TF_LITE_ENSURE(context, options != nullptr);
  const TfLiteTensor* first = Input(context, node, 0);
  TF_LITE_ENSURE(context, first != nullptr);
  Dims out = GetDims(first);
  const int rank = static_cast<int>(out.size());
  const int axis = options->axis() < 0 ? options->axis() + rank : options->axis();
  TF_LITE_ENSURE(context, axis >= 0 && axis < rank);
  int64_t total = out[axis];
  for (int i = 1; i < NumInputs(node); ++i) {
    const TfLiteTensor* t = Input(context, node, i);
    TF_LITE_ENSURE(context, t != nullptr);
    const Dims d = GetDims(t);
    TF_LITE_ENSURE(context, static_cast<int>(d.size()) == rank);
    for (int k = 0; k < rank; ++k) TF_LITE_ENSURE(context, k == axis || d[k] == out[k]);
    total += d[axis];
  }
  TF_LITE_ENSURE(context, total <= std::numeric_limits<int>::max());
  out[axis] = static_cast<int>(total);
  return SetOutputDims(context, node, 0, out);
}

TfLiteStatus PrepareReshape(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, (NumInputs(node) == 1 || NumInputs(node) == 2) && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  std::vector<int32_t> shape;
  const ReshapeOptions* options = node->op->builtin_options_as_ReshapeOptions();
  if (NumInputs(node) == 2 && ConstInts(Input(context, node, 1), &shape)) {
  } else if (options != nullptr && options->new_shape() != nullptr) {
    shape.assign(options->new_shape()->begin(), options->new_shape()->end());
  } else {
    // Without a given shape the output keeps the one the file declares.
    shape = GetDims(&context->tensors[node->outputs->data[0]]);
  }
  const int64_t elements = NumElements(GetDims(input));
  int64_t known = 1;
  int unknown = -1;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == -1) {
      TF_LITE_ENSURE(context, unknown < 0);
      unknown = static_cast<int>(i);
    } else {
      TF_LITE_ENSURE(context, shape[i] >= 0);
      known *= shape[i];
      TF_LITE_ENSURE(context, known <= std::numeric_limits<int32_t>::max());
    }
  }
  if (unknown >= 0) {
    TF_LITE_ENSURE(context, known > 0 && elements % known == 0);
    shape[unknown] = static_cast<int32_t>(elements / known);
  } else {
    TF_LITE_ENSURE(context, known == elements);
  }
  return SetOutputDims(context, node, 0, Dims(shape.begin(), shape.end()));
}

TfLiteStatus PreparePad(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, (NumInputs(node) == 2 || NumInputs(node) == 3) && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  Dims out = GetDims(input);
  std::vector<int32_t> paddings;
  TF_LITE_ENSURE(context, ConstInts(Input(context, node, 1), &paddings));
  TF_LITE_ENSURE(context, paddings.size() == 2 * out.size());
  for (size_t i = 0; i < out.size(); ++i) {
    TF_LITE_ENSURE(context, paddings[2 * i] >= 0 && paddings[2 * i + 1] >= 0);
    const int64_t d = int64_t{out[i]} + paddings[2 * i] + paddings[2 * i + 1];
    TF_LITE_ENSURE(context, d <= std::numeric_limits<int>::max());
    out[i] = static_cast<int>(d);
  }
  return SetOutputDims(context, node, 0, out);
}

TfLiteStatus PrepareResizeBilinear(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 2 && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  const Dims in = GetDims(input);
  std::vector<int32_t> size;
  TF_LITE_ENSURE(context, in.size() == 4 && ConstInts(Input(context, node, 1), &size));
  TF_LITE_ENSURE(context, size.size() == 2 && size[0] > 0 && size[1] > 0);
  return SetOutputDims(context, node, 0, {in[0], size[0], size[1], in[3]});
}

TfLiteStatus PrepareTransposeConv(TfLiteContext* context, TfLiteNode* node) {
  // Inputs: the output shape, the weights [out channels, h, w, in channels], the input and
  // an optional bias.
  TF_LITE_ENSURE(context, (NumInputs(node) == 3 || NumInputs(node) == 4) && NumOutputs(node) == 1);
  TF_LITE_ENSURE(context, node->op->builtin_options_as_TransposeConvOptions() != nullptr);
  std::vector<int32_t> shape;
  TF_LITE_ENSURE(context, ConstInts(Input(context, node, 0), &shape) && shape.size() == 4);
  const TfLiteTensor* weights = Input(context, node, 1);
  const TfLiteTensor* input = Input(context, node, 2);
  TF_LITE_ENSURE(context, weights != nullptr && input != nullptr);
  const Dims w = GetDims(weights), in = GetDims(input);
  TF_LITE_ENSURE(context, w.size() == 4 && in.size() == 4 && w[3] == in[3] && shape[3] == w[0]);
  return SetOutputDims(context, node, 0, Dims(shape.begin(), shape.end()));
}

TfLiteStatus PrepareSlice(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 3 && NumOutputs(node) == 1);
  const TfLiteTensor* input = Input(context, node, 0);
  TF_LITE_ENSURE(context, input != nullptr);
  const Dims in = GetDims(input);
  std::vector<int32_t> begin, size;
  TF_LITE_ENSURE(context, ConstInts(Input(context, node, 1), &begin) &&
                              ConstInts(Input(context, node, 2), &size));
  TF_LITE_ENSURE(context, begin.size() == in.size() && size.size() == in.size());
  Dims out(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    TF_LITE_ENSURE(context, begin[i] >= 0 && begin[i] <= in[i]);
    const int64_t n = size[i] == -1 ? int64_t{in[i]} - begin[i] : size[i];
    TF_LITE_ENSURE(context, n >= 0 && begin[i] + n <= in[i]);
    out[i] = static_cast<int>(n);
  }
  return SetOutputDims(context, node, 0, out);
}

TfLiteStatus PrepareSoftmax(TfLiteContext* context, TfLiteNode* node) {
  TF_LITE_ENSURE(context, NumInputs(node) == 1 && NumOutputs(node) == 1);
  return PrepareUnary(context, node);
}

TfLiteRegistration With(TfLiteStatus (*prepare)(TfLiteContext*, TfLiteNode*)) {
  TfLiteRegistration r;
  r.prepare = prepare;
  return r;
}

}  // namespace

BuiltinOpResolver::BuiltinOpResolver() {
  // Versions 1 to this cover what the format's writers emit for float models.
  constexpr int kMaxVersion = 12;
  const TfLiteRegistration unary = With(PrepareUnary);
  for (BuiltinOperator op :
       {BuiltinOperator_RELU, BuiltinOperator_RELU6, BuiltinOperator_RELU_N1_TO_1,
        BuiltinOperator_LOGISTIC, BuiltinOperator_TANH, BuiltinOperator_HARD_SWISH,
        BuiltinOperator_LEAKY_RELU, BuiltinOperator_ABS, BuiltinOperator_EXP,
        BuiltinOperator_SQRT, BuiltinOperator_RSQRT, BuiltinOperator_NEG,
        BuiltinOperator_SQUARE, BuiltinOperator_DEQUANTIZE}) {
    AddBuiltin(op, &unary, 1, kMaxVersion);
  }
  const TfLiteRegistration binary = With(PrepareBinary);
  for (BuiltinOperator op : {BuiltinOperator_ADD, BuiltinOperator_SUB, BuiltinOperator_MUL,
                             BuiltinOperator_DIV, BuiltinOperator_MAXIMUM,
                             BuiltinOperator_MINIMUM, BuiltinOperator_SQUARED_DIFFERENCE}) {
    AddBuiltin(op, &binary, 1, kMaxVersion);
  }
  const struct {
    BuiltinOperator op;
    TfLiteStatus (*prepare)(TfLiteContext*, TfLiteNode*);
  } kOthers[] = {
      {BuiltinOperator_PRELU, PreparePrelu},
      {BuiltinOperator_CONV_2D, PrepareConv},
      {BuiltinOperator_DEPTHWISE_CONV_2D, PrepareDepthwiseConv},
      {BuiltinOperator_AVERAGE_POOL_2D, PreparePool},
      {BuiltinOperator_MAX_POOL_2D, PreparePool},
      {BuiltinOperator_FULLY_CONNECTED, PrepareFullyConnected},
      {BuiltinOperator_CONCATENATION, PrepareConcatenation},
      {BuiltinOperator_RESHAPE, PrepareReshape},
      {BuiltinOperator_PAD, PreparePad},
      {BuiltinOperator_PADV2, PreparePad},
      {BuiltinOperator_RESIZE_BILINEAR, PrepareResizeBilinear},
      {BuiltinOperator_TRANSPOSE_CONV, PrepareTransposeConv},
      {BuiltinOperator_SLICE, PrepareSlice},
      {BuiltinOperator_SOFTMAX, PrepareSoftmax},
  };
  for (const auto& entry : kOthers) {
    const TfLiteRegistration r = With(entry.prepare);
    AddBuiltin(entry.op, &r, 1, kMaxVersion);
  }
}

}  // namespace builtin
}  // namespace ops
}  // namespace tflite
