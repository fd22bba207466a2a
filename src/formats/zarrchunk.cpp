// Undoing a chunk's codecs, and a shard's index.
#include "zarrchunk.h"

#include <blosc.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>

namespace formats::zarr {
namespace {

bool fail(std::string& reason, const std::string& words) {
    reason = words;
    return false;
}

// Inflates a zlib or gzip stream into at most cap bytes.
bool inflateInto(const std::vector<uint8_t>& in, bool gzip, size_t cap, std::vector<uint8_t>& out, std::string& reason) {
    z_stream z{};
    if (inflateInit2(&z, gzip ? 15 + 16 : 15) != Z_OK) return fail(reason, "could not be inflated");
    out.resize(cap);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(cap);
    int r = inflate(&z, Z_FINISH);
    const size_t got = size_t(z.total_out);
    bool more = false;
    if (r != Z_STREAM_END && z.avail_out == 0) {
        unsigned char extra = 0;  // full: more than the chunk holds, unless the stream ends here
        z.next_out = &extra;
        z.avail_out = 1;
        r = inflate(&z, Z_FINISH);
        more = z.avail_out == 0;
    }
    inflateEnd(&z);
    if (more) return fail(reason, "inflates to more bytes than its shape holds");
    if (r != Z_STREAM_END) return fail(reason, gzip ? "is not a whole gzip stream" : "is not a whole zlib stream");
    out.resize(got);
    return true;
}

bool undo(Codec c, std::vector<uint8_t>& in, size_t cap, std::vector<uint8_t>& out, std::string& reason) {
    switch (c) {
        case Codec::Zlib:
        case Codec::Gzip: return inflateInto(in, c == Codec::Gzip, cap, out, reason);
        case Codec::Zstd: {
            out.resize(cap);
            const size_t n = ZSTD_decompress(out.data(), cap, in.data(), in.size());
            if (ZSTD_isError(n)) return fail(reason, std::string("is not a whole zstd frame (") + ZSTD_getErrorName(n) + ")");
            out.resize(n);
            return true;
        }
        case Codec::Blosc: {
            size_t nbytes = 0;
            if (in.size() < BLOSC_MIN_HEADER_LENGTH || blosc_cbuffer_validate(in.data(), in.size(), &nbytes) < 0)
                return fail(reason, "is not a whole blosc buffer");
            if (nbytes > cap) return fail(reason, "holds more bytes than its shape (blosc says " + std::to_string(nbytes) + ")");
            out.resize(nbytes);
            if (nbytes && blosc_decompress_ctx(in.data(), out.data(), nbytes, 1) != int(nbytes))
                return fail(reason, "is a damaged blosc buffer");
            return true;
        }
        case Codec::Crc32c: {
            if (in.size() < 4) return fail(reason, "is shorter than its checksum");
            uint32_t stored = 0;
            std::memcpy(&stored, in.data() + in.size() - 4, 4);  // little-endian on the hosts built for
            if (crc32c(in.data(), in.size() - 4) != stored) return fail(reason, "fails its CRC-32C checksum");
            out.assign(in.begin(), in.end() - 4);
            return true;
        }
    }
    return fail(reason, "has a codec that is not read");
}

void swapBytes(std::vector<uint8_t>& b, int item) {
    if (item == 1) return;
    for (size_t i = 0; i + size_t(item) <= b.size(); i += size_t(item)) std::reverse(b.begin() + long(i), b.begin() + long(i) + item);
}

}  // namespace

uint32_t crc32c(const uint8_t* data, size_t size) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

bool decodeChunk(const ArrayMeta& a, std::vector<uint8_t>& in, std::vector<uint8_t>& out, std::string& reason) {
    const size_t want = size_t(a.chunkBytes());
    // Each checksum still to undo adds 4 bytes to what the codec before it gives.
    size_t checks = size_t(std::count(a.codecs.begin(), a.codecs.end(), Codec::Crc32c));
    for (auto c = a.codecs.rbegin(); c != a.codecs.rend(); ++c) {
        if (*c == Codec::Crc32c) --checks;
        if (!undo(*c, in, want + 4 * checks, out, reason)) return false;
        in.swap(out);
    }
    out.swap(in);
    if (out.size() != want)
        return fail(reason, "holds " + std::to_string(out.size()) + " bytes decoded, where its shape says " + std::to_string(want));
    const bool hostBig = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
    if (a.bigEndian != hostBig) swapBytes(out, a.itemBytes);
    return true;
}

int64_t shardIndexBytes(const ArrayMeta& a, int64_t chunks) { return chunks * 16 + (a.indexCrc ? 4 : 0); }

bool parseShardIndex(const ArrayMeta& a, const std::vector<uint8_t>& bytes, int64_t chunks, std::vector<ShardEntry>& out,
                     std::string& reason) {
    if (int64_t(bytes.size()) != shardIndexBytes(a, chunks)) return fail(reason, "has a shard index of another size");
    if (a.indexCrc) {
        uint32_t stored = 0;
        std::memcpy(&stored, bytes.data() + bytes.size() - 4, 4);
        if (crc32c(bytes.data(), bytes.size() - 4) != stored) return fail(reason, "has a shard index that fails its CRC-32C checksum");
    }
    out.resize(size_t(chunks));
    for (int64_t k = 0; k < chunks; ++k) {
        uint64_t v[2];
        std::memcpy(v, bytes.data() + k * 16, 16);
        if (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) v[0] = __builtin_bswap64(v[0]), v[1] = __builtin_bswap64(v[1]);
        const bool empty = v[0] == UINT64_MAX && v[1] == UINT64_MAX;
        if (!empty && (v[0] > (uint64_t(1) << 62) || v[1] > (uint64_t(1) << 40)))
            return fail(reason, "has a shard index pointing outside its file");
        out[size_t(k)] = {v[0], v[1]};
    }
    return true;
}

}  // namespace formats::zarr
