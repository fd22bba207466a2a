// stackio: reading a stack of files into a voxel volume; the formats themselves are read
// by the readers in formats/.
//
// A load has two steps. plan() reads only the files' headers (size, pages, samples, what
// they say of voxel size and values) and refuses, before any pixel is decoded or any voxel
// allocated, a stack whose images differ in size, an image too large to hold, or a volume
// that does not fit in the memory the system has available. Formats that arrange their own
// files (DICOM series) choose and order the layers here. build() then decodes every page in
// the background, a few ahead of the one being copied into the volume, in layer order.
//
// Every page becomes one z layer. 8-bit samples are copied as they are; wide samples are
// mapped onto 0..255 by one range over all wide pages of the stack (see widemap.h). Paths
// are UTF-8.
//
// Threads: plan() and build() run on the caller's thread and return only when done; build()
// decodes pages on worker threads (std::async), each into its own Page, and copies them into
// the volume on the caller's thread, which alone calls progress.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "formats/format.h"
#include "originals.h"

class voxelmap;

namespace stackio {

using formats::Choose;
using formats::FileInfo;
using formats::Layer;
using formats::Page;
using formats::PageInfo;
using formats::Samples;

// Folders stand for the image files directly inside them (by extension, whatever its
// case), in natural name order, or, in a folder without them, for the files inside that
// a format recognises by their content and arranges itself (DICOM slices, usually without
// an extension); other paths are kept as given. False, with the reason in problem, for a
// folder without such files.
bool expandPaths(const std::vector<std::string>& paths, std::vector<std::string>& files, std::string& problem);
// The files of a load: folders expanded as expandPaths does, where a folder without image
// files directly inside stands for the DICOM files anywhere below it (see folderwalk.h).
struct Listing {
    std::vector<std::string> files;
    std::vector<bool> found;         // per file: found in a folder (not named by itself)
    std::vector<std::string> notes;  // what the walks could not do, for the message after the load
    int indexes = 0;                 // DICOMDIRs under other names the walks passed over
};
// The same as expandPaths, with what the walks say besides.
bool listPaths(const std::vector<std::string>& paths, Listing& out, std::string& problem);
// Name order with digit runs compared as numbers: "l2.png" before "l10.png".
bool naturalLess(const std::string& a, const std::string& b);
// Whether the name ends in .png, .jpg, .jpeg, .tif or .tiff, whatever the case.
bool hasImageExtension(const std::string& name);
// MemAvailable of /proc/meminfo in bytes; -1 if unknown.
int64_t availableMemory();
// The most pixels one image may have: what the toolkit's RGB images can hold.
constexpr int64_t kMaxPixels = 0x7fffffff / 3;

// What of a multiscale image (an OME-Zarr pyramid) a load reads: a level (0: the finest; -1:
// the finest at which the region fits in memory, without asking) and a box of the finest
// level's voxels, x0, x1, y0, y1, z0, z1, ends exclusive (see formats::Reader::select).
struct Region {
    int level = 0;
    bool whole = true;
    int box[6] = {0, 0, 0, 0, 0, 0};
};

// The stack as its headers describe it: the files, their headers, the layers and what the
// files say of them (formats::Arrangement, what a format that arranges its files fills in),
// and how it is read.
struct Plan : formats::Arrangement {
    bool has16 = false;           // some page is read at 16 bits
    int inFlight = 2;             // pages decoded at the same time
    int64_t decodeBytes = 0;      // the most one page's decoding holds
    // Where every page can be read in bands (FileInfo::bandBytes): the most a page's decoding
    // then holds, and the most rows a band brings; 0 where some page cannot.
    int64_t bandBytes = 0;
    int bandRows = 0;
    // Reduced, pages are read in bands and averaged as they arrive, the pages of a block of
    // layers at once: so planned for pages of more than kWholePageBytes.
    bool inBands = false;
    // Opened at 1/reduce: each voxel the mean of a reduce^3 block (see reduce.h). width,
    // height and layers stay the full stack's; the volume is reducedWidth() x ...
    int reduce = 1;
    // After a refusal for memory: the smallest factor of 2, 4, 8 or 16 at which the stack
    // fits (0: none does, or the refusal was not for memory).
    int fitsAt = 0;
    int reducedWidth() const;
    int reducedHeight() const;
    int reducedLayers() const;
    // Bytes the original samples of a wide stack may take beside the volume and the decoding
    // (what the memory check leaves); -1: no limit known.
    int64_t originalsBudget = -1;
    // Files found in folders that hold no image (reports, indexes, ...), passed over.
    int passedOver = 0;
    // A multiscale image: the level planned, and the image's levels, finest first (empty for
    // other formats). After a refusal for memory: the finest level at which the region fits
    // (-1: none; then fitsAt may offer a reduction of the coarsest level, which p describes).
    int level = 0;
    std::vector<formats::Level> levels;
    int fitsLevel = -1;
    // Where the first voxel's corner lies, in unit, where the file says (kept, not applied).
    bool hasTranslation = false;
    double translation[3] = {0, 0, 0};
};

// Reads every header, arranges the layers and checks sizes and memory, for a volume at
// 1/reduce (1, 2, 4, 8 or 16). memoryAvailable < 0: ask the system. choose picks one of
// several series (none given: the first). On refusal
// returns false with the whole message in problem; when choose cancels, false with problem
// empty.
bool plan(const std::vector<std::string>& files, Plan& p, std::string& problem, int64_t memoryAvailable = -1,
          const Choose& choose = {}, int reduce = 1, const Region& region = Region());
// The same for listed files: a file found in a folder that holds no image (a report, a
// presentation state, an index) is passed over and counted in passedOver.
bool plan(const Listing& listing, Plan& p, std::string& problem, int64_t memoryAvailable = -1,
          const Choose& choose = {}, int reduce = 1, const Region& region = Region());
// The question offering a level of a multiscale image, index of count (0-based, as the
// image's own paths number them), whose volume takes bytes:
// "Open level 2 of 5: 512 x 512 x 128 voxels, 128 MB?".
std::string levelText(const formats::Level& l, int index, int count, int64_t bytes);
// Reduced, pages whose decoding holds more than this are read in bands.
constexpr int64_t kWholePageBytes = int64_t(64) << 20;
// Whether a plan at 1/reduce reads its pages in bands.
bool readsInBands(const Plan& p, int reduce);
// The bytes a volume of the plan at 1/reduce needs, and those its decoding holds besides:
// pages whole, the pages in flight and the sums of a reduced layer (reduce::accumulatorBytes);
// in bands, a band of each page of a block of layers and a ring of reduced rows
// (reduce::BandReducer::ringBytes).
unsigned __int128 volumeBytes(const Plan& p, int reduce);
unsigned __int128 decodingBytes(const Plan& p, int reduce);
// "\"path\"" or "\"path\", page 3 of 5," for a refusal naming one layer.
using formats::who;

struct Outcome {
    std::string problem;                // not empty: refused (the whole message)
    bool cancelled = false;             // progress answered false
    std::vector<std::string> warnings;  // per damaged file: "\"path\": the decoder's words"
    // Wide samples of any kind were mapped wideLo..wideHi to 0..255 (the range leaves out NaN
    // and infinities; 0..0 when it holds no sample); wideKinds has bit 1 << Samples for each kind.
    bool mappedWide = false;
    unsigned wideKinds = 0;
    double wideLo = 0, wideHi = 0;
    // The samples of a wide stack, kept so that its window can change (the volume is their
    // full range); null for an 8-bit stack, or when they did not fit (then originalsDropped).
    std::unique_ptr<Originals> originals;
    bool originalsDropped = false;
};

// What the status bar says of the mapping, e.g. "16-bit signed samples -1024..3071 mapped to
// 0..255"; empty when nothing was mapped.
std::string mappingText(const Outcome& o);

// Decodes the planned stack into into (emptied first), reduced as planned. progress(layer) is called on the
// calling thread after each layer (and with 0 while the wide range is read); false cancels.
// On refusal or cancel into is left empty. A wide stack decodes each page once: its samples
// go into the originals, and the volume is made from them at the end; where they do not fit
// (the plan's budget, or the system's memory), its pages are decoded twice instead, first
// for the range, then to fill the volume, and no originals are kept.
Outcome build(const Plan& p, voxelmap& into, const std::function<bool(int)>& progress);

}  // namespace stackio
