// The runtime's C-style records, as kernels and delegates see them: tensors, nodes, operator
// registrations, the context that a kernel or a delegate talks to, and the delegate record.
//
// This interpreter only infers shapes: kernels have a prepare callback that computes their
// outputs' dimensions from their inputs, and nothing here runs a model. Delegates claim
// subsets of the execution plan through the context's ReplaceNodeSubsetsWithDelegateKernels,
// exactly as a delegate of the full runtime does, which is how the GPU graph is built.
//
// Arrays of indices (TfLiteIntArray) are allocated with TfLiteIntArrayCreate and released
// with TfLiteIntArrayFree.

#ifndef TFLITE_COMMON_H_
#define TFLITE_COMMON_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tflite {
struct Operator;
}

enum TfLiteStatus { kTfLiteOk = 0, kTfLiteError = 1, kTfLiteDelegateError = 2 };

struct TfLiteIntArray {
  int size;
  int data[];
};

TfLiteIntArray* TfLiteIntArrayCreate(int size);
TfLiteIntArray* TfLiteIntArrayFromVector(const std::vector<int>& values);
void TfLiteIntArrayFree(TfLiteIntArray* array);
std::vector<int> TfLiteIntArrayToVector(const TfLiteIntArray* array);

// Marks an omitted optional input of a node.
inline constexpr int kTfLiteOptionalTensor = -1;

enum TfLiteType {
  kTfLiteNoType = 0,
  kTfLiteFloat32 = 1,
  kTfLiteInt32 = 2,
  kTfLiteUInt8 = 3,
  kTfLiteInt64 = 4,
  kTfLiteString = 5,
  kTfLiteBool = 6,
  kTfLiteInt16 = 7,
  kTfLiteComplex64 = 8,
  kTfLiteInt8 = 9,
  kTfLiteFloat16 = 10,
  kTfLiteFloat64 = 11,
};

const char* TfLiteTypeGetName(TfLiteType type);
// Bytes per element; 0 for types without a fixed size.
size_t TfLiteTypeGetSize(TfLiteType type);

enum TfLiteAllocationType {
  kTfLiteArenaRw = 0,  // computed by the model
  kTfLiteMmapRo = 1,   // constant data inside the model file
};

// A tensor's memory, seen as the element type its reader expects.
union TfLitePtrUnion {
  const void* raw_const;
  void* raw;
  float* f;
};

struct TfLiteTensor {
  TfLiteType type = kTfLiteNoType;
  TfLiteIntArray* dims = nullptr;
  // `bytes` long. For constant tensors the data inside the model file (read it through
  // `raw_const`); for a tensor its owner fills, the owner's memory; null otherwise.
  TfLitePtrUnion data = {nullptr};
  size_t bytes = 0;
  TfLiteAllocationType allocation_type = kTfLiteArenaRw;
  const char* name = nullptr;
};

struct TfLiteDelegate;

struct TfLiteNode {
  TfLiteIntArray* inputs = nullptr;
  TfLiteIntArray* outputs = nullptr;
  // What the registration's init returned.
  void* user_data = nullptr;
  // The operator's table in the model file, whose options the kernels read; null for the
  // nodes of delegate kernels.
  const tflite::Operator* op = nullptr;
  const void* custom_initial_data = nullptr;
  int custom_initial_data_size = 0;
  // The delegate whose kernel this node is; null for model nodes.
  TfLiteDelegate* delegate = nullptr;
};

struct TfLiteContext;

struct TfLiteRegistration {
  void* (*init)(TfLiteContext* context, const char* buffer, size_t length) = nullptr;
  void (*free)(TfLiteContext* context, void* buffer) = nullptr;
  TfLiteStatus (*prepare)(TfLiteContext* context, TfLiteNode* node) = nullptr;
  TfLiteStatus (*invoke)(TfLiteContext* context, TfLiteNode* node) = nullptr;
  const char* (*profiling_string)(const TfLiteContext* context, const TfLiteNode* node) = nullptr;
  int32_t builtin_code = 0;
  const char* custom_name = nullptr;
  int version = 0;
};

// What a delegate kernel's init receives as its buffer (with length 0): one node subset.
struct TfLiteDelegateParams {
  TfLiteDelegate* delegate;
  TfLiteIntArray* nodes_to_replace;
  TfLiteIntArray* input_tensors;
  TfLiteIntArray* output_tensors;
};

struct TfLiteContext {
  size_t tensors_size = 0;
  TfLiteTensor* tensors = nullptr;

  // The node indices in execution order; owned by the interpreter.
  TfLiteStatus (*GetExecutionPlan)(TfLiteContext* context, TfLiteIntArray** execution_plan) =
      nullptr;
  TfLiteStatus (*GetNodeAndRegistration)(TfLiteContext* context, int node_index,
                                         TfLiteNode** node,
                                         TfLiteRegistration** registration) = nullptr;
  // Replaces the nodes by delegate kernels, one per subset of nodes that can run together;
  // each kernel's init receives its TfLiteDelegateParams. Only valid during a delegate's
  // Prepare.
  TfLiteStatus (*ReplaceNodeSubsetsWithDelegateKernels)(TfLiteContext* context,
                                                        TfLiteRegistration registration,
                                                        const TfLiteIntArray* nodes_to_replace,
                                                        TfLiteDelegate* delegate) = nullptr;
  // Gives a tensor new dimensions; takes ownership of `new_size`.
  TfLiteStatus (*ResizeTensor)(TfLiteContext* context, TfLiteTensor* tensor,
                               TfLiteIntArray* new_size) = nullptr;
  void (*ReportError)(TfLiteContext* context, const char* format, ...)
      __attribute__((format(printf, 2, 3))) = nullptr;

  void* impl_ = nullptr;
};

struct TfLiteBufferHandleCallbacks;

struct TfLiteDelegate {
  void* data_ = nullptr;
  TfLiteStatus (*Prepare)(TfLiteContext* context, TfLiteDelegate* delegate) = nullptr;
  TfLiteStatus (*CopyFromBufferHandle)(TfLiteContext* context, TfLiteDelegate* delegate,
                                       int buffer_handle, TfLiteTensor* tensor) = nullptr;
  TfLiteStatus (*CopyToBufferHandle)(TfLiteContext* context, TfLiteDelegate* delegate,
                                     int buffer_handle, TfLiteTensor* tensor) = nullptr;
  void (*FreeBufferHandle)(TfLiteContext* context, TfLiteDelegate* delegate,
                           int* buffer_handle) = nullptr;
  int64_t flags = 0;
};

// Reports "<file>:<line> <condition> was not true." and fails the calling kernel function.
#define TF_LITE_ENSURE(context, condition)                                             \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      (context)->ReportError((context), "%s:%d %s was not true.", __FILE__, __LINE__, \
                             #condition);                                              \
      return kTfLiteError;                                                             \
    }                                                                                  \
  } while (false)

#define TF_LITE_ENSURE_OK(context, status)              \
  do {                                                  \
    const TfLiteStatus qm_tflite_status_ = (status);    \
    if (qm_tflite_status_ != kTfLiteOk) return qm_tflite_status_; \
  } while (false)

#endif  // TFLITE_COMMON_H_
