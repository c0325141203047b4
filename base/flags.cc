// Flag names and help texts are stripped: no flag is registered with the flag library.
#define ABSL_FLAGS_STRIP_NAMES 1
#define ABSL_FLAGS_STRIP_HELP 1

#include "base/flags.h"

#include <atomic>

#define QM_DEFINE_OLD_FLAG_(ns, type, name, value) \
  namespace ns {                                   \
  type FLAGS_##name = value;                       \
  type FLAGS_no##name = value;                     \
  }

#define QM_DEFINE_bool(name, value) QM_DEFINE_OLD_FLAG_(fLB, bool, name, value)
#define QM_DEFINE_int32(name, value) QM_DEFINE_OLD_FLAG_(fLI, int32_t, name, value)
#define QM_DEFINE_string(name, value)                  \
  namespace fLS {                                      \
  std::string& FLAGS_##name = *new std::string(value); \
  std::string* FLAGS_no##name = &FLAGS_##name;         \
  }

// Logging. logtostderr is on for the whole process: every message goes to standard error.
QM_DEFINE_bool(log_prefix, true)
QM_DEFINE_bool(logtostderr, true)
QM_DEFINE_bool(alsologtostderr, false)
QM_DEFINE_int32(stderrthreshold, 2)
ABSL_FLAG(int32_t, minloglevel, 0, "");
QM_DEFINE_string(log_backtrace_at, "")
QM_DEFINE_bool(symbolize_stacktrace, true)
ABSL_FLAG(std::string, log_link, "", "");
QM_DEFINE_bool(threaded_logging, true)
QM_DEFINE_bool(syslog_on_start, true)
QM_DEFINE_bool(skip_address_map, false)
QM_DEFINE_int32(logbuflevel, 0)

// Verbose logging.
QM_DEFINE_int32(v, 0)
QM_DEFINE_string(vmodule, "")
ABSL_FLAG(uint64_t, vlog_burst, 0, "");

// Status handling.
ABSL_FLAG(bool, util_status_save_stack_trace, false, "");
ABSL_FLAG(bool, ret_check_abort_on_failure, false, "");

// Process start-up.
QM_DEFINE_bool(silent_init, false)
ABSL_FLAG(std::string, chroot, "", "");
QM_DEFINE_string(uid, "")
QM_DEFINE_string(gid, "=uid")
QM_DEFINE_int32(nice_priority_level, 0)
ABSL_FLAG(std::string, mlock_style, "", "");
QM_DEFINE_string(data_version, "")
QM_DEFINE_int32(temp_bad_calls_before_init_brenvik_returns_action, 3)
QM_DEFINE_int32(temp_grandfathered_bad_calls_before_init_brenvik_returns_action, -1)
QM_DEFINE_string(cpu_profile, "")

// Failure signals.
QM_DEFINE_bool(install_signal_handlers, false)
ABSL_FLAG(std::string, install_named_signal_handlers, "failure,profiling,serverselect,stackdump",
          "");
ABSL_FLAG(bool, alarm_on_failure, true, "");
ABSL_FLAG(int32_t, coredump_timeout, 300, "");
QM_DEFINE_int32(stacktrace_timeout, 300)
QM_DEFINE_string(debugger_command, "")
QM_DEFINE_bool(infinite_loop_on_signal, false)
QM_DEFINE_bool(suppress_failure_output, false)
QM_DEFINE_bool(test_indicate_sighandler_done, false)
QM_DEFINE_bool(use_alternate_stack_for_signal_handlers, true)

// System information and process maps.
ABSL_FLAG(std::string, procfs_prefix, "", "");
ABSL_FLAG(bool, dump_all_maps_on_failure, false, "");
QM_DEFINE_string(system_cpu_max_freq_file, "/sys/devices/system/cpu/cpu$0/cpufreq/cpuinfo_max_freq")

// Timing of the face-landmark pipeline.
QM_DEFINE_bool(measure_time, false)
QM_DEFINE_string(measure_time_filter, "")

namespace {
std::atomic<bool> flags_parsed{false};
}  // namespace

bool FlagsParsed() { return flags_parsed.load(std::memory_order_acquire); }

namespace base_flags_internal {
void MarkFlagsParsed() { flags_parsed.store(true, std::memory_order_release); }
}  // namespace base_flags_internal
