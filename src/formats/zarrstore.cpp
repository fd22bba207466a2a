// The folder store, and choosing a store by the path.
#include "zarrstore.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

namespace formats::zarr {

namespace {

const char* const kCancelled = "was not read: the load was cancelled";

class FolderStore : public Store {
public:
    explicit FolderStore(std::string root) : root_(std::move(root)) {}

    Got get(const std::string& key, int64_t most, std::vector<uint8_t>& out, std::string& reason) override {
        return read(key, 0, -1, most, out, reason);
    }
    Got getRange(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out,
                 std::string& reason) override {
        if (size < 0) return reason = "asks for a negative length", Got::Failed;
        return read(key, offset, size, size, out, reason);
    }
    std::string where(const std::string& key) const override { return "\"" + path(key) + "\""; }
    int parallel() const override { return std::max(1, static_cast<int>(std::thread::hardware_concurrency())); }

private:
    std::string path(const std::string& key) const { return key.empty() ? root_ : root_ + "/" + key; }

    // Reads size bytes from offset (size < 0: to the end; offset < 0: the last size bytes),
    // refusing more than most.
    Got read(const std::string& key, int64_t offset, int64_t size, int64_t most, std::vector<uint8_t>& out,
             std::string& reason) {
        out.clear();
        if (cancel && *cancel) return reason = kCancelled, Got::Failed;
        ++requests;
        const std::string p = path(key);
        struct stat st {};
        if (stat(p.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) return Got::Missing;
            return reason = std::string("cannot be read: ") + std::strerror(errno), Got::Failed;
        }
        if (!S_ISREG(st.st_mode)) return reason = "is not a file", Got::Failed;
        const int64_t length = st.st_size;
        if (offset < 0) offset = length - size;
        if (size < 0) size = length - offset;
        if (offset < 0 || size < 0 || offset > length || size > length - offset)
            return reason = "is shorter than its index says (" + std::to_string(length) + " bytes)", Got::Failed;
        if (size > most) return reason = "holds " + std::to_string(size) + " bytes, more than its chunk can hold", Got::Failed;
        std::FILE* f = std::fopen(p.c_str(), "rb");
        if (!f) return reason = std::string("cannot be opened: ") + std::strerror(errno), Got::Failed;
        bool ok = std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0;
        try {
            out.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            std::fclose(f);
            return reason = "could not be read: there is not enough memory", Got::Failed;
        }
        ok = ok && std::fread(out.data(), 1, out.size(), f) == out.size();
        std::fclose(f);
        if (!ok) return out.clear(), reason = "could not be read whole", Got::Failed;
        return Got::Found;
    }

    std::string root_;
};

class MemoryStore : public Store {
public:
    explicit MemoryStore(std::map<std::string, std::vector<uint8_t>> keys) : keys_(std::move(keys)) {}
    Got get(const std::string& key, int64_t most, std::vector<uint8_t>& out, std::string& reason) override {
        return read(key, 0, most, out, reason, true);
    }
    Got getRange(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out,
                 std::string& reason) override {
        return read(key, offset, size, out, reason, false);
    }
    std::string where(const std::string& key) const override { return "\"memory:" + key + "\""; }
    int parallel() const override { return 2; }

private:
    Got read(const std::string& key, int64_t offset, int64_t size, std::vector<uint8_t>& out, std::string& reason,
                 bool whole) {
        out.clear();
        if (cancel && *cancel) return reason = kCancelled, Got::Failed;
        ++requests;
        const auto it = keys_.find(key);
        if (it == keys_.end()) return Got::Missing;
        const int64_t length = int64_t(it->second.size());
        if (whole) {
            if (length > size) return reason = "holds " + std::to_string(length) + " bytes, more than its chunk can hold", Got::Failed;
            out = it->second;
            return Got::Found;
        }
        if (size < 0) return reason = "asks for a negative length", Got::Failed;
        if (offset < 0) offset = length - size;
        if (offset < 0 || offset > length || size > length - offset)
            return reason = "is shorter than its index says (" + std::to_string(length) + " bytes)", Got::Failed;
        out.assign(it->second.begin() + offset, it->second.begin() + offset + size);
        return Got::Found;
    }
    const std::map<std::string, std::vector<uint8_t>> keys_;
};

}  // namespace

std::unique_ptr<Store> openMemory(std::map<std::string, std::vector<uint8_t>> keys) {
    return std::make_unique<MemoryStore>(std::move(keys));
}

bool isUrl(const std::string& path) { return path.rfind("http://", 0) == 0 || path.rfind("https://", 0) == 0; }

std::unique_ptr<Store> openFolder(const std::string& path, std::string& reason) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return reason = "is not a folder", nullptr;
    std::string root = path;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return std::make_unique<FolderStore>(root);
}

std::unique_ptr<Store> openStore(const std::string& pathOrUrl, std::string& reason) {
    if (!isUrl(pathOrUrl)) return openFolder(pathOrUrl, reason);
    std::string base = pathOrUrl;
    while (!base.empty() && base.back() == '/') base.pop_back();
    return openHttp(base, reason);
}

}  // namespace formats::zarr
