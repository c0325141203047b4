// Reads arbitrary bytes as the sampling-rules flag of a log source and samples events of every
// event code the input names. Any crash or sanitizer report is a fault; so is a sampler that
// decides the same event two ways.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "experiment_flags/fake_flags_test_util.h"
#include "usage_log/log_transformers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto fake = std::make_shared<FakeMarovicFlags>();
  fake->setNumber("enable_log_sampling_rules", ZQLMarovicNumber::Boolean(true));
  fake->setData("sampling_rules_for_log_source_700",
                std::string(reinterpret_cast<const char*>(data), size));
  auto sampler =
      JQXLogSampler::initWithFlags(JQXTrassenFlags::initWithMarovicFlags(fake), "device-key");
  for (size_t i = 0; i <= size && i < 16; ++i) {
    int32_t code = i == 0 ? 0 : static_cast<int8_t>(data[i - 1]);
    auto event = JQXTrassenLogEvent::initWithLogSource(700, true, 0, 0, 0);
    event->setEventCode(code);
    bool first = sampler->shouldSampleLocally(*event);
    if (sampler->shouldSampleLocally(*event) != first) std::abort();
    if ((sampler->transform(event) == nullptr) != first) std::abort();
  }
  return 0;
}
