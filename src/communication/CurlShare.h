#pragma once

#include <curl/curl.h>

#include <array>
#include <memory>
#include <mutex>

namespace velk::comm {

// The process's one libcurl share: TLS sessions and resolved names, so a poll after the first
// resumes its TLS session instead of doing a full handshake. Created once in main after
// curl_global_init and owned there; handles attach to it through current() for one transfer
// at a time, and libcurl holds the locks below only while it reads or writes those caches.
// Connections are never shared: libcurl would need every transfer to wait for the others, so
// each thread keeps its own (see HttpConnection). It never changes what a transfer verifies.
class CurlShare {
  public:
    CurlShare();
    ~CurlShare();

    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    // The share to attach new handles to, or null when there is none (tests, a failed init).
    static CURLSH* current();

  private:
    struct Locks {
        std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes;
    };
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* userptr);
    static void unlock(CURL* handle, curl_lock_data data, void* userptr);

    std::unique_ptr<Locks> locks;
    CURLSH* share = nullptr;
};

}  // namespace velk::comm
