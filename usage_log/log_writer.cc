#include "usage_log/log_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <limits>

#include "platform/foundation/assertion_handler.h"
#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/foundation/ns_process_info.h"
#include "platform/utility/base_logger.h"
#include "usage_log/file_utility.h"
#include "usage_log/log_transformers.h"
#include "usage_log/openssl_init.h"

namespace {

// Before any thread of the host can start hashing.
[[maybe_unused]] const bool kOpenSslKeptPastExit = usage_log_internal::KeepOpenSslPastExit();

// A file younger than this is rotated at the next event of its context.
constexpr int64_t kRotationAgeMilliseconds = 600000;
// A file closed at this age or later keeps its ".tmp" name; the uploader takes such files.
constexpr int64_t kRenameAgeMilliseconds = 1200000;
// Events of this log source fail without a diagnostic.
constexpr int64_t kSilentLogSource = 327;

std::mutex class_mutex;
bool logs_written = false;  // guarded by class_mutex
std::map<int64_t, int64_t>* refused_event_counts = nullptr;  // guarded by class_mutex

void LogUnlessSilent(bool silent, const char* function, const std::string& format,
                     const platform::utility::FormatArguments& arguments = {}) {
  if (!silent) platform::utility::LogError(function, format, arguments);
}

}  // namespace

std::string JQXLogContextSerialization(const JQXLogContext& context) {
  std::string bytes;
  {
    google::protobuf::io::StringOutputStream output(&bytes);
    google::protobuf::io::CodedOutputStream coded(&output);
    coded.SetSerializationDeterministic(true);
    context.SerializeToCodedStream(&coded);
  }
  return bytes;
}

std::string JQXLogContextHashForFilePath(const JQXLogContext& context) {
  std::string bytes = JQXLogContextSerialization(context);
  usage_log_internal::KeepOpenSslPastExit();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

// --- JQXLogOutputStream --------------------------------------------------------------------------

std::shared_ptr<JQXLogOutputStream> JQXLogOutputStream::initWithURL(
    std::shared_ptr<NSURL> url, std::shared_ptr<JQXClockProtocol> clock) {
  if (url == nullptr) {
    NSAssert(false, "url must not be nil.");
    return nullptr;
  }
  if (clock == nullptr) {
    NSAssert(false, "clock must not be nil.");
    return nullptr;
  }
  std::string temporary = url->path() + ".tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd == -1) return nullptr;
  return std::make_shared<JQXLogOutputStream>(std::move(url), fd, std::move(clock));
}

JQXLogOutputStream::JQXLogOutputStream(std::shared_ptr<NSURL> destination, int fd,
                                       std::shared_ptr<JQXClockProtocol> clock)
    : creation_time_milliseconds_(clock->currentTimeMilliseconds()),
      destination_(std::move(destination)),
      temporary_file_(NSURL::fileURLWithPath(destination_->path() + ".tmp", false)),
      fd_(fd),
      clock_(std::move(clock)) {}

JQXLogOutputStream::~JQXLogOutputStream() { closeAndMaybeRename(); }

bool JQXLogOutputStream::writeLogEvent(const LogEvent& event) {
  if (is_closed_) {
    NSAssert(false, "Cannot write to closed output stream.");
    platform::utility::LogError(__PRETTY_FUNCTION__, "Cannot write to closed output stream.");
    return false;
  }
  std::string bytes = event.SerializeAsString();
  if (bytes.empty()) {
    platform::utility::LogError(__PRETTY_FUNCTION__, "Serialized LogEvent is empty. %@",
                                {"LogEvent with no field set"});
  }
  // The whole record in one buffer, so that one write() puts it in the file.
  std::string record;
  {
    google::protobuf::io::StringOutputStream output(&record);
    google::protobuf::io::CodedOutputStream coded(&output);
    coded.WriteVarint32(static_cast<uint32_t>(bytes.size()));
    coded.WriteRaw(bytes.data(), static_cast<int>(bytes.size()));
  }
  ssize_t written;
  do {
    written = write(fd_, record.data(), record.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(record.size())) {
    // A short write leaves part of a record: cut the file back to its whole records.
    if (ftruncate(fd_, good_size_) != 0) {
      platform::utility::LogError(__PRETTY_FUNCTION__, "Could not cut %@ back to %lld bytes.",
                                  {temporary_file_, static_cast<long long>(good_size_)});
    }
    return false;
  }
  good_size_ += static_cast<int64_t>(record.size());
  bytes_written_ += static_cast<int64_t>(bytes.size());
  return true;
}

void JQXLogOutputStream::closeAndMaybeRename() {
  if (is_closed_) return;
  is_closed_ = true;
  close(fd_);
  fd_ = -1;
  if (good_size_ == 0) {
    // Not one record made it (a full disk): the empty file goes instead of waiting for upload.
    unlink(temporary_file_->path().c_str());
    return;
  }
  if (clock_->currentTimeMilliseconds() < creation_time_milliseconds_ + kRenameAgeMilliseconds) {
    std::shared_ptr<NSError> error;
    if (!NSFileManager::defaultManager()->moveItemAtURL(*temporary_file_, *destination_,
                                                        &error)) {
      // The ".tmp" file stays: the uploader takes it once it is old enough.
      platform::utility::LogError(__PRETTY_FUNCTION__,
                                  "Could not move file from %@ to %@. Dropping logs",
                                  {temporary_file_, destination_});
    }
  }
}

// --- JQXLogWriter --------------------------------------------------------------------------------

std::shared_ptr<JQXLogWriter> JQXLogWriter::sharedInstance() {
  // Lives for the process: blocks still queued at exit may use it.
  static auto* shared = new std::shared_ptr<JQXLogWriter>(init());
  return *shared;
}

std::shared_ptr<JQXLogWriter> JQXLogWriter::init() {
  auto writer = std::make_shared<JQXLogWriter>();
  writer->startObserving();
  return writer;
}

JQXLogWriter::JQXLogWriter()
    : queue_(dispatch_queue_create(
          "JQXLogWriter",
          dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL, QOS_CLASS_UTILITY, 0))) {}

JQXLogWriter::~JQXLogWriter() {
  auto center = NSNotificationCenter::defaultCenter();
  for (const auto& token : observers_) center->removeObserver(token);
}

void JQXLogWriter::startObserving() {
  auto center = NSNotificationCenter::defaultCenter();
  std::weak_ptr<JQXLogWriter> weak = weak_from_this();
  auto observe = [&](const char* name, void (JQXLogWriter::*handler)()) {
    observers_.push_back(center->addObserverForName(
        name, nullptr, [weak, handler](const std::shared_ptr<NSNotification>&) {
          if (auto self = weak.lock()) ((*self).*handler)();
        }));
  };
  observe(UIApplicationDidEnterBackgroundNotification,
          &JQXLogWriter::applicationDidEnterBackground);
  observe(UIApplicationWillEnterForegroundNotification,
          &JQXLogWriter::applicationWillEnterForeground);
  observe(UIApplicationWillTerminateNotification, &JQXLogWriter::applicationWillTerminate);
}

void JQXLogWriter::startPendingLogOperation() {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  if (background_task_ == UIBackgroundTaskInvalid) {
    std::weak_ptr<JQXLogWriter> weak = weak_from_this();
    background_task_ = UIApplication::sharedApplication()->beginBackgroundTaskWithName(
        "JQXLogWriter", [weak] {
          auto self = weak.lock();
          if (self == nullptr) return;
          std::lock_guard<std::mutex> lock(self->pending_mutex_);
          if (self->background_task_ != UIBackgroundTaskInvalid) {
            UIApplication::sharedApplication()->endBackgroundTask(self->background_task_);
            self->background_task_ = UIBackgroundTaskInvalid;
          }
        });
  }
  ++pending_;
}

void JQXLogWriter::endPendingLogOperation() {
  std::lock_guard<std::mutex> lock(pending_mutex_);
  pending_ = pending_ > 0 ? pending_ - 1 : 0;
  if (pending_ == 0) {
    if (background_task_ != UIBackgroundTaskInvalid) {
      UIBackgroundTaskIdentifier task = background_task_;
      background_task_ = UIBackgroundTaskInvalid;
      UIApplication::sharedApplication()->endBackgroundTask(task);
    }
    pending_condition_.notify_all();
  }
}

void JQXLogWriter::waitForQueueToFinish() {
  std::unique_lock<std::mutex> lock(pending_mutex_);
  pending_condition_.wait(lock, [this] { return pending_ == 0; });
}

void JQXLogWriter::writeLog(std::shared_ptr<JQXTrassenLogEvent> event,
                            std::shared_ptr<ZRBPseudonymousIDStore> pseudonymousID,
                            std::shared_ptr<NSURL> logDirectory,
                            std::shared_ptr<JQXClockProtocol> clock,
                            const JQXTrassenLogTransformers& logTransformers) {
  if (event == nullptr) {
    NSAssert(false, "event must not be nil.");
    return;
  }
  if (clock == nullptr) {
    NSAssert(false, "clock must not be nil.");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(class_mutex);
    logs_written = true;
  }
  if (event->isAnonymousLog()) pseudonymousID.reset();
  startPendingLogOperation();
  auto self = shared_from_this();
  dispatch_async(queue_, [self, event, pseudonymousID, logDirectory, clock, logTransformers] {
    self->ensureAccessibilityCacheForWriteBlock(
        [self, event, pseudonymousID, logDirectory, clock, logTransformers] {
          self->writeLogInternal(event, pseudonymousID, logDirectory, clock, logTransformers);
          self->endPendingLogOperation();
        });
  });
}

void JQXLogWriter::ensureAccessibilityCacheForWriteBlock(std::function<void()> block) {
  if (!waiting_for_accessibility_cache_.empty()) {
    // A detour is under way: keep the writes in the order they were asked for.
    waiting_for_accessibility_cache_.push_back(std::move(block));
    return;
  }
  if (accessibility_cache_initialized_ ||
      JQXUIKitAXUtils::sharedInstance()->isCacheInitialized()) {
    accessibility_cache_initialized_ = true;
    block();
    return;
  }
  // Only the main thread may fill the cache: the first write of the process goes there and back.
  waiting_for_accessibility_cache_.push_back(std::move(block));
  auto self = shared_from_this();
  dispatch_async(dispatch_get_main_queue(), [self] {
    JQXUIKitAXUtils::sharedInstance()->initializeCache();
    dispatch_async(self->queue_, [self] {
      self->accessibility_cache_initialized_ = true;
      std::vector<std::function<void()>> blocks;
      blocks.swap(self->waiting_for_accessibility_cache_);
      for (const auto& waiting : blocks) waiting();
    });
  });
}

void JQXLogWriter::flush() {
  startPendingLogOperation();
  auto self = shared_from_this();
  dispatch_sync(queue_, [self] {
    self->flushInternal();
    self->endPendingLogOperation();
  });
}

void JQXLogWriter::invalidateOverridesInLogDirectory(std::shared_ptr<NSURL> url) {
  if (url == nullptr) return;
  auto self = shared_from_this();
  dispatch_async(queue_, [self, path = url->path()] { self->overrides_.erase(path); });
}

void JQXLogWriter::addGlobalLogTransformer(std::shared_ptr<JQXTrassenLogTransformer>) {
  std::lock_guard<std::mutex> lock(class_mutex);
  platform::utility::LogError(
      __PRETTY_FUNCTION__,
      logs_written ? "Cannot add a global log transformer after logs have already been written."
                   : "Cannot add a global log transformer that has not been approved.");
}

bool JQXLogWriter::isKnownLogSource(int64_t logSource) {
  return logSource >= std::numeric_limits<int>::min() &&
         logSource <= std::numeric_limits<int>::max() &&
         LogRequest_LogSource_IsValid(static_cast<int>(logSource));
}

void JQXLogWriter::countRefusedEvent(int64_t logSource) {
  std::lock_guard<std::mutex> lock(class_mutex);
  if (refused_event_counts == nullptr) refused_event_counts = new std::map<int64_t, int64_t>;
  ++(*refused_event_counts)[logSource];
}

std::map<int64_t, int64_t> JQXLogWriter::takeRefusedEventCounts() {
  std::lock_guard<std::mutex> lock(class_mutex);
  std::map<int64_t, int64_t> counts;
  if (refused_event_counts != nullptr) counts.swap(*refused_event_counts);
  return counts;
}

void JQXLogWriter::applicationDidEnterBackground() {
  startPendingLogOperation();
  auto self = shared_from_this();
  dispatch_async(queue_, [self] {
    self->flushInternal();
    self->endPendingLogOperation();
  });
}

void JQXLogWriter::applicationWillEnterForeground() { applicationDidEnterBackground(); }

void JQXLogWriter::applicationWillTerminate() { flush(); }

void JQXLogWriter::flushInternal() {
  for (auto& [directory, streams] : output_streams_) {
    for (auto& [key, stream] : streams) stream->closeAndMaybeRename();
  }
  output_streams_.clear();
}

void JQXLogWriter::writeLogInternal(const std::shared_ptr<JQXTrassenLogEvent>& original,
                                    const std::shared_ptr<ZRBPseudonymousIDStore>& pseudonymousID,
                                    std::shared_ptr<NSURL> logDirectory,
                                    const std::shared_ptr<JQXClockProtocol>& clock,
                                    const JQXTrassenLogTransformers& logTransformers) {
  const char* const kMethod = "JQXLogWriter::writeLogInternal";
  const bool silent = original->logSource() == kSilentLogSource;
  if (logDirectory == nullptr) logDirectory = JQXTrassenFileUtility::defaultLogDirectory();
  if (logDirectory == nullptr) {
    LogUnlessSilent(silent, kMethod, "Could not access log directory, dropping log");
    return;
  }
  if (!JQXTrassenFileUtility::ensureLogDirectory(logDirectory)) {
    LogUnlessSilent(silent, kMethod, "Could not create log directory, dropping log");
    return;
  }
  const std::string directory_key = logDirectory->path();

  auto& overrides = overrides_[directory_key];
  if (overrides == nullptr) overrides = JQXQosTierOverrides::initWithLogDirectory(logDirectory);
  if (auto tier = overrides->overrideForLogSource(original->logSource())) {
    original->setQosTier(*tier);
  }

  std::shared_ptr<JQXTrassenLogEvent> event = original;
  for (const auto& transformer : logTransformers) {
    if (transformer == nullptr) continue;
    event = transformer->transform(event);
    if (event == nullptr) return;  // dropped on purpose: no diagnostic
  }
  const bool event_silent = event->logSource() == kSilentLogSource;
  if (!isKnownLogSource(event->logSource())) {
    // A context cannot name this source. Loggers refuse such events before they get here.
    countRefusedEvent(event->logSource());
    if (reported_unknown_log_sources_.insert(event->logSource()).second) {
      platform::utility::LogError(kMethod, "Unknown log source %lld, dropping its logs.",
                                  {static_cast<long long>(event->logSource())});
    }
    return;
  }

  JQXLogContext context;
  context.set_obfuscated_hollin_id(event->obfuscatedHollinID());
  context.set_log_source(static_cast<LogRequest_LogSource>(event->logSource()));
  if (pseudonymousID != nullptr) {
    if (auto id = pseudonymousID->pseudonymousID()) context.set_pseudonymous_id(*id);
  }
  std::unique_ptr<ClientInfo> client_info = client_info_maker_.makeClientInfo();
  client_info->set_client_type(ClientInfo::IosV2);
  *context.mutable_client_info() = *client_info;
  context.set_qos_tier(static_cast<int32_t>(event->qosTier()));
  context.set_is_anonymous(event->isAnonymousLog());
  if (uint32_t code = QDLInfoPlistQuendalIDCode(); code != 0) {
    context.set_app_quendal_id_code(code);
  }
  const std::string key = JQXLogContextSerialization(context);

  auto report_dropped = [&] {
    LogUnlessSilent(event_silent, kMethod,
                    "Could not write log for log source %li to disk, dropping log.",
                    {static_cast<long>(event->logSource())});
  };
  auto stream = outputStreamForContext(context, key, *logDirectory, clock, event_silent);
  if (stream == nullptr) {
    report_dropped();
    return;
  }
  auto& streams = output_streams_[directory_key];
  if (stream->creationTimeMilliseconds() + kRotationAgeMilliseconds <
      clock->currentTimeMilliseconds()) {
    stream->closeAndMaybeRename();
    streams.erase(key);
    stream = outputStreamForContext(context, key, *logDirectory, clock, event_silent);
    if (stream == nullptr) {
      report_dropped();
      return;
    }
  }
  if (!stream->writeLogEvent(*event->toLogEventProto())) {
    // The file keeps its whole records and is finished; the next event starts a new one.
    stream->closeAndMaybeRename();
    streams.erase(key);
    report_dropped();
  }
}

std::shared_ptr<JQXLogOutputStream> JQXLogWriter::outputStreamForContext(
    const JQXLogContext& context, const std::string& key, const NSURL& logDirectory,
    const std::shared_ptr<JQXClockProtocol>& clock, bool silent) {
  auto& streams = output_streams_[logDirectory.path()];
  auto it = streams.find(key);
  if (it != streams.end()) return it->second;
  auto stream = createOutputStreamForContext(context, key, logDirectory, clock, silent);
  if (stream != nullptr) streams[key] = stream;
  return stream;
}

std::shared_ptr<JQXLogOutputStream> JQXLogWriter::createOutputStreamForContext(
    const JQXLogContext& context, const std::string& key, const NSURL& logDirectory,
    const std::shared_ptr<JQXClockProtocol>& clock, bool silent) {
  const char* const kMethod = "JQXLogWriter::createOutputStreamForContext";
  static const std::string bundle_id = NSBundle::mainBundle()->bundleIdentifier();
  auto folder = logDirectory.URLByAppendingPathComponent(std::to_string(context.qos_tier()), true)
                    ->URLByAppendingPathComponent(
                        bundle_id + "-" + JQXLogContextHashForFilePath(context), true);
  auto directory = NSURL::fileURLWithPath(logDirectory.path(), true);
  if (!JQXTrassenFileUtility::ensureLogDirectory(directory)) {
    LogUnlessSilent(silent, kMethod, "Failed to create Trassen log directory.");
    return nullptr;
  }
  std::shared_ptr<NSError> error;
  if (!NSFileManager::defaultManager()->createDirectoryAtURL(*folder, true, {}, &error)) {
    LogUnlessSilent(silent, kMethod, "Failed to create Trassen output directory: %@", {error});
    return nullptr;
  }
  auto context_file = folder->URLByAppendingPathComponent("context", false);
  auto existing = NSDataWithContentsOfURL(*context_file, nullptr);
  if (existing.has_value()) {
    JQXLogContext stored;
    if (!stored.ParseFromArray(existing->data(), static_cast<int>(existing->size()))) {
      LogUnlessSilent(silent, kMethod, "Failed to read JQXLogContext file: %@",
                      {"the bytes of " + context_file->path() + " are not a JQXLogContext"});
      return nullptr;
    }
    if (JQXLogContextSerialization(stored) != key) {
      LogUnlessSilent(silent, kMethod,
                      "JQXLogContext hash collision. This should be rare. Dropping log.");
      return nullptr;
    }
  } else {
    std::vector<uint8_t> bytes(key.begin(), key.end());
    if (!NSDataWriteToURL(bytes, *context_file, NSDataWritingAtomic, nullptr)) {
      LogUnlessSilent(silent, kMethod, "Failed to write JQXLogContext: %@", {context_file});
      return nullptr;
    }
  }
  auto file = folder->URLByAppendingPathComponent(
      NSProcessInfo::processInfo()->globallyUniqueString(), false);
  auto stream = JQXLogOutputStream::initWithURL(file, clock);
  if (stream == nullptr) {
    LogUnlessSilent(silent, kMethod, "Failed to open Trassen log file: %@", {file});
  }
  return stream;
}
