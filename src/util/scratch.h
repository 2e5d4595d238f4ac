// The scratch folder /var/vastrel and the lock that keeps upload runs apart.
#pragma once

namespace util {

constexpr const char* kScratchFolder = "/var/vastrel";
constexpr const char* kCurlError = "/var/vastrel/curl_error";
constexpr const char* kLockFile = "/var/vastrel/lock";
// The integrator's curl settings (TLS, CA, proxy), read by every curl the
// program runs ahead of its own configuration; the program never writes it.
constexpr const char* kCurlConfig = "/var/vastrel/curl_config";

// Creates the scratch folder (mode 0700) when it is missing; every
// redirection into it fails otherwise. Logs and returns false on failure.
bool ensure_scratch_folder();

// Empties a scratch file so that it cannot carry an earlier tool's text.
void empty_file(const char* path);

// Holds the exclusive upload lock for as long as it lives.
class RunLock {
 public:
  RunLock() = default;
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  // False when another run holds the lock (logged at LOG_NOTICE) or the
  // lock file cannot be opened (logged at LOG_ERR).
  bool take(const char* path);
  // After a failed take: another run held the lock.
  bool busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};

}  // namespace util
