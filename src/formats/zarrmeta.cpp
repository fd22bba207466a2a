// The metadata of both Zarr versions and the OME multiscales attributes.
#include "zarrmeta.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <map>

namespace formats::zarr {
namespace {

using nlohmann::json;

// JSON nested deeper than this is refused: real metadata is a few levels deep.
constexpr int kMaxDepth = 64;
// The most samples an array may have along one axis, and in all.
constexpr int64_t kMaxExtent = int64_t(1) << 40;
// The most bytes one decoded chunk may take: larger chunks are refused before any is read.
constexpr int64_t kMaxChunkBytes = int64_t(1) << 30;

struct TooDeep {};

bool fail(std::string& reason, const std::string& words) {
    reason = words;
    return false;
}

// A list of positive whole numbers (a shape) whose product stays within kMaxExtent.
bool extents(const json& j, const char* what, std::vector<int64_t>& out, std::string& reason) {
    out.clear();
    if (!j.is_array() || j.empty() || j.size() > size_t(kMaxDims))
        return fail(reason, std::string("has a ") + what + " that is not a list of 1 to 5 sizes");
    int64_t product = 1;
    for (const json& v : j) {
        if (!v.is_number_integer()) return fail(reason, std::string("has a ") + what + " that is not a list of whole numbers");
        const int64_t n = v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(kMaxExtent) ? kMaxExtent + 1 : v.get<int64_t>();
        if (n <= 0) return fail(reason, std::string("has a ") + what + " of " + std::to_string(n) + " along an axis");
        if (n > kMaxExtent || product > kMaxExtent / n)
            return fail(reason, std::string("has a ") + what + " whose product is too large to hold");
        product *= n;
        out.push_back(n);
    }
    return true;
}

bool kindOf(char type, int bytes, Samples& s) {
    static const std::map<std::pair<char, int>, Samples> kinds = {
        {{'u', 1}, Samples::Unsigned8}, {{'u', 2}, Samples::Unsigned16}, {{'u', 4}, Samples::Unsigned32},
        {{'u', 8}, Samples::Unsigned64}, {{'i', 1}, Samples::Signed8},   {{'i', 2}, Samples::Signed16},
        {{'i', 4}, Samples::Signed32},   {{'i', 8}, Samples::Signed64},  {{'f', 4}, Samples::Float32},
        {{'f', 8}, Samples::Float64}};
    const auto it = kinds.find({type, bytes});
    if (it == kinds.end()) return false;
    s = it->second;
    return true;
}

// One sample of value v in host order, of the array's kind; false when v does not fit it.
bool fillFrom(double v, ArrayMeta& a) {
    a.fill.assign(size_t(a.itemBytes), 0);
    return withType(a.samples, [&](auto type) {
        using T = decltype(type);
        if constexpr (std::is_integral_v<T>) {
            // Within [-2^(bits-1), 2^(bits-1)) or [0, 2^bits): max() itself rounds up as a double.
            const double top = std::ldexp(1.0, int(sizeof(T) * 8) - (std::is_signed_v<T> ? 1 : 0));
            if (!std::isfinite(v) || v != std::trunc(v) || v < (std::is_signed_v<T> ? -top : 0.0) || v >= top) return false;
        } else if (std::isfinite(v) && std::fabs(v) > double(std::numeric_limits<T>::max())) {
            return false;
        }
        const T t = static_cast<T>(v);
        std::memcpy(a.fill.data(), &t, sizeof t);
        return true;
    });
}

// fill_value: a number, "NaN", "Infinity", "-Infinity", "0x..." (the raw bits) or null (0).
bool parseFill(const json& j, ArrayMeta& a, std::string& reason) {
    const bool isFloat = a.samples == Samples::Float32 || a.samples == Samples::Float64;
    bool ok = true;
    if (j.is_null()) {
        ok = fillFrom(0, a);
    } else if (j.is_number_integer() && j.is_number_unsigned() && a.samples == Samples::Unsigned64) {
        const uint64_t u = j.get<uint64_t>();
        a.fill.resize(8);
        std::memcpy(a.fill.data(), &u, 8);
    } else if (j.is_number_integer() && a.samples == Samples::Signed64) {
        const int64_t i = j.get<int64_t>();
        a.fill.resize(8);
        std::memcpy(a.fill.data(), &i, 8);
    } else if (j.is_number()) {
        ok = fillFrom(j.get<double>(), a);
    } else if (j.is_string() && isFloat) {
        const std::string s = j.get<std::string>();
        if (s == "NaN") ok = fillFrom(std::numeric_limits<double>::quiet_NaN(), a);
        else if (s == "Infinity") ok = fillFrom(std::numeric_limits<double>::infinity(), a);
        else if (s == "-Infinity") ok = fillFrom(-std::numeric_limits<double>::infinity(), a);
        else if (s.size() == size_t(2 + 2 * a.itemBytes) && s.rfind("0x", 0) == 0) {
            uint64_t bits = 0;
            for (size_t k = 2; k < s.size() && ok; ++k) {
                const char c = s[k];
                const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
                ok = d >= 0;
                bits = bits << 4 | uint64_t(d < 0 ? 0 : d);
            }
            a.fill.resize(size_t(a.itemBytes));
            if (a.itemBytes == 4) {
                const uint32_t b = uint32_t(bits);
                std::memcpy(a.fill.data(), &b, 4);
            } else {
                std::memcpy(a.fill.data(), &bits, 8);
            }
        } else {
            ok = false;
        }
    } else {
        ok = false;
    }
    return ok || fail(reason, "has a fill_value that its data type cannot hold");
}

bool checkChunks(ArrayMeta& a, std::string& reason) {
    if (a.chunks.size() != a.shape.size()) return fail(reason, "has chunks of another number of dimensions than its shape");
    if (a.shape.size() < 2) return fail(reason, "has fewer than 2 dimensions: it is not an image");
    int64_t samples = 1;
    for (int64_t c : a.chunks) samples *= c;  // each within kMaxExtent, the product too
    if (samples > kMaxChunkBytes / a.itemBytes)
        return fail(reason, "has chunks of " + std::to_string(samples) + " samples, more than a chunk may hold");
    return true;
}

const json* member(const json& j, const char* name) {
    if (!j.is_object()) return nullptr;
    const auto it = j.find(name);
    return it == j.end() ? nullptr : &*it;
}

std::string text(const json* j) { return j && j->is_string() ? j->get<std::string>() : std::string(); }

// A v3 codec's name and its configuration (an empty object when none).
bool codecOf(const json& c, std::string& name, json& config, std::string& reason) {
    name = text(member(c, "name"));
    if (name.empty()) return fail(reason, "has a codec without a name");
    const json* conf = member(c, "configuration");
    config = conf && conf->is_object() ? *conf : json::object();
    return true;
}

// A v3 codec list: [bytes, bytes-to-bytes...]; endian set from bytes.
bool codecList(const json& list, ArrayMeta& a, bool inner, std::string& reason) {
    if (!list.is_array() || list.empty()) return fail(reason, "has codecs that are not a list");
    bool sawBytes = false;
    for (const json& c : list) {
        std::string name;
        json conf;
        if (!codecOf(c, name, conf, reason)) return false;
        if (!sawBytes) {
            if (name == "sharding_indexed" && !inner) {
                if (list.size() != 1) return fail(reason, "has codecs after sharding_indexed, which are not read");
                a.sharded = true;
                a.shardShape = a.chunks;
                if (!extents(conf.value("chunk_shape", json()), "shard chunk_shape", a.chunks, reason)) return false;
                if (a.chunks.size() != a.shardShape.size())
                    return fail(reason, "has shard chunks of another number of dimensions than its shards");
                for (size_t d = 0; d < a.chunks.size(); ++d)
                    if (a.shardShape[d] % a.chunks[d] != 0)
                        return fail(reason, "has shards that do not hold a whole number of chunks");
                const std::string at = conf.value("index_location", std::string("end"));
                if (at != "end" && at != "start") return fail(reason, "has a shard index_location \"" + at + "\" not known");
                a.indexAtEnd = at == "end";
                const json idx = conf.value("index_codecs", json::array({{{"name", "bytes"}}}));
                if (!idx.is_array() || idx.empty() || idx.size() > 2) return fail(reason, "has shard index_codecs not known");
                ArrayMeta scratch;
                std::string n0, n1;
                json c0, c1;
                if (!codecOf(idx[0], n0, c0, reason)) return false;
                if (n0 != "bytes" || c0.value("endian", std::string("little")) != "little")
                    return fail(reason, "has shard index_codecs other than little-endian bytes and crc32c");
                if (idx.size() == 2) {
                    if (!codecOf(idx[1], n1, c1, reason)) return false;
                    if (n1 != "crc32c") return fail(reason, "has a shard index codec \"" + n1 + "\" not known");
                    a.indexCrc = true;
                }
                const json* innerCodecs = member(conf, "codecs");
                return innerCodecs ? codecList(*innerCodecs, a, true, reason) : fail(reason, "has a shard without codecs");
            }
            if (name != "bytes") return fail(reason, "has a codec \"" + name + "\" that is not read");
            const std::string endian = conf.value("endian", std::string("little"));
            if (endian != "little" && endian != "big") return fail(reason, "has a bytes endian \"" + endian + "\" not known");
            a.bigEndian = endian == "big";
            sawBytes = true;
            continue;
        }
        if (name == "gzip") a.codecs.push_back(Codec::Gzip);
        else if (name == "zstd") a.codecs.push_back(Codec::Zstd);
        else if (name == "blosc") a.codecs.push_back(Codec::Blosc);
        else if (name == "crc32c") a.codecs.push_back(Codec::Crc32c);
        else return fail(reason, "has a codec \"" + name + "\" that is not read");
    }
    return true;
}

}  // namespace

int64_t ArrayMeta::chunkSamples() const {
    int64_t n = 1;
    for (int64_t c : chunks) n *= c;
    return n;
}

bool parseJson(const std::vector<uint8_t>& bytes, json& out, std::string& reason) {
    const json::parser_callback_t depth = [](int d, json::parse_event_t, json&) {
        if (d > kMaxDepth) throw TooDeep();
        return true;
    };
    try {
        out = json::parse(bytes.begin(), bytes.end(), depth);
        return true;
    } catch (const TooDeep&) {
        return fail(reason, "is JSON nested more than " + std::to_string(kMaxDepth) + " levels deep");
    } catch (const json::exception& e) {
        return fail(reason, std::string("is not JSON: ") + e.what());
    }
}

bool parseArrayV2(const json& j, ArrayMeta& a, std::string& reason) {
    a = ArrayMeta();
    a.version = 2;
    if (!j.is_object()) return fail(reason, "is not an array's metadata (a JSON object)");
    if (j.value("zarr_format", json()) != json(2)) return fail(reason, "is not Zarr format 2");
    if (!extents(j.value("shape", json()), "shape", a.shape, reason) ||
        !extents(j.value("chunks", json()), "chunk shape", a.chunks, reason))
        return false;
    const std::string dtype = text(member(j, "dtype"));
    if (dtype.size() < 3 || (dtype[0] != '<' && dtype[0] != '>' && dtype[0] != '|') ||
        !kindOf(dtype[1], std::atoi(dtype.c_str() + 2), a.samples) || dtype.size() != 3)
        return fail(reason, "has a data type " + (dtype.empty() ? std::string("that is not named") : "\"" + dtype + "\"") +
                                " that is not read (unsigned and signed integers of 1 to 8 bytes, floats of 4 or 8)");
    a.itemBytes = bitsOf(a.samples) / 8;
    a.bigEndian = dtype[0] == '>';
    if (j.value("order", std::string("C")) != "C") return fail(reason, "stores its chunks in column order (\"F\"), which is not read");
    const std::string sep = j.value("dimension_separator", std::string("."));
    if (sep != "." && sep != "/") return fail(reason, "has a dimension_separator \"" + sep + "\" not known");
    a.separator = sep[0];
    const json filters = j.value("filters", json());
    if (!filters.is_null() && !(filters.is_array() && filters.empty())) return fail(reason, "has filters, which are not read");
    const json comp = j.value("compressor", json());
    if (!comp.is_null()) {
        const std::string id = text(member(comp, "id"));
        if (id == "zlib") a.codecs.push_back(Codec::Zlib);
        else if (id == "gzip") a.codecs.push_back(Codec::Gzip);
        else if (id == "zstd") a.codecs.push_back(Codec::Zstd);
        else if (id == "blosc") a.codecs.push_back(Codec::Blosc);
        else return fail(reason, "has a compressor \"" + id + "\" that is not read");
    }
    return parseFill(j.value("fill_value", json()), a, reason) && checkChunks(a, reason);
}

bool parseArrayV3(const json& j, ArrayMeta& a, std::string& reason) {
    a = ArrayMeta();
    a.version = 3;
    if (!j.is_object() || j.value("zarr_format", json()) != json(3)) return fail(reason, "is not Zarr format 3");
    if (j.value("node_type", json()) != json("array")) return fail(reason, "is not an array's metadata");
    if (!extents(j.value("shape", json()), "shape", a.shape, reason)) return false;
    const json grid = j.value("chunk_grid", json());
    if (text(member(grid, "name")) != "regular") return fail(reason, "has a chunk grid that is not \"regular\"");
    const json* gc = member(grid, "configuration");
    if (!extents(gc ? gc->value("chunk_shape", json()) : json(), "chunk shape", a.chunks, reason)) return false;
    static const std::map<std::string, std::pair<char, int>> types = {
        {"uint8", {'u', 1}},  {"uint16", {'u', 2}}, {"uint32", {'u', 4}}, {"uint64", {'u', 8}},   {"int8", {'i', 1}},
        {"int16", {'i', 2}},  {"int32", {'i', 4}},  {"int64", {'i', 8}},  {"float32", {'f', 4}}, {"float64", {'f', 8}}};
    const std::string dtype = text(member(j, "data_type"));
    const auto t = types.find(dtype);
    if (t == types.end() || !kindOf(t->second.first, t->second.second, a.samples))
        return fail(reason, "has a data type " + (dtype.empty() ? std::string("that is not named") : "\"" + dtype + "\"") +
                                " that is not read (unsigned and signed integers of 1 to 8 bytes, floats of 4 or 8)");
    a.itemBytes = t->second.second;
    const json enc = j.value("chunk_key_encoding", json::object({{"name", "default"}}));
    const std::string encName = text(member(enc, "name"));
    const json* ec = member(enc, "configuration");
    if (encName == "default") a.prefixC = true, a.separator = '/';
    else if (encName == "v2") a.separator = '.';
    else return fail(reason, "has a chunk key encoding \"" + encName + "\" not known");
    if (ec) {
        const std::string sep = ec->value("separator", std::string(1, a.separator));
        if (sep != "." && sep != "/") return fail(reason, "has a chunk key separator \"" + sep + "\" not known");
        a.separator = sep[0];
    }
    const json* codecs = member(j, "codecs");
    if (!codecs || !codecList(*codecs, a, false, reason)) return codecs ? false : fail(reason, "has no codecs");
    if (a.chunks.size() != a.shape.size() || (a.sharded && a.shardShape.size() != a.shape.size()))
        return fail(reason, "has chunks of another number of dimensions than its shape");
    return parseFill(j.value("fill_value", json()), a, reason) && checkChunks(a, reason);
}

int namedAxes(const json& attrs) {
    const json* ms = member(attrs, "multiscales");
    if (!ms || !ms->is_array() || ms->empty()) return 0;
    const json* axes = member((*ms)[0], "axes");
    return axes && axes->is_array() ? int(axes->size()) : 0;
}

bool parseMultiscales(const json& attrs, int dims, Multiscale& m, std::string& reason) {
    m = Multiscale();
    const json* all = member(attrs, "multiscales");
    if (!all || !all->is_array() || all->empty() || !(*all)[0].is_object()) return fail(reason, "holds no \"multiscales\" image");
    const json& ms = (*all)[0];
    // Axes: names (0.3) or objects with name, type and unit (0.4 and later); without them,
    // the last dimensions are z, y and x after t and c.
    const json* axes = member(ms, "axes");
    if (axes && axes->is_array()) {
        for (const json& ax : *axes) {
            std::string name = ax.is_string() ? ax.get<std::string>() : text(member(ax, "name"));
            const std::string type = text(member(ax, "type"));
            if (name != "t" && name != "c" && name != "z" && name != "y" && name != "x")
                name = type == "time" ? "t" : type == "channel" ? "c" : "";
            if (name.empty()) return fail(reason, "names an axis that is not t, c, z, y or x");
            for (const std::string& seen : m.axes)
                if (seen == name) return fail(reason, "names the axis \"" + name + "\" twice");
            m.axes.push_back(name);
            m.units.push_back(ax.is_object() ? text(member(ax, "unit")) : std::string());
        }
    } else {
        static const char* const names[] = {"t", "c", "z", "y", "x"};
        for (int d = 0; d < dims && d < kMaxDims; ++d) m.axes.push_back(names[kMaxDims - dims + d]);
        m.units.assign(m.axes.size(), std::string());
    }
    const size_t n = m.axes.size();
    bool hasX = false, hasY = false;
    for (const std::string& a : m.axes) hasX = hasX || a == "x", hasY = hasY || a == "y";
    if (n < 2 || !hasX || !hasY) return fail(reason, "has axes without y and x");
    // Transforms: a list of scale and translation, each with one number per axis.
    const auto transforms = [&](const json& owner, std::vector<double>& scale, std::vector<double>& shift) {
        scale.assign(n, 1.0), shift.assign(n, 0.0);
        const json* list = member(owner, "coordinateTransformations");
        if (!list) return true;
        if (!list->is_array()) return fail(reason, "has coordinateTransformations that are not a list");
        for (const json& t : *list) {
            const std::string type = text(member(t, "type"));
            if (type != "scale" && type != "translation") continue;
            const json* v = member(t, type.c_str());
            if (!v) continue;  // given by a path: not read, the sizes stay unsaid
            if (!v->is_array() || v->size() != n) return fail(reason, "has a " + type + " that is not one number per axis");
            for (size_t d = 0; d < n; ++d) {
                const json& x = (*v)[d];
                if (!x.is_number() || !std::isfinite(x.get<double>()))
                    return fail(reason, "has a " + type + " that is not one number per axis");
                (type == "scale" ? scale : shift)[d] = x.get<double>();
            }
        }
        return true;
    };
    std::vector<double> outerScale, outerShift;
    if (!transforms(ms, outerScale, outerShift)) return false;
    const json* datasets = member(ms, "datasets");
    if (!datasets || !datasets->is_array() || datasets->empty()) return fail(reason, "has a multiscales image without datasets");
    if (datasets->size() > 64) return fail(reason, "has more than 64 resolution levels");
    for (const json& d : *datasets) {
        const std::string path = text(member(d, "path"));
        if (path.empty() || path.find("..") != std::string::npos || path[0] == '/')
            return fail(reason, "has a dataset without a usable path");
        std::vector<double> scale, shift;
        if (!transforms(d, scale, shift)) return false;
        // The dataset's transform first, then the image's: s2 (s1 i + t1) + t2.
        for (size_t k = 0; k < n; ++k) shift[k] = outerScale[k] * shift[k] + outerShift[k], scale[k] *= outerScale[k];
        m.paths.push_back(path);
        m.scales.push_back(scale);
        m.translations.push_back(shift);
    }
    return true;
}

std::string chunkKey(const ArrayMeta& a, const std::string& arrayPath, const std::vector<int64_t>& index) {
    std::string key = arrayPath;
    if (!key.empty()) key += '/';
    if (a.prefixC) key += 'c', key += a.separator;
    for (size_t d = 0; d < index.size(); ++d) {
        if (d) key += a.separator;
        key += std::to_string(index[d]);
    }
    return key;
}

}  // namespace formats::zarr
