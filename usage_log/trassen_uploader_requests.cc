// Requests, responses and clean-up of the uploader, on the uploader queue (except the first
// half of a fetch's completion, on the fetcher's thread).
#include <algorithm>
#include <limits>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include "platform/foundation/ns_data.h"
#include "platform/foundation/ns_date.h"
#include "platform/foundation/ns_file_manager.h"
#include "platform/utility/base_logger.h"
#include "platform/utility/gzip.h"
#include "usage_log/trassen_uploader.h"
#include "usage_log/trassen_uploader_internal.h"

namespace {

using trassen_uploader_internal::IsTierFolderName;
using trassen_uploader_internal::kMetaCountersLogSource;
using trassen_uploader_internal::SaturatingAdd;

constexpr long kStatusMultiStatus = 207;
constexpr long kStatusBadRequest = 400;
constexpr long kStatusInsufficientStorage = 507;

// The file's whole content, read past any cache; none when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWhole(const NSURL& url) {
  return NSDataWithContentsOfURL(url, nullptr);
}

// The action of a per-request detail as sent: a value this build does not know stays in the
// message's unknown fields, and must still read as itself (it keeps the file), not as 0.
int64_t ResponseActionOf(const LogResponseDetails& details) {
  if (details.has_response_action()) return details.response_action();
  const std::string& unknown = details.unknown_fields();
  google::protobuf::io::CodedInputStream input(
      reinterpret_cast<const uint8_t*>(unknown.data()), static_cast<int>(unknown.size()));
  int64_t action = LogResponseDetails::ResponseActionUnknown;
  while (uint32_t tag = input.ReadTag()) {
    if (tag == (2u << 3)) {  // field 2, varint
      uint64_t value;
      if (!input.ReadVarint64(&value)) break;
      action = static_cast<int64_t>(value);
    } else if (!google::protobuf::internal::WireFormatLite::SkipField(&input, tag)) {
      break;
    }
  }
  return action;
}

std::shared_ptr<NSError> ResponseParseError() {
  return NSError::errorWithDomain(
      NSCocoaErrorDomain, NSCoderReadCorruptError,
      {{NSLocalizedDescriptionKey, std::string("The response is not a LogResponse.")}});
}

}  // namespace

void JQXTrassenUploader::uploadNonBatch(const std::shared_ptr<JQXLogFile>& logFile) {
  auto self = shared_from_this();
  auto content = ReadWhole(*logFile->url());
  if (!content.has_value() || content->empty()) {
    platform::utility::LogError(__func__, "File missing at %@", {logFile->url()->path()});
    dispatch_async(queue_, [self] { self->uploadNext(); });
    return;
  }
  const int64_t now = clock_->currentTimeMilliseconds();
  meta_logger_->logRequestUploadDelayWithCurrentTime(now, *logFile);
  auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
  auto request = createLogRequest(logFile, *content, *state, now);
  if (request == nullptr) {
    dispatch_async(queue_, [self] { self->uploadNext(); });
    return;
  }
  current_fetcher_ = createFetcher(server_url_, *logFile->context(), request->SerializeAsString(),
                                   {logFile}, now);
  if (current_fetcher_ == nullptr) {
    dispatch_async(queue_, [self] { self->uploadNext(); });
    return;
  }
  beginFetch(current_fetcher_, logFile->context(), {logFile}, false);
}

void JQXTrassenUploader::uploadBatch(const std::shared_ptr<JQXLogContext>& batchContext,
                                     const JQXLogFiles& files) {
  auto self = shared_from_this();
  const int64_t now = clock_->currentTimeMilliseconds();
  BatchedLogRequest batch;
  batch.set_enable_per_request_status(true);
  auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
  JQXLogFiles sent;
  for (const auto& file : files) {
    meta_logger_->logRequestUploadDelayWithCurrentTime(now, *file);
    auto content = ReadWhole(*file->url());
    if (!content.has_value() || content->empty()) continue;
    auto request = createLogRequest(file, *content, *state, now);
    if (request == nullptr) {
      // The whole group waits for a later run.
      dispatch_async(queue_, [self] { self->uploadNext(); });
      return;
    }
    *batch.add_log_request() = std::move(*request);
    sent.push_back(file);
  }
  current_fetcher_ =
      createFetcher(batch_server_url_, *batchContext, batch.SerializeAsString(), sent, now);
  if (current_fetcher_ == nullptr) {
    dispatch_async(queue_, [self] { self->uploadNext(); });
    return;
  }
  beginFetch(current_fetcher_, batchContext, sent, true);
}

void JQXTrassenUploader::beginFetch(const std::shared_ptr<platform::fetcher::Fetcher>& fetch,
                                    std::shared_ptr<const JQXLogContext> context,
                                    JQXLogFiles files, bool isBatched) {
  const int64_t request_time = clock_->currentTimeMilliseconds();
  auto self = shared_from_this();
  std::weak_ptr<platform::fetcher::Fetcher> weak_fetch = fetch;
  fetch->beginFetchWithCompletionHandler(
      [self, weak_fetch, context, files, request_time, isBatched](
          std::optional<std::vector<uint8_t>> data, std::shared_ptr<NSError> error) {
        auto fetch = weak_fetch.lock();
        if (fetch == nullptr) return;
        auto response = fetch->response();
        self->meta_logger_->logRequestContentLength(*context, *fetch->request());
        self->meta_logger_->logResponse(response.get(), *context,
                                        static_cast<uint64_t>(request_time),
                                        static_cast<uint64_t>(self->clock_->currentTimeMilliseconds()));
        if (!context->is_anonymous() && response != nullptr) {
          self->pseudonymous_id_store_->setPseudonymousIDFromResponse(*response);
        }
        const long status = fetch->statusCode();
        dispatch_async(self->queue_, [self, fetch, data = std::move(data), context, files,
                                      request_time, isBatched, error, status] {
          self->processResponse(data, context, files, request_time, isBatched, error, status,
                                fetch == self->current_fetcher_);
        });
      });
}

std::shared_ptr<LogRequest> JQXTrassenUploader::createLogRequest(
    const std::shared_ptr<JQXLogFile>& logFile, const std::vector<uint8_t>& logData,
    const JQXUploaderState& uploaderState, int64_t currentTimeMilliseconds) {
  const JQXLogContext& context = *logFile->context();
  auto request = std::make_shared<LogRequest>();
  request->set_log_source(context.log_source());
  request->add_serialized_log_events(logData.data(), logData.size());
  if (context.has_client_info()) *request->mutable_client_info() = context.client_info();
  if (!context.pseudonymous_id().empty() && !context.is_anonymous()) {
    request->set_tovrick_cookie(context.pseudonymous_id());
  }
  request->set_request_time_ms(currentTimeMilliseconds);
  request->set_request_uptime_ms(currentTimeMilliseconds - clock_->bootTimeMilliseconds());
  if (uploaderState.collect_for_debug_expiry_time_milliseconds() > 0) {
    request->mutable_collect_for_debug()->set_collect_until_ms(
        uploaderState.collect_for_debug_expiry_time_milliseconds());
  }
  if (uploaderState.collect_for_debug_start_time_milliseconds() > 0) {
    request->mutable_collect_for_debug()->set_collect_start_ms(
        uploaderState.collect_for_debug_start_time_milliseconds());
  }
  if (context.has_app_quendal_id_code()) request->set_app_quendal_id(context.app_quendal_id_code());
  if (request_filter_ != nullptr) {
    request = request_filter_->filterLogRequest(std::move(request));
    if (request == nullptr) {
      if (!NSFileManager::defaultManager()->removeItemAtURL(*logFile->url(), nullptr)) {
        platform::utility::LogError(__func__,
                                    "Could not delete an invalid log file we just read! File: %@",
                                    {logFile->url()->description()});
      }
      return nullptr;
    }
  }
  return request;
}

std::shared_ptr<platform::fetcher::Fetcher> JQXTrassenUploader::createFetcher(
    const std::shared_ptr<NSURL>& url, const JQXLogContext& context, const std::string& data,
    const JQXLogFiles& logFiles, int64_t currentTimeMilliseconds) {
  auto request = NSMutableURLRequest::requestWithURL(url->absoluteString());
  request->setHTTPMethod("POST");
  bool allows_cellular = true;
  if (context.qos_tier() == 1) {  // unmetered only, unless a file has waited a whole period
    const int64_t period = flags_->unmeteredOrDailyPeriodMilliseconds();
    allows_cellular = std::any_of(logFiles.begin(), logFiles.end(), [&](const auto& file) {
      return currentTimeMilliseconds >= SaturatingAdd(file->creationTimeMilliseconds(), period);
    });
  }
  if (!context.is_anonymous()) pseudonymous_id_store_->updateRequestWithPseudonymousID(*request);
  request->setValue("gzip", "Content-Encoding");
  if (auto token = flags_->serverToken(); token.has_value() && !token->empty()) {
    request->setValue(*token, "X-SERVER-TOKEN");
  }
  auto fetch = platform::fetcher::Fetcher::fetcherWithRequest(request);
  std::shared_ptr<platform::fetcher::Authorizer> authorization;
  if (!context.obfuscated_hollin_id().empty()) {
    if (authorizer_ == nullptr) return nullptr;
    authorization = authorizer_->authorizationForObfuscatedHollinID(context.obfuscated_hollin_id());
    if (authorization == nullptr) {
      platform::utility::LogError(
          __func__, "Authorizer for account %@ is nil, skipping upload to logsource %li.",
          {context.obfuscated_hollin_id(), static_cast<long>(context.log_source())});
      return nullptr;
    }
  }
  std::shared_ptr<NSError> error;
  auto compressed =
      platform::utility::GzipData(std::vector<uint8_t>(data.begin(), data.end()), &error);
  if (!compressed.has_value()) {
    platform::utility::LogError(__func__, "Could not compress Trassen log request: %@",
                                {error ? error->description() : std::string("unknown")});
    last_error_ = error;
    return nullptr;
  }
  fetch->setAuthorizer(authorization);
  fetch->setBodyData(std::move(*compressed));
  fetch->setComment("JQXTrassenUploader");
  fetch->setCookieStorage(platform::fetcher::CookieStorage::make());
  fetch->setRetryEnabled(false);
  fetch->setAllowsCellularAccess(allows_cellular);
  return fetch;
}

void JQXTrassenUploader::processResponse(const std::optional<std::vector<uint8_t>>& data,
                                         const std::shared_ptr<const JQXLogContext>& context,
                                         const JQXLogFiles& logFiles, int64_t requestTime,
                                         bool /*isBatched*/, const std::shared_ptr<NSError>& error,
                                         long statusCode, bool isCurrent) {
  // A response that arrives after its run ended (cancelled) still decides about its files and
  // the state, but the run that may be going on now is not its to continue.
  auto next = [&] {
    if (isCurrent) uploadNext();
  };
  if (error != nullptr && error->domain() == NSURLErrorDomain &&
      error->code() == NSURLErrorDataNotAllowed) {
    next();
    return;
  }
  std::optional<LogResponse> response;
  if (error != nullptr) {
    if (isCurrent) last_error_ = error;
  } else if (data.has_value()) {
    LogResponse parsed;
    if (parsed.ParseFromArray(data->data(), static_cast<int>(data->size()))) {
      response = std::move(parsed);
    } else {
      auto parse_error = ResponseParseError();
      platform::utility::LogError(__func__, "Could not parse response from Trassen: %@",
                                  {parse_error->description()});
      if (isCurrent) last_error_ = parse_error;
    }
  }

  if ((error == nullptr && statusCode != kStatusMultiStatus) || statusCode == kStatusBadRequest) {
    deleteLogFiles(logFiles);
  } else if (statusCode == kStatusMultiStatus) {
    std::vector<int64_t> actions(logFiles.size(), LogResponseDetails::DeleteRequest);
    if (response.has_value()) {
      for (const auto& details : response->log_response_details()) {
        const int64_t index = details.log_request_index();
        if (index >= 0 && index < static_cast<int64_t>(logFiles.size())) {
          actions[static_cast<size_t>(index)] = ResponseActionOf(details);
        }
      }
    }
    JQXLogFiles accepted;
    for (size_t i = 0; i < logFiles.size(); ++i) {
      if (actions[i] == LogResponseDetails::ResponseActionUnknown ||
          actions[i] == LogResponseDetails::DeleteRequest) {
        accepted.push_back(logFiles[i]);
      }
    }
    deleteLogFiles(accepted);
  }

  if (response.has_value()) updateStateWithResponse(*response, *context, requestTime);

  if (error == nullptr) {
    next();
  } else if ((statusCode >= 500 && statusCode != kStatusInsufficientStorage) || statusCode == 0) {
    if (isCurrent) finishUploadAndCallHandlers();
  } else {
    next();
  }
}

void JQXTrassenUploader::deleteLogFiles(const JQXLogFiles& files) {
  for (const auto& file : files) {
    if (!NSFileManager::defaultManager()->removeItemAtURL(*file->url(), nullptr)) {
      platform::utility::LogError("processResponse",
                                  "Could not delete a file we just read! File: %@",
                                  {file->url()->description()});
    }
  }
}

void JQXTrassenUploader::updateStateWithResponse(const LogResponse& response,
                                                 const JQXLogContext& context,
                                                 int64_t requestTime) {
  auto state = JQXTrassenFileUtility::uploaderStateInLogDirectory(*log_directory_);
  state->set_last_upload_time_milliseconds(requestTime);
  // The service's wait is outside input: a huge wait saturates instead of wrapping around.
  state->set_next_upload_time_milliseconds(
      SaturatingAdd(requestTime, response.next_request_wait_millis()));
  if (context.qos_tier() == 0) state->set_last_default_upload_time_milliseconds(requestTime);
  bool overrides_changed = false;
  if (response.has_qos_tier()) {
    if (!state->has_qos_tier() ||
        state->qos_tier().qos_tier_fingerprint() != response.qos_tier().qos_tier_fingerprint()) {
      *state->mutable_qos_tier() = response.qos_tier();
      overrides_changed = true;
    }
  } else if (state->has_qos_tier()) {
    state->clear_qos_tier();
    overrides_changed = true;
  }
  if (!JQXTrassenFileUtility::ensureLogDirectory(log_directory_)) return;
  const std::string bytes = state->SerializeAsString();
  const bool written = NSDataWriteToURL(
      std::vector<uint8_t>(bytes.begin(), bytes.end()),
      *JQXTrassenFileUtility::uploaderStateFileInLogDirectory(*log_directory_),
      NSDataWritingAtomic, nullptr);
  if (written && overrides_changed) log_writer_->invalidateOverridesInLogDirectory(log_directory_);
}

void JQXTrassenUploader::cleanupOldLogFiles() {
  JQXLogFiles files;
  int64_t total = 0;
  forEachEligibleLogFile([&](const std::shared_ptr<JQXLogFile>& file) {
    files.push_back(file);
    total += static_cast<int64_t>(file->fileSize());
  });
  const int64_t limit = flags_->maxStorageSizeBytes();
  if (total <= limit) return;
  std::stable_sort(files.begin(), files.end(), [](const auto& a, const auto& b) {
    return a->creationTimeMilliseconds() < b->creationTimeMilliseconds();
  });
  JQXLogFiles chosen;
  for (const auto& file : files) {
    if (total <= limit) break;
    // The meta counters are never given up for space.
    if (file->context()->log_source() == kMetaCountersLogSource) continue;
    chosen.push_back(file);
    total -= static_cast<int64_t>(file->fileSize());
  }
  if (chosen.empty()) return;
  meta_logger_->logDeletingOverSizeLogFiles(chosen);
  for (const auto& file : chosen) {
    std::shared_ptr<NSError> error;
    if (!NSFileManager::defaultManager()->removeItemAtURL(*file->url(), &error)) {
      platform::utility::LogError(__func__, "Could not delete log file: %@",
                                  {error ? error->localizedDescription() : std::string()});
    }
  }
}

void JQXTrassenUploader::cleanupEmptyDirectories() {
  const int64_t now = clock_->currentTimeMilliseconds();
  const int64_t old_period = flags_->directoryConsideredOldPeriodMilliseconds();
  auto tiers = JQXTrassenFileUtility::directoryContents(*log_directory_);
  if (!tiers.has_value()) return;
  auto manager = NSFileManager::defaultManager();
  for (const auto& tier : *tiers) {
    if (!IsTierFolderName(tier->lastPathComponent())) continue;
    auto folders = manager->contentsOfDirectoryAtURL(*tier, 0, nullptr);
    if (!folders.has_value()) continue;
    for (const auto& folder : *folders) {
      auto entries = manager->contentsOfDirectoryAtURL(*folder, 0, nullptr);
      if (!entries.has_value() || entries->size() >= 2) continue;
      std::any value;
      if (!folder->getResourceValue(&value, NSURLContentModificationDateKey, nullptr)) continue;
      const auto* date = std::any_cast<std::shared_ptr<NSDate>>(&value);
      if (date == nullptr || *date == nullptr) continue;
      const auto modified = static_cast<int64_t>((*date)->timeIntervalSince1970() * 1000.0);
      if (SaturatingAdd(modified, old_period) >= now) continue;
      std::shared_ptr<NSError> error;
      if (!manager->removeItemAtURL(*folder, &error)) {
        platform::utility::LogError(__func__, "Could not remove old directory: %@",
                                    {error ? error->description() : std::string()});
      }
    }
  }
}
