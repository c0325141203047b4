// The log writer: the one object of the process that turns usage events into log files.
//
// Loggers hand it events (trassen_logger.h). On its serial queue "JQXLogWriter" it applies the
// log directory's QoS tier overrides, runs the logger's transformers, works out the event's
// context (account, log source, pseudonymous identifier, client information, tier, anonymity,
// app registry code) and appends the event to the open file of that context:
//
//   D/T/B-H/"context"   the context's encoding (H = its MD5 in hex, T its tier, B the bundle id)
//   D/T/B-H/N.tmp       the file being written: records of a varint length and a LogEvent
//   D/T/B-H/N           a finished file, renamed when closed
//
// A record is one buffer handed to one write() as soon as the event is written, so an event
// whose write succeeded is in the file even if the process dies right after, and a file holds
// whole records only: after a failed or short write the file is cut back to its last whole
// record, closed, and the event is dropped (logged); the next event opens a new file. A file is
// closed when it is older than ten minutes at the next event of its context, at every flush and
// when the app enters the background, comes to the foreground or terminates; it keeps its ".tmp"
// name when it is closed twenty minutes or more after it was made, which is how the uploader
// finds it. While writes are pending the writer holds one background task, "JQXLogWriter".
//
// Problems drop the one event concerned and are logged at error level through the shared base
// logger (events of log source 327 fail silently); nothing reaches the logger, and the process
// never stops. An event whose log source is not a value of the log-source enumeration is refused
// and counted (isKnownLogSource).
#ifndef USAGE_LOG_LOG_WRITER_H_
#define USAGE_LOG_LOG_WRITER_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/foundation/ns_notification_center.h"
#include "platform/uikit/ui_application.h"
#include "usage_base/client_info.h"
#include "usage_log/log_local.pb.h"
#include "usage_log/trassen_flags.h"
#include "usage_log/trassen_logger.h"

// The deterministic encoding of a context: what the "context" file holds and what identifies the
// context (equality, folder digest).
std::string JQXLogContextSerialization(const JQXLogContext& context);
// The MD5 of that encoding as 32 lower-case hex digits.
std::string JQXLogContextHashForFilePath(const JQXLogContext& context);

// One log file being written.
class JQXLogOutputStream {
 public:
  // Opens destination + ".tmp" for writing (an existing file is truncated); null when it cannot
  // be opened.
  static std::shared_ptr<JQXLogOutputStream> initWithURL(std::shared_ptr<NSURL> url,
                                                         std::shared_ptr<JQXClockProtocol> clock);
  ~JQXLogOutputStream();

  // Appends one record with one write(). False when the stream is closed or the write failed
  // (the file is then cut back to its last whole record).
  bool writeLogEvent(const LogEvent& event);
  // Closes the file and renames it to its final name when it is younger than 1,200,000 ms.
  void closeAndMaybeRename();

  bool isClosed() const { return is_closed_; }
  int64_t creationTimeMilliseconds() const { return creation_time_milliseconds_; }
  int64_t bytesWritten() const { return bytes_written_; }
  const std::shared_ptr<NSURL>& destination() const { return destination_; }
  const std::shared_ptr<NSURL>& temporaryFile() const { return temporary_file_; }

  JQXLogOutputStream(std::shared_ptr<NSURL> destination, int fd,
                     std::shared_ptr<JQXClockProtocol> clock);

 private:
  bool is_closed_ = false;
  const int64_t creation_time_milliseconds_;
  int64_t bytes_written_ = 0;
  // The file's size after the last whole record.
  int64_t good_size_ = 0;
  const std::shared_ptr<NSURL> destination_;
  const std::shared_ptr<NSURL> temporary_file_;
  int fd_;
  const std::shared_ptr<JQXClockProtocol> clock_;
};

class JQXLogWriter : public std::enable_shared_from_this<JQXLogWriter> {
 public:
  // The process's writer, made at the first call.
  static std::shared_ptr<JQXLogWriter> sharedInstance();
  // A writer of its own (tests); it observes the application notifications while it lives.
  static std::shared_ptr<JQXLogWriter> init();
  ~JQXLogWriter();

  // Queues the event; returns at once. A missing directory means the default log directory; an
  // anonymous event never reads the pseudonymous identifier.
  void writeLog(std::shared_ptr<JQXTrassenLogEvent> event,
                std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousID,
                std::shared_ptr<NSURL> logDirectory, std::shared_ptr<JQXClockProtocol> clock,
                const JQXTrassenLogTransformers& logTransformers);
  // Closes every open file; returns when they are closed. Not from the writer's queue.
  void flush();
  // The next write into the directory reads its overrides again.
  void invalidateOverridesInLogDirectory(std::shared_ptr<NSURL> url);
  // Blocks until no write or flush is pending.
  void waitForQueueToFinish();
  // Refused: there are no process-wide transformers.
  static void addGlobalLogTransformer(std::shared_ptr<JQXTrassenLogTransformer> transformer);

  // Whether a log context can name `logSource`: it is a value of the log-source enumeration.
  // An event of any other source is refused (loggers report the first they refuse) and counted
  // per source until the meta logger takes the counts for its counter of dropped events.
  static bool isKnownLogSource(int64_t logSource);
  static void countRefusedEvent(int64_t logSource);
  // The refused events per log source since the previous call.
  static std::map<int64_t, int64_t> takeRefusedEventCounts();

  void applicationDidEnterBackground();
  void applicationWillEnterForeground();
  void applicationWillTerminate();

  // Use the factories above.
  JQXLogWriter();

 private:
  void startObserving();
  void startPendingLogOperation();
  void endPendingLogOperation();
  void ensureAccessibilityCacheForWriteBlock(std::function<void()> block);
  void writeLogInternal(const std::shared_ptr<JQXTrassenLogEvent>& event,
                        const std::shared_ptr<ZRBPseudonymousIDStore>& pseudonymousID,
                        std::shared_ptr<NSURL> logDirectory,
                        const std::shared_ptr<JQXClockProtocol>& clock,
                        const JQXTrassenLogTransformers& logTransformers);
  std::shared_ptr<JQXLogOutputStream> outputStreamForContext(
      const JQXLogContext& context, const std::string& key, const NSURL& logDirectory,
      const std::shared_ptr<JQXClockProtocol>& clock, bool silent);
  std::shared_ptr<JQXLogOutputStream> createOutputStreamForContext(
      const JQXLogContext& context, const std::string& key, const NSURL& logDirectory,
      const std::shared_ptr<JQXClockProtocol>& clock, bool silent);
  void flushInternal();

  // The pending-operation count and the background task, guarded by pending_mutex_.
  std::mutex pending_mutex_;
  std::condition_variable pending_condition_;
  long pending_ = 0;
  UIBackgroundTaskIdentifier background_task_ = UIBackgroundTaskInvalid;

  // Only touched on the queue.
  bool accessibility_cache_initialized_ = false;
  // Writes that wait for the main thread to fill the accessibility cache, in order.
  std::vector<std::function<void()>> waiting_for_accessibility_cache_;
  dispatch_queue_t queue_;
  // Log directory path -> context encoding -> open file.
  std::map<std::string, std::map<std::string, std::shared_ptr<JQXLogOutputStream>>> output_streams_;
  JQXClientInfoMaker client_info_maker_;
  std::map<std::string, std::shared_ptr<JQXQosTierOverrides>> overrides_;
  std::vector<std::shared_ptr<NSNotificationObserverToken>> observers_;
  // Unknown log sources this writer has reported (events that did not come through a logger).
  std::set<int64_t> reported_unknown_log_sources_;
};

#endif  // USAGE_LOG_LOG_WRITER_H_
