#include "face_ml/scoped_wall_timer.h"

#include <algorithm>

#include "absl/strings/str_split.h"
#include "absl/time/clock.h"
#include "base/flags.h"
#include "base/logging.h"
#include "base/walltime.h"

namespace video {
namespace stabilization {

ScopedWallTimer::Accumulator::Totals ScopedWallTimer::Accumulator::Add(double elapsed) {
  std::lock_guard<std::mutex> lock(mu_);
  totals_.total += elapsed;
  totals_.min = std::min(totals_.min, elapsed);
  ++totals_.count;
  return totals_;
}

ScopedWallTimer::ScopedWallTimer(const char* file, int line, bool enabled,
                                 Accumulator* accumulator)
    : file_(file), line_(line), enabled_(enabled), accumulator_(accumulator) {
  if (!enabled_) return;
  CHECK(accumulator_);
  start_ = base::ToWallTime(absl::Now());
}

ScopedWallTimer::~ScopedWallTimer() {
  if (!enabled_) return;
  const double elapsed = base::ToWallTime(absl::Now()) - start_;
  const Accumulator::Totals totals = accumulator_->Add(elapsed);
  const double calls = totals.count < 2 ? 1.0 : static_cast<double>(totals.count);
  absl::logging_internal::LogMessage(__FILE__, __LINE__, absl::LogSeverity::kInfo)
          .AtLocation(file_, line_)
      << label_.str() << " TIMES: [Curr: " << elapsed * 1000 << " ms, "
      << "Avg: " << totals.total * 1000 / calls << " ms, "
      << "Min: " << totals.min * 1000 << " ms, " << totals.count << " calls]";
}

MeasureTimeFilter::MeasureTimeFilter(absl::string_view filter)
    : parts_(absl::StrSplit(filter, ',')) {}

const MeasureTimeFilter& MeasureTimeFilter::Get() {
  static const MeasureTimeFilter* const filter = new MeasureTimeFilter(FLAGS_measure_time_filter);
  return *filter;
}

bool MeasureTimeFilter::Matches(absl::string_view name) const {
  return std::any_of(parts_.begin(), parts_.end(), [&](const std::string& part) {
    return part.empty() || name.find(part) != absl::string_view::npos;
  });
}

}  // namespace stabilization
}  // namespace video
