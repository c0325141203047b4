// OpenSSL frees its locks and algorithm tables from an exit handler, unless its first
// initialisation says otherwise. Events are hashed on background queues that may still be busy
// while the host process exits, and must not find the digest torn down under them.

#ifndef QUILLMERE_USAGE_LOG_OPENSSL_INIT_H_
#define QUILLMERE_USAGE_LOG_OPENSSL_INIT_H_

#include <openssl/crypto.h>

namespace usage_log_internal {

// Initialises OpenSSL once, without its exit-time clean-up. Called when the library loads and
// again before each digest, in case the first call came too late to matter.
inline bool KeepOpenSslPastExit() {
  static const bool initialised = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;
  return initialised;
}

}  // namespace usage_log_internal

#endif  // QUILLMERE_USAGE_LOG_OPENSSL_INIT_H_
