#include "formats/inflate.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace formats {

ForwardInflater::ForwardInflater(const std::string& path, uint64_t from, Wrap wrap) : path_(path), from_(from), wrap_(wrap) {
    f_ = std::fopen(path.c_str(), "rb");
    if (!f_) return;
    ok_ = inflateInit2(&z_, wrap == Wrap::Raw ? -MAX_WBITS : MAX_WBITS + 16) == Z_OK;
    if (ok_) ok_ = restart();
}

ForwardInflater::~ForwardInflater() {
    if (!f_) return;
    inflateEnd(&z_);
    std::fclose(f_);
}

bool ForwardInflater::restart() {
    ended_ = fileEnded_ = false, look_ = true, damage_.clear(), have_ = next_ = 0;
    z_.avail_in = 0, z_.next_in = in_;
    return inflateReset(&z_) == Z_OK && fseeko(f_, off_t(from_), SEEK_SET) == 0;
}

// More input after what is left; false when the file has none.
bool ForwardInflater::refill() {
    if (fileEnded_) return false;
    if (z_.avail_in > 0 && z_.next_in != in_) std::memmove(in_, z_.next_in, z_.avail_in);
    z_.next_in = in_;
    const size_t got = std::fread(in_ + z_.avail_in, 1, sizeof in_ - z_.avail_in, f_);
    if (got == 0) {
        fileEnded_ = true;
        if (std::ferror(f_)) damage_ = path_ + ": " + std::strerror(errno);
        return false;
    }
    z_.avail_in += uInt(got);
    return true;
}

// One run of the inflater into to: until n bytes, the end of a member or stream, the end
// of the file, or damage. The bytes made (gzip: none when it met damage).
size_t ForwardInflater::decompress(unsigned char* to, size_t n) {
    z_.next_out = to;
    z_.avail_out = uInt(n);
    int r = Z_OK;
    do {
        if (z_.avail_in == 0 && !refill()) break;  // the file ends before the stream
        r = inflate(&z_, Z_NO_FLUSH);
        if (r == Z_DATA_ERROR || r == Z_MEM_ERROR || r == Z_STREAM_ERROR || r == Z_NEED_DICT) {
            damage_ = path_ + ": " + (r == Z_MEM_ERROR ? "out of memory" : z_.msg ? z_.msg : "compressed data error");
            return wrap_ == Wrap::Raw ? n - z_.avail_out : 0;
        }
    } while (z_.avail_out > 0 && r != Z_STREAM_END);
    if (r == Z_STREAM_END) (wrap_ == Wrap::Raw ? ended_ : look_) = true;
    return n - z_.avail_out;
}

// At a member's start: another member, or the end (what follows the last is passed over).
bool ForwardInflater::nextMember() {
    if (z_.avail_in < 2) refill();
    if (z_.avail_in >= 2 && z_.next_in[0] == 0x1f && z_.next_in[1] == 0x8b && inflateReset(&z_) == Z_OK) {
        look_ = false;
        return true;
    }
    ended_ = true;
    return false;
}

// Inflates ahead into ahead_.
void ForwardInflater::fetch() {
    do {
        if (look_) {
            if (!nextMember()) return;
        } else {
            next_ = 0, have_ = decompress(ahead_, kAhead);
            if (!damage_.empty()) return;
        }
    } while (have_ == 0 && !drained() && !ended_);
}

size_t ForwardInflater::read(unsigned char* to, size_t n) {
    size_t got = 0;
    if (!ok_) return 0;
    while (got < n && damage_.empty()) {
        if (have_ > 0) {
            const size_t k = std::min(have_, n - got);
            std::memcpy(to + got, ahead_ + next_, k);
            next_ += k, have_ -= k, got += k;
        } else if (ended_ || drained()) {
            break;
        } else if (wrap_ == Wrap::Gzip && (look_ || n - got < kAhead)) {
            fetch();
        } else {
            got += decompress(to + got, n - got);
        }
    }
    return got;
}

}  // namespace formats
