// A deflated stream read forward from a file: a gzip file from its start (a NIfTI .nii.gz),
// or a raw deflate stream from an offset (a DICOM deflated data set). The one inflater the
// readers share; each keeps what it needs of what lies behind (NIfTI a few slices, the
// DICOM walker a window of the elements it reads).
//
// A gzip file is read as zlib's gzread reads it, so that what a damaged file is refused for
// stays what it was: member after member, bytes after the last member passed over, reads
// of less than 16 KiB (and the first after each member's start) served from 16 KiB inflated
// ahead, a read that meets damage failing as a whole.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace formats {

class ForwardInflater {
public:
    enum class Wrap { Raw, Gzip };
    // The stream from byte `from` of path on; ok() tells whether it could be opened.
    ForwardInflater(const std::string& path, uint64_t from, Wrap wrap);
    ~ForwardInflater();
    ForwardInflater(const ForwardInflater&) = delete;
    ForwardInflater& operator=(const ForwardInflater&) = delete;

    bool ok() const { return ok_; }
    // Inflates up to n of the next bytes into to; fewer at the end of the stream, where the
    // file ends before it, or on damaged data (then damage() says what).
    size_t read(unsigned char* to, size_t n);
    // Whether the stream has ended as it should.
    bool ended() const { return ended_; }
    // What is wrong with the data ("path: zlib's words", as gzerror says it); empty when
    // nothing is (the stream ended, or the file ended before it did).
    const std::string& damage() const { return damage_; }
    // Back to the stream's start.
    bool restart();

private:
    static constexpr size_t kAhead = 16384;
    std::string path_;
    uint64_t from_;
    Wrap wrap_;
    std::FILE* f_ = nullptr;
    z_stream z_ = {};
    bool ok_ = false, ended_ = false, fileEnded_ = false;
    bool look_ = true;  // gzip: a member starts here (or the stream ends)
    std::string damage_;
    unsigned char in_[65536];
    unsigned char ahead_[kAhead];  // gzip: inflated ahead of the reads
    size_t have_ = 0, next_ = 0;

    bool refill();
    bool drained() const { return fileEnded_ && z_.avail_in == 0; }
    size_t decompress(unsigned char* to, size_t n);
    bool nextMember();
    void fetch();
};

}  // namespace formats
