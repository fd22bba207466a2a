#include "stackwrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>
#include <wx/image.h>
#include <wx/log.h>
#include <wx/mstream.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "originals.h"
#include "voxelmap.h"

namespace {

wxString systemError(int code) { return wxString(std::strerror(code)); }

// The file-system name of path, as the toolkit's own file functions take it.
std::string fsName(const wxString& path) {
    const wxCharBuffer name = path.fn_str();
    return name.data() ? std::string(name.data()) : std::string();
}

bool writeAll(int fd, const unsigned char* data, size_t n, wxString& reason) {
    while (n > 0) {
        const ssize_t done = ::write(fd, data, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            reason = systemError(errno);
            return false;
        }
        data += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

// The toolkit's reports while it encodes an image, kept as one text instead of being
// shown on their own: the caller's message names the file and gives them as the reason.
class LogCapture : public wxLog {
public:
    wxString text;
    LogCapture() : previous_(wxLog::SetActiveTarget(this)) {}
    ~LogCapture() override { wxLog::SetActiveTarget(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

protected:
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&) override {
        if (level > wxLOG_Warning) return;
        if (!text.empty()) text += " ";
        text += msg;
    }

private:
    wxLog* previous_;
};

wxImageHandler* writerFor(const wxString& ext) {
    return ext.empty() ? nullptr : wxImage::FindHandler(ext.Lower(), wxBITMAP_TYPE_ANY);
}

// The bytes of image encoded as the type of extension ext.
bool encodeImage(const wxImage& image, const wxString& ext, std::vector<unsigned char>& bytes, wxString& reason) {
    wxImageHandler* handler = writerFor(ext);
    if (!handler) {
        reason = wxString::Format("no image type with the extension \"%s\" can be written", ext);
        return false;
    }
    wxMemoryOutputStream out;
    bool ok;
    wxString reported;
    {
        LogCapture log;
        ok = image.IsOk() && image.SaveFile(out, handler->GetType());
        reported = log.text;
    }
    if (!ok) {
        reason = reported.empty() ? wxString::Format("the image could not be encoded as %s", ext) : reported;
        return false;
    }
    bytes.resize(out.GetSize());
    if (!bytes.empty()) out.CopyTo(bytes.data(), bytes.size());
    return true;
}

// Metres in one unit of a voxel size; 0 for a unit that is not metric (or none).
double metresPer(const std::string& unit) {
    if (unit == "nm") return 1e-9;
    if (unit == "µm") return 1e-6;
    if (unit == "mm") return 1e-3;
    if (unit == "m") return 1;
    return 0;
}

// The description by which ImageJ knows a stack's voxel depth and unit (its x and y sizes
// are the resolutions' inverses).
std::string imageJDescription(const voxelmap& map) {
    char spacing[64];
    std::snprintf(spacing, sizeof spacing, "%.17g", map.voxelSize.z());
    const std::string layers = std::to_string(map.depth);
    std::string text = "ImageJ=1.11a\nimages=" + layers + "\nslices=" + layers + "\n";
    if (!map.unit.empty()) text += "unit=" + (map.unit == "µm" ? std::string("micron") : map.unit) + "\n";
    return text + "spacing=" + spacing + "\nloop=false\n";
}

// A PNG's pHYs chunk (pixels per metre) inserted after its header chunk.
void insertPhys(std::vector<unsigned char>& png, uint32_t perMetreX, uint32_t perMetreY) {
    constexpr size_t kAfterHeader = 8 + 8 + 13 + 4;  // signature, IHDR's length, type, data and CRC
    if (png.size() < kAfterHeader) return;
    unsigned char chunk[4 + 4 + 9 + 4] = {0, 0, 0, 9, 'p', 'H', 'Y', 's'};
    const auto put32 = [](unsigned char* at, uint32_t v) {
        for (int b = 0; b < 4; ++b) at[b] = static_cast<unsigned char>(v >> (24 - 8 * b));
    };
    put32(chunk + 8, perMetreX);
    put32(chunk + 12, perMetreY);
    chunk[16] = 1;  // the unit is the metre
    put32(chunk + 17, static_cast<uint32_t>(crc32(crc32(0, nullptr, 0), chunk + 4, 4 + 9)));
    png.insert(png.begin() + kAfterHeader, chunk, chunk + sizeof chunk);
}

// Pixels per metre for a size in metres, within what pHYs holds.
uint32_t perMetre(double metres) {
    const double v = std::round(1 / metres);
    return v < 1 ? 1 : v > 2147483647.0 ? 2147483647u : static_cast<uint32_t>(v);
}

// libtiff's error reports while a volume is written: the last one is the reason.
wxString tiffError;
void keepTiffError(const char* module, const char* fmt, va_list ap) {
    const int code = errno;  // a failed write's own reason, e.g. a full disk
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    tiffError = module ? wxString::Format("%s: %s", module, text) : wxString(text);
    if (code != 0) tiffError += " (" + systemError(code) + ")";
}

}  // namespace

bool writeAtomically(const wxString& path, const std::function<bool(int fd, wxString& reason)>& write,
                     wxString& reason) {
    std::string target = fsName(path);
    if (target.empty()) {
        reason = "no file name was given";
        return false;
    }
    // Replacing a link replaces the file it points to, and the link stays.
    if (char* real = ::realpath(target.c_str(), nullptr)) {
        target = real;
        std::free(real);
    }
    mode_t mode;
    struct stat st;
    if (::stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            reason = "it exists and is not a regular file";
            return false;
        }
        mode = st.st_mode & 07777;  // a replaced file keeps its permissions
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;  // as a file created in place would get
    }
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.size() > 200) base.resize(200);  // room for the suffix within a name's 255 bytes
    std::string temp = dir + "/." + base + ".XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        reason = systemError(errno);
        return false;
    }
    (void)::fchmod(fd, mode);  // permissions are a courtesy, not a reason to fail
    bool ok = write(fd, reason);
    if (ok && ::fsync(fd) != 0) {  // on disk before it takes the target's place
        reason = systemError(errno);
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        reason = systemError(errno);
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        reason = systemError(errno);
        ok = false;
    }
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool canWriteImageType(const wxString& ext) {
    if (!writerFor(ext)) return false;
    // Some handlers only read: the test is writing a pixel.
    std::vector<unsigned char> bytes;
    wxString reason;
    wxLogNull quiet;
    return encodeImage(wxImage(1, 1), ext, bytes, reason);
}

bool saveImage(const wxImage& image, const wxString& path, wxString& reason) {
    const wxString ext = path.AfterLast('/').Contains(".") ? path.AfterLast('.') : wxString();
    std::vector<unsigned char> bytes;
    // Encoded in memory first: a failure there touches no file at all.
    if (!encodeImage(image, ext, bytes, reason)) return false;
    return writeAtomically(
        path, [&](int fd, wxString& why) { return writeAll(fd, bytes.data(), bytes.size(), why); }, reason);
}

bool saveLayerPng(const voxelmap& map, int k, const wxString& path, wxString& reason) {
    std::vector<unsigned char> bytes;
    if (!encodeImage(layerImage(map, k), "png", bytes, reason)) return false;
    const double metres = metresPer(map.unit);
    if (metres > 0) insertPhys(bytes, perMetre(map.voxelSize.x() * metres), perMetre(map.voxelSize.y() * metres));
    return writeAtomically(
        path, [&](int fd, wxString& why) { return writeAll(fd, bytes.data(), bytes.size(), why); }, reason);
}

wxString framePath(const wxString& dir, const wxString& name, int number, const wxString& ext) {
    return dir + "/" + name + "." + wxString::Format("%04d", number) + "." + ext;
}

wxImage layerImage(const voxelmap& map, int k) {
    wxImage image(map.width, map.height, false);
    if (!image.IsOk() || !map.voxels) return image;
    image.SetAlpha();
    unsigned char* rgb = image.GetData();
    unsigned char* alpha = image.GetAlpha();
    const int64_t plane = static_cast<int64_t>(map.width) * map.height;
    const voxel* v = map.voxels.get() + k * plane;
    for (int64_t n = 0; n < plane; ++n, ++v) {
        rgb[3 * n] = v->r;
        rgb[3 * n + 1] = v->g;
        rgb[3 * n + 2] = v->b;
        alpha[n] = v->a;
    }
    return image;
}

namespace {

// A multi-page TIFF written whole through a temporary file: writePage(tif, k) sets page k's
// fields and writes its rows, layerDone(k) follows each page. BigTIFF when big.
bool writeTiffPages(const wxString& path, wxString& reason, bool big, int pages,
                    const std::function<bool(TIFF*, int)>& writePage, const std::function<void(int)>& layerDone) {
    return writeAtomically(
        path,
        [&](int fd, wxString& why) {
            const int own = ::dup(fd);  // closing the TIFF closes this one; the caller's stays open
            if (own < 0) {
                why = systemError(errno);
                return false;
            }
            tiffError.clear();
            errno = 0;
            const TIFFErrorHandler previousError = TIFFSetErrorHandler(keepTiffError);
            const TIFFErrorHandler previousWarning = TIFFSetWarningHandler(nullptr);
            const std::string name = fsName(path);
            TIFF* tif = TIFFFdOpen(own, name.c_str(), big ? "w8" : "w");
            bool ok = tif != nullptr;
            if (!tif) ::close(own);
            for (int k = 0; ok && k < pages; ++k) {
                ok = writePage(tif, k) && TIFFWriteDirectory(tif) != 0;
                if (ok && layerDone) layerDone(k);
            }
            if (tif) TIFFClose(tif);
            TIFFSetErrorHandler(previousError);
            TIFFSetWarningHandler(previousWarning);
            if (!tiffError.empty()) ok = false;  // also what closing reported
            if (!ok) why = tiffError.empty() ? wxString("the TIFF could not be written") : tiffError;
            return ok;
        },
        reason);
}

// The fields every page of a volume's TIFF shares: size, layout, compression, page number
// and the voxel size as ImageJ keeps it (x and y as pixels per unit; z and the unit in the
// description, said once).
void setPageFields(TIFF* tif, const voxelmap& map, int k, const std::string& description) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(map.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(map.height));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    if (map.depth <= 65535)
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<uint16_t>(k), static_cast<uint16_t>(map.depth));
    if (k == 0) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, 1 / map.voxelSize.x());
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, 1 / map.voxelSize.y());
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_NONE);
}

// Writes rows of rowBytes from first, one after another; the predictor works in the
// buffer it is given, so each row is copied first.
bool writeRows(TIFF* tif, const unsigned char* first, size_t rowBytes, int rows) {
    std::vector<unsigned char> row(rowBytes);
    for (int j = 0; j < rows; ++j) {
        std::memcpy(row.data(), first + size_t(j) * rowBytes, rowBytes);
        if (TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(j), 0) < 0) return false;
    }
    return true;
}

std::string exactNumber(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

}  // namespace

bool writeVolumeTiff(const voxelmap& map, const wxString& path, wxString& reason,
                     const std::function<void(int)>& layerDone) {
    if (!map.loaded || !map.voxels) {
        reason = "there is no volume";
        return false;
    }
    // Past 4 GiB a classic TIFF cannot address its strips: BigTIFF then.
    const bool big = static_cast<uint64_t>(map.numVoxels) * 4 > (uint64_t{3} << 30);
    const uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    const std::string description = imageJDescription(map);
    const auto page = [&](TIFF* tif, int k) {
        setPageFields(tif, map, k, description);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        const auto* layer = reinterpret_cast<const unsigned char*>(map.voxels.get() + map.index(0, 0, k));
        return writeRows(tif, layer, 4 * size_t(map.width), map.height);
    };
    return writeTiffPages(path, reason, big, map.depth, page, layerDone);
}

OriginalsFile originalsFile(const Originals& o) {
    OriginalsFile f;
    const OriginalLayer& first = o.layers.front();
    bool same = true;
    for (const OriginalLayer& l : o.layers)
        same = same && l.kind == o.held && l.slope == first.slope && l.intercept == first.intercept && !l.copied;
    // The kinds a TIFF holds and the reader takes back, with one calibration for the stack.
    const bool stored = same && first.slope != 0 &&
                        (o.held == Held::Unsigned8 || o.held == Held::Unsigned16 || o.held == Held::Signed16 || o.held == Held::Unsigned32 ||
                         o.held == Held::Signed32 || o.held == Held::Float32);
    f.stored = stored;
    f.slope = stored ? first.slope : 1;
    f.intercept = stored ? first.intercept : 0;
    f.bits = stored ? 8 * bytesOf(o.held) : 32;
    f.format = !stored || o.held == Held::Float32 ? SAMPLEFORMAT_IEEEFP
               : o.held == Held::Signed16 || o.held == Held::Signed32 ? SAMPLEFORMAT_INT
                                                            : SAMPLEFORMAT_UINT;
    return f;
}

bool writeOriginalsTiff(const Originals& o, const voxelmap& map, double windowLo, double windowHi,
                        const wxString& path, wxString& reason, const std::function<void(int)>& layerDone) {
    if (o.empty() || o.layers.empty() || o.width != map.width || o.height != map.height || o.depth != map.depth) {
        reason = "there are no original values for this volume";
        return false;
    }
    const OriginalsFile file = originalsFile(o);
    const int channels = o.layers.front().channels;
    const size_t rowBytes = size_t(o.width) * size_t(channels) * size_t(file.bits / 8);
    // ImageJ's calibration: value = c0 + c1 * stored, in vunit; min and max, the window, in stored values.
    std::string description = imageJDescription(map);
    description.erase(description.rfind("loop=false\n"));
    description += "cf=0\nc0=" + exactNumber(file.intercept) + "\nc1=" + exactNumber(file.slope) + "\n";
    if (!o.valueUnit.empty()) description += "vunit=" + o.valueUnit + "\n";
    description += "min=" + exactNumber((windowLo - file.intercept) / file.slope) +
                   "\nmax=" + exactNumber((windowHi - file.intercept) / file.slope) + "\nloop=false\n";
    const bool big = static_cast<uint64_t>(rowBytes) * uint64_t(o.height) * uint64_t(o.depth) > (uint64_t{3} << 30);
    std::vector<float> values;
    const auto page = [&](TIFF* tif, int k) {
        setPageFields(tif, map, k, description);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, file.bits);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, channels);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, file.format);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
        if (file.stored) {
            const unsigned char* layer = o.samples.get() + o.layers[size_t(k)].offset * size_t(file.bits / 8);
            return writeRows(tif, layer, rowBytes, o.height);
        }
        // Other kinds, or calibrations that differ between layers: the values as 32-bit floats.
        values.resize(size_t(o.width) * size_t(o.height) * size_t(channels));
        size_t n = 0;
        for (int j = 0; j < o.height; ++j)
            for (int i = 0; i < o.width; ++i)
                for (int c = 0; c < channels; ++c) values[n++] = static_cast<float>(o.value(i, j, k, c));
        return writeRows(tif, reinterpret_cast<const unsigned char*>(values.data()), rowBytes, o.height);
    };
    return writeTiffPages(path, reason, big, o.depth, page, layerDone);
}

wxString firstSameFile(const wxArrayString& files, const wxArrayString& others) {
    std::set<std::pair<dev_t, ino_t>> ids;
    struct stat st;
    for (const wxString& o : others)
        if (::stat(fsName(o).c_str(), &st) == 0) ids.emplace(st.st_dev, st.st_ino);
    if (ids.empty()) return wxString();
    for (const wxString& f : files)
        if (::stat(fsName(f).c_str(), &st) == 0 && ids.count({st.st_dev, st.st_ino})) return f;
    return wxString();
}
