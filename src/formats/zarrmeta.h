// zarrmeta: the JSON metadata of an OME-Zarr image, both versions of the layout (Zarr v2:
// .zgroup, .zattrs, .zarray; Zarr v3: zarr.json), read into plain structs with every
// number checked before anything is sized by it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "samples.h"

namespace formats::zarr {

// The most dimensions an image's arrays may have (t, c, z, y, x).
constexpr int kMaxDims = 5;

// A bytes-to-bytes codec of a chunk, applied in order when written, undone in reverse.
enum class Codec { Gzip, Zlib, Zstd, Blosc, Crc32c };

// How the chunks of one array are stored.
struct ArrayMeta {
    int version = 2;
    std::vector<int64_t> shape, chunks;  // chunks: the unit read (a shard's inner chunk when sharded)
    Samples samples = Samples::Unsigned8;
    int itemBytes = 1;
    bool bigEndian = false;
    std::vector<uint8_t> fill;  // one sample in host order
    char separator = '.';       // between a chunk key's indices
    bool prefixC = false;       // v3 "default" keys start with "c"
    std::vector<Codec> codecs;  // of a chunk (an inner chunk when sharded)
    // Sharded (v3 sharding_indexed): chunks are inner chunks, stored shardShape at a time in
    // one key, with an index of (offset, nbytes) pairs at its end or start.
    bool sharded = false;
    std::vector<int64_t> shardShape;
    bool indexAtEnd = true;
    bool indexCrc = false;  // the index ends with its CRC-32C, checked on reading

    int64_t chunkSamples() const;  // samples in one chunk
    int64_t chunkBytes() const { return chunkSamples() * itemBytes; }
};

// What the multiscales attributes say.
struct Multiscale {
    std::vector<std::string> axes;   // "t", "c", "z", "y", "x" in array order
    std::vector<std::string> units;  // per axis, as named ("micrometer"); empty when unsaid
    std::vector<std::string> paths;  // per level, finest first
    std::vector<std::vector<double>> scales, translations;  // per level, per axis (combined)
};

// Parses JSON bytes with a bounded depth; false with the reason ("is not JSON: ...").
bool parseJson(const std::vector<uint8_t>& bytes, nlohmann::json& out, std::string& reason);

// An array's metadata (.zarray, or zarr.json of node_type "array"); false with the reason.
bool parseArrayV2(const nlohmann::json& j, ArrayMeta& a, std::string& reason);
bool parseArrayV3(const nlohmann::json& j, ArrayMeta& a, std::string& reason);

// The first of the "multiscales" in attributes (v2: .zattrs; v3: attributes.ome); false with
// the reason. dims: the number of dimensions of the arrays, for data without "axes".
bool parseMultiscales(const nlohmann::json& attrs, int dims, Multiscale& m, std::string& reason);
// The number of axes the multiscales name, or 0 when they name none (older data).
int namedAxes(const nlohmann::json& attrs);

// The key of a chunk (its grid indices) of the array at arrayPath.
std::string chunkKey(const ArrayMeta& a, const std::string& arrayPath, const std::vector<int64_t>& index);

}  // namespace formats::zarr
