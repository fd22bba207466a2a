// zarrstore: where the keys of an OME-Zarr image are read from, a folder or an HTTP(S)
// base URL, behind one small interface, so that the reader reads metadata, whole chunks
// and byte ranges of shards the same way from both.
//
// Keys are relative to the image's root, with "/" between parts: ".zattrs", "0/.zarray",
// "0/0/1/2", "zarr.json", "0/c/0/1/2". A key that does not exist is Missing, not Failed:
// a chunk that was never written holds the array's fill value.
//
// Threads: get() and getRange() may be called from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace formats::zarr {

enum class Got { Found, Missing, Failed };

class Store {
public:
    virtual ~Store() = default;
    // Reads the whole of key into out. A key larger than `most` bytes is Failed (a chunk
    // larger than its shape can make), read no further. Failed comes with the reason as a
    // clause after where(key): "cannot be read", "was answered with HTTP status 500", ...
    virtual Got get(const std::string& key, int64_t most, std::vector<uint8_t>& out, std::string& reason) = 0;
    // Reads size bytes of key from offset; offset < 0: its last size bytes (a shard's index).
    // Fewer bytes than asked for is Failed.
    virtual Got getRange(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out,
                         std::string& reason) = 0;
    // The path or URL of key, quoted as messages name it: "\"/data/a.zarr/0/.zarray\"".
    virtual std::string where(const std::string& key) const = 0;
    // The most requests worth running at once: a folder's, the cores; HTTP's, its connections.
    virtual int parallel() const = 0;

    // Requests made so far (get and getRange, retries included): tests count them.
    std::atomic<int64_t> requests{0};
    // Set from any thread to stop: requests not yet begun fail with "the load was cancelled".
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
};

// Whether path is an http:// or https:// URL.
bool isUrl(const std::string& path);
// A store on a folder; null, with the reason, if it is not a readable folder.
std::unique_ptr<Store> openFolder(const std::string& path, std::string& reason);
// How patient the HTTP store is. A request that fails on the way (a timeout, a dropped
// connection, HTTP 429, 502, 503 or 504) is tried again up to `retries` times, after
// backoffMs, then twice that, and so on; every try counts in `requests`.
struct HttpLimits {
    int connectSeconds = 10;   // to open a connection
    int lowSpeedSeconds = 30;  // a transfer under 1 byte a second this long has stalled
    int retries = 3;
    int backoffMs = 100;
};
// A store on a base URL (without a trailing "/"); null with the reason if libcurl cannot
// start. Nothing is fetched until a key is asked for. At most parallel() (8) requests run
// at once; the others wait for a connection. Setting `cancel` ends a transfer in progress
// within about a second.
std::unique_ptr<Store> openHttp(const std::string& url, std::string& reason);
std::unique_ptr<Store> openHttp(const std::string& url, std::string& reason, const HttpLimits& limits);
// A store on keys held in memory (the fuzz target's and the tests' images); where() names
// a key as "memory:KEY".
std::unique_ptr<Store> openMemory(std::map<std::string, std::vector<uint8_t>> keys);
// openHttp for URLs, openFolder for the rest.
std::unique_ptr<Store> openStore(const std::string& pathOrUrl, std::string& reason);

}  // namespace formats::zarr
