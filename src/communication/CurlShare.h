#pragma once

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>

namespace velk::comm {

// The process's one libcurl share: TLS sessions, resolved names and, where libcurl supports
// it, open connections, so a poll after the first resumes its TLS session instead of doing a
// full handshake. Created once in main after curl_global_init and owned there; every thread's
// handles attach to it through current(), and libcurl serialises them with the locks below.
// libcurl does not support one connection cache used by concurrent threads, so while it is
// shared, transfers take turns (serializeTransfer). It never changes what a transfer verifies.
class CurlShare {
  public:
    CurlShare();
    ~CurlShare();

    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    // The share to attach new handles to, or null when there is none (tests, a failed init).
    static CURLSH* current();
    // Held from before a handle is made until after it is cleaned up; empty when no
    // connection cache is shared.
    static std::unique_lock<std::mutex> serializeTransfer();

    bool sharesConnections() const { return connections; }

  private:
    struct Locks {
        std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes;
    };
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* userptr);
    static void unlock(CURL* handle, curl_lock_data data, void* userptr);

    std::unique_ptr<Locks> locks;
    std::mutex transfers;
    CURLSH* share = nullptr;
    bool connections = false;
};

}  // namespace velk::comm
