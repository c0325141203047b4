#include "tflite/gpu/metal/inference_context.h"

#include <algorithm>
#include <functional>

#include "absl/strings/str_cat.h"
#include "base/status_macros.h"
#include "tflite/gpu/metal/half_conversion.h"

namespace tflite {
namespace gpu {
namespace metal {

TFLInferenceContext::~TFLInferenceContext() {
  tasks_.clear();  // kernels first: they were set up with the pool
  if (threadpool_ != nullptr) pthreadpool_destroy(threadpool_);
}

absl::Status TFLInferenceContext::compileModelWithDevice(std::shared_ptr<MTLDevice> device,
                                                         const CompiledModel& tasks,
                                                         const std::vector<ValueId>& output_ids,
                                                         const RuntimeOptions& options) {
  RET_CHECK(device != nullptr);
  RET_CHECK(tasks_.empty()) << "The model is already compiled";
  device_ = std::move(device);
  options_ = options;
  output_ids_ = output_ids;
  for (const ComputeTaskDescriptorPtr& descriptor : tasks) {
    Task& task = tasks_.emplace_back();
    task.descriptor = descriptor;
    if (!descriptor->shader_source.empty()) {
      std::shared_ptr<NSError> error;
      auto library = device_->newLibraryWithSource(descriptor->shader_source, nullptr, &error);
      RET_CHECK(library != nullptr) << "Task " << descriptor->id << ": "
                                    << (error ? error->localizedDescription() : "");
      auto function = library->newFunctionWithName("ComputeFunction");
      RET_CHECK(function != nullptr) << "Task " << descriptor->id << " has no ComputeFunction";
      task.pipeline = device_->newComputePipelineStateWithFunction(function, &error);
      RET_CHECK(task.pipeline != nullptr) << "Task " << descriptor->id;
    } else if (!descriptor->aliases_input) {
      RET_CHECK(descriptor->cpu_kernel != nullptr) << "Task " << descriptor->id << " has no work";
    }
  }
  if (options_.num_threads > 1) {
    threadpool_ = pthreadpool_create(static_cast<size_t>(options_.num_threads));
    RET_CHECK(threadpool_ != nullptr) << "Can't create a pool of " << options_.num_threads
                                      << " threads";
  }
  return absl::OkStatus();
}

absl::Status TFLInferenceContext::setInputDimensions(const DimensionsMap& input_dimensions,
                                                     DimensionsMap* output_dimensions,
                                                     const CompiledModel& /*tasks*/) {
  RET_CHECK(device_ != nullptr) << "The model is not compiled";
  RET_CHECK(!dimensions_set_) << "The input sizes are already set";
  dimensions_ = input_dimensions;
  auto allocate = [this](ValueId id, const BHWC& shape) -> absl::Status {
    if (shape.b <= 0 || shape.h <= 0 || shape.w <= 0 || shape.c <= 0) {
      return absl::InvalidArgumentError(
          absl::StrCat("Value ", id, " has the empty shape ", ToString(shape)));
    }
    auto buffer = device_->newBufferWithLength(
        static_cast<NSUInteger>(shape.DimensionsProduct()) * sizeof(float) + kKernelReadSlack,
        MTLResourceStorageModeShared);
    RET_CHECK(buffer != nullptr) << "Can't allocate value " << id;
    working_[id] = std::move(buffer);
    return absl::OkStatus();
  };
  auto floats = [this](ValueId id) { return static_cast<float*>(working_.at(id)->contents()); };
  for (const auto& [id, shape] : dimensions_) RETURN_IF_ERROR(allocate(id, shape));

  for (Task& task : tasks_) {
    const ComputeTaskDescriptor& d = *task.descriptor;
    std::vector<BHWC> input_shapes;
    std::vector<const float*> input_data;
    for (const auto& input : d.input_buffers) {
      const auto it = dimensions_.find(input.id);
      RET_CHECK(it != dimensions_.end()) << "Task " << d.id << " reads unknown value " << input.id;
      input_shapes.push_back(it->second);
      input_data.push_back(floats(input.id));
    }
    const ValueId out = d.output_buffer.id;
    const BHWC shape = d.output_buffer.dimensions_function(dimensions_);
    dimensions_[out] = shape;
    if (d.aliases_input) {
      RET_CHECK(input_shapes.size() == 1 &&
                input_shapes[0].DimensionsProduct() == shape.DimensionsProduct());
      working_[out] = working_.at(d.input_buffers[0].id);
    } else {
      RETURN_IF_ERROR(allocate(out, shape));
    }
    task.output = floats(out);
    task.output_size = static_cast<size_t>(shape.DimensionsProduct());
    if (task.pipeline != nullptr) {
      for (const auto& uniform : d.uniform_buffers) {
        const std::vector<uint8_t> bytes = uniform.data_function(dimensions_);
        task.uniforms.insert(task.uniforms.end(), bytes.begin(), bytes.end());
      }
      task.groups = d.resize_function(dimensions_);
    } else if (!d.aliases_input) {
      ASSIGN_OR_RETURN(task.kernel, d.cpu_kernel(input_shapes, shape, threadpool_),
                       _ << " (task " << d.id << ")");
      RETURN_IF_ERROR(task.kernel->Setup(input_data, task.output));
    }
  }

  if (options_.storage_precision == RuntimeOptions::Precision::FP16) PlanRounding();

  for (const auto& [id, shape] : input_dimensions) inputs_.push_back({id, shape, floats(id)});
  output_dimensions->clear();
  for (ValueId id : output_ids_) {
    const auto it = dimensions_.find(id);
    RET_CHECK(it != dimensions_.end()) << "Output " << id << " is never written";
    outputs_.push_back({id, it->second, floats(id)});
    (*output_dimensions)[id] = it->second;
  }
  dimensions_set_ = true;
  return absl::OkStatus();
}

void TFLInferenceContext::PlanRounding() {
  std::map<ValueId, std::vector<const Task*>> readers;
  // The task that computes each value; a reshape's output is its input's value.
  std::map<ValueId, const Task*> producers;
  for (const Task& task : tasks_) {
    const ComputeTaskDescriptor& d = *task.descriptor;
    for (const auto& input : d.input_buffers) readers[input.id].push_back(&task);
    if (!d.aliases_input) {
      producers[d.output_buffer.id] = &task;
    } else if (const auto it = producers.find(d.input_buffers[0].id); it != producers.end()) {
      producers[d.output_buffer.id] = it->second;
    }
  }
  // Whether some task reads the value (or a reshape of it) as it is stored. The model's outputs
  // need nothing: converting them to halves rounds them.
  std::function<bool(ValueId)> read_as_stored = [&](ValueId id) {
    for (const Task* reader : readers[id]) {
      if (reader->descriptor->aliases_input) {
        if (read_as_stored(reader->descriptor->output_buffer.id)) return true;
      } else if (reader->kernel == nullptr || !reader->kernel->CanRoundInputs()) {
        return true;
      }
    }
    return false;
  };
  auto stores_halves = [](const Task& task) {
    return task.kernel != nullptr && task.kernel->StoresHalves();
  };
  for (Task& task : tasks_) {
    task.round_output = !task.descriptor->aliases_input && !stores_halves(task) &&
                        read_as_stored(task.descriptor->output_buffer.id);
  }
  // The model's inputs arrive as halves; every other value is one unless its producer left it.
  for (Task& task : tasks_) {
    if (task.kernel == nullptr || !task.kernel->CanRoundInputs()) continue;
    std::vector<bool> unrounded;
    for (const auto& input : task.descriptor->input_buffers) {
      const auto it = producers.find(input.id);
      unrounded.push_back(it != producers.end() && !it->second->round_output &&
                          !stores_halves(*it->second));
    }
    task.kernel->SetUnroundedInputs(unrounded);
  }
}

void TFLInferenceContext::RoundOutput(const Task& task) {
  if (task.round_output) RoundToHalfPrecision(task.output, task.output_size);
}

void TFLInferenceContext::RunCpuTasks(size_t begin, size_t end) {
  for (size_t i = begin; i < end; ++i) {
    Task& task = tasks_[i];
    if (task.kernel == nullptr) continue;  // an alias
    task.kernel->Run();
    RoundOutput(task);
  }
}

absl::Status TFLInferenceContext::encodeWithEncoder(
    MTLComputeCommandEncoder* encoder,
    const std::map<ValueId, std::shared_ptr<MTLBuffer>>& buffers) {
  RET_CHECK(encoder != nullptr);
  RET_CHECK(dimensions_set_) << "The input sizes are not set";
  for (std::vector<Binding>* bindings : {&inputs_, &outputs_}) {
    for (Binding& binding : *bindings) {
      const auto it = buffers.find(binding.id);
      RET_CHECK(it != buffers.end() && it->second != nullptr)
          << "No buffer for value " << binding.id;
      RET_CHECK(it->second->length() >=
                static_cast<NSUInteger>(GetElementsSizeForPHWC4(binding.shape)) * 2)
          << "The buffer of value " << binding.id << " is too short for "
          << ToString(binding.shape);
      binding.halves = static_cast<uint16_t*>(it->second->contents());
    }
  }

  encoder->dispatchTask([this] {
    for (const Binding& input : inputs_) {
      PHWC4HalvesToNHWCFloats(input.halves, input.shape, input.working);
    }
  });
  size_t begin = 0;
  for (size_t i = 0; i <= tasks_.size(); ++i) {
    if (i < tasks_.size() && tasks_[i].pipeline == nullptr) continue;
    if (begin < i) encoder->dispatchTask([this, begin, i] { RunCpuTasks(begin, i); });
    begin = i + 1;
    if (i == tasks_.size()) break;
    const Task& task = tasks_[i];
    const ComputeTaskDescriptor& d = *task.descriptor;
    encoder->setComputePipelineState(task.pipeline);
    size_t index = 0;
    for (const auto& input : d.input_buffers) encoder->setBuffer(working_.at(input.id), 0, index++);
    encoder->setBuffer(working_.at(d.output_buffer.id), 0, index++);
    if (!task.uniforms.empty()) encoder->setBytes(task.uniforms.data(), task.uniforms.size(), index);
    encoder->dispatchThreadgroups(task.groups.second, task.groups.first);
    encoder->dispatchTask([this, i] { RoundOutput(tasks_[i]); });
  }
  encoder->dispatchTask([this] {
    for (const Binding& output : outputs_) {
      NHWCFloatsToPHWC4Halves(output.working, output.shape, output.halves);
    }
  });
  return absl::OkStatus();
}

}  // namespace metal
}  // namespace gpu
}  // namespace tflite
