// A shape-only interpreter of one TensorFlow Lite model: its tensor table, its nodes with
// their kernel registrations, and the execution plan. It infers every tensor's dimensions
// (AllocateTensors) after inputs were resized, and lets a delegate replace subsets of the
// plan by delegate kernels (ModifyGraphWithDelegate). It allocates no tensor memory and has
// no Invoke: models run elsewhere (the GPU graph and its runner) once converted.
//
//   std::unique_ptr<tflite::Interpreter> interpreter;
//   tflite::ops::builtin::BuiltinOpResolver resolver;
//   if (tflite::InterpreterBuilder(*model, resolver)(&interpreter) != kTfLiteOk) ...
//   interpreter->ResizeInputTensor(interpreter->inputs()[0], {1, 192, 192, 3});
//   if (interpreter->ModifyGraphWithDelegate(&delegate) != kTfLiteOk) ...
//
// The builder checks every index and size of the model file against the file itself, so a
// malformed model fails to build with a report instead of being read out of bounds.

#ifndef TFLITE_INTERPRETER_H_
#define TFLITE_INTERPRETER_H_

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "tflite/common.h"
#include "tflite/error_reporter.h"
#include "tflite/model.h"
#include "tflite/op_resolver.h"

namespace tflite {

class Interpreter {
 public:
  explicit Interpreter(ErrorReporter* reporter = DefaultErrorReporter());
  ~Interpreter();
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  const std::vector<int>& inputs() const { return inputs_; }
  const std::vector<int>& outputs() const { return outputs_; }
  size_t tensors_size() const { return tensors_.size(); }
  // Null for an index out of range.
  TfLiteTensor* tensor(int index);
  size_t nodes_size() const { return nodes_.size(); }
  // The node indices in execution order.
  const std::vector<int>& execution_plan() const { return plan_; }
  // Null for an index out of range.
  const TfLiteNode* node(int index) const;
  const TfLiteRegistration* registration(int index) const;

  // Gives a non-constant tensor new dimensions (all non-negative); the shapes that depend on
  // it follow at the next AllocateTensors.
  TfLiteStatus ResizeInputTensor(int tensor_index, const std::vector<int>& dims);
  // Runs every node's prepare in plan order, which infers the shapes of their outputs.
  TfLiteStatus AllocateTensors();
  // Infers shapes, lets the delegate's Prepare replace node subsets, then prepares the plan
  // again (the delegate kernels' prepare included). Fails when any step fails.
  TfLiteStatus ModifyGraphWithDelegate(TfLiteDelegate* delegate);
  // Kept for callers that switch it; there is no NNAPI here.
  void UseNNAPI(bool enable) { use_nnapi_ = enable; }
  bool use_nnapi() const { return use_nnapi_; }

  ErrorReporter* error_reporter() const { return reporter_; }
  TfLiteContext* context() { return &context_; }

 private:
  friend class InterpreterBuilder;

  struct Node {
    TfLiteNode node;
    TfLiteRegistration registration;
    std::unique_ptr<TfLiteDelegateParams> params;  // for delegate kernels
  };

  // Adds a node that owns `inputs` and `outputs`; returns its index.
  int AddNode(std::vector<int> inputs, std::vector<int> outputs,
              const TfLiteRegistration& registration);
  TfLiteStatus ReplaceSubsets(const TfLiteRegistration& registration,
                              const TfLiteIntArray* nodes_to_replace, TfLiteDelegate* delegate);

  static TfLiteStatus GetExecutionPlanImpl(TfLiteContext* context, TfLiteIntArray** plan);
  static TfLiteStatus GetNodeAndRegistrationImpl(TfLiteContext* context, int node_index,
                                                 TfLiteNode** node,
                                                 TfLiteRegistration** registration);
  static TfLiteStatus ReplaceNodeSubsetsImpl(TfLiteContext* context,
                                             TfLiteRegistration registration,
                                             const TfLiteIntArray* nodes_to_replace,
                                             TfLiteDelegate* delegate);
  static TfLiteStatus ResizeTensorImpl(TfLiteContext* context, TfLiteTensor* tensor,
                                       TfLiteIntArray* new_size);
  static void ReportErrorImpl(TfLiteContext* context, const char* format, ...);

  ErrorReporter* reporter_;
  TfLiteContext context_;
  std::vector<TfLiteTensor> tensors_;
  std::deque<std::string> names_;
  std::deque<Node> nodes_;  // a deque: node pointers handed out stay valid as nodes are added
  std::vector<int> plan_;
  TfLiteIntArray* plan_array_ = nullptr;
  std::vector<int> inputs_;
  std::vector<int> outputs_;
  bool in_delegate_prepare_ = false;
  bool use_nnapi_ = false;
};

class InterpreterBuilder {
 public:
  // The model and the resolver must outlive the interpreters built; reports go to the
  // model's error reporter.
  InterpreterBuilder(const FlatBufferModel& model, const OpResolver& resolver);
  // Builds the interpreter of the model's first subgraph; on failure *interpreter is null.
  TfLiteStatus operator()(std::unique_ptr<Interpreter>* interpreter);

 private:
  TfLiteStatus Build(Interpreter* interpreter);

  const FlatBufferModel& model_;
  const OpResolver& resolver_;
  ErrorReporter* reporter_;
};

}  // namespace tflite

#endif  // TFLITE_INTERPRETER_H_
