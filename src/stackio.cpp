// Planning a stack from its headers and building the volume from its pages.
//
// Index of this file: the messages a refusal gives (each written once); the decoding
// pipeline; availableMemory; plan (headers, formats that stand alone or arrange their
// files, sizes, memory); mappingText; build (the wide range, then the layers).
#include "stackio.h"
#include "stackplan.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <set>
#include <system_error>
#include <tuple>
#include <utility>

#include "parallel.h"
#include "reduce.h"
#include "voxelmap.h"
#include "widemap.h"

namespace stackio {
namespace {

using formats::quoted;

std::string decimal(unsigned __int128 n) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(n % 10)));
        n /= 10;
    } while (n != 0);
    return digits;
}

// ---- Refusals ----

std::string sizeText(int w, int h) { return std::to_string(w) + " x " + std::to_string(h); }

std::string otherSize(const std::string& who, int w, int h, const Plan& p) {
    return who + " is " + sizeText(w, h) + " pixels, but the stack's first image is " + sizeText(p.width, p.height) + ".";
}

std::string noMemoryFor(const Plan& p, unsigned __int128 volume) {
    return "There is not enough memory for a " + sizeText(p.reducedWidth(), p.reducedHeight()) + " x " +
           std::to_string(p.reducedLayers()) + " volume: it needs " + decimal(volume) + " bytes";
}


// ---- Decoding in the background ----

struct Decoded {
    bool ok = false;
    Page page;
    std::string reason;
};

// Decodes layers in the background, at most `ahead` past the one taken last; take(i)
// waits for layer i. Layers must be taken in order.
class Pipeline {
public:
    Pipeline(const Plan& p, const std::vector<Layer>& layers, int ahead) : p_(p), layers_(layers), ahead_(ahead) {}
    Decoded take(int i) {
        for (; next_ < static_cast<int>(layers_.size()) && next_ <= i + ahead_; ++next_) pending_.push_back(start(next_));
        Decoded d = pending_.front().get();
        pending_.pop_front();
        return d;
    }

private:
    std::future<Decoded> start(int i) {
        const Layer l = layers_[i];
        const Plan& p = p_;
        return std::async(std::launch::async | std::launch::deferred, [&p, l] {
            Decoded d;
            d.ok = formats::decodePage(p.files[l.file], p.infos[l.file], l.page, d.page, d.reason);
            return d;
        });
    }
    const Plan& p_;
    const std::vector<Layer>& layers_;
    const int ahead_;
    int next_ = 0;
    std::deque<std::future<Decoded>> pending_;
};

// The layers of the volume as they stream: decoded pages, or at 1/k the means of each k
// decoded pages (a block of layers).
class Source {
public:
    Source(const Plan& p, const std::vector<Layer>& layers, int ahead)
        : p_(p), layers_(layers), pipe_(p, layers, ahead), reducer_(p.width, p.height, p.reduce) {}
    // Layer i of the volume (taken in order); on failure d.ok is false and problem says why.
    Decoded take(int i, std::string& problem);

private:
    const Plan& p_;
    const std::vector<Layer>& layers_;
    Pipeline pipe_;
    reduce::Reducer reducer_;
};

// Checks a decoded page against the plan; the refusal message if it does not fit.
std::string misfit(const Plan& p, const Layer& l, const Decoded& d) {
    if (!d.ok) return who(p, l) + " " + d.reason + ".";
    if (d.page.width != p.width || d.page.height != p.height) return otherSize(who(p, l), d.page.width, d.page.height, p);
    return {};
}

Decoded Source::take(int i, std::string& problem) {
    if (p_.reduce == 1) {
        Decoded d = pipe_.take(i);
        problem = misfit(p_, layers_[i], d);
        return d;
    }
    const int first = i * p_.reduce, end = std::min<int>(first + p_.reduce, static_cast<int>(layers_.size()));
    Decoded out;
    for (int n = first; n < end; ++n) {
        Decoded d = pipe_.take(n);
        problem = misfit(p_, layers_[n], d);
        if (!problem.empty()) return out;
        std::string reason;
        if (!reducer_.add(d.page, reason)) {
            problem = who(p_, layers_[n]) + " " + reason + ".";
            return out;
        }
        formats::addWarning(out.page.warning, d.page.warning);
    }
    std::string warning = std::move(out.page.warning);
    out.page = reducer_.take();
    out.page.warning = std::move(warning);
    out.ok = true;
    return out;
}

// At 1/k, the pages of huge layers read in bands: the k pages of a block of layers each on a
// thread of its own, averaged as their bands arrive (see reduce::BandReducer), each reduced
// row handed to emit once done. Holds a band a page and the reducer's ring, never a page.
using RowSink = std::function<void(const Page& row, int y)>;
bool takeInBands(const Plan& p, const std::vector<Layer>& layers, int i, reduce::BandReducer& reducer, const RowSink& emit,
                 std::string& warning, std::string& problem) {
    const int first = i * p.reduce, n = std::min<int>(p.reduce, static_cast<int>(layers.size()) - first);
    reducer.begin(n, emit);
    std::vector<std::string> problems(static_cast<size_t>(n)), warnings(static_cast<size_t>(n));
    const auto page = [&](int j) {
        const Layer l = layers[size_t(first + j)];
        std::string& said = problems[size_t(j)];
        Page out;
        std::string reason;
        const auto take = [&](Page& band, int y0) {
            std::string why;
            if (band.width != p.width) return said = otherSize(who(p, l), band.width, p.height, p), false;
            if (!reducer.add(j, band, y0, why)) return said = why.empty() ? "" : who(p, l) + " " + why + ".", false;
            return true;
        };
        if (formats::decodePageBands(p.files[l.file], p.infos[l.file], l.page, take, out, reason)) {
            if (out.width != p.width || out.height != p.height) said = otherSize(who(p, l), out.width, out.height, p);
        } else if (said.empty() && !reason.empty()) {
            said = who(p, l) + " " + reason + ".";
        }
        warnings[size_t(j)] = std::move(out.warning);
        reducer.finish(j);  // a page that failed counts as past every row, so the others go on
    };
    std::vector<std::future<void>> running;
    int started = 0;
    try {
        for (; started < n; ++started) running.push_back(std::async(std::launch::async, page, started));
    } catch (const std::system_error&) {  // no thread to start: the pages started end, the rest are not read
        reducer.stop();
        for (int j = started; j < n; ++j) reducer.finish(j);
        problems[size_t(started)] = who(p, layers[size_t(first + started)]) + " " + formats::kNoMemory + ".";
    }
    for (std::future<void>& f : running) f.get();
    for (int j = 0; j < n; ++j) formats::addWarning(warning, warnings[size_t(j)]);
    for (const std::string& said : problems)
        if (!said.empty()) return problem = said, false;
    return true;
}

// Formats loaded only among their own files: the refusal when the files mix them, or empty.
std::string mixed(const Plan& p) {
    // Files of one format that stacks (all of a disc's slices): nothing to compare pairwise.
    const bool oneReader = std::all_of(p.infos.begin(), p.infos.end(),
                                       [&](const FileInfo& i) { return i.reader == p.infos.front().reader; });
    if (oneReader && (p.infos.empty() || !p.infos.front().reader->wholeVolume)) return {};
    for (size_t f = 0; f < p.infos.size(); ++f) {
        const formats::Reader* r = p.infos[f].reader;
        if (!r->alone) continue;
        for (size_t g = 0; g < p.infos.size(); ++g) {
            if (p.files[g] == p.files[f]) continue;
            if (r->wholeVolume)
                return quoted(p.files[f]) + " is " + r->alone + ", a whole volume: it is loaded by itself, not with " +
                       quoted(p.files[g]) + ".";
            if (p.infos[g].reader != r)
                return quoted(p.files[f]) + " is " + r->alone + " and " + quoted(p.files[g]) +
                       " is not: a stack is loaded from files of one kind.";
        }
    }
    return {};
}

// Every page of every file in the order given, and the first file's voxel size.
void arrangeInOrder(Plan& p) {
    for (size_t f = 0; f < p.files.size(); ++f)
        for (size_t k = 0; k < p.infos[f].pages.size(); ++k) p.order.push_back({int(f), int(k)});
    if (p.infos.empty()) return;
    const FileInfo& first = p.infos.front();
    const double* s = first.voxelSize;
    if (s[0] > 0 && s[1] > 0) {
        p.voxelSize[0] = s[0], p.voxelSize[1] = s[1], p.voxelSize[2] = s[2] > 0 ? s[2] : s[0];
        p.unit = first.unit;
    }
    for (size_t f = 1; f < p.infos.size(); ++f) {
        const FileInfo& i = p.infos[f];
        if (i.voxelSize[0] > 0 && (i.voxelSize[0] != s[0] || i.voxelSize[1] != s[1] || i.unit != first.unit)) {
            p.notes.push_back("The files say different voxel sizes; the first file's is used (" + quoted(p.files[f]) +
                              " differs).");
            break;
        }
    }
    p.valueUnit = first.valueUnit, p.description = first.description;
    // A whole volume (NIfTI) says where it lies; a stack of several files does not.
    p.hasAxes = first.hasAxes && p.infos.size() == 1;
    std::copy(&first.axes[0][0], &first.axes[0][0] + 9, &p.axes[0][0]);
    if (first.suggestsWindow)  // the first file's, as a series takes its first slice's
        p.hasWindow = true, p.windowLo = first.suggestedLo, p.windowHi = first.suggestedHi;
    // A file's notes are clauses after its name, as its refusals are.
    for (size_t f = 0; f < p.infos.size(); ++f)
        for (const std::string& n : p.infos[f].notes) p.notes.push_back(quoted(p.files[f]) + " " + n);
}

}  // namespace

int64_t availableMemory() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    int64_t kb = 0;
    std::string unit;
    while (in >> key >> kb) {
        std::getline(in, unit);
        if (key == "MemAvailable:") return kb * 1024;
    }
    return -1;
}

int Plan::reducedWidth() const { return reduce::reducedSize(width, reduce); }
int Plan::reducedHeight() const { return reduce::reducedSize(height, reduce); }
int Plan::reducedLayers() const { return reduce::reducedSize(layers, reduce); }

unsigned __int128 volumeBytes(const Plan& p, int k) {
    return static_cast<unsigned __int128>(reduce::reducedSize(p.width, k)) * unsigned(reduce::reducedSize(p.height, k)) *
           unsigned(reduce::reducedSize(p.layers, k)) * 4;
}

bool readsInBands(const Plan& p, int k) { return k > 1 && p.bandBytes > 0 && p.decodeBytes > kWholePageBytes; }

unsigned __int128 decodingBytes(const Plan& p, int k) {
    if (readsInBands(p, k))
        return static_cast<unsigned __int128>(std::min(k, p.layers)) * uint64_t(p.bandBytes) +
               uint64_t(reduce::BandReducer::ringBytes(p.width, p.height, k, p.bandRows));
    const unsigned __int128 buffers = static_cast<unsigned __int128>(p.inFlight) * uint64_t(p.decodeBytes);
    return k == 1 ? buffers : buffers + uint64_t(reduce::accumulatorBytes(p.width, p.height, k));
}

bool plan(const std::vector<std::string>& files, Plan& p, std::string& problem, int64_t memoryAvailable,
          const Choose& choose, int reduce, const Region& region) {
    Listing named;
    named.files = files;
    return plan(named, p, problem, memoryAvailable, choose, reduce, region);
}


bool plan(const Listing& listing, Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose,
          int reduce, const Region& region) {
    p = Plan();
    problem.clear();
    p.reduce = reduce == 2 || reduce == 4 || reduce == 8 || reduce == 16 ? reduce : 1;
    p.passedOver = listing.indexes;
    // Many files found in folders (a disc's DICOM slices, whose reader is safe on several
    // threads): their headers are read on all cores first, each file by one thread.
    const size_t count = listing.files.size();
    struct Read {
        FileInfo info;
        std::string reason;
        bool ok = false, done = false;
    };
    std::vector<Read> early(count >= 64 ? count : 0);
    if (!early.empty()) {
        std::atomic<size_t> next{0};
        const auto work = [&] {
            for (size_t f; (f = next++) < count;)
                if (f < listing.found.size() && listing.found[f])
                    early[f].ok = formats::readHeader(listing.files[f], early[f].info, early[f].reason), early[f].done = true;
        };
        std::vector<std::future<void>> workers;
        for (int w = 1; w < workerCount(); ++w) workers.push_back(std::async(std::launch::async, work));
        work();
        for (std::future<void>& w : workers) w.get();
    }
    std::map<std::string, size_t> seen;  // a file named twice is read once
    int64_t pages = 0;
    for (size_t f = 0; f < count; ++f) {
        const std::string& path = listing.files[f];
        const auto hit = seen.find(path);
        if (hit != seen.end()) {
            p.infos.push_back(p.infos[hit->second]);
        } else {
            FileInfo info;
            std::string reason;
            const bool ok = early.empty() || !early[f].done
                                ? formats::readHeader(path, info, reason)
                                : (info = std::move(early[f].info), reason = std::move(early[f].reason), early[f].ok);
            if (!ok) {
                // Reports, presentation states and the like found in a folder are no layers.
                if (info.withoutImage && f < listing.found.size() && listing.found[f]) {
                    ++p.passedOver;
                    continue;
                }
                problem = quoted(path) + " " + reason + ".";
                return false;
            }
            seen.emplace(path, p.infos.size());
            p.infos.push_back(std::move(info));
        }
        p.files.push_back(path);
        pages += static_cast<int64_t>(p.infos.back().pages.size());
    }
    if (pages > INT_MAX) {
        problem = "A stack of " + std::to_string(pages) + " images is more than a volume can hold.";
        return false;
    }
    // A file that is a whole volume, or a slice placed by its own position, is one thing:
    // named twice, it is loaded once (images of a plain stack repeat as they are named).
    // (By a set: a disc holds tens of thousands of files.)
    if (seen.size() < p.files.size()) {
        std::vector<std::string> files;
        std::vector<FileInfo> infos;
        std::set<std::string> kept;
        for (size_t f = 0; f < p.files.size(); ++f) {
            const formats::Reader* r = p.infos[f].reader;
            if (!kept.insert(p.files[f]).second && (r->wholeVolume || r->arrange)) continue;
            files.push_back(std::move(p.files[f]));
            infos.push_back(std::move(p.infos[f]));
        }
        p.files = std::move(files);
        p.infos = std::move(infos);
    }
    problem = mixed(p);
    if (!problem.empty()) return false;
    return detail::planRegion(p, problem, memoryAvailable, choose, region);
}

namespace detail {

bool finish(Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose, bool& forMemory) {
    forMemory = false;
    const formats::Reader* reader = p.infos.empty() ? nullptr : p.infos.front().reader;
    if (reader && reader->arrange) {
        if (!reader->arrange(p, choose, problem)) return false;
    } else {
        arrangeInOrder(p);
    }

    for (size_t n = 0; n < p.order.size(); ++n) {
        const Layer& l = p.order[n];
        const PageInfo& pg = p.infos[l.file].pages[l.page];
        if (int64_t(pg.width) * pg.height > kMaxPixels) {
            problem = who(p, l) + " is " + sizeText(pg.width, pg.height) + " pixels, larger than the toolkit's images can hold (" +
                      std::to_string(kMaxPixels) + " pixels).";
            return false;
        }
        if (n == 0) {
            p.width = pg.width, p.height = pg.height;
        } else if (pg.width != p.width || pg.height != p.height) {
            problem = otherSize(who(p, l), pg.width, pg.height, p);
            return false;
        }
        p.has16 = p.has16 || pg.bits == 16;
        p.decodeBytes = std::max(p.decodeBytes, p.infos[l.file].decodeBytes);
        const FileInfo& info = p.infos[l.file];
        const bool bands = info.reader->decodeBands && info.bandBytes > 0 && (n == 0 || p.bandBytes > 0);
        p.bandBytes = bands ? std::max(p.bandBytes, info.bandBytes) : 0;
        p.bandRows = bands ? std::max(p.bandRows, info.bandRows) : 0;
    }
    p.layers = static_cast<int>(p.order.size());
    p.inFlight = std::max(2, workerCount()) + 2;
    p.inBands = readsInBands(p, p.reduce);
    for (double& s : p.voxelSize) s *= p.reduce;
    const int64_t available = memoryAvailable >= 0 ? memoryAvailable : availableMemory();
    auto fits = [&](int k) {
        return available < 0 ||
               volumeBytes(p, k) + decodingBytes(p, k) <= static_cast<unsigned __int128>(available);
    };
    if (!fits(p.reduce)) {
        const unsigned __int128 buffers = decodingBytes(p, p.reduce);
        forMemory = true;
        problem = noMemoryFor(p, volumeBytes(p, p.reduce)) + ", and " + decimal(buffers) +
                  " more while decoding, but only " + std::to_string(available) + " bytes are available.";
        for (int k = p.reduce * 2; k <= 16 && !p.fitsAt; k *= 2)
            if (fits(k)) p.fitsAt = k;
        return false;
    }
    if (available >= 0)
        p.originalsBudget = static_cast<int64_t>(static_cast<unsigned __int128>(available) - volumeBytes(p, p.reduce) -
                                                 decodingBytes(p, p.reduce));
    return true;
}

}  // namespace detail


std::string mappingText(const Outcome& o) {
    if (!o.mappedWide) return {};
    const char* kind = "wide";
    // Whole numbers within long long (rescaled values can lie far outside it) print as integers.
    auto integral = [](double v) { return std::fabs(v) < 9.2e18 && v == std::trunc(v); };
    bool whole = integral(o.wideLo) && integral(o.wideHi);
    for (int k = 0; k < formats::kSampleKinds; ++k) {
        const auto s = static_cast<Samples>(k);
        if (o.wideKinds == 1u << k) kind = formats::nameOf(s);
        if ((o.wideKinds & (1u << k)) && (s == Samples::Float32 || s == Samples::Float64)) whole = false;
    }
    char range[64];
    if (!whole)
        std::snprintf(range, sizeof range, "%g..%g", o.wideLo, o.wideHi);
    else
        std::snprintf(range, sizeof range, "%lld..%lld", static_cast<long long>(o.wideLo), static_cast<long long>(o.wideHi));
    return std::string(kind) + " samples " + range + " mapped to 0..255";
}

namespace {

// Copies the colour samples of a page into layer k of the originals.
template <class T>
void keepPage(const Page& pg, Originals& o, int k) {
    T* dst = o.data<T>(k);
    const int ch = pg.channels, colours = widemap::colourChannels(ch);
    const size_t pixels = size_t(pg.width) * pg.height;
    formats::withStored(pg, [&](auto stored) {
        if (colours == ch) {  // no alpha to leave out: one run the compiler turns into a copy
            for (size_t i = 0, n = pixels * size_t(ch); i < n; ++i) dst[i] = static_cast<T>(stored(i));
            return;
        }
        for (size_t n = 0; n < pixels; ++n)
            for (int c = 0; c < colours; ++c) dst[n * colours + c] = static_cast<T>(stored(n * ch + c));
    });
}
void keepPage(const Page& pg, Originals& o, int k) {
    switch (o.held) {
        case Held::Unsigned8: return keepPage<uint8_t>(pg, o, k);
        case Held::Signed8: return keepPage<int8_t>(pg, o, k);
        case Held::Unsigned16: return keepPage<uint16_t>(pg, o, k);
        case Held::Signed16: return keepPage<int16_t>(pg, o, k);
        case Held::Unsigned32: return keepPage<uint32_t>(pg, o, k);
        case Held::Signed32: return keepPage<int32_t>(pg, o, k);
        case Held::Float32: return keepPage<float>(pg, o, k);
        case Held::Unsigned64: return keepPage<uint64_t>(pg, o, k);
        case Held::Signed64: return keepPage<int64_t>(pg, o, k);
        case Held::Float64: return keepPage<double>(pg, o, k);
    }
}

// Stops the fetching of formats that fetch (an image over HTTP) when a load is cancelled.
void stopFetching(const Plan& p) {
    for (const FileInfo& info : p.infos)
        if (info.reader && info.reader->cancel) info.reader->cancel(info);
}

void listWarnings(const Plan& p, const std::vector<std::string>& warned, Outcome& o) {
    std::map<std::string, bool> listed;
    for (size_t f = 0; f < p.files.size(); ++f)
        if (!warned[f].empty() && !listed[p.files[f]]) {
            listed[p.files[f]] = true;
            o.warnings.push_back(quoted(p.files[f]) + ": " + warned[f]);
        }
}

// A wide stack in one pass: each page decoded once, its colour samples kept in the originals,
// the volume made from them at the full range at the end. Alpha as the pages' own mapping
// makes it, taken from the layer that mapping writes. False when the originals do not fit:
// then nothing is reported and the caller reads the stack in two passes.
bool buildKeeping(const Plan& p, Held held, voxelmap& into, Outcome& o, const std::function<bool(int)>& progress) {
    auto kept = std::make_unique<Originals>();
    int colours = 0;                            // the colour channels every layer has room for
    std::vector<char> withAlpha(size_t(p.layers), 0);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    widemap::Tables16 tables;
    std::vector<std::string> warned(p.files.size());
    Pipeline pipe(p, p.order, p.inFlight - 2);
    for (int i = 0; i < p.layers; ++i) {
        const Decoded d = pipe.take(i);
        o.problem = misfit(p, p.order[i], d);
        if (!o.problem.empty()) break;
        const Page& pg = d.page;
        const int c = widemap::colourChannels(pg.channels);
        if (colours == 0) {
            // Room for this page's colour channels in every layer (and an alpha byte a voxel).
            colours = c;
            OriginalLayer room;
            room.channels = colours;
            const int64_t voxels = int64_t(p.width) * p.height * p.layers;
            if (p.originalsBudget >= 0 && Originals::bytesFor(held, voxels, colours, true) > p.originalsBudget) return false;
            if (!kept->allocate(p.width, p.height, held, std::vector<OriginalLayer>(size_t(p.layers), room), false))
                return false;
            if (!into.allocate(p.width, p.height, p.layers)) {
                o.problem = noMemoryFor(p, volumeBytes(p, 1)) + ".";
                return true;
            }
        }
        if (c > colours) return false;  // an RGB page after grey ones
        const PageInfo& info = p.infos[size_t(p.order[i].file)].pages[size_t(p.order[i].page)];
        OriginalLayer& l = kept->layers[size_t(i)];
        l.kind = pg.samples, l.channels = c;
        l.slope = pg.slope, l.intercept = pg.intercept, l.invert = pg.invert;
        l.copied = !info.wide();
        l.lost = pg.lost, l.lostAreColumns = pg.lostAreColumns;
        keepPage(pg, *kept, i);
        if (info.wide()) {
            widemap::widenRange(pg, lo, hi);
            o.wideKinds |= 1u << int(pg.samples);
        }
        if (widemap::hasAlpha(pg.channels)) {
            // The layer's alpha as the load maps it; its colour is made again at the end.
            withAlpha[size_t(i)] = 1;
            widemap::copyLayer(into, i, pg, 0, 0, tables.of(pg, 0, 0));
        }
        if (!pg.warning.empty()) formats::addWarning(warned[size_t(p.order[i].file)], pg.warning);
        if (!progress(i)) {
            o.cancelled = true;
            stopFetching(p);
            break;
        }
    }
    if (!o.problem.empty() || o.cancelled) {
        into.clear();
        return true;
    }
    if (std::find(withAlpha.begin(), withAlpha.end(), 1) != withAlpha.end()) {
        const int64_t plane = int64_t(p.width) * p.height;
        kept->alpha = allocateBig<unsigned char>(size_t(plane * p.layers));
        if (!kept->alpha) return false;
        for (int k = 0; k < p.layers; ++k) {
            unsigned char* a = kept->alpha.get() + k * plane;
            const voxel* v = into.voxels.get() + k * plane;
            for (int64_t n = 0; n < plane; ++n) a[n] = withAlpha[size_t(k)] ? v[n].a : 255;
        }
    }
    if (lo > hi) lo = hi = 0;  // no finite sample
    o.mappedWide = true, o.wideLo = lo, o.wideHi = hi;
    kept->lo = lo, kept->hi = hi;
    kept->valueUnit = p.valueUnit;
    kept->remap(lo, hi, into.voxels.get());
    o.originals = std::move(kept);
    listWarnings(p, warned, o);
    return true;
}

}  // namespace

Outcome build(const Plan& p, voxelmap& into, const std::function<bool(int)>& progress) {
    Outcome o;
    into.clear();
    // Reduced, the range is that of the means: every page is read for it.
    std::vector<Layer> wide;
    bool anyWide = false;
    unsigned kinds = 0;
    for (const Layer& l : p.order) {
        const PageInfo& info = p.infos[l.file].pages[l.page];
        const bool w = info.wide();
        anyWide = anyWide || w;
        if (w) kinds |= 1u << int(info.samples);
        if (w || p.reduce > 1) wide.push_back(l);
    }
    if (!anyWide) wide.clear();
    if (!wide.empty()) {
        // At full size the originals are kept and each page decoded once; reduced, the
        // means are read twice (range, then layers) and no originals are kept.
        if (p.reduce == 1) {
            // One kind is held as it is; several as double.
            Held held = Held::Float64;
            for (int k = 0; k < formats::kSampleKinds; ++k)
                if (kinds == 1u << k) held = static_cast<Samples>(k);
            bool fits = false;
            try {
                fits = buildKeeping(p, held, into, o, progress);
            } catch (const std::bad_alloc&) {
                fits = false;  // the originals' scratch or a table: read without them
            }
            if (fits) return o;
            o = Outcome();
            into.clear();
        }
        o.originalsDropped = true;
    }
    const int ahead = p.inFlight - 2;
    reduce::BandReducer reducer(p.width, p.height, p.reduce, std::max(1, p.bandRows));  // (in bands only)
    // First the range of the wide samples: their pages are decoded once for it alone,
    // so no more than a few pages are held at a time.
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    if (!wide.empty()) {
        Source source(p, wide, ahead);
        const int count = p.reduce > 1 ? p.reducedLayers() : static_cast<int>(wide.size());
        const auto widen = [&](const Page& pg) {
            if (!pg.wide()) return;
            widemap::widenRange(pg, lo, hi);
            o.wideKinds |= 1u << int(pg.samples);
        };
        for (int i = 0; i < count; ++i) {
            std::string warning;
            if (p.inBands) {
                if (!takeInBands(p, wide, i, reducer, [&](const Page& row, int) { widen(row); }, warning, o.problem)) return o;
            } else {
                const Decoded d = source.take(i, o.problem);
                if (!o.problem.empty()) return o;
                if (!d.page.wide()) continue;
                widen(d.page);
            }
            if (!progress(0)) {
                o.cancelled = true;
                stopFetching(p);
                return o;
            }
        }
        if (lo > hi) lo = hi = 0;  // no finite sample
        o.mappedWide = true, o.wideLo = lo, o.wideHi = hi;
    }
    if (!into.allocate(p.reducedWidth(), p.reducedHeight(), p.reducedLayers())) {
        o.problem = noMemoryFor(p, volumeBytes(p, p.reduce)) + ".";
        return o;
    }
    // The tables of 16-bit pages, one per kind and meaning of the samples.
    std::map<std::tuple<Samples, double, double, bool>, std::vector<unsigned char>> tables;
    static const std::vector<unsigned char> none;
    std::vector<std::string> warned(p.files.size());
    Source source(p, p.order, ahead);
    const auto tableOf = [&](const Page& pg) -> const std::vector<unsigned char>& {
        if (pg.samples != Samples::Unsigned16 && pg.samples != Samples::Signed16) return none;
        auto& t = tables[std::make_tuple(pg.samples, pg.slope, pg.intercept, pg.invert)];
        if (t.empty()) t = widemap::table16(pg, lo, hi);
        return t;
    };
    // In bands, each layer's fresh memory is made ready on a thread of its own while the layer
    // before is read: on a virtual machine writing fresh pages can cost more than reducing the
    // rows written to them, and the rows are written one thread at a time.
    const auto ready = [&](int layer) {
        const size_t bytes = size_t(into.width) * into.height * sizeof(voxel);
        return p.inBands && layer < into.depth ? prefaultLater(&into.voxels[into.index(0, 0, layer)], bytes)
                                               : std::future<void>();
    };
    std::future<void> readying = ready(0);
    for (int i = 0; i < into.depth; ++i) {
        std::string warning;
        std::future<void> next = ready(i + 1);
        if (p.inBands) {
            bool noMemory = false;
            const auto copy = [&](const Page& row, int y) {
                try {
                    widemap::copyLayer(into, i, row, lo, hi, tableOf(row), y);
                } catch (const std::bad_alloc&) {  // a table: the layer cannot be made
                    noMemory = true;
                }
            };
            if (!takeInBands(p, p.order, i, reducer, copy, warning, o.problem)) break;
            if (noMemory) {
                o.problem = noMemoryFor(p, volumeBytes(p, p.reduce)) + ".";
                break;
            }
        } else {
            const Decoded d = source.take(i, o.problem);
            if (!o.problem.empty()) break;
            widemap::copyLayer(into, i, d.page, lo, hi, tableOf(d.page));
            warning = d.page.warning;
        }
        if (!warning.empty()) formats::addWarning(warned[p.order[size_t(i) * p.reduce].file], warning);
        if (!progress(i)) {
            o.cancelled = true;
            stopFetching(p);
            break;
        }
        readying = std::move(next);  // (this layer's own is joined as its future goes)
    }
    if (readying.valid()) readying.wait();
    if (!o.problem.empty() || o.cancelled) {
        into.clear();
        return o;
    }
    listWarnings(p, warned, o);
    return o;
}

}  // namespace stackio
