#include "graph/calculator_base.h"

#include <algorithm>

namespace kaldren {

Timestamp CalculatorBase::SourceProcessOrder(const CalculatorContext* cc) const {
  Timestamp result = Timestamp::Max();
  for (const OutputStreamShard& output : cc->Outputs()) {
    result = std::min(result, output.NextTimestampBound());
  }
  return result;
}

}  // namespace kaldren
