// Process-wide flags of the native code, each with a compiled-in default.
//
// Two forms exist. Old-style flags are plain variables, read directly:
//   bool and int32: FLAGS_<name> (the value) and FLAGS_no<name> (a copy of the default);
//   string: FLAGS_<name> refers to one string built at load, FLAGS_no<name> points to it.
// They live in namespaces fLB, fLI and fLS and are visible at global scope.
// Typed flags are absl::Flag objects, read with absl::GetFlag(FLAGS_<name>). Their names
// are stripped, so none is registered and none can be found or set by name.
//
// Nothing sets a flag after load: every flag keeps its default for the life of the process.

#ifndef BASE_FLAGS_H_
#define BASE_FLAGS_H_

#include <cstdint>
#include <string>

#include "absl/flags/declare.h"
#include "absl/flags/flag.h"

#define QM_DECLARE_OLD_FLAG_(ns, type, name) \
  namespace ns {                             \
  extern type FLAGS_##name;                  \
  extern type FLAGS_no##name;                \
  }                                          \
  using ns::FLAGS_##name;                    \
  using ns::FLAGS_no##name

#define QM_DECLARE_bool(name) QM_DECLARE_OLD_FLAG_(fLB, bool, name)
#define QM_DECLARE_int32(name) QM_DECLARE_OLD_FLAG_(fLI, int32_t, name)
#define QM_DECLARE_string(name)          \
  namespace fLS {                        \
  extern std::string& FLAGS_##name;      \
  extern std::string* FLAGS_no##name;    \
  }                                      \
  using fLS::FLAGS_##name;               \
  using fLS::FLAGS_no##name

// Logging.
QM_DECLARE_bool(log_prefix);
QM_DECLARE_bool(logtostderr);
QM_DECLARE_bool(alsologtostderr);
QM_DECLARE_int32(stderrthreshold);
ABSL_DECLARE_FLAG(int32_t, minloglevel);
QM_DECLARE_string(log_backtrace_at);
QM_DECLARE_bool(symbolize_stacktrace);
ABSL_DECLARE_FLAG(std::string, log_link);
QM_DECLARE_bool(threaded_logging);
QM_DECLARE_bool(syslog_on_start);
QM_DECLARE_bool(skip_address_map);
QM_DECLARE_int32(logbuflevel);

// Verbose logging.
QM_DECLARE_int32(v);
QM_DECLARE_string(vmodule);
ABSL_DECLARE_FLAG(uint64_t, vlog_burst);

// Status handling.
ABSL_DECLARE_FLAG(bool, util_status_save_stack_trace);
ABSL_DECLARE_FLAG(bool, ret_check_abort_on_failure);

// Process start-up.
QM_DECLARE_bool(silent_init);
ABSL_DECLARE_FLAG(std::string, chroot);
QM_DECLARE_string(uid);
QM_DECLARE_string(gid);
QM_DECLARE_int32(nice_priority_level);
ABSL_DECLARE_FLAG(std::string, mlock_style);
QM_DECLARE_string(data_version);
QM_DECLARE_int32(temp_bad_calls_before_init_brenvik_returns_action);
QM_DECLARE_int32(temp_grandfathered_bad_calls_before_init_brenvik_returns_action);
QM_DECLARE_string(cpu_profile);  // non-empty: the CPU profile output file

// Failure signals.
QM_DECLARE_bool(install_signal_handlers);
ABSL_DECLARE_FLAG(std::string, install_named_signal_handlers);
ABSL_DECLARE_FLAG(bool, alarm_on_failure);
ABSL_DECLARE_FLAG(int32_t, coredump_timeout);
QM_DECLARE_int32(stacktrace_timeout);
QM_DECLARE_string(debugger_command);
QM_DECLARE_bool(infinite_loop_on_signal);
QM_DECLARE_bool(suppress_failure_output);
QM_DECLARE_bool(test_indicate_sighandler_done);
QM_DECLARE_bool(use_alternate_stack_for_signal_handlers);

// System information and process maps.
ABSL_DECLARE_FLAG(std::string, procfs_prefix);
ABSL_DECLARE_FLAG(bool, dump_all_maps_on_failure);
// "$0" stands for a processor number.
QM_DECLARE_string(system_cpu_max_freq_file);

// Timing of the face-landmark pipeline.
QM_DECLARE_bool(measure_time);
QM_DECLARE_string(measure_time_filter);

// True once the start-up routine has parsed the command line; never cleared.
bool FlagsParsed();

namespace base_flags_internal {
// Sets the marker read by FlagsParsed(). Only the start-up routine calls it.
void MarkFlagsParsed();
}  // namespace base_flags_internal

#endif  // BASE_FLAGS_H_
