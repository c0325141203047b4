#include "tflite/interpreter.h"

#include <algorithm>
#include <cstdarg>
#include <set>

namespace tflite {
namespace {

// Tensors of more elements or bytes than this are refused, so that sizes fit in int.
constexpr int64_t kMaxTensorBytes = int64_t{1} << 31;

Interpreter* Owner(TfLiteContext* context) { return static_cast<Interpreter*>(context->impl_); }

}  // namespace

Interpreter::Interpreter(ErrorReporter* reporter)
    : reporter_(reporter != nullptr ? reporter : DefaultErrorReporter()) {
  context_.GetExecutionPlan = GetExecutionPlanImpl;
  context_.GetNodeAndRegistration = GetNodeAndRegistrationImpl;
  context_.ReplaceNodeSubsetsWithDelegateKernels = ReplaceNodeSubsetsImpl;
  context_.ResizeTensor = ResizeTensorImpl;
  context_.ReportError = ReportErrorImpl;
  context_.impl_ = this;
}

Interpreter::~Interpreter() {
  for (Node& n : nodes_) {
    if (n.registration.free != nullptr && n.node.user_data != nullptr) {
      n.registration.free(&context_, n.node.user_data);
    }
    TfLiteIntArrayFree(n.node.inputs);
    TfLiteIntArrayFree(n.node.outputs);
    if (n.params != nullptr) {
      TfLiteIntArrayFree(n.params->nodes_to_replace);
      TfLiteIntArrayFree(n.params->input_tensors);
      TfLiteIntArrayFree(n.params->output_tensors);
    }
  }
  for (TfLiteTensor& t : tensors_) TfLiteIntArrayFree(t.dims);
  TfLiteIntArrayFree(plan_array_);
}

TfLiteTensor* Interpreter::tensor(int index) {
  if (index < 0 || static_cast<size_t>(index) >= tensors_.size()) return nullptr;
  return &tensors_[index];
}

const TfLiteNode* Interpreter::node(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return nullptr;
  return &nodes_[index].node;
}

const TfLiteRegistration* Interpreter::registration(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= nodes_.size()) return nullptr;
  return &nodes_[index].registration;
}

int Interpreter::AddNode(std::vector<int> inputs, std::vector<int> outputs,
                         const TfLiteRegistration& registration) {
  Node& n = nodes_.emplace_back();
  n.node.inputs = TfLiteIntArrayFromVector(inputs);
  n.node.outputs = TfLiteIntArrayFromVector(outputs);
  n.registration = registration;
  return static_cast<int>(nodes_.size() - 1);
}

TfLiteStatus Interpreter::ResizeInputTensor(int tensor_index, const std::vector<int>& dims) {
  TfLiteTensor* t = tensor(tensor_index);
  if (t == nullptr) {
    reporter_->Report("ResizeInputTensor: no tensor %d.", tensor_index);
    return kTfLiteError;
  }
  if (t->allocation_type == kTfLiteMmapRo) {
    reporter_->Report("ResizeInputTensor: tensor %d is constant.", tensor_index);
    return kTfLiteError;
  }
  int64_t elements = 1;
  for (int d : dims) {
    if (d < 0) {
      reporter_->Report("ResizeInputTensor: negative dimension for tensor %d.", tensor_index);
      return kTfLiteError;
    }
    elements *= d;
    if (elements > kMaxTensorBytes) {
      reporter_->Report("ResizeInputTensor: tensor %d would be too large.", tensor_index);
      return kTfLiteError;
    }
  }
  return ResizeTensorImpl(&context_, t, TfLiteIntArrayFromVector(dims));
}

TfLiteStatus Interpreter::AllocateTensors() {
  for (int index : plan_) {
    Node& n = nodes_[index];
    if (n.registration.prepare == nullptr) continue;
    if (n.registration.prepare(&context_, &n.node) != kTfLiteOk) {
      const char* name = n.registration.custom_name != nullptr
                             ? n.registration.custom_name
                             : EnumNameBuiltinOperator(
                                   static_cast<BuiltinOperator>(n.registration.builtin_code));
      reporter_->Report("Node number %d (%s) failed to prepare.", index,
                        n.node.delegate != nullptr ? "delegate kernel" : name);
      return kTfLiteError;
    }
  }
  return kTfLiteOk;
}

TfLiteStatus Interpreter::ModifyGraphWithDelegate(TfLiteDelegate* delegate) {
  if (delegate == nullptr || delegate->Prepare == nullptr) {
    reporter_->Report("ModifyGraphWithDelegate: the delegate has no Prepare.");
    return kTfLiteError;
  }
  if (AllocateTensors() != kTfLiteOk) return kTfLiteError;
  in_delegate_prepare_ = true;
  const TfLiteStatus status = delegate->Prepare(&context_, delegate);
  in_delegate_prepare_ = false;
  if (status != kTfLiteOk) {
    reporter_->Report("The delegate failed to prepare.");
    return kTfLiteDelegateError;
  }
  return AllocateTensors() == kTfLiteOk ? kTfLiteOk : kTfLiteDelegateError;
}

TfLiteStatus Interpreter::ReplaceSubsets(const TfLiteRegistration& registration,
                                         const TfLiteIntArray* nodes_to_replace,
                                         TfLiteDelegate* delegate) {
  if (!in_delegate_prepare_) {
    reporter_->Report("Node subsets can only be replaced while a delegate prepares.");
    return kTfLiteError;
  }
  if (nodes_to_replace == nullptr) return kTfLiteError;
  std::set<int> replace;
  for (int i = 0; i < nodes_to_replace->size; ++i) {
    const int index = nodes_to_replace->data[i];
    if (std::find(plan_.begin(), plan_.end(), index) == plan_.end()) {
      reporter_->Report("Node %d is not in the execution plan.", index);
      return kTfLiteError;
    }
    replace.insert(index);
  }

  // Subsets are the runs of consecutive claimed nodes in the plan: each run reads only what
  // is computed before it, so it can run as one kernel in the run's place.
  std::vector<std::vector<int>> runs;
  std::vector<int> run_at(plan_.size(), -1);
  for (size_t i = 0; i < plan_.size(); ++i) {
    if (replace.count(plan_[i]) == 0) continue;
    if (i == 0 || run_at[i - 1] < 0) runs.emplace_back();
    runs.back().push_back(plan_[i]);
    run_at[i] = static_cast<int>(runs.size() - 1);
  }

  std::vector<int> new_plan;
  for (size_t i = 0; i < plan_.size(); ++i) {
    if (run_at[i] < 0) {
      new_plan.push_back(plan_[i]);
      continue;
    }
    if (i > 0 && run_at[i - 1] == run_at[i]) continue;
    const std::vector<int>& run = runs[run_at[i]];
    const std::set<int> in_run(run.begin(), run.end());
    std::vector<int> inputs, outputs;
    std::set<int> produced;
    for (int index : run) {
      const TfLiteNode& n = nodes_[index].node;
      for (int t : TfLiteIntArrayToVector(n.inputs)) {
        if (t == kTfLiteOptionalTensor || produced.count(t) != 0) continue;
        if (std::find(inputs.begin(), inputs.end(), t) == inputs.end()) inputs.push_back(t);
      }
      for (int t : TfLiteIntArrayToVector(n.outputs)) produced.insert(t);
    }
    // An output of the subset is a tensor it computes that the model outputs or that a node
    // outside it reads.
    for (int index : run) {
      for (int t : TfLiteIntArrayToVector(nodes_[index].node.outputs)) {
        bool used_outside = std::find(outputs_.begin(), outputs_.end(), t) != outputs_.end();
        for (int other : plan_) {
          if (used_outside) break;
          if (in_run.count(other) != 0) continue;
          const std::vector<int> other_inputs = TfLiteIntArrayToVector(nodes_[other].node.inputs);
          used_outside = std::find(other_inputs.begin(), other_inputs.end(), t) !=
                         other_inputs.end();
        }
        if (used_outside && std::find(outputs.begin(), outputs.end(), t) == outputs.end()) {
          outputs.push_back(t);
        }
      }
    }
    const int kernel = AddNode(inputs, outputs, registration);
    Node& n = nodes_[kernel];
    n.node.delegate = delegate;
    n.params = std::make_unique<TfLiteDelegateParams>();
    n.params->delegate = delegate;
    n.params->nodes_to_replace = TfLiteIntArrayFromVector(run);
    n.params->input_tensors = TfLiteIntArrayFromVector(inputs);
    n.params->output_tensors = TfLiteIntArrayFromVector(outputs);
    if (registration.init != nullptr) {
      n.node.user_data =
          registration.init(&context_, reinterpret_cast<const char*>(n.params.get()), 0);
    }
    new_plan.push_back(kernel);
  }
  plan_ = std::move(new_plan);
  return kTfLiteOk;
}

TfLiteStatus Interpreter::GetExecutionPlanImpl(TfLiteContext* context, TfLiteIntArray** plan) {
  Interpreter* self = Owner(context);
  TfLiteIntArrayFree(self->plan_array_);
  self->plan_array_ = TfLiteIntArrayFromVector(self->plan_);
  *plan = self->plan_array_;
  return kTfLiteOk;
}

TfLiteStatus Interpreter::GetNodeAndRegistrationImpl(TfLiteContext* context, int node_index,
                                                     TfLiteNode** node,
                                                     TfLiteRegistration** registration) {
  Interpreter* self = Owner(context);
  if (node_index < 0 || static_cast<size_t>(node_index) >= self->nodes_.size()) {
    self->reporter_->Report("No node %d.", node_index);
    return kTfLiteError;
  }
  *node = &self->nodes_[node_index].node;
  *registration = &self->nodes_[node_index].registration;
  return kTfLiteOk;
}

TfLiteStatus Interpreter::ReplaceNodeSubsetsImpl(TfLiteContext* context,
                                                 TfLiteRegistration registration,
                                                 const TfLiteIntArray* nodes_to_replace,
                                                 TfLiteDelegate* delegate) {
  return Owner(context)->ReplaceSubsets(registration, nodes_to_replace, delegate);
}

TfLiteStatus Interpreter::ResizeTensorImpl(TfLiteContext* context, TfLiteTensor* tensor,
                                           TfLiteIntArray* new_size) {
  // The dimensions of constant data are fixed by the data.
  if (tensor == nullptr || new_size == nullptr || tensor->allocation_type == kTfLiteMmapRo) {
    TfLiteIntArrayFree(new_size);
    return kTfLiteError;
  }
  TfLiteIntArrayFree(tensor->dims);
  tensor->dims = new_size;
  return kTfLiteOk;
}

void Interpreter::ReportErrorImpl(TfLiteContext* context, const char* format, ...) {
  va_list args;
  va_start(args, format);
  Owner(context)->reporter_->Report(format, args);
  va_end(args);
}

// Builder.

namespace {

bool ToTfLiteType(TensorType type, TfLiteType* out) {
  switch (type) {
    case TensorType_FLOAT32: *out = kTfLiteFloat32; return true;
    case TensorType_FLOAT16: *out = kTfLiteFloat16; return true;
    case TensorType_INT32: *out = kTfLiteInt32; return true;
    case TensorType_UINT8: *out = kTfLiteUInt8; return true;
    case TensorType_INT64: *out = kTfLiteInt64; return true;
    case TensorType_STRING: *out = kTfLiteString; return true;
    case TensorType_BOOL: *out = kTfLiteBool; return true;
    case TensorType_INT16: *out = kTfLiteInt16; return true;
    case TensorType_COMPLEX64: *out = kTfLiteComplex64; return true;
    case TensorType_INT8: *out = kTfLiteInt8; return true;
    case TensorType_FLOAT64: *out = kTfLiteFloat64; return true;
  }
  return false;
}

}  // namespace

InterpreterBuilder::InterpreterBuilder(const FlatBufferModel& model, const OpResolver& resolver)
    : model_(model), resolver_(resolver), reporter_(model.error_reporter()) {}

TfLiteStatus InterpreterBuilder::operator()(std::unique_ptr<Interpreter>* interpreter) {
  if (interpreter == nullptr) {
    reporter_->Report("InterpreterBuilder: no interpreter to build into.");
    return kTfLiteError;
  }
  auto built = std::make_unique<Interpreter>(reporter_);
  if (Build(built.get()) != kTfLiteOk) {
    interpreter->reset();
    return kTfLiteError;
  }
  *interpreter = std::move(built);
  return kTfLiteOk;
}

TfLiteStatus InterpreterBuilder::Build(Interpreter* interpreter) {
  const Model* model = model_.GetModel();
  if (model == nullptr) {
    reporter_->Report("No model.");
    return kTfLiteError;
  }
  if (model->version() != 3) {
    reporter_->Report("The model has schema version %u; version 3 is supported.",
                      model->version());
    return kTfLiteError;
  }
  if (model->subgraphs() == nullptr || model->subgraphs()->size() == 0) {
    reporter_->Report("The model has no subgraph.");
    return kTfLiteError;
  }

  // Registrations of the operator codes.
  std::vector<const TfLiteRegistration*> registrations;
  if (model->operator_codes() != nullptr) {
    for (const OperatorCode* code : *model->operator_codes()) {
      const BuiltinOperator op = GetBuiltinCode(*code);
      const TfLiteRegistration* r = nullptr;
      if (op == BuiltinOperator_CUSTOM) {
        if (code->custom_code() == nullptr) {
          reporter_->Report("A custom operator code has no name.");
          return kTfLiteError;
        }
        r = resolver_.FindOp(code->custom_code()->c_str(), code->version());
        if (r == nullptr) {
          reporter_->Report("Didn't find custom operator for name '%s' version '%d'.",
                            code->custom_code()->c_str(), code->version());
          return kTfLiteError;
        }
      } else {
        r = resolver_.FindOp(op, code->version());
        if (r == nullptr) {
          const char* name = EnumNameBuiltinOperator(op);
          reporter_->Report("Didn't find op for builtin opcode '%s' version '%d'.",
                            *name != '\0' ? name : "unknown", code->version());
          return kTfLiteError;
        }
      }
      registrations.push_back(r);
    }
  }

  const SubGraph* graph = model->subgraphs()->Get(0);
  const auto* buffers = model->buffers();
  const size_t num_buffers = buffers == nullptr ? 0 : buffers->size();
  const size_t num_tensors = graph->tensors() == nullptr ? 0 : graph->tensors()->size();

  interpreter->tensors_.resize(num_tensors);
  for (size_t i = 0; i < num_tensors; ++i) {
    const Tensor* source = graph->tensors()->Get(i);
    TfLiteTensor& t = interpreter->tensors_[i];
    if (!ToTfLiteType(source->type(), &t.type)) {
      reporter_->Report("Tensor %zu has an unknown type %d.", i, static_cast<int>(source->type()));
      return kTfLiteError;
    }
    std::vector<int> dims;
    int64_t elements = 1;
    if (source->shape() != nullptr) {
      for (int32_t d : *source->shape()) {
        if (d < 0) {
          reporter_->Report("Tensor %zu has a negative dimension.", i);
          return kTfLiteError;
        }
        elements *= d;
        if (elements > kMaxTensorBytes) {
          reporter_->Report("Tensor %zu is too large.", i);
          return kTfLiteError;
        }
        dims.push_back(d);
      }
    }
    t.dims = TfLiteIntArrayFromVector(dims);
    const std::string& name =
        interpreter->names_.emplace_back(source->name() != nullptr ? source->name()->str() : "");
    t.name = name.c_str();

    const uint32_t buffer = source->buffer();
    if (buffer >= num_buffers) {
      if (buffer == 0) continue;  // no buffers at all: no constant data
      reporter_->Report("Tensor %zu names buffer %u of %zu.", i, buffer, num_buffers);
      return kTfLiteError;
    }
    const auto* data = buffers->Get(buffer)->data();
    if (data == nullptr || data->size() == 0) continue;
    const size_t type_size = TfLiteTypeGetSize(t.type);
    if (type_size == 0 || static_cast<uint64_t>(elements) * type_size != data->size()) {
      reporter_->Report("Tensor %zu has %u bytes of data; its shape and type need %lld.", i,
                        data->size(),
                        static_cast<long long>(elements * static_cast<int64_t>(type_size)));
      return kTfLiteError;
    }
    t.data.raw_const = data->data();
    t.bytes = data->size();
    t.allocation_type = kTfLiteMmapRo;
  }

  auto tensor_list = [&](const flatbuffers::Vector<int32_t>* list, bool allow_optional,
                         const char* what, std::vector<int>* out) {
    out->clear();
    if (list == nullptr) return true;
    for (int32_t index : *list) {
      if (index == kTfLiteOptionalTensor && allow_optional) {
      } else if (index < 0 || static_cast<size_t>(index) >= num_tensors) {
        reporter_->Report("%s names tensor %d of %zu.", what, index, num_tensors);
        return false;
      }
      out->push_back(index);
    }
    return true;
  };
  if (!tensor_list(graph->inputs(), false, "The subgraph's input list", &interpreter->inputs_) ||
      !tensor_list(graph->outputs(), false, "The subgraph's output list",
                   &interpreter->outputs_)) {
    return kTfLiteError;
  }

  if (graph->operators() != nullptr) {
    for (size_t i = 0; i < graph->operators()->size(); ++i) {
      const Operator* op = graph->operators()->Get(i);
      if (op->opcode_index() >= registrations.size()) {
        reporter_->Report("Operator %zu has operator code %u of %zu.", i, op->opcode_index(),
                          registrations.size());
        return kTfLiteError;
      }
      std::vector<int> inputs, outputs;
      if (!tensor_list(op->inputs(), true, "An operator's input list", &inputs) ||
          !tensor_list(op->outputs(), false, "An operator's output list", &outputs)) {
        return kTfLiteError;
      }
      for (int output : outputs) {
        if (interpreter->tensors_[output].allocation_type == kTfLiteMmapRo) {
          reporter_->Report("Operator %zu writes constant tensor %d.", i, output);
          return kTfLiteError;
        }
      }
      const TfLiteRegistration& r = *registrations[op->opcode_index()];
      const int index = interpreter->AddNode(std::move(inputs), std::move(outputs), r);
      TfLiteNode& node = interpreter->nodes_[index].node;
      node.op = op;
      const char* init_data = nullptr;
      size_t init_size = 0;
      if (op->custom_options() != nullptr) {
        node.custom_initial_data = op->custom_options()->data();
        node.custom_initial_data_size = static_cast<int>(op->custom_options()->size());
        init_data = reinterpret_cast<const char*>(op->custom_options()->data());
        init_size = op->custom_options()->size();
      }
      if (r.init != nullptr) node.user_data = r.init(&interpreter->context_, init_data, init_size);
      interpreter->plan_.push_back(index);
    }
  }

  interpreter->context_.tensors = interpreter->tensors_.data();
  interpreter->context_.tensors_size = interpreter->tensors_.size();
  return kTfLiteOk;
}

}  // namespace tflite
