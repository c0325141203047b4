#include "graph/thread_pool_cpu_util.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "absl/strings/numbers.h"
#include "absl/strings/str_cat.h"
#include "absl/strings/str_replace.h"
#include "base/flags.h"
#include "base/status.h"
#include "base/statusor.h"

namespace kaldren {

namespace {

// A frequency file holds one decimal number; longer first lines are cut.
constexpr int kMaxFrequencyLineLength = 63;

util::StatusOr<uint64_t> GetMaxFrequency(int cpu) {
  const std::string path_template = FLAGS_system_cpu_max_freq_file;
  if (path_template.find("$0") == std::string::npos) {
    return absl::InvalidArgumentError("Invalid frequency file: " + path_template);
  }
  const std::string path = absl::StrReplaceAll(path_template, {{"$0", absl::StrCat(cpu)}});
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return absl::NotFoundError("Couldn't read " + path);
  char buffer[kMaxFrequencyLineLength + 1] = {};
  const bool read = std::fgets(buffer, sizeof(buffer), file) != nullptr;
  std::fclose(file);
  std::string line = read ? buffer : "";
  if (!line.empty() && line.back() == '\n') line.pop_back();
  uint64_t frequency;
  if (!absl::SimpleAtoi(line, &frequency)) {
    return absl::InvalidArgumentError("Invalid frequency: " + line);
  }
  return frequency;
}

std::set<int> InferLowerOrHigherCoreIds(bool lower) {
  std::vector<std::pair<int, uint64_t>> cpu_frequencies;
  for (int cpu = 0; cpu < NumCPUCores(); ++cpu) {
    util::StatusOr<uint64_t> frequency = GetMaxFrequency(cpu);
    if (frequency.ok()) cpu_frequencies.emplace_back(cpu, *frequency);
  }
  if (cpu_frequencies.empty()) return {};
  std::stable_sort(cpu_frequencies.begin(), cpu_frequencies.end(),
                   [lower](const auto& a, const auto& b) {
                     return lower ? a.second < b.second : a.second > b.second;
                   });
  const uint64_t edge_frequency = cpu_frequencies.front().second;
  std::set<int> core_ids;
  for (const auto& [cpu, frequency] : cpu_frequencies) {
    if (frequency != edge_frequency) break;
    core_ids.insert(cpu);
  }
  if (core_ids.size() == cpu_frequencies.size()) return {};
  return core_ids;
}

}  // namespace

int NumCPUCores() { return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); }

int NumUsableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return NumCPUCores();
  return std::max(1, CPU_COUNT(&set));
}

std::set<int> InferLowerCoreIds() { return InferLowerOrHigherCoreIds(/*lower=*/true); }

std::set<int> InferHigherCoreIds() { return InferLowerOrHigherCoreIds(/*lower=*/false); }

}  // namespace kaldren
