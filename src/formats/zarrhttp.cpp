// The HTTP store: keys fetched with libcurl, one easy handle a request.
#include <curl/curl.h>

#include <mutex>
#include <new>

#include "zarrstore.h"

namespace formats::zarr {

namespace {

// libcurl's global set-up, once for the program, before any thread uses it.
bool curlReady() {
    static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ready;
}

struct Sink {
    std::vector<uint8_t>* out;
    int64_t most;
    bool tooLong = false;
};

size_t take(char* data, size_t size, size_t count, void* user) {
    Sink& s = *static_cast<Sink*>(user);
    const size_t n = size * count;
    if (static_cast<int64_t>(s.out->size() + n) > s.most) {
        s.tooLong = true;
        return 0;  // ends the transfer
    }
    s.out->insert(s.out->end(), data, data + n);
    return n;
}

class HttpStore : public Store {
public:
    explicit HttpStore(std::string base) : base_(std::move(base)) {}

    Got get(const std::string& key, int64_t most, std::vector<uint8_t>& out, std::string& reason) override {
        return fetch(key, std::string(), most, out, reason);
    }
    Got getRange(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out,
                 std::string& reason) override {
        if (size <= 0) return reason = "asks for no bytes", Got::Failed;
        const std::string range = offset < 0 ? "-" + std::to_string(size)
                                             : std::to_string(offset) + "-" + std::to_string(offset + size - 1);
        const Got got = fetch(key, range, size, out, reason);
        if (got == Got::Found && static_cast<int64_t>(out.size()) != size)
            return out.clear(), reason = "answered with another number of bytes than asked for", Got::Failed;
        return got;
    }
    std::string where(const std::string& key) const override { return "\"" + url(key) + "\""; }
    int parallel() const override { return 8; }

private:
    std::string url(const std::string& key) const { return key.empty() ? base_ : base_ + "/" + key; }

    Got fetch(const std::string& key, const std::string& range, int64_t most, std::vector<uint8_t>& out,
              std::string& reason) {
        out.clear();
        if (cancel && *cancel) return reason = "was not fetched: the load was cancelled", Got::Failed;
        ++requests;
        CURL* h = curl_easy_init();
        if (!h) return reason = "could not be fetched: the HTTP library did not start", Got::Failed;
        Sink sink{&out, most};
        const std::string u = url(key);
        curl_easy_setopt(h, CURLOPT_URL, u.c_str());
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, take);
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
        if (!range.empty()) curl_easy_setopt(h, CURLOPT_RANGE, range.c_str());
        CURLcode rc = CURLE_OK;
        try {
            rc = curl_easy_perform(h);
        } catch (const std::bad_alloc&) {
            curl_easy_cleanup(h);
            out.clear();
            return reason = "could not be fetched: there is not enough memory", Got::Failed;
        }
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_cleanup(h);
        if (sink.tooLong) return out.clear(), reason = "holds more bytes than its chunk can hold", Got::Failed;
        if (rc != CURLE_OK) return out.clear(), reason = std::string("could not be fetched: ") + curl_easy_strerror(rc), Got::Failed;
        if (status == 404 || status == 403 || status == 410) return out.clear(), Got::Missing;
        if (status < 200 || status >= 300)
            return out.clear(), reason = "was answered with HTTP status " + std::to_string(status), Got::Failed;
        return Got::Found;
    }

    std::string base_;
};

}  // namespace

std::unique_ptr<Store> openHttp(const std::string& url, std::string& reason) {
    if (!curlReady()) return reason = "could not be fetched: the HTTP library did not start", nullptr;
    return std::make_unique<HttpStore>(url);
}

}  // namespace formats::zarr
