// Builds a model file's network as XNNPACK operators on float buffers.

#include "bench/xnnpack_reference_network.h"

#include <xnnpack.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tflite/model.h"

namespace quillmere_bench {

XnnpackReferenceNetwork::XnnpackReferenceNetwork(const std::vector<uint8_t>& file) {
  xnn_initialize(nullptr);
  const tflite::Model* model = tflite::VerifiedModel(file.data(), file.size());
  const tflite::SubGraph& graph = *model->subgraphs()->Get(0);
  const auto& tensors = *graph.tensors();
  buffers_.resize(tensors.size());
  auto dims = [&](int t) {
    const auto* shape = tensors.Get(t)->shape();
    return std::vector<size_t>(shape->begin(), shape->end());
  };
  auto elements = [&](int t) {
    size_t n = 1;
    for (size_t d : dims(t)) n *= d;
    return n;
  };
  auto constant = [&](int t) -> const float* {
    const auto* data = model->buffers()->Get(tensors.Get(t)->buffer())->data();
    return data != nullptr && data->size() > 0 ? reinterpret_cast<const float*>(data->data())
                                               : nullptr;
  };
  // XNNPACK may read XNN_EXTRA_BYTES past an input's end.
  auto buffer = [&](int t) -> float* {
    if (buffers_[t] == nullptr) {
      buffers_[t] = std::make_shared<std::vector<float>>(elements(t) + XNN_EXTRA_BYTES / 4, 0.5f);
      if (const float* data = constant(t)) std::copy(data, data + elements(t), buffers_[t]->data());
    }
    return buffers_[t]->data();
  };
  for (const tflite::Operator* op : *graph.operators()) {
    const auto code =
        tflite::GetBuiltinCode(*model->operator_codes()->Get(op->opcode_index()));
    const std::vector<int> in(op->inputs()->begin(), op->inputs()->end());
    const int out = op->outputs()->Get(0);
    float lo = -INFINITY, hi = INFINITY;
    auto activation = [&](tflite::ActivationFunctionType a) {
      if (a == tflite::ActivationFunctionType_RELU) lo = 0;
      if (a == tflite::ActivationFunctionType_RELU6) lo = 0, hi = 6;
      if (a == tflite::ActivationFunctionType_RELU_N1_TO_1) lo = -1, hi = 1;
    };
    xnn_operator_t x = nullptr;
    switch (code) {
      case tflite::BuiltinOperator_CONV_2D:
      case tflite::BuiltinOperator_DEPTHWISE_CONV_2D: {
        const bool dw = code == tflite::BuiltinOperator_DEPTHWISE_CONV_2D;
        const std::vector<size_t> s = dims(in[0]), w = dims(in[1]), o = dims(out);
        int stride_h, stride_w, dil_h, dil_w;
        tflite::Padding padding;
        if (dw) {
          const auto* opt = op->builtin_options_as_DepthwiseConv2DOptions();
          stride_h = opt->stride_h(), stride_w = opt->stride_w();
          dil_h = opt->dilation_h_factor(), dil_w = opt->dilation_w_factor();
          padding = opt->padding();
          activation(opt->fused_activation_function());
        } else {
          const auto* opt = op->builtin_options_as_Conv2DOptions();
          stride_h = opt->stride_h(), stride_w = opt->stride_w();
          dil_h = opt->dilation_h_factor(), dil_w = opt->dilation_w_factor();
          padding = opt->padding();
          activation(opt->fused_activation_function());
        }
        const uint32_t flags = (padding == tflite::Padding_SAME ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0) |
                               (dw ? XNN_FLAG_DEPTHWISE_CONVOLUTION : 0);
        xnn_create_convolution2d_nhwc_f32(
            0, 0, 0, 0, w[1], w[2], stride_h, stride_w, dil_h, dil_w, dw ? s[3] : 1,
            dw ? 1 : s[3], dw ? o[3] / s[3] : o[3], s[3], o[3], constant(in[1]),
            in.size() > 2 && in[2] >= 0 ? constant(in[2]) : nullptr, lo, hi, flags, &x);
        xnn_setup_convolution2d_nhwc_f32(x, s[0], s[1], s[2], buffer(in[0]), buffer(out), nullptr);
        break;
      }
      case tflite::BuiltinOperator_MAX_POOL_2D:
      case tflite::BuiltinOperator_AVERAGE_POOL_2D: {
        const auto* opt = op->builtin_options_as_Pool2DOptions();
        activation(opt->fused_activation_function());
        const std::vector<size_t> s = dims(in[0]);
        const uint32_t flags = opt->padding() == tflite::Padding_SAME ? XNN_FLAG_TENSORFLOW_SAME_PADDING : 0;
        if (code == tflite::BuiltinOperator_MAX_POOL_2D) {
          xnn_create_max_pooling2d_nhwc_f32(0, 0, 0, 0, opt->filter_height(), opt->filter_width(),
                                            opt->stride_h(), opt->stride_w(), 1, 1, s[3], s[3],
                                            s[3], lo, hi, flags, &x);
          xnn_setup_max_pooling2d_nhwc_f32(x, s[0], s[1], s[2], buffer(in[0]), buffer(out), nullptr);
        } else {
          xnn_create_average_pooling2d_nhwc_f32(0, 0, 0, 0, opt->filter_height(),
                                                opt->filter_width(), opt->stride_h(),
                                                opt->stride_w(), s[3], s[3], s[3], lo, hi, flags,
                                                &x);
          xnn_setup_average_pooling2d_nhwc_f32(x, s[0], s[1], s[2], buffer(in[0]), buffer(out), nullptr);
        }
        break;
      }
      case tflite::BuiltinOperator_FULLY_CONNECTED: {
        const auto* opt = op->builtin_options_as_FullyConnectedOptions();
        if (opt != nullptr) activation(opt->fused_activation_function());
        const std::vector<size_t> w = dims(in[1]);
        xnn_create_fully_connected_nc_f32(w[1], w[0], w[1], w[0], constant(in[1]),
                                          in.size() > 2 && in[2] >= 0 ? constant(in[2]) : nullptr,
                                          lo, hi, 0, &x);
        xnn_setup_fully_connected_nc_f32(x, elements(in[0]) / w[1], buffer(in[0]), buffer(out), nullptr);
        break;
      }
      case tflite::BuiltinOperator_ADD:
      case tflite::BuiltinOperator_MUL: {
        const bool add = code == tflite::BuiltinOperator_ADD;
        if (add) {
          if (const auto* opt = op->builtin_options_as_AddOptions()) activation(opt->fused_activation_function());
          xnn_create_add_nd_f32(lo, hi, 0, &x);
        } else {
          if (const auto* opt = op->builtin_options_as_MulOptions()) activation(opt->fused_activation_function());
          xnn_create_multiply_nd_f32(lo, hi, 0, &x);
        }
        const std::vector<size_t> a = dims(in[0]), b = dims(in[1]);
        (add ? xnn_setup_add_nd_f32 : xnn_setup_multiply_nd_f32)(
            x, a.size(), a.data(), b.size(), b.data(), buffer(in[0]), buffer(in[1]), buffer(out),
            nullptr);
        break;
      }
      case tflite::BuiltinOperator_RELU:
      case tflite::BuiltinOperator_LOGISTIC:
      case tflite::BuiltinOperator_PRELU: {
        const size_t c = dims(in[0]).back(), rows = elements(in[0]) / c;
        if (code == tflite::BuiltinOperator_RELU) {
          xnn_create_clamp_nc_f32(c, c, c, 0.0f, INFINITY, 0, &x);
          xnn_setup_clamp_nc_f32(x, rows, buffer(in[0]), buffer(out), nullptr);
        } else if (code == tflite::BuiltinOperator_LOGISTIC) {
          xnn_create_sigmoid_nc_f32(c, c, c, 0, &x);
          xnn_setup_sigmoid_nc_f32(x, rows, buffer(in[0]), buffer(out), nullptr);
        } else {
          xnn_create_prelu_nc_f32(c, c, c, constant(in[1]), 0, &x);
          xnn_setup_prelu_nc_f32(x, rows, buffer(in[0]), buffer(out), nullptr);
        }
        break;
      }
      case tflite::BuiltinOperator_PAD: {
        const std::vector<size_t> s = dims(in[0]);
        const auto* pads = reinterpret_cast<const int32_t*>(
            model->buffers()->Get(tensors.Get(in[1])->buffer())->data()->data());
        std::vector<size_t> pre, post;
        for (size_t i = 0; i < s.size(); ++i) pre.push_back(pads[2 * i]), post.push_back(pads[2 * i + 1]);
        static const float kZero = 0;
        xnn_create_constant_pad_nd_x32(&kZero, 0, &x);
        xnn_setup_constant_pad_nd_x32(x, s.size(), s.data(), pre.data(), post.data(),
                                      buffer(in[0]), buffer(out), nullptr);
        break;
      }
      case tflite::BuiltinOperator_RESHAPE:
        buffer(in[0]);
        buffers_[out] = buffers_[in[0]];
        continue;
      case tflite::BuiltinOperator_CONCATENATION: {
        const std::vector<size_t> o = dims(out);
        int axis = op->builtin_options_as_ConcatenationOptions()->axis();
        if (axis < 0) axis += static_cast<int>(o.size());
        size_t outer = 1, inner = 1;
        for (int i = 0; i < axis; ++i) outer *= o[i];
        for (size_t i = axis + 1; i < o.size(); ++i) inner *= o[i];
        size_t offset = 0;
        for (int t : in) {
          const size_t run = dims(t)[axis] * inner, total = o[axis] * inner;
          xnn_operator_t copy = nullptr;
          xnn_create_copy_nc_x32(run, run, total, 0, &copy);
          xnn_setup_copy_nc_x32(copy, outer, buffer(t), buffer(out) + offset, nullptr);
          ops_.push_back(copy);
          offset += run;
        }
        continue;
      }
      default:
        std::fprintf(stderr, "No XNNPACK form for operator %d\n", code);
        std::abort();
    }
    ops_.push_back(x);
  }
}

XnnpackReferenceNetwork::~XnnpackReferenceNetwork() {
  for (xnn_operator_t op : ops_) xnn_delete_operator(op);
}

void XnnpackReferenceNetwork::Run() {
  for (xnn_operator_t op : ops_) xnn_run_operator(op, nullptr);
}

}  // namespace quillmere_bench
