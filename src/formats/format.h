// formats: the file formats a stack is read from, one reader per format behind one small
// interface, and the table that lists them.
//
// A reader recognises its files by their first bytes, reads a file's header (its pages or
// slices with their size and sample kind, what it says of the voxel size and of what the
// samples mean) and decodes one page. Headers are read before any pixel is decoded, so that
// a stack is refused before anything large is allocated; decoding runs on worker threads,
// several pages at once, so a reader's decode must be safe to call concurrently (for
// different pages of one file, too).
//
// Adding a format: one file beside png.cpp with its `const Reader`, and one row in the
// table in format.cpp. No file here includes a window header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "samples.h"

namespace formats {

// Picks one of several choices, given their labels: the index, or -1 to cancel.
using Choose = std::function<int(const std::vector<std::string>& labels)>;

// How a page's samples are held (samples.h). Unsigned8 samples are copied into the volume
// as they are (unless the page rescales or inverts them); every other kind is wide: mapped
// onto 0..255 by one range over the stack.
using ::Samples;
using ::kSampleKinds;
using ::bitsOf;
using ::nameOf;

struct Reader;

// One resolution level of a multiscale image (finest first): its size in voxels, its voxel
// size (in the file's unit), and how many of the finest level's voxels one of its voxels
// spans along x, y and z.
struct Level {
    int64_t width = 0, height = 0, depth = 0;
    double voxelSize[3] = {0, 0, 0};
    double factor[3] = {1, 1, 1};
};

// What a header says about one page (a TIFF page, a DICOM frame, a NIfTI slice).
struct PageInfo {
    int width = 0, height = 0;  // as shown
    int bits = 8;               // bits per sample as read: 8, 16, 32 or 64
    Samples samples = Samples::Unsigned8;
    uint64_t offset = 0;        // where the reader finds the page (a TIFF directory, a frame, a byte offset)
    // What the stored samples stand for: value = slope * stored + intercept (CT: Hounsfield
    // units), and whether low values are shown bright (DICOM MONOCHROME1).
    double slope = 1, intercept = 0;
    bool invert = false;
    // Where the page lies (DICOM ImagePositionPatient, per frame where the file says), if said.
    bool hasPosition = false;
    double position[3] = {0, 0, 0};

    // Whether the page's samples are mapped by the stack's range rather than copied.
    bool wide() const { return samples != Samples::Unsigned8 || slope != 1 || intercept != 0 || invert; }
};

// What a header says about a file.
struct FileInfo {
    const Reader* reader = nullptr;  // the format
    std::vector<PageInfo> pages;
    int64_t decodeBytes = 0;  // the most one page's decoding holds at a time
    // Where the reader decodes pages in bands (Reader::decodeBands): the most one page's
    // decoding then holds at a time, and the most rows a band brings; 0 where it does not.
    int64_t bandBytes = 0;
    int bandRows = 0;

    // The size of a voxel along x, y and z in `unit`, where the file says it (0: not said).
    double voxelSize[3] = {0, 0, 0};
    std::string unit;        // UTF-8: "mm", "µm", "nm", "m"; empty when unknown
    std::string valueUnit;   // the unit of the values after rescaling, such as "HU"; empty when none
    // Where the volume lies in the patient, where the file says (a NIfTI's sform or qform):
    // columns = the directions of x, y and z in LPS patient coordinates (see orientation.h).
    bool hasAxes = false;
    double axes[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    // The window a file of any format suggests for its values (lo < hi), such as an ImageJ
    // TIFF's display range; a plan opens with its first file's.
    bool suggestsWindow = false;
    double suggestedLo = 0, suggestedHi = 0;

    // The directions of the pages' rows and columns, where the file says (DICOM
    // ImageOrientationPatient). What only one format says is kept in its shared state (a
    // DICOM file's series, instance and window: see dicominfo.h).
    bool hasOrientation = false;
    double orientation[6] = {1, 0, 0, 0, 1, 0};  // row direction, then column direction

    // What the status bar should say of the file beyond its size, such as "LAS" for a
    // NIfTI's orientation; and notes for the message after a load ("holds 12 volumes;
    // the first is shown").
    std::string description;
    std::vector<std::string> notes;

    // What the decodes of the file's pages share, and what only this format's header says,
    // made by the reader's header() (a TIFF file's open handles, a NIfTI file's one
    // inflating stream, a DICOM file's series and frame cache); copies of the info share it too.
    std::shared_ptr<void> shared;

    // The resolution levels of a multiscale image, finest first (empty for single-level
    // formats), and the one the pages are of (see Reader::select).
    std::vector<Level> levels;
    int level = 0;
    // Where the first voxel's corner lies in unit, where the file says (an OME-Zarr level's
    // translation, moved to the box selected).
    bool hasTranslation = false;
    double translation[3] = {0, 0, 0};

    // Set with a refusal of the header: the file is sound but holds no image (a report, a
    // presentation state, an index), so a folder's walk may pass it over.
    bool withoutImage = false;
};

// One layer of a stack: page `page` of file `file`.
struct Layer {
    int file = 0, page = 0;
};

// The files of a load as a format that arranges its own files (DICOM series) sees them:
// the files and their headers given, the layers and what the files say of them to fill in.
struct Arrangement {
    std::vector<std::string> files;
    std::vector<FileInfo> infos;  // one per file
    std::vector<Layer> order;     // the layers, the first (world z 100) first
    int width = 0, height = 0, layers = 0;  // the stack's, once its layers are arranged
    // What the files say of a voxel's size along x, y, z, in unit ("mm", "µm"; empty: unknown).
    double voxelSize[3] = {1, 1, 1};
    std::string unit;
    std::string valueUnit;        // the values' unit after rescaling, such as "HU"
    std::string modality;         // "CT", "MR", ... where the files say
    std::string description;      // the orientation code the files name, such as a NIfTI's "LAS"
    // Where the volume lies in the patient (see orientation.h), where the files say.
    bool hasAxes = false;
    double axes[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    bool hasWindow = false;       // a window the files suggest, in values
    double windowLo = 0, windowHi = 0;
    std::vector<std::string> notes;  // said once the stack has loaded (gaps, order, volumes left out)
};
// "\"path\"" or "\"path\", page 3 of 5," for a message naming one layer.
std::string who(const Arrangement& a, const Layer& layer);

// One decoded page: interleaved samples, channels 1 (grey), 2 (grey, alpha), 3 (RGB) or 4
// (RGBA); 8-bit samples in s8, 16-bit in s16, 32-bit in s32, 64-bit in s64 (signed and
// floating-point samples as their bits).
struct Page {
    int width = 0, height = 0, channels = 0, bits = 8;
    Samples samples = Samples::Unsigned8;
    std::vector<uint8_t> s8;
    std::vector<uint16_t> s16;
    std::vector<uint32_t> s32;
    std::vector<uint64_t> s64;
    std::string warning;  // the decoder's warnings, if it had any
    // What the samples stand for, as the page's header says (decodePage copies it).
    double slope = 1, intercept = 0;
    bool invert = false;
    // Lines that could not be read and are transparent black: rows of the page as shown, or
    // its columns when lostAreColumns (a transposed TIFF page). Empty when all was read.
    std::vector<bool> lost;
    bool lostAreColumns = false;
    // Whether the samples are mapped by the stack's range rather than copied.
    bool wide() const { return samples != Samples::Unsigned8 || slope != 1 || intercept != 0 || invert; }
    bool isLost(size_t pixel) const {
        return !lost.empty() && lost[lostAreColumns ? pixel % size_t(width) : pixel / size_t(width)];
    }
};

// Calls f with a function giving stored sample i of the page in its own type (uint16_t,
// float, ...): one instance of f per kind, so that its loops choose no kind per sample.
template <class F>
void withStored(const Page& pg, F&& f) {
    withType(pg.samples, [&](auto type) {
        using T = decltype(type);
        f([&pg](size_t i) {
            T v;
            if constexpr (sizeof(T) == 1) std::memcpy(&v, &pg.s8[i], 1);
            if constexpr (sizeof(T) == 2) std::memcpy(&v, &pg.s16[i], 2);
            if constexpr (sizeof(T) == 4) std::memcpy(&v, &pg.s32[i], 4);
            if constexpr (sizeof(T) == 8) std::memcpy(&v, &pg.s64[i], 8);
            return v;
        });
    });
}

// Takes one band of a page being decoded: rows [y0, y0 + band.height) of the page as shown
// (band.lost, if not empty, marks the band's lost rows); false stops the decoding. The band
// is the reader's, used again for the next one.
using BandSink = std::function<bool(Page& band, int y0)>;

// A file format. Each reader lives in a file of its own and is listed once in readers().
struct Reader {
    const char* name;  // "PNG", "DICOM", ...
    // Whether a file is of this format by its name and its first bytes (head holds
    // kHeadBytes of them, fewer when the file is shorter).
    bool (*recognise)(const std::string& path, const unsigned char* head, size_t size);
    // Reads the header of path into info (whose reader is set already); false, with the
    // reason, if it cannot be read. A reason is a clause after the quoted name: "is ...".
    bool (*header)(const std::string& path, FileInfo& info, std::string& reason);
    // Decodes page `page` (0 <= page < info.pages.size()) of a file with that header;
    // false, with the reason, if it does not decode. Called on worker threads.
    bool (*decode)(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason);
    // What a file of this format is called in a refusal ("a DICOM file") when the format
    // is loaded only among its own files; null when it stacks with any image.
    const char* alone = nullptr;
    // One file is a whole volume, loaded by itself.
    bool wholeVolume = false;
    // Arranges a plan whose files are all of this format into layers (choosing a series,
    // ordering slices, their spacing); false with the problem, or with none when choose
    // was cancelled. Null: every page of every file, in the order given.
    bool (*arrange)(Arrangement& a, const Choose& choose, std::string& problem) = nullptr;
    // Decodes page `page` band by band, top first, each band handed to take as it is read,
    // so a huge page is never held whole; out gets the page's size and warnings (no
    // samples). False, with the reason, as decode; also when take stopped it (reason
    // empty then). Null: the format decodes whole pages only.
    bool (*decodeBands)(const std::string& path, const FileInfo& info, int page, const BandSink& take, Page& out,
                        std::string& reason) = nullptr;
    // Narrows a header of a multiscale image to one level and a box of it (x0, x1, y0, y1,
    // z0, z1 in the finest level's voxels, ends exclusive; null: the whole image): its pages
    // become the box's layers at that level, with that level's voxel size. At a coarser level
    // the box is divided by the level's factor, starts rounded down and ends up, and clipped
    // to the image. False, with the reason, for an empty box or a level out of range. Null
    // for formats of one level.
    bool (*select)(FileInfo& info, int level, const int box[6], std::string& reason) = nullptr;
    // Stops the fetching of a load being cancelled: requests not yet begun fail. Null: the
    // format has nothing to stop.
    void (*cancel)(const FileInfo& info) = nullptr;
};
constexpr size_t kHeadBytes = 544;

// The formats, each defined in its own file.
extern const Reader png, jpeg, tiff, dicom, nifti;
// OME-Zarr images (a folder or an http(s) URL), recognised by their path alone.
extern const Reader omeZarr;

// Every format, in the order they are tried.
const std::vector<const Reader*>& readers();
// The reader that recognises path, or null (also when it cannot be read).
const Reader* recognise(const std::string& path);

// Reads the header of path; false, with the reason, if it is not a readable file of a
// format in the table.
bool readHeader(const std::string& path, FileInfo& info, std::string& reason);
// Decodes one page of a file read by readHeader; false, with the reason, if it does not
// decode (running out of memory included).
bool decodePage(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason);

// Decodes one page in bands (its reader's decodeBands, each band told what its samples stand
// for), as decodePage does whole pages.
bool decodePageBands(const std::string& path, const FileInfo& info, int page, const BandSink& take, Page& out,
                     std::string& reason);

// About the bytes a band holds where a reader gathers small strips into bands (8 MiB; tests
// make it small, to read pages in many bands).
int64_t& bandTargetBytes();

// The reasons every format gives in the same words.
extern const char* const kDamaged;   // "is not an image in a supported format, or it is damaged or truncated"
extern const char* const kNoMemory;  // "could not be decoded: there is not enough memory"

// Helpers the readers share.
std::string quoted(const std::string& path);
// Adds words to a "; "-separated list of warnings, once.
void addWarning(std::string& to, const std::string& words);
// Sets info's voxel size from sizes in a unit as files name it: "nm", "µm" (also "micron",
// "um", "u"), "mm", and "cm" or "m" (given in mm). Sizes that are not positive finite
// numbers are left unsaid; an unknown unit keeps the sizes (their ratios) without a unit.
void sayVoxelSize(FileInfo& info, double x, double y, double z, const std::string& unit);
// The same from sizes in metres, in the unit (nm, µm or mm) that suits the x size.
void sayVoxelSizeInMetres(FileInfo& info, double x, double y, double z);
// Takes the directions given (columns: the volume's x, y and z in LPS patient coordinates,
// of any length) as axes, of unit length: has true. Directions that are not finite or not
// at right angles leave has false, with a note on what `source` said.
void takeAxes(const double (&given)[3][3], const std::string& source, bool& has, double (&axes)[3][3],
              std::vector<std::string>& notes);
// A file with its own closing.
struct File {
    std::FILE* f = nullptr;
    explicit File(const std::string& path);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

}  // namespace formats
