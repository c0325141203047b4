// Writes the seed model files of tflite_model_fuzz into the folder given as the argument:
// small models of the operators the face models use, one with a custom operator.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/seed_file.h"
#include "tflite/testing/model_builder.h"

namespace {

using tflite::testing::ModelBuilder;

ModelBuilder ConvStack() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 16, 16, 3}, "input");
  const int pads = b.AddConstIntTensor({4, 2}, {0, 0, 1, 1, 1, 1, 0, 0}, "pads");
  const int padded = b.AddTensor({1, 18, 18, 3});
  const int w = b.AddConstTensor({4, 3, 3, 3}, std::vector<float>(108, 0.1f));
  const int conv = b.AddTensor({1, 8, 8, 4});
  const int dw = b.AddConstTensor({1, 3, 3, 4}, std::vector<float>(36, 0.2f));
  const int dconv = b.AddTensor({1, 8, 8, 4});
  const int alpha = b.AddConstTensor({1, 1, 4}, {0.1f, 0.2f, 0.3f, 0.4f});
  const int act = b.AddTensor({1, 8, 8, 4});
  const int sum = b.AddTensor({1, 8, 8, 4});
  const int pooled = b.AddTensor({1, 4, 4, 4});
  const int flat = b.AddTensor({1, 64});
  const int fc_w = b.AddConstTensor({6, 64}, std::vector<float>(384, 0.01f));
  const int out = b.AddTensor({1, 6}, "output");
  b.AddOperator(tflite::BuiltinOperator_PAD, {in, pads}, {padded});
  b.AddOperator(tflite::BuiltinOperator_CONV_2D, {padded, w}, {conv},
                tflite::BuiltinOptions_Conv2DOptions,
                tflite::testing::Conv2D(tflite::Padding_VALID, 2, 2));
  b.AddOperator(tflite::BuiltinOperator_DEPTHWISE_CONV_2D, {conv, dw}, {dconv},
                tflite::BuiltinOptions_DepthwiseConv2DOptions,
                tflite::testing::DepthwiseConv2D(tflite::Padding_SAME, 1, 1, 1));
  b.AddOperator(tflite::BuiltinOperator_PRELU, {dconv, alpha}, {act});
  b.AddOperator(tflite::BuiltinOperator_ADD, {act, conv}, {sum});
  b.AddOperator(tflite::BuiltinOperator_MAX_POOL_2D, {sum}, {pooled},
                tflite::BuiltinOptions_Pool2DOptions,
                tflite::testing::Pool2D(tflite::Padding_VALID, 2, 2, 2, 2));
  b.AddOperator(tflite::BuiltinOperator_RESHAPE, {pooled}, {flat},
                tflite::BuiltinOptions_ReshapeOptions, tflite::testing::Reshape({1, 64}));
  b.AddOperator(tflite::BuiltinOperator_FULLY_CONNECTED, {flat, fc_w, -1}, {out});
  b.SetInputs({in});
  b.SetOutputs({out});
  b.AddMetadata("metadata", {'x', 'x', 'x', 'x', 'C', 'O', 'M', 'D'});
  return b;
}

ModelBuilder WithCustom() {
  ModelBuilder b;
  const int in = b.AddTensor({1, 8, 8, 4}, "input");
  const int a = b.AddTensor({1, 4, 4, 4});
  const int c = b.AddTensor({1, 4, 4, 8}, "output");
  b.AddCustomOperator("MaxPoolingWithArgmax2D", {in}, {a});
  b.AddOperator(tflite::BuiltinOperator_CONCATENATION, {a, a}, {c},
                tflite::BuiltinOptions_ConcatenationOptions, tflite::testing::Concatenation(3));
  b.SetInputs({in});
  b.SetOutputs({c});
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  return fuzz::WriteSeedFile(dir + "/conv_stack", ConvStack().Finish()) &&
                 fuzz::WriteSeedFile(dir + "/custom", WithCustom().Finish())
             ? 0
             : 1;
}
