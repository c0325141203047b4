#include "graph/legacy_calculator.h"

#include <algorithm>

#include "base/logging.h"

namespace pellumo {

kaldren::Timestamp Calculator::SourceProcessOrder() const {
  kaldren::Timestamp result = kaldren::Timestamp::Max();
  for (const kaldren::OutputStream* output : Outputs()) {
    result = std::min(result, output->NextTimestampBound());
  }
  return result;
}

void Calculator::SetContext(kaldren::CalculatorContext* context) {
  CHECK(nullptr == calculator_context_) << "SetContext can only be called once.";
  CHECK(context != nullptr);
  calculator_context_ = context;
}

void Calculator::CheckCalculatorContext() const {
  CHECK(calculator_context_)
      << "Calculator context has not been initialized, you probably are doing something in "
         "the constructor that should be done in Open().";
}

kaldren::InputStreamSet& Calculator::Inputs() const {
  CheckCalculatorContext();
  return calculator_context_->InputStreams();
}

kaldren::OutputStreamSet& Calculator::Outputs() const {
  CheckCalculatorContext();
  return calculator_context_->OutputStreams();
}

const kaldren::PacketSet& Calculator::InputSidePackets() const {
  CheckCalculatorContext();
  return calculator_context_->InputSidePackets();
}

kaldren::InputStream* Calculator::Input() const {
  CHECK_EQ(Inputs().NumEntries(), 1)
      << "Use Inputs().Index(index) instead of Input() when Inputs().NumEntries() != 1.";
  return Inputs().Index(0);
}

kaldren::OutputStream* Calculator::Output() const {
  CHECK_EQ(Outputs().NumEntries(), 1)
      << "Use Outputs().Index(index) instead of Output() when Outputs().NumEntries() != 1.";
  return Outputs().Index(0);
}

const kaldren::Packet& Calculator::InputSidePacket() const {
  CHECK_EQ(InputSidePackets().NumEntries(), 1)
      << "Use InputSidePackets().Index(index) instead of InputSidePacket() "
      << "when InputSidePackets().NumEntries() != 1.";
  return InputSidePackets().Index(0);
}

kaldren::Timestamp Calculator::InputTimestamp() const {
  CheckCalculatorContext();
  return calculator_context_->InputTimestamp();
}

void Calculator::SetOffset(kaldren::TimestampDiff offset) {
  for (kaldren::OutputStream* output : Outputs()) output->SetOffset(offset);
}

const CalculatorOptions& Calculator::Options() const {
  CheckCalculatorContext();
  return calculator_context_->Options();
}

const std::string& Calculator::NodeName() const {
  CheckCalculatorContext();
  return calculator_context_->NodeName();
}

const std::string& Calculator::CalculatorType() const {
  CheckCalculatorContext();
  return calculator_context_->CalculatorType();
}

kaldren::Counter* Calculator::GetCounter(const std::string& name) {
  CheckCalculatorContext();
  return calculator_context_->GetCounter(name);
}

}  // namespace pellumo
