// zarrchunk: undoing a chunk's codecs (gzip, zlib, zstd, blosc with any inner codec and
// shuffle, crc32c) into its samples in host order, and reading a shard's index.
//
// Threads: every function here may run on several threads at once (blosc through its
// context-free blosc_decompress_ctx).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zarrmeta.h"

namespace formats::zarr {

// Decodes stored chunk bytes (in is consumed) into out, exactly a.chunkBytes() bytes of
// samples in host order; false, with the reason, when the chunk is damaged: a codec fails,
// a checksum differs, or the result is of another size than the chunk's shape says.
bool decodeChunk(const ArrayMeta& a, std::vector<uint8_t>& in, std::vector<uint8_t>& out, std::string& reason);

// The CRC-32C (Castagnoli) of bytes.
uint32_t crc32c(const uint8_t* data, size_t size);

// Where each inner chunk of a shard lies: offset and size; offset UINT64_MAX: not written.
struct ShardEntry {
    uint64_t offset = 0, size = 0;
};
// The bytes the index of a shard of `chunks` inner chunks takes.
int64_t shardIndexBytes(const ArrayMeta& a, int64_t chunks);
// Reads an index read from a shard; false, with the reason, when its checksum differs or an
// entry overflows.
bool parseShardIndex(const ArrayMeta& a, const std::vector<uint8_t>& bytes, int64_t chunks, std::vector<ShardEntry>& out,
                     std::string& reason);

}  // namespace formats::zarr
