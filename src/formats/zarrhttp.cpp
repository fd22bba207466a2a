// The HTTP store: keys fetched with libcurl over reused connections.
//
// Each request takes an easy handle from the store's pool and gives it back afterwards: a
// handle keeps its connection open, so a run of small chunk requests pays for one TCP
// connection per handle, not one per chunk. At most parallel() requests run at once, so
// the pool (and the number of connections) never grows beyond that.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include "zarrstore.h"

namespace formats::zarr {

namespace {

const char* const kCancelled = "was not fetched: the load was cancelled";

// libcurl's global set-up, once for the program, before any thread uses it.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

// What one transfer receives, and why it ended early.
struct Sink {
    CURL* handle;
    std::vector<uint8_t>* out;
    int64_t most;
    bool ranged;                             // a Range was asked for: a 200 answer cannot be used
    const std::atomic<bool>* cancel;
    bool started = false, keep = false;      // the first bytes seen; whether the body is the data
    bool tooLong = false, noRanges = false;
    int64_t dropped = 0;  // bytes of an error page
};

// An error page is read (to keep the connection) up to this size, then the transfer ends.
constexpr int64_t kErrorPage = 1 << 16;

size_t take(char* data, size_t size, size_t count, void* user) {
    Sink& s = *static_cast<Sink*>(user);
    const size_t n = size * count;
    if (!s.started) {
        // The status and length of the final answer (after redirects) are known now.
        s.started = true;
        long status = 0;
        curl_easy_getinfo(s.handle, CURLINFO_RESPONSE_CODE, &status);
        s.keep = status >= 200 && status < 300;
        if (s.keep && s.ranged && status != 206) return s.noRanges = true, 0;
        curl_off_t length = -1;
        curl_easy_getinfo(s.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (s.keep && length > s.most) return s.tooLong = true, 0;  // refused before any byte is kept
        if (s.keep && length > 0) s.out->reserve(static_cast<size_t>(length));
    }
    if (!s.keep) return (s.dropped += int64_t(n)) > kErrorPage ? 0 : n;  // an error page: read and dropped
    if (static_cast<int64_t>(s.out->size() + n) > s.most) return s.tooLong = true, 0;
    s.out->insert(s.out->end(), data, data + n);
    return n;
}

// Called by libcurl during a transfer (at least once a second while it waits): ends it
// when the load is cancelled.
int progress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const Sink& s = *static_cast<const Sink*>(user);
    return s.cancel && s.cancel->load() ? 1 : 0;
}

// Failures worth another try: the server or the network may answer the next time.
bool transient(CURLcode rc) {
    return rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_RECV_ERROR || rc == CURLE_GOT_NOTHING ||
           rc == CURLE_PARTIAL_FILE || rc == CURLE_SEND_ERROR;
}
bool transient(long status) { return status == 429 || status == 502 || status == 503 || status == 504; }

class HttpStore : public Store {
public:
    HttpStore(std::string base, const HttpLimits& limits) : base_(std::move(base)), limits_(limits) {}
    ~HttpStore() override {
        for (CURL* h : idle_) curl_easy_cleanup(h);
    }

    Got get(const std::string& key, int64_t most, std::vector<uint8_t>& out, std::string& reason) override {
        return fetch(key, std::string(), most, out, reason);
    }
    Got getRange(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out,
                 std::string& reason) override {
        out.clear();
        if (size <= 0) return reason = "asks for no bytes", Got::Failed;
        const std::string range = offset < 0 ? "-" + std::to_string(size)
                                             : std::to_string(offset) + "-" + std::to_string(offset + size - 1);
        const Got got = fetch(key, range, size, out, reason);
        if (got == Got::Found && static_cast<int64_t>(out.size()) != size)
            return out.clear(), reason = "answered with another number of bytes than asked for", Got::Failed;
        return got;
    }
    std::string where(const std::string& key) const override { return "\"" + url(key) + "\""; }
    // Eight connections: enough to keep the loopback interface and a distant object store
    // busy while chunks are decoded, and few enough that a server (most allow six to a few
    // dozen per client) does not refuse or throttle us.
    int parallel() const override { return kConnections; }

private:
    static constexpr int kConnections = 8;

    std::string url(const std::string& key) const { return key.empty() ? base_ : base_ + "/" + key; }
    bool cancelled() const { return cancel && cancel->load(); }

    // Waits for one of the connections; false when the load is cancelled meanwhile.
    bool acquire(CURL*& h) {
        std::unique_lock<std::mutex> lock(mutex_);
        while (busy_ >= kConnections) {
            if (cancelled()) return false;
            freed_.wait_for(lock, std::chrono::milliseconds(50));
        }
        if (cancelled()) return false;
        ++busy_;
        if (!idle_.empty()) {
            h = idle_.back();
            idle_.pop_back();
        } else {
            h = curl_easy_init();
        }
        if (!h) --busy_;
        return true;
    }
    void release(CURL* h) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --busy_;
            idle_.push_back(h);
        }
        freed_.notify_one();
    }

    // Sleeps ms, waking early when the load is cancelled; false if it was.
    bool pause(int ms) const {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (cancelled()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
        }
        return !cancelled();
    }

    Got fetch(const std::string& key, const std::string& range, int64_t most, std::vector<uint8_t>& out,
              std::string& reason) {
        out.clear();
        const std::string u = url(key);
        for (int attempt = 0;; ++attempt) {
            if (attempt > 0 && !pause(limits_.backoffMs << (attempt - 1))) return reason = kCancelled, Got::Failed;
            if (cancelled()) return reason = kCancelled, Got::Failed;
            CURL* h = nullptr;
            if (!acquire(h)) return reason = kCancelled, Got::Failed;
            if (!h) return reason = "could not be fetched: the HTTP library did not start", Got::Failed;
            ++requests;
            long status = 0;
            Sink sink{h, &out, most, !range.empty(), cancel.get()};
            const CURLcode rc = perform(h, u, range, sink, status);
            release(h);
            const bool again = attempt < limits_.retries;
            if (rc == CURLE_ABORTED_BY_CALLBACK && cancelled()) return out.clear(), reason = kCancelled, Got::Failed;
            if (sink.tooLong) return out.clear(), reason = "holds more bytes than its chunk can hold", Got::Failed;
            if (sink.noRanges)
                return out.clear(), reason = "could not be fetched in part: the server does not answer byte ranges",
                       Got::Failed;
            if (rc == CURLE_OUT_OF_MEMORY)
                return out.clear(), reason = "could not be fetched: there is not enough memory", Got::Failed;
            if (rc == CURLE_TOO_MANY_REDIRECTS)
                return out.clear(),
                       reason = "was refused: it redirects in a loop (more than " + std::to_string(kRedirects) +
                                " redirects)",
                       Got::Failed;
            if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && sink.started && !sink.keep)) {
                out.clear();
                if (transient(rc) && again) continue;
                reason = std::string("could not be fetched: ") + curl_easy_strerror(rc);
                if (transient(rc)) reason += " (" + std::to_string(attempt + 1) + " tries)";
                return Got::Failed;
            }
            if (status == 404 || status == 403 || status == 410) return out.clear(), Got::Missing;
            if (status >= 200 && status < 300) return Got::Found;
            out.clear();
            if (transient(status) && again) continue;
            reason = "was answered with HTTP status " + std::to_string(status);
            if (transient(status)) reason += " (" + std::to_string(attempt + 1) + " tries)";
            return Got::Failed;
        }
    }

    CURLcode perform(CURL* h, const std::string& u, const std::string& range, Sink& sink, long& status) const {
        curl_easy_reset(h);  // keeps the handle's open connection
        curl_easy_setopt(h, CURLOPT_URL, u.c_str());
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(kRedirects));
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);  // no SIGALRM for timeouts: other threads run
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits_.connectSeconds * 1000));
        // A transfer slower than 1 byte a second for lowSpeedSeconds has stalled.
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits_.lowSpeedSeconds));
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, take);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &sink);
        if (!range.empty()) curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());
        CURLcode rc = CURLE_OK;
        try {
            rc = curl_easy_perform(h);
        } catch (const std::bad_alloc&) {
            rc = CURLE_OUT_OF_MEMORY;
        }
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        return rc;
    }

    static constexpr int kRedirects = 10;
    const std::string base_;
    const HttpLimits limits_;
    std::mutex mutex_;
    std::condition_variable freed_;
    std::vector<CURL*> idle_;  // handles not in use, each with its open connection
    int busy_ = 0;
};

}  // namespace

std::unique_ptr<Store> openHttp(const std::string& url, std::string& reason, const HttpLimits& limits) {
    if (!curlReady()) return reason = "could not be fetched: the HTTP library did not start", nullptr;
    return std::make_unique<HttpStore>(url, limits);
}

std::unique_ptr<Store> openHttp(const std::string& url, std::string& reason) {
    return openHttp(url, reason, HttpLimits());
}

}  // namespace formats::zarr
