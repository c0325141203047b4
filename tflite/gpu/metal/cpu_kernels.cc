#include "tflite/gpu/metal/cpu_kernels.h"

#include <xnnpack.h>

#include <algorithm>
#include <any>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "absl/strings/str_cat.h"
#include "base/logging.h"
#include "base/status_macros.h"
#include "tflite/gpu/metal/half_conversion.h"
#include "tflite/gpu/metal/half_elementwise.h"
#include "tflite/gpu/operations.h"

namespace tflite {
namespace gpu {
namespace metal {
namespace {

using Shapes = std::vector<BHWC>;

static_assert(kKernelReadSlack >= XNN_EXTRA_BYTES, "XNNPACK reads past its inputs' ends");

absl::Status XnnStatus(xnn_status status, const char* what) {
  if (status == xnn_status_success) return absl::OkStatus();
  return absl::InternalError(absl::StrCat(what, " failed with XNNPACK status ", status));
}

absl::Status InitializeXnnpack() {
  static const xnn_status status = xnn_initialize(nullptr);
  return XnnStatus(status, "xnn_initialize");
}

absl::Status ExpectShape(const BHWC& actual, const BHWC& expected, const char* what) {
  if (actual == expected) return absl::OkStatus();
  return absl::InvalidArgumentError(absl::StrCat(what, ": the output shape ", ToString(actual),
                                                 " does not fit the operation, which gives ",
                                                 ToString(expected)));
}

absl::Status ExpectInputs(const Shapes& inputs, size_t count, const char* what) {
  if (inputs.size() == count) return absl::OkStatus();
  return absl::InvalidArgumentError(
      absl::StrCat(what, " takes ", count, " inputs, not ", inputs.size()));
}

// An XNNPACK operator and how to bind it to its buffers.
class XnnKernel : public CpuKernel {
 public:
  using Binder = std::function<xnn_status(xnn_operator_t op, absl::Span<const float* const> inputs,
                                          float* output, pthreadpool_t threadpool)>;

  XnnKernel(xnn_operator_t op, Binder binder, pthreadpool_t threadpool, bool stores_halves)
      : op_(op), binder_(std::move(binder)), threadpool_(threadpool),
        stores_halves_(stores_halves) {}
  ~XnnKernel() override { xnn_delete_operator(op_); }

  absl::Status Setup(absl::Span<const float* const> inputs, float* output) override {
    return XnnStatus(binder_(op_, inputs, output, threadpool_), "XNNPACK operator setup");
  }
  void Run() override {
    const xnn_status status = xnn_run_operator(op_, threadpool_);
    CHECK(status == xnn_status_success) << "XNNPACK operator run failed: " << status;
  }
  bool StoresHalves() const override { return stores_halves_; }

 private:
  xnn_operator_t op_;
  Binder binder_;
  pthreadpool_t threadpool_;
  bool stores_halves_;
};

// `selects`: the operator only moves or selects its input values (padding, maximum pooling),
// so it stores halves when it reads halves.
util::StatusOr<std::unique_ptr<CpuKernel>> MakeXnnKernel(xnn_status created, xnn_operator_t op,
                                                         XnnKernel::Binder binder,
                                                         pthreadpool_t threadpool,
                                                         bool selects = false) {
  RETURN_IF_ERROR(XnnStatus(created, "XNNPACK operator creation"));
  return std::unique_ptr<CpuKernel>(new XnnKernel(op, std::move(binder), threadpool, selects));
}

// Our own loop over bound buffers.
class LoopKernel : public CpuKernel {
 public:
  using Loop = std::function<void(absl::Span<const float* const> inputs, float* output)>;
  LoopKernel(Loop loop, bool selects) : loop_(std::move(loop)), selects_(selects) {}

  absl::Status Setup(absl::Span<const float* const> inputs, float* output) override {
    inputs_.assign(inputs.begin(), inputs.end());
    output_ = output;
    return absl::OkStatus();
  }
  void Run() override { loop_(inputs_, output_); }
  bool StoresHalves() const override { return selects_; }

 private:
  Loop loop_;
  bool selects_;
  std::vector<const float*> inputs_;
  float* output_ = nullptr;
};

// `selects` as for MakeXnnKernel.
util::StatusOr<std::unique_ptr<CpuKernel>> MakeLoopKernel(LoopKernel::Loop loop,
                                                          bool selects = false) {
  return std::unique_ptr<CpuKernel>(new LoopKernel(std::move(loop), selects));
}

// Element-wise arithmetic that rounds what it reads and stores (half-precision storage).
class HalfElementwiseKernel : public CpuKernel {
 public:
  explicit HalfElementwiseKernel(HalfElementwise e) : e_(std::move(e)) {}

  absl::Status Setup(absl::Span<const float* const> inputs, float* output) override {
    first_ = inputs[0];
    second_ = inputs.size() > 1 ? inputs[1] : nullptr;
    output_ = output;
    return absl::OkStatus();
  }
  void Run() override { e_.Run(first_, second_, output_); }
  bool CanRoundInputs() const override { return true; }
  void SetUnroundedInputs(const std::vector<bool>& unrounded) override {
    e_.round_first = !unrounded.empty() && unrounded[0];
    e_.round_second = unrounded.size() > 1 && unrounded[1];
  }
  bool StoresHalves() const override { return true; }

 private:
  HalfElementwise e_;
  const float* first_ = nullptr;
  const float* second_ = nullptr;
  float* output_ = nullptr;
};

util::StatusOr<std::unique_ptr<CpuKernel>> MakeHalfElementwiseKernel(HalfElementwise e) {
  e.Prepare();
  return std::unique_ptr<CpuKernel>(new HalfElementwiseKernel(std::move(e)));
}

bool IsHalf(float v) { return std::isnan(v) || RoundToHalf(v) == v; }

// Clamping halves to these bounds gives halves.
bool BoundsKeepHalves(OutputBounds bounds) { return IsHalf(bounds.min) && IsHalf(bounds.max); }

int64_t Elements(const BHWC& s) { return s.DimensionsProduct(); }

int WindowOutput(int in, int pad_before, int pad_after, int kernel, int stride, int dilation) {
  const int span = (kernel - 1) * dilation + 1;
  const int padded = in + pad_before + pad_after;
  return padded < span || stride <= 0 ? 0 : (padded - span) / stride + 1;
}

template <typename T>
util::StatusOr<const T*> Attributes(const Operation& op) {
  const T* attr = std::any_cast<T>(&op.attributes);
  if (attr == nullptr) {
    return absl::InvalidArgumentError(
        absl::StrCat("The ", op.type, " operation lacks its attributes"));
  }
  return attr;
}

absl::Status CheckWindow(const PaddingAttributes<HW>& p, HW strides, HW dilations,
                         const char* what) {
  if (p.prepended.h < 0 || p.prepended.w < 0 || p.appended.h < 0 || p.appended.w < 0 ||
      strides.h <= 0 || strides.w <= 0 || dilations.h <= 0 || dilations.w <= 0) {
    return absl::InvalidArgumentError(absl::StrCat(what, ": bad padding, strides or dilations"));
  }
  return absl::OkStatus();
}

CpuKernelFactory ConvolutionFactory(Convolution2DAttributes attr, bool depthwise,
                                    OutputBounds bounds) {
  return [attr = std::move(attr), depthwise, bounds](
             const Shapes& in, const BHWC& out,
             pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    const char* what = depthwise ? "Depthwise convolution" : "Convolution";
    RETURN_IF_ERROR(ExpectInputs(in, 1, what));
    RETURN_IF_ERROR(CheckWindow(attr.padding, attr.strides, attr.dilations, what));
    const ConvWeights& w = attr.weights;
    if (w.i != in[0].c || w.o <= 0 || w.h <= 0 || w.w <= 0 ||
        static_cast<int64_t>(w.data.size()) != int64_t{w.o} * w.h * w.w * w.i) {
      return absl::InvalidArgumentError(absl::StrCat(what, ": weights do not fit the input"));
    }
    const int out_c = depthwise ? w.i * w.o : w.o;
    if (!attr.bias.empty() && static_cast<int>(attr.bias.size()) != out_c) {
      return absl::InvalidArgumentError(absl::StrCat(what, ": bias does not fit the output"));
    }
    const BHWC expected(in[0].b,
                        WindowOutput(in[0].h, attr.padding.prepended.h, attr.padding.appended.h,
                                     w.h, attr.strides.h, attr.dilations.h),
                        WindowOutput(in[0].w, attr.padding.prepended.w, attr.padding.appended.w,
                                     w.w, attr.strides.w, attr.dilations.w),
                        out_c);
    RETURN_IF_ERROR(ExpectShape(out, expected, what));
    RETURN_IF_ERROR(InitializeXnnpack());
    std::vector<float> kernel;
    if (depthwise) {
      // (m, h, w, c) to [h][w][c * m], channel ci's m outputs together.
      const int m = w.o, c = w.i;
      kernel.resize(w.data.size());
      for (int mi = 0; mi < m; ++mi) {
        for (int y = 0; y < w.h; ++y) {
          for (int x = 0; x < w.w; ++x) {
            for (int ci = 0; ci < c; ++ci) {
              kernel[(static_cast<size_t>(y) * w.w + x) * c * m + ci * m + mi] =
                  w.data[((static_cast<size_t>(mi) * w.h + y) * w.w + x) * c + ci];
            }
          }
        }
      }
    }
    xnn_operator_t op = nullptr;
    const xnn_status created = xnn_create_convolution2d_nhwc_f32(
        attr.padding.prepended.h, attr.padding.appended.w, attr.padding.appended.h,
        attr.padding.prepended.w, w.h, w.w, attr.strides.h, attr.strides.w, attr.dilations.h,
        attr.dilations.w, depthwise ? w.i : 1, depthwise ? 1 : w.i, depthwise ? w.o : w.o,
        in[0].c, out_c, depthwise ? kernel.data() : w.data.data(),
        attr.bias.empty() ? nullptr : attr.bias.data(), bounds.min, bounds.max,
        depthwise ? XNN_FLAG_DEPTHWISE_CONVOLUTION : 0, &op);
    const BHWC s = in[0];
    return MakeXnnKernel(created, op,
                         [s](xnn_operator_t op, absl::Span<const float* const> inputs,
                             float* output, pthreadpool_t pool) {
                           return xnn_setup_convolution2d_nhwc_f32(op, s.b, s.h, s.w, inputs[0],
                                                                   output, pool);
                         },
                         pool);
  };
}

CpuKernelFactory PoolingFactory(Pooling2DAttributes attr, OutputBounds bounds) {
  return [attr, bounds](const Shapes& in, const BHWC& out,
                        pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "Pooling"));
    RETURN_IF_ERROR(CheckWindow(attr.padding, attr.strides, HW(1, 1), "Pooling"));
    if (attr.output_indices) {
      return absl::UnimplementedError("Pooling with output indices is not supported");
    }
    if (attr.kernel.h <= 0 || attr.kernel.w <= 0) {
      return absl::InvalidArgumentError("Pooling: bad window");
    }
    const BHWC expected(in[0].b,
                        WindowOutput(in[0].h, attr.padding.prepended.h, attr.padding.appended.h,
                                     attr.kernel.h, attr.strides.h, 1),
                        WindowOutput(in[0].w, attr.padding.prepended.w, attr.padding.appended.w,
                                     attr.kernel.w, attr.strides.w, 1),
                        in[0].c);
    RETURN_IF_ERROR(ExpectShape(out, expected, "Pooling"));
    RETURN_IF_ERROR(InitializeXnnpack());
    const BHWC s = in[0];
    if (attr.kernel.h * attr.kernel.w == 1) {
      // A 1x1 window only subsamples; XNNPACK refuses it as a pooling.
      return MakeLoopKernel([s, out, attr, bounds](absl::Span<const float* const> inputs,
                                                  float* output) {
        for (int b = 0; b < out.b; ++b) {
          for (int y = 0; y < out.h; ++y) {
            for (int x = 0; x < out.w; ++x) {
              const int sy = y * attr.strides.h - attr.padding.prepended.h;
              const int sx = x * attr.strides.w - attr.padding.prepended.w;
              float* o = output + ((static_cast<size_t>(b) * out.h + y) * out.w + x) * out.c;
              for (int c = 0; c < out.c; ++c) {
                const float v = sy < 0 || sy >= s.h || sx < 0 || sx >= s.w
                                    ? 0.0f
                                    : inputs[0][((static_cast<size_t>(b) * s.h + sy) * s.w + sx) *
                                                    s.c + c];
                o[c] = std::clamp(v, bounds.min, bounds.max);
              }
            }
          }
        }
      }, BoundsKeepHalves(bounds));
    }
    xnn_operator_t op = nullptr;
    xnn_status created;
    if (attr.type == PoolingType::MAX) {
      created = xnn_create_max_pooling2d_nhwc_f32(
          attr.padding.prepended.h, attr.padding.appended.w, attr.padding.appended.h,
          attr.padding.prepended.w, attr.kernel.h, attr.kernel.w, attr.strides.h, attr.strides.w,
          1, 1, s.c, s.c, s.c, bounds.min, bounds.max, 0, &op);
      return MakeXnnKernel(created, op,
                           [s](xnn_operator_t op, absl::Span<const float* const> inputs,
                               float* output, pthreadpool_t pool) {
                             return xnn_setup_max_pooling2d_nhwc_f32(op, s.b, s.h, s.w, inputs[0],
                                                                     output, pool);
                           },
                           pool, BoundsKeepHalves(bounds));
    }
    created = xnn_create_average_pooling2d_nhwc_f32(
        attr.padding.prepended.h, attr.padding.appended.w, attr.padding.appended.h,
        attr.padding.prepended.w, attr.kernel.h, attr.kernel.w, attr.strides.h, attr.strides.w,
        s.c, s.c, s.c, bounds.min, bounds.max, 0, &op);
    return MakeXnnKernel(created, op,
                         [s](xnn_operator_t op, absl::Span<const float* const> inputs,
                             float* output, pthreadpool_t pool) {
                           return xnn_setup_average_pooling2d_nhwc_f32(op, s.b, s.h, s.w,
                                                                       inputs[0], output, pool);
                         },
                         pool);
  };
}

CpuKernelFactory FullyConnectedFactory(FullyConnectedAttributes attr, OutputBounds bounds) {
  return [attr = std::move(attr), bounds](
             const Shapes& in, const BHWC& out,
             pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "Fully connected"));
    const ConvWeights& w = attr.weights;
    if (w.i <= 0 || w.o <= 0 || static_cast<int64_t>(w.data.size()) != int64_t{w.o} * w.i ||
        Elements(in[0]) % w.i != 0 ||
        (!attr.bias.empty() && static_cast<int>(attr.bias.size()) != w.o)) {
      return absl::InvalidArgumentError("Fully connected: weights do not fit the input");
    }
    const int64_t batch = Elements(in[0]) / w.i;
    if (Elements(out) != batch * w.o || out.c != w.o) {
      return absl::InvalidArgumentError(absl::StrCat(
          "Fully connected: the output shape ", ToString(out), " does not fit the operation"));
    }
    RETURN_IF_ERROR(InitializeXnnpack());
    xnn_operator_t op = nullptr;
    const xnn_status created = xnn_create_fully_connected_nc_f32(
        w.i, w.o, w.i, w.o, w.data.data(), attr.bias.empty() ? nullptr : attr.bias.data(),
        bounds.min, bounds.max, 0, &op);
    return MakeXnnKernel(created, op,
                         [batch](xnn_operator_t op, absl::Span<const float* const> inputs,
                                 float* output, pthreadpool_t pool) {
                           return xnn_setup_fully_connected_nc_f32(op, batch, inputs[0], output,
                                                                   pool);
                         },
                         pool);
  };
}

// Two operands broadcast as NHWC tensors; XNNPACK's binary operators.
using BinaryCreate = std::function<xnn_status(float min, float max, xnn_operator_t* op)>;
using BinarySetup = xnn_status (*)(xnn_operator_t, size_t, const size_t*, size_t, const size_t*,
                                   const float*, const float*, float*, pthreadpool_t);

// The one-pass form of an element-wise operation whose first operand has the output's shape and
// whose second one repeats in a way HalfElementwise knows; none for other broadcasts.
std::optional<HalfElementwise> HalfBinaryForm(OperationType type,
                                              const ElementwiseAttributes& attr,
                                              const Shapes& in, OutputBounds bounds) {
  using Kind = ElementwiseAttributes::Kind;
  HalfElementwise e;
  switch (type) {
    case OperationType::ADD: e.op = HalfElementwiseOp::kAdd; break;
    case OperationType::SUB: e.op = HalfElementwiseOp::kSub; break;
    case OperationType::MUL: e.op = HalfElementwiseOp::kMul; break;
    case OperationType::DIV: e.op = HalfElementwiseOp::kDiv; break;
    case OperationType::MAXIMUM: e.op = HalfElementwiseOp::kMaximum; break;
    case OperationType::MINIMUM: e.op = HalfElementwiseOp::kMinimum; break;
    default: return std::nullopt;
  }
  e.min = bounds.min;
  e.max = bounds.max;
  const BHWC& a = in[0];
  switch (attr.kind) {
    case Kind::kRuntime: {
      const BHWC& b = in[1];
      const bool single_pixel = b.b == 1 && b.h == 1 && b.w == 1;
      if (b == a) {
        e.second = SecondOperand::kPerElement;
      } else if (single_pixel && b.c == 1) {
        e.second = SecondOperand::kScalar;
      } else if (single_pixel && b.c == a.c) {
        e.second = SecondOperand::kPerChannel;
      } else {
        return std::nullopt;
      }
      return e;
    }
    case Kind::kScalar:
      e.second = SecondOperand::kScalar;
      e.constant = {attr.scalar};
      break;
    case Kind::kPerChannel:
      if (static_cast<int64_t>(attr.values.size()) != a.c) return std::nullopt;
      e.second = SecondOperand::kPerChannel;
      e.constant = attr.values;
      break;
    case Kind::kTensor:
      if (a.b != 1 || !(attr.shape == HWC(a.h, a.w, a.c)) ||
          static_cast<int64_t>(attr.values.size()) != attr.shape.DimensionsProduct()) {
        return std::nullopt;
      }
      e.second = SecondOperand::kPerElement;
      e.constant = attr.values;
      break;
  }
  e.constant_second = true;
  return e;
}

// The one-pass form (half-precision storage) of an operation on inputs of shapes `in` giving
// `out`; none where the operation has no such form, or the shapes do not fit it (the regular
// factory then runs it, or reports the misfit).
std::optional<HalfElementwise> HalfForm(const Operation& op, const Shapes& in, const BHWC& out,
                                        OutputBounds bounds) {
  const OperationType type = OperationTypeFromString(op.type);
  std::optional<HalfElementwise> e;
  if (in.empty() || in[0] != out) return e;
  switch (type) {
    case OperationType::ADD:
    case OperationType::SUB:
    case OperationType::MUL:
    case OperationType::DIV:
    case OperationType::MAXIMUM:
    case OperationType::MINIMUM: {
      const auto* attr = std::any_cast<ElementwiseAttributes>(&op.attributes);
      const size_t inputs = attr != nullptr && attr->kind == ElementwiseAttributes::Kind::kRuntime
                                ? 2 : 1;
      if (attr != nullptr && in.size() == inputs) e = HalfBinaryForm(type, *attr, in, bounds);
      break;
    }
    case OperationType::RELU: {
      const auto* attr = std::any_cast<ReLUAttributes>(&op.attributes);
      if (attr == nullptr || in.size() != 1) break;
      e.emplace();
      if (attr->alpha == 0) {
        e->min = 0.0f;
        e->max = attr->clip > 0 ? attr->clip : std::numeric_limits<float>::infinity();
      } else if (attr->clip <= 0) {
        e->op = HalfElementwiseOp::kScaleNegative;
        e->second = SecondOperand::kScalar;
        e->constant_second = true;
        e->constant = {attr->alpha};
      } else {
        e.reset();  // a clipped leaky ReLU
      }
      break;
    }
    case OperationType::PRELU: {
      const auto* attr = std::any_cast<PReLUAttributes>(&op.attributes);
      if (attr == nullptr || in.size() != 1) break;
      const size_t per_image = static_cast<size_t>(out.h) * out.w * out.c;
      const bool fits = attr->per_channel ? attr->alpha.size() == static_cast<size_t>(out.c)
                                          : out.b == 1 && attr->alpha.size() == per_image;
      if (!fits) break;
      e.emplace();
      e->op = HalfElementwiseOp::kScaleNegative;
      e->second = attr->per_channel ? SecondOperand::kPerChannel : SecondOperand::kPerElement;
      e->constant_second = true;
      e->constant = attr->alpha;
      break;
    }
    default:
      break;
  }
  if (e.has_value()) {
    e->rows = static_cast<size_t>(out.b) * out.h * out.w;
    e->channels = static_cast<size_t>(out.c);
  }
  return e;
}

CpuKernelFactory BinaryFactory(OperationType type, ElementwiseAttributes attr,
                               OutputBounds bounds) {
  return [type, attr = std::move(attr), bounds](
             const Shapes& in, const BHWC& out,
             pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    using Kind = ElementwiseAttributes::Kind;
    const bool runtime = attr.kind == Kind::kRuntime;
    RETURN_IF_ERROR(ExpectInputs(in, runtime ? 2 : 1, "An element-wise operation"));
    std::array<size_t, 4> a{size_t(in[0].b), size_t(in[0].h), size_t(in[0].w), size_t(in[0].c)};
    std::array<size_t, 4> b{1, 1, 1, 1};
    size_t b_dims = 4;
    auto constant = std::make_shared<std::vector<float>>();
    switch (attr.kind) {
      case Kind::kRuntime:
        b = {size_t(in[1].b), size_t(in[1].h), size_t(in[1].w), size_t(in[1].c)};
        break;
      case Kind::kScalar:
        b_dims = 1;
        constant->push_back(attr.scalar);
        break;
      case Kind::kPerChannel:
        b_dims = 1;
        b[0] = attr.values.size();
        *constant = attr.values;
        break;
      case Kind::kTensor:
        b_dims = 3;
        b = {size_t(attr.shape.h), size_t(attr.shape.w), size_t(attr.shape.c), 1};
        if (static_cast<int64_t>(attr.values.size()) != attr.shape.DimensionsProduct()) {
          return absl::InvalidArgumentError("Element-wise constant does not fit its shape");
        }
        *constant = attr.values;
        break;
    }
    // XNNPACK may read past the operand's end.
    if (!runtime) constant->resize(constant->size() + kKernelReadSlack / sizeof(float), 0.0f);
    // The broadcast shape, dimensions aligned from the right.
    std::array<size_t, 4> result = a;
    for (size_t i = 0; i < b_dims; ++i) {
      size_t& r = result[4 - b_dims + i];
      const size_t d = b[i];
      if (r != d && r != 1 && d != 1) {
        return absl::InvalidArgumentError("Element-wise operands do not broadcast");
      }
      r = std::max(r, d);
    }
    RETURN_IF_ERROR(ExpectShape(out, BHWC(result[0], result[1], result[2], result[3]),
                                "An element-wise operation"));
    RETURN_IF_ERROR(InitializeXnnpack());
    xnn_operator_t op = nullptr;
    xnn_status created = xnn_status_unsupported_parameter;
    BinarySetup setup = nullptr;
    switch (type) {
      case OperationType::ADD:
        created = xnn_create_add_nd_f32(bounds.min, bounds.max, 0, &op);
        setup = xnn_setup_add_nd_f32;
        break;
      case OperationType::SUB:
        created = xnn_create_subtract_nd_f32(bounds.min, bounds.max, 0, &op);
        setup = xnn_setup_subtract_nd_f32;
        break;
      case OperationType::MUL:
        created = xnn_create_multiply_nd_f32(bounds.min, bounds.max, 0, &op);
        setup = xnn_setup_multiply_nd_f32;
        break;
      case OperationType::DIV:
        created = xnn_create_divide_nd_f32(bounds.min, bounds.max, 0, &op);
        setup = xnn_setup_divide_nd_f32;
        break;
      case OperationType::MAXIMUM:
        created = xnn_create_maximum_nd_f32(0, &op);
        setup = xnn_setup_maximum_nd_f32;
        break;
      case OperationType::MINIMUM:
        created = xnn_create_minimum_nd_f32(0, &op);
        setup = xnn_setup_minimum_nd_f32;
        break;
      default:
        break;
    }
    return MakeXnnKernel(
        created, op,
        [a, b, b_dims, constant, runtime, setup](xnn_operator_t op,
                                                 absl::Span<const float* const> inputs,
                                                 float* output, pthreadpool_t pool) {
          const float* second = runtime ? inputs[1] : constant->data();
          return setup(op, 4, a.data(), b_dims, b.data(), inputs[0], second, output, pool);
        },
        pool);
  };
}

// Operators of one input and an output of the same shape, over rows of `c` values.
CpuKernelFactory UnaryFactory(
    std::function<xnn_status(size_t channels, xnn_operator_t* op)> create,
    xnn_status (*setup)(xnn_operator_t, size_t, const float*, float*, pthreadpool_t)) {
  return [create, setup](const Shapes& in, const BHWC& out,
                         pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "An activation"));
    RETURN_IF_ERROR(ExpectShape(out, in[0], "An activation"));
    RETURN_IF_ERROR(InitializeXnnpack());
    xnn_operator_t op = nullptr;
    const xnn_status created = create(in[0].c, &op);
    const size_t rows = static_cast<size_t>(in[0].b) * in[0].h * in[0].w;
    return MakeXnnKernel(created, op,
                         [rows, setup](xnn_operator_t op, absl::Span<const float* const> inputs,
                                       float* output, pthreadpool_t pool) {
                           return setup(op, rows, inputs[0], output, pool);
                         },
                         pool);
  };
}

// Our own element-wise loop of one input.
CpuKernelFactory MapFactory(std::function<float(float value, size_t index)> f) {
  return [f](const Shapes& in, const BHWC& out,
             pthreadpool_t) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "An activation"));
    RETURN_IF_ERROR(ExpectShape(out, in[0], "An activation"));
    const size_t n = Elements(in[0]);
    return MakeLoopKernel([f, n](absl::Span<const float* const> inputs, float* output) {
      for (size_t i = 0; i < n; ++i) output[i] = f(inputs[0][i], i);
    });
  };
}

util::StatusOr<CpuKernelFactory> ReluFactory(const ReLUAttributes& attr) {
  const float clip = attr.clip > 0 ? attr.clip : std::numeric_limits<float>::infinity();
  if (attr.alpha == 0) {
    return UnaryFactory(
        [clip](size_t c, xnn_operator_t* op) {
          return xnn_create_clamp_nc_f32(c, c, c, 0.0f, clip, 0, op);
        },
        xnn_setup_clamp_nc_f32);
  }
  if (attr.clip <= 0) {
    const float alpha = attr.alpha;
    return UnaryFactory(
        [alpha](size_t c, xnn_operator_t* op) {
          return xnn_create_leaky_relu_nc_f32(c, c, c, alpha, 0, op);
        },
        xnn_setup_leaky_relu_nc_f32);
  }
  const float alpha = attr.alpha;
  return MapFactory([alpha, clip](float v, size_t) { return std::min(std::max(v, alpha * v), clip); });
}

CpuKernelFactory PReluFactory(PReLUAttributes attr) {
  return [attr = std::move(attr)](
             const Shapes& in, const BHWC& out,
             pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "PReLU"));
    RETURN_IF_ERROR(ExpectShape(out, in[0], "PReLU"));
    const int64_t per_image = int64_t{in[0].h} * in[0].w * in[0].c;
    if (attr.per_channel ? static_cast<int>(attr.alpha.size()) != in[0].c
                         : static_cast<int64_t>(attr.alpha.size()) != per_image) {
      return absl::InvalidArgumentError("PReLU: alpha does not fit the input");
    }
    if (!attr.per_channel) {
      auto alpha = std::make_shared<std::vector<float>>(attr.alpha);
      return MapFactory([alpha, per_image](float v, size_t i) {
        return v >= 0 ? v : v * (*alpha)[i % per_image];
      })(in, out, pool);
    }
    RETURN_IF_ERROR(InitializeXnnpack());
    xnn_operator_t op = nullptr;
    const size_t c = in[0].c;
    const xnn_status created = xnn_create_prelu_nc_f32(c, c, c, attr.alpha.data(), 0, &op);
    const size_t rows = static_cast<size_t>(in[0].b) * in[0].h * in[0].w;
    return MakeXnnKernel(created, op,
                         [rows](xnn_operator_t op, absl::Span<const float* const> inputs,
                                float* output, pthreadpool_t pool) {
                           return xnn_setup_prelu_nc_f32(op, rows, inputs[0], output, pool);
                         },
                         pool);
  };
}

CpuKernelFactory PadFactory(PadAttributes attr) {
  return [attr](const Shapes& in, const BHWC& out,
                pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "Padding"));
    const BHWC& p = attr.prepended;
    const BHWC& a = attr.appended;
    if (p.b < 0 || p.h < 0 || p.w < 0 || p.c < 0 || a.b < 0 || a.h < 0 || a.w < 0 || a.c < 0) {
      return absl::InvalidArgumentError("Padding: negative amounts are not supported");
    }
    const BHWC s = in[0];
    RETURN_IF_ERROR(ExpectShape(
        out, BHWC(s.b + p.b + a.b, s.h + p.h + a.h, s.w + p.w + a.w, s.c + p.c + a.c), "Padding"));
    RETURN_IF_ERROR(InitializeXnnpack());
    static const float kZero = 0.0f;
    xnn_operator_t op = nullptr;
    const xnn_status created = xnn_create_constant_pad_nd_x32(&kZero, 0, &op);
    return MakeXnnKernel(
        created, op,
        [s, p, a](xnn_operator_t op, absl::Span<const float* const> inputs, float* output,
                  pthreadpool_t pool) {
          const size_t shape[4] = {size_t(s.b), size_t(s.h), size_t(s.w), size_t(s.c)};
          const size_t pre[4] = {size_t(p.b), size_t(p.h), size_t(p.w), size_t(p.c)};
          const size_t post[4] = {size_t(a.b), size_t(a.h), size_t(a.w), size_t(a.c)};
          return xnn_setup_constant_pad_nd_x32(op, 4, shape, pre, post, inputs[0], output, pool);
        },
        pool, /*selects=*/true);
  };
}

int AxisIndex(Axis axis) {
  switch (axis) {
    case Axis::BATCH: return 0;
    case Axis::HEIGHT: return 1;
    case Axis::WIDTH: return 2;
    case Axis::CHANNELS: return 3;
    default: return -1;
  }
}

std::array<int64_t, 4> Dims(const BHWC& s) { return {s.b, s.h, s.w, s.c}; }

CpuKernelFactory ConcatFactory(ConcatAttributes attr) {
  return [attr](const Shapes& in, const BHWC& out,
                pthreadpool_t) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    const int axis = AxisIndex(attr.axis);
    if (axis < 0 || in.empty()) return absl::InvalidArgumentError("Concatenation: bad axis");
    std::array<int64_t, 4> expected = Dims(in[0]);
    expected[axis] = 0;
    for (const BHWC& s : in) {
      const std::array<int64_t, 4> d = Dims(s);
      for (int i = 0; i < 4; ++i) {
        if (i != axis && d[i] != expected[i]) {
          return absl::InvalidArgumentError("Concatenation: inputs differ off the axis");
        }
      }
      expected[axis] += d[axis];
    }
    RETURN_IF_ERROR(ExpectShape(out, BHWC(expected[0], expected[1], expected[2], expected[3]),
                                "Concatenation"));
    // outer blocks, each the inputs' runs of (axis length x inner) values in turn.
    int64_t outer = 1, inner = 1;
    for (int i = 0; i < axis; ++i) outer *= expected[i];
    for (int i = axis + 1; i < 4; ++i) inner *= expected[i];
    std::vector<int64_t> runs;
    for (const BHWC& s : in) runs.push_back(Dims(s)[axis] * inner);
    return MakeLoopKernel([outer, runs](absl::Span<const float* const> inputs, float* output) {
      for (int64_t o = 0; o < outer; ++o) {
        for (size_t i = 0; i < runs.size(); ++i) {
          std::memcpy(output, inputs[i] + o * runs[i], sizeof(float) * runs[i]);
          output += runs[i];
        }
      }
    }, /*selects=*/true);
  };
}

CpuKernelFactory SliceFactory(SliceAttributes attr) {
  return [attr](const Shapes& in, const BHWC& out,
                pthreadpool_t) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "Slice"));
    const std::array<int64_t, 4> d = Dims(in[0]), start = Dims(attr.starts),
                                 end = Dims(attr.ends), stride = Dims(attr.strides);
    std::array<int64_t, 4> size;
    for (int i = 0; i < 4; ++i) {
      if (stride[i] <= 0 || start[i] < 0 || end[i] > d[i] || start[i] >= end[i]) {
        return absl::InvalidArgumentError("Slice: bounds outside the input");
      }
      size[i] = (end[i] - start[i] + stride[i] - 1) / stride[i];
    }
    RETURN_IF_ERROR(ExpectShape(out, BHWC(size[0], size[1], size[2], size[3]), "Slice"));
    return MakeLoopKernel([d, start, stride, size](absl::Span<const float* const> inputs,
                                                   float* output) {
      for (int64_t b = 0; b < size[0]; ++b) {
        for (int64_t y = 0; y < size[1]; ++y) {
          for (int64_t x = 0; x < size[2]; ++x) {
            const float* src =
                inputs[0] + (((start[0] + b * stride[0]) * d[1] + start[1] + y * stride[1]) * d[2] +
                             start[2] + x * stride[2]) * d[3] + start[3];
            for (int64_t c = 0; c < size[3]; ++c) *output++ = src[c * stride[3]];
          }
        }
      }
    }, /*selects=*/true);
  };
}

CpuKernelFactory SoftmaxFactory(SoftmaxAttributes attr) {
  return [attr](const Shapes& in, const BHWC& out,
                pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    if (attr.axis != Axis::CHANNELS) {
      return absl::UnimplementedError("Softmax is supported over channels only");
    }
    return UnaryFactory(
        [](size_t c, xnn_operator_t* op) { return xnn_create_softmax_nc_f32(c, c, c, 0, op); },
        xnn_setup_softmax_nc_f32)(in, out, pool);
  };
}

CpuKernelFactory ResizeFactory(Resize2DAttributes attr) {
  return [attr](const Shapes& in, const BHWC& out,
                pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
    RETURN_IF_ERROR(ExpectInputs(in, 1, "Resize"));
    const BHWC s = in[0];
    RETURN_IF_ERROR(
        ExpectShape(out, BHWC(s.b, attr.new_shape.h, attr.new_shape.w, s.c), "Resize"));
    RETURN_IF_ERROR(InitializeXnnpack());
    const uint32_t flags = attr.align_corners         ? XNN_FLAG_ALIGN_CORNERS
                           : attr.half_pixel_centers ? 0
                                                     : XNN_FLAG_TENSORFLOW_LEGACY_MODE;
    xnn_operator_t op = nullptr;
    const xnn_status created = xnn_create_resize_bilinear2d_nhwc_f32(s.c, s.c, s.c, flags, &op);
    return MakeXnnKernel(created, op,
                         [s, out](xnn_operator_t op, absl::Span<const float* const> inputs,
                                  float* output, pthreadpool_t pool) {
                           return xnn_setup_resize_bilinear2d_nhwc_f32(
                               op, s.b, s.h, s.w, out.h, out.w, inputs[0], output, pool);
                         },
                         pool);
  };
}

}  // namespace

bool AcceptsOutputBounds(const std::string& type) {
  switch (OperationTypeFromString(type)) {
    case OperationType::CONVOLUTION_2D:
    case OperationType::DEPTHWISE_CONVOLUTION:
    case OperationType::FULLY_CONNECTED:
    case OperationType::POOLING_2D:
    case OperationType::ADD:
    case OperationType::SUB:
    case OperationType::MUL:
    case OperationType::DIV:
      return true;
    default:
      return false;
  }
}

bool FoldableRelu(const Operation& operation, OutputBounds* bounds) {
  if (OperationTypeFromString(operation.type) != OperationType::RELU) return false;
  const ReLUAttributes* attr = std::any_cast<ReLUAttributes>(&operation.attributes);
  if (attr == nullptr || attr->alpha != 0) return false;
  bounds->min = 0;
  bounds->max = attr->clip > 0 ? attr->clip : std::numeric_limits<float>::infinity();
  return true;
}

namespace {

// The factory with float kernels, XNNPACK's where it has the operation.
util::StatusOr<CpuKernelFactory> FloatKernelFactory(const Operation& op, OutputBounds bounds) {
  const OperationType type = OperationTypeFromString(op.type);
  switch (type) {
    case OperationType::CONVOLUTION_2D: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<Convolution2DAttributes>(op));
      return ConvolutionFactory(*attr, false, bounds);
    }
    case OperationType::DEPTHWISE_CONVOLUTION: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<DepthwiseConvolution2DAttributes>(op));
      return ConvolutionFactory(*attr, true, bounds);
    }
    case OperationType::POOLING_2D: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<Pooling2DAttributes>(op));
      return PoolingFactory(*attr, bounds);
    }
    case OperationType::FULLY_CONNECTED: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<FullyConnectedAttributes>(op));
      return FullyConnectedFactory(*attr, bounds);
    }
    case OperationType::ADD:
    case OperationType::SUB:
    case OperationType::MUL:
    case OperationType::DIV:
    case OperationType::MAXIMUM:
    case OperationType::MINIMUM: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<ElementwiseAttributes>(op));
      return BinaryFactory(type, *attr, bounds);
    }
    case OperationType::RELU: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<ReLUAttributes>(op));
      return ReluFactory(*attr);
    }
    case OperationType::PRELU: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<PReLUAttributes>(op));
      return PReluFactory(*attr);
    }
    case OperationType::SIGMOID:
      return UnaryFactory(
          [](size_t c, xnn_operator_t* op) { return xnn_create_sigmoid_nc_f32(c, c, c, 0, op); },
          xnn_setup_sigmoid_nc_f32);
    case OperationType::TANH:
      return MapFactory([](float v, size_t) { return std::tanh(v); });
    case OperationType::SOFTMAX: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<SoftmaxAttributes>(op));
      return SoftmaxFactory(*attr);
    }
    case OperationType::PAD: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<PadAttributes>(op));
      return PadFactory(*attr);
    }
    case OperationType::CONCAT: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<ConcatAttributes>(op));
      return ConcatFactory(*attr);
    }
    case OperationType::SLICE: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<SliceAttributes>(op));
      return SliceFactory(*attr);
    }
    case OperationType::RESIZE: {
      ASSIGN_OR_RETURN(const auto* attr, Attributes<Resize2DAttributes>(op));
      return ResizeFactory(*attr);
    }
    default:
      return absl::UnimplementedError(absl::StrCat("Unsupported op: ", op.type));
  }
}

}  // namespace

util::StatusOr<CpuKernelFactory> MakeCpuKernelFactory(const Operation& op, OutputBounds bounds,
                                                      bool half_storage) {
  ASSIGN_OR_RETURN(CpuKernelFactory factory, FloatKernelFactory(op, bounds));
  if (!half_storage) return factory;
  return CpuKernelFactory(
      [op, bounds, factory](const Shapes& in, const BHWC& out,
                            pthreadpool_t pool) -> util::StatusOr<std::unique_ptr<CpuKernel>> {
        if (std::optional<HalfElementwise> e = HalfForm(op, in, out, bounds)) {
          return MakeHalfElementwiseKernel(std::move(*e));
        }
        return factory(in, out, pool);
      });
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
