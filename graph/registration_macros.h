// The process-wide registries of the graph's component kinds, and the macros with which a
// component's source file registers it from a static initialiser.
//
// A registration macro is used at namespace scope in the component's .cc file, after the
// component's class is complete, with its bare class name:
//
//   REGISTER_CALCULATOR(PassThroughCalculator);
//
// The registries are keyed by name only; the classes they create are declared here only as far
// as the registry types need them. A file that expands a macro includes the headers of the kind
// it registers (for a calculator, graph/calculator.h holds them all; the stream handler
// bases, the executor interface, the packet generator accessor templates).

#ifndef QUILLMERE_GRAPH_REGISTRATION_MACROS_H_
#define QUILLMERE_GRAPH_REGISTRATION_MACROS_H_

#include <memory>
#include <utility>

#include "base/statusor.h"
#include "graph/registration.h"

namespace pellumo {
class Calculator;
class PellumoOptions;
namespace internal {
class StaticAccessToCalculator;
class StaticAccessToFactory;
}  // namespace internal
}  // namespace pellumo

namespace kaldren {

class CalculatorBase;
class CalculatorContextManager;
class Executor;
class InputStreamHandler;
class OutputStreamHandler;
class Subgraph;
namespace tool {
class TagMap;
}  // namespace tool
namespace internal {
class StaticAccessToCalculatorBase;
class StaticAccessToGenerator;
class StaticAccessToStatusHandler;
}  // namespace internal

// Calculators of the current interface, and their contract accessors.
using CalculatorBaseRegistry = GlobalFactoryRegistry<std::unique_ptr<CalculatorBase>>;
namespace internal {
using StaticAccessToCalculatorBaseRegistry =
    GlobalFactoryRegistry<std::unique_ptr<StaticAccessToCalculatorBase>>;
}  // namespace internal

// Stream handlers: made from the node's stream tag map, its context manager, the handler's
// options and whether the node runs several invocations in parallel.
using InputStreamHandlerRegistry =
    GlobalFactoryRegistry<std::unique_ptr<InputStreamHandler>, std::shared_ptr<tool::TagMap>,
                          CalculatorContextManager*, const pellumo::PellumoOptions&, bool>;
using OutputStreamHandlerRegistry =
    GlobalFactoryRegistry<std::unique_ptr<OutputStreamHandler>, std::shared_ptr<tool::TagMap>,
                          CalculatorContextManager*, const pellumo::PellumoOptions&, bool>;

// Executors: made from their options carrier; the caller owns the result.
using ExecutorRegistry =
    GlobalFactoryRegistry<util::StatusOr<Executor*>, const pellumo::PellumoOptions&>;

// Packet generators (accessor only), status handlers and subgraphs.
using PacketGeneratorRegistry =
    GlobalFactoryRegistry<std::unique_ptr<internal::StaticAccessToGenerator>>;
using StatusHandlerRegistry =
    GlobalFactoryRegistry<std::unique_ptr<internal::StaticAccessToStatusHandler>>;
using SubgraphRegistry = GlobalFactoryRegistry<std::unique_ptr<Subgraph>>;

}  // namespace kaldren

namespace pellumo {

// Calculators of the legacy interface, their accessors, and legacy packet factories.
using CalculatorRegistry = ::kaldren::GlobalFactoryRegistry<std::unique_ptr<Calculator>>;
namespace internal {
using StaticAccessToCalculatorRegistry =
    ::kaldren::GlobalFactoryRegistry<std::unique_ptr<StaticAccessToCalculator>>;
using StaticAccessToFactoryRegistry =
    ::kaldren::GlobalFactoryRegistry<std::unique_ptr<StaticAccessToFactory>>;
}  // namespace internal

}  // namespace pellumo

// A current-interface calculator `T` under the name `name_string`: its factory and its
// contract accessor (`kaldren::internal::StaticAccessToCalculatorBaseTyped<T>`).
#define REGISTER_CALCULATOR_WITH_NAME(name_string, T)                                      \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(::kaldren::CalculatorBaseRegistry,                    \
                                      calculator_registration, name_string,                 \
                                      [] { return std::make_unique<T>(); });               \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(                                                      \
      ::kaldren::internal::StaticAccessToCalculatorBaseRegistry, access_registration,       \
      name_string,                                                                          \
      [] { return std::make_unique<::kaldren::internal::StaticAccessToCalculatorBaseTyped<T>>(); })
#define REGISTER_CALCULATOR(T) REGISTER_CALCULATOR_WITH_NAME(#T, T)

// A legacy-interface calculator `T` under the name `name_string`: its factory and its accessor
// (`pellumo::internal::StaticAccessToCalculatorTyped<T>`).
#define REGISTER_LEGACY_CALCULATOR_WITH_NAME(name_string, T)                                \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(::pellumo::CalculatorRegistry,                        \
                                      legacy_calculator_registration, name_string,          \
                                      [] { return std::make_unique<T>(); });               \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(                                                      \
      ::pellumo::internal::StaticAccessToCalculatorRegistry, legacy_access_registration,    \
      name_string,                                                                          \
      [] { return std::make_unique<::pellumo::internal::StaticAccessToCalculatorTyped<T>>(); })
#define REGISTER_LEGACY_CALCULATOR(T) REGISTER_LEGACY_CALCULATOR_WITH_NAME(#T, T)

#define QM_STREAM_HANDLER_FACTORY(Base, T)                                                  \
  [](std::shared_ptr<::kaldren::tool::TagMap> tag_map,                                      \
     ::kaldren::CalculatorContextManager* context_manager,                                  \
     const ::pellumo::PellumoOptions& options,                                             \
     bool calculator_run_in_parallel) -> std::unique_ptr<Base> {                            \
    return std::make_unique<T>(std::move(tag_map), context_manager, options,               \
                               calculator_run_in_parallel);                                 \
  }

#define REGISTER_INPUT_STREAM_HANDLER(T)                                                    \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(::kaldren::InputStreamHandlerRegistry,                \
                                      input_handler_registration, #T,                       \
                                      QM_STREAM_HANDLER_FACTORY(::kaldren::InputStreamHandler, T))

#define REGISTER_OUTPUT_STREAM_HANDLER(T)                                                   \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(                                                      \
      ::kaldren::OutputStreamHandlerRegistry, output_handler_registration, #T,              \
      QM_STREAM_HANDLER_FACTORY(::kaldren::OutputStreamHandler, T))

// An executor `T` made by its static `T::Create(const pellumo::PellumoOptions&)`.
#define REGISTER_EXECUTOR(T)                                                                \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(::kaldren::ExecutorRegistry, executor_registration,   \
                                      #T, T::Create)

// A packet generator `T`, registered by its accessor
// (`kaldren::internal::StaticAccessToGeneratorTyped<T>`).
#define REGISTER_PACKET_GENERATOR(T)                                                        \
  REGISTER_FACTORY_FUNCTION_QUALIFIED(                                                      \
      ::kaldren::PacketGeneratorRegistry, generator_registration, #T,                       \
      [] { return std::make_unique<::kaldren::internal::StaticAccessToGeneratorTyped<T>>(); })

#endif  // QUILLMERE_GRAPH_REGISTRATION_MACROS_H_
