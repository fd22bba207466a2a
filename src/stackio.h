// stackio: reading a stack of image files (PNG, JPEG, TIFF) into a voxel volume.
//
// A load has two steps. plan() reads only the files' headers (size, pages, bits per
// sample) and refuses, before any pixel is decoded or any voxel allocated, a stack
// whose images differ in size, an image too large to hold, or a volume that does not
// fit in the memory the system has available. build() then decodes every page in the
// background, a few ahead of the one being copied into the volume, in stack order.
//
// Every page becomes one z layer. 8-bit samples are copied as they are; wide colour samples
// (16-bit, and a TIFF's 16-bit signed and 32-bit integer or floating-point ones) are mapped
// onto 0..255 by one range over all wide pages of the stack, and wide alpha keeps its high
// byte (floating-point alpha: 0..1). Paths are UTF-8.
//
// A TIFF page is shown as its Orientation says (a transposed page has its width and height
// swapped, in the header already). A TIFF page of which some strips or tiles cannot be read
// still loads: those rows are transparent black, left out of the wide range, and named in
// the file's warning; a page of which no row can be read does not decode.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class voxelmap;

namespace stackio {

enum class Format { None, PNG, JPEG, TIFF };

// How a page's samples are read: Unsigned8 pages are copied, all others are wide.
enum class Samples { Unsigned8, Unsigned16, Signed16, Unsigned32, Signed32, Float32 };

// What a header says about one page.
struct PageInfo {
    int width = 0, height = 0;  // as shown
    int bits = 8;  // 8, or 16 or 32 when the page is read at full depth
    uint64_t tiffOffset = 0;  // TIFF: where the page's directory starts
    Samples samples = Samples::Unsigned8;
};

struct FileInfo {
    Format format = Format::None;
    std::vector<PageInfo> pages;
    int64_t decodeBytes = 0;  // the most one page's decoding holds at a time
};

// Folders stand for the image files directly inside them (by extension, whatever its
// case), in natural name order; other paths are kept as given. False, with the reason
// in problem, for a folder without image files.
bool expandPaths(const std::vector<std::string>& paths, std::vector<std::string>& files, std::string& problem);
// Name order with digit runs compared as numbers: "l2.png" before "l10.png".
bool naturalLess(const std::string& a, const std::string& b);
// Whether the name ends in .png, .jpg, .jpeg, .tif or .tiff, whatever the case.
bool hasImageExtension(const std::string& name);
// MemAvailable of /proc/meminfo in bytes; -1 if unknown.
int64_t availableMemory();
// The most pixels one image may have: what the toolkit's RGB images can hold.
constexpr int64_t kMaxPixels = 0x7fffffff / 3;

// Reads the header of path; false, with the reason (a clause after the quoted name), if
// it is not a readable image.
bool readHeader(const std::string& path, FileInfo& info, std::string& reason);

// The stack as its headers describe it.
struct Plan {
    std::vector<std::string> files;
    std::vector<FileInfo> infos;  // one per file
    int width = 0, height = 0, layers = 0;
    bool has16 = false;           // some page is read at 16 bits
    int inFlight = 2;             // pages decoded at the same time
    int64_t decodeBytes = 0;      // the most one page's decoding holds
};

// Reads every header and checks sizes and memory. memoryAvailable < 0: ask the system.
// On refusal returns false with the whole message in problem.
bool plan(const std::vector<std::string>& files, Plan& p, std::string& problem, int64_t memoryAvailable = -1);

struct Outcome {
    std::string problem;                // not empty: refused (the whole message)
    bool cancelled = false;             // progress answered false
    std::vector<std::string> warnings;  // per damaged file: "\"path\": the decoder's words"
    bool mapped16 = false;              // 16-bit samples were mapped lo..hi to 0..255, and
    unsigned lo = 0, hi = 0;            // no wide samples of another kind
    // Wide samples of any kind were mapped wideLo..wideHi to 0..255 (the range leaves out NaN
    // and infinities; 0..0 when it holds no sample); wideKinds has bit 1 << Samples for each kind.
    bool mappedWide = false;
    unsigned wideKinds = 0;
    double wideLo = 0, wideHi = 0;
};

// What the status bar says of the mapping, e.g. "16-bit signed samples -1024..3071 mapped to
// 0..255"; empty when nothing was mapped.
std::string mappingText(const Outcome& o);

// Decodes the planned stack into into (emptied first). progress(layer) is called on the
// calling thread after each layer (and with 0 while the wide range is read); false cancels.
// On refusal or cancel into is left empty.
Outcome build(const Plan& p, voxelmap& into, const std::function<bool(int)>& progress);

// One decoded page: interleaved samples, channels 1 (grey), 2 (grey, alpha), 3 (RGB)
// or 4 (RGBA); 8-bit pages in s8, 16-bit in s16, 32-bit in s32 (signed and floating-point
// samples as their bits).
struct Page {
    int width = 0, height = 0, channels = 0, bits = 8;
    Samples samples = Samples::Unsigned8;
    std::vector<uint8_t> s8;
    std::vector<uint16_t> s16;
    std::vector<uint32_t> s32;
    std::string warning;  // the decoder's warnings, if it had any
    // Lines that could not be read and are transparent black: rows of the page as shown, or
    // its columns when lostAreColumns (a transposed TIFF page). Empty when all was read.
    std::vector<bool> lost;
    bool lostAreColumns = false;
    bool isLost(size_t pixel) const {
        return !lost.empty() && lost[lostAreColumns ? pixel % size_t(width) : pixel / size_t(width)];
    }
};
// Decodes page `page` of a file with the given header; false, with reason, if it does not decode.
bool decodePage(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason);

}  // namespace stackio
