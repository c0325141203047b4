#include "tflite/common.h"

#include <cstdlib>
#include <new>

TfLiteIntArray* TfLiteIntArrayCreate(int size) {
  if (size < 0) size = 0;
  void* memory = std::calloc(1, sizeof(TfLiteIntArray) + sizeof(int) * static_cast<size_t>(size));
  if (memory == nullptr) throw std::bad_alloc();
  TfLiteIntArray* array = static_cast<TfLiteIntArray*>(memory);
  array->size = size;
  return array;
}

TfLiteIntArray* TfLiteIntArrayFromVector(const std::vector<int>& values) {
  TfLiteIntArray* array = TfLiteIntArrayCreate(static_cast<int>(values.size()));
  for (size_t i = 0; i < values.size(); ++i) array->data[i] = values[i];
  return array;
}

void TfLiteIntArrayFree(TfLiteIntArray* array) { std::free(array); }

std::vector<int> TfLiteIntArrayToVector(const TfLiteIntArray* array) {
  if (array == nullptr) return {};
  return std::vector<int>(array->data, array->data + array->size);
}

const char* TfLiteTypeGetName(TfLiteType type) {
  switch (type) {
    case kTfLiteNoType: return "NOTYPE";
    case kTfLiteFloat32: return "FLOAT32";
    case kTfLiteInt32: return "INT32";
    case kTfLiteUInt8: return "UINT8";
    case kTfLiteInt64: return "INT64";
    case kTfLiteString: return "STRING";
    case kTfLiteBool: return "BOOL";
    case kTfLiteInt16: return "INT16";
    case kTfLiteComplex64: return "COMPLEX64";
    case kTfLiteInt8: return "INT8";
    case kTfLiteFloat16: return "FLOAT16";
    case kTfLiteFloat64: return "FLOAT64";
  }
  return "Unknown type";
}

size_t TfLiteTypeGetSize(TfLiteType type) {
  switch (type) {
    case kTfLiteFloat32: case kTfLiteInt32: return 4;
    case kTfLiteUInt8: case kTfLiteBool: case kTfLiteInt8: return 1;
    case kTfLiteInt64: case kTfLiteComplex64: case kTfLiteFloat64: return 8;
    case kTfLiteInt16: case kTfLiteFloat16: return 2;
    case kTfLiteNoType: case kTfLiteString: return 0;
  }
  return 0;
}
