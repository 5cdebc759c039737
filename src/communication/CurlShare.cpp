#include "communication/CurlShare.h"

#include <atomic>

namespace velk::comm {

namespace {

std::atomic<CurlShare*> published{nullptr};

}  // namespace

CurlShare::CurlShare() : locks(std::make_unique<Locks>()), share(curl_share_init()) {
    if (share == nullptr) {
        return;
    }
    curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
    curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
    curl_share_setopt(share, CURLSHOPT_USERDATA, locks.get());
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    published.store(this);
}

CurlShare::~CurlShare() {
    CurlShare* expected = this;
    published.compare_exchange_strong(expected, nullptr);
    if (share != nullptr && curl_share_cleanup(share) == CURLSHE_IN_USE) {
        // A detached thread's transfer still holds it at process end: its locks must outlive it.
        static_cast<void>(locks.release());
    }
}

CURLSH* CurlShare::current() {
    CurlShare* instance = published.load();
    return instance == nullptr ? nullptr : instance->share;
}

void CurlShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* userptr) {
    static_cast<Locks*>(userptr)->mutexes[static_cast<size_t>(data)].lock();
}

void CurlShare::unlock(CURL*, curl_lock_data data, void* userptr) {
    static_cast<Locks*>(userptr)->mutexes[static_cast<size_t>(data)].unlock();
}

}  // namespace velk::comm
