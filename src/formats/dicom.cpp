// DICOM: one file per slice, or one file of many frames, read through GDCM.
//
// Each frame is one page: grey frames with their rescale (and MONOCHROME1's inversion) for
// the wide mapping, colour frames (RGB, YBR) as RGB. The reader is in rooms by concern, as
// the decoding here needs them:
//   gdcmguard.*    every call into GDCM: its diagnostics per thread, its assertions caught
//   dicomwalk.*    the file's structure, walked before GDCM parses it; transfer syntaxes
//   dicomdata.*    values read from a data set
//   dicomheader.*  the header: pixel data, series, geometry, values
//   dicomframes.*  checks of compressed frames, the RLE decoder, YBR to RGB
//   series.*       how the files of a load become one stack
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <mutex>

#include "formats/dicomdata.h"
#include "formats/dicomframes.h"
#include "formats/dicomheader.h"
#include "formats/format.h"
#include "formats/gdcmguard.h"
#include "formats/series.h"

namespace formats {
namespace {

using namespace dicomio;

// All frames of one file as GDCM gives them, in RGB when colour, interleaved.
struct Decoded {
    std::vector<char> bytes;
    int channels = 1;
    std::string warning;
};

bool decodeAll(const std::string& path, const FileInfo& info, Decoded& out, std::string& reason, Session& session) {
    const TraceCapture& trace = session.trace;
    gdcm::Reader& r = session.reader;
    r.SetFileName(path.c_str());
    if (!r.Read()) return reason = trace.with("is a damaged or truncated DICOM file"), false;
    const gdcm::DataSet& ds = r.GetFile().GetDataSet();
    if (!ds.FindDataElement(kPixelData)) return reason = "is a DICOM file without pixel data", false;
    const PageInfo& first = info.pages.front();
    // The image is described from the elements the header checked, not by GDCM's image
    // reader, whose assertions abort on some damaged elements; GDCM then decodes it.
    gdcm::Image& image = session.image;
    image.SetNumberOfDimensions(info.pages.size() > 1 ? 3 : 2);
    image.SetDimension(0, unsigned(first.width));
    image.SetDimension(1, unsigned(first.height));
    if (info.pages.size() > 1) image.SetDimension(2, unsigned(info.pages.size()));
    const int samplesPerPixel = std::max(1, ushort(ds, 0x0028, 0x0002));
    const int storedBits = ushort(ds, 0x0028, 0x0101) > 0 && ushort(ds, 0x0028, 0x0101) <= first.bits ? ushort(ds, 0x0028, 0x0101) : first.bits;
    const int highBit = ushort(ds, 0x0028, 0x0102) >= 0 && ushort(ds, 0x0028, 0x0102) < storedBits ? ushort(ds, 0x0028, 0x0102) : storedBits - 1;
    image.SetPixelFormat(gdcm::PixelFormat(uint16_t(samplesPerPixel), uint16_t(first.bits), uint16_t(storedBits),
                                           uint16_t(highBit), ushort(ds, 0x0028, 0x0103) == 1 ? 1 : 0));
    image.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::GetPIType(text(ds, 0x0028, 0x0004).c_str()));
    if (samplesPerPixel == 3) image.SetPlanarConfiguration(ushort(ds, 0x0028, 0x0006) == 1 ? 1 : 0);
    image.SetTransferSyntax(r.GetFile().GetHeader().GetDataSetTransferSyntax());
    image.SetDataElement(ds.GetDataElement(kPixelData));
    const size_t sampleBytes = size_t(first.bits / 8);
    const size_t frame = size_t(first.width) * size_t(first.height) * sampleBytes;
    const int channels = int(image.GetPixelFormat().GetSamplesPerPixel());
    const unsigned long length = image.GetBufferLength();
    if (image.GetPixelFormat().GetBitsAllocated() != unsigned(first.bits) || (channels != 1 && channels != 3) ||
        length != frame * size_t(channels) * info.pages.size())
        return reason = "is a DICOM file whose pixel data do not match its header", false;
    try {
        out.bytes.resize(length);
    } catch (const std::bad_alloc&) {
        return reason = kNoMemory, false;
    }
    if (isJpeg(image.GetTransferSyntax()) && !jpegFrameFits(image, first.width, first.height, samplesPerPixel))
        return reason = "has damaged JPEG data (a frame header of the wrong size or depth)", false;
    if (isJpeg2000(image.GetTransferSyntax()) &&
        !jpeg2000FrameFits(image, first.width, first.height, samplesPerPixel, first.bits))
        return reason = "has damaged JPEG 2000 data (an image of another size or depth than the file's)", false;
    const bool rle = image.GetTransferSyntax() == gdcm::TransferSyntax::RLELossless;
    if (rle) {
        if (!decodeRle(image, first.width, first.height, channels, int(sampleBytes), info.pages.size(), out.bytes.data()))
            return reason = "has damaged RLE data", false;
    } else if (!image.GetBuffer(out.bytes.data())) {
        return reason = trace.with("has pixel data that cannot be decoded"), false;
    }
    out.channels = channels;
    if (channels == 3 && !rle && image.GetPlanarConfiguration() == 1) {  // RRR...GGG...BBB... per frame
        std::vector<char> planes(frame * 3);
        for (size_t f = 0; f < info.pages.size(); ++f) {
            char* at = out.bytes.data() + f * frame * 3;
            std::copy(at, at + frame * 3, planes.begin());
            for (size_t p = 0; p < frame / sampleBytes; ++p)
                for (size_t c = 0; c < 3; ++c)
                    std::memcpy(at + (p * 3 + c) * sampleBytes, planes.data() + (c * frame) + p * sampleBytes, sampleBytes);
        }
    }
    const gdcm::PhotometricInterpretation pi = image.GetPhotometricInterpretation();
    const gdcm::TransferSyntax ts = image.GetTransferSyntax();
    const bool lossyJpeg =
        ts == gdcm::TransferSyntax::JPEGBaselineProcess1 || ts == gdcm::TransferSyntax::JPEGExtendedProcess2_4;
    const bool ybr = pi == gdcm::PhotometricInterpretation::YBR_FULL || pi == gdcm::PhotometricInterpretation::YBR_FULL_422;
    if (channels == 3 && first.bits == 8 && (lossyJpeg ? jpegIsYCbCr(image, ybr) : ybr)) ybrToRgb(out.bytes);
    out.warning = trace.words();
    return true;
}

// The frames of the multi-frame file decoded last, shared by the threads that copy its

// The frames of a multi-frame file, decoded once and shared (through FileInfo::shared) by
// the threads that copy its pages out, rather than decoded once per frame. Dropped once
// every page has been taken (a second pass over the file decodes it again), or when the
// file has changed since.
struct FrameCache {
    std::mutex lock;
    int64_t size = -1;
    struct timespec modified = {0, 0};
    std::shared_ptr<const Decoded> frames;
    size_t taken = 0;
};

bool sameFile(const std::string& path, const FrameCache& c, int64_t& size, struct timespec& modified) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    size = st.st_size, modified = st.st_mtim;
    return c.frames && c.size == size && c.modified.tv_sec == modified.tv_sec && c.modified.tv_nsec == modified.tv_nsec;
}

bool decodeFrames(const std::string& path, const FileInfo& info, std::shared_ptr<const Decoded>& frames, std::string& reason) {
    auto d = std::make_shared<Decoded>();
    bool ok = false;
    if (!guarded(reason, [&](Session& s) { ok = decodeAll(path, info, *d, reason, s); }) || !ok) return false;
    frames = std::move(d);
    return true;
}

bool dicomHeader(const std::string& path, FileInfo& info, std::string& reason) {
    if (!readDicomHeader(path, info, reason)) return false;
    if (info.pages.size() > 1) info.shared = std::make_shared<FrameCache>();
    return true;
}

bool dicomDecode(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    if (page < 0 || size_t(page) >= info.pages.size()) return reason = "has no such frame", false;
    std::shared_ptr<const Decoded> frames;
    // One frame, or an info not made by header() (no cache): decoded for this page alone.
    if (info.pages.size() == 1 || !info.shared) {
        if (!decodeFrames(path, info, frames, reason)) return false;
    } else {
        FrameCache& cache = *std::static_pointer_cast<FrameCache>(info.shared);
        std::lock_guard<std::mutex> hold(cache.lock);
        int64_t size = -1;
        struct timespec modified = {0, 0};
        if (!sameFile(path, cache, size, modified)) {
            cache.frames.reset();
            if (!decodeFrames(path, info, cache.frames, reason)) return false;
            cache.size = size, cache.modified = modified, cache.taken = 0;
        }
        frames = cache.frames;
        if (++cache.taken >= info.pages.size()) cache.frames.reset();
    }
    const PageInfo& pg = info.pages[size_t(page)];
    const size_t n = size_t(pg.width) * size_t(pg.height) * size_t(frames->channels);
    const char* from = frames->bytes.data() + size_t(page) * n * size_t(pg.bits / 8);
    out = Page();
    out.width = pg.width, out.height = pg.height, out.channels = frames->channels, out.bits = pg.bits;
    out.samples = pg.samples;
    out.warning = frames->warning;
    try {
        if (pg.bits == 8) out.s8.assign(reinterpret_cast<const uint8_t*>(from), reinterpret_cast<const uint8_t*>(from) + n);
        if (pg.bits == 16) out.s16.resize(n), std::memcpy(out.s16.data(), from, n * 2);
        if (pg.bits == 32) out.s32.resize(n), std::memcpy(out.s32.data(), from, n * 4);
    } catch (const std::bad_alloc&) {
        return reason = kNoMemory, false;
    }
    return true;
}

bool dicomRecognise(const std::string& path, const unsigned char* head, size_t size) {
    const size_t slash = path.find_last_of('/');
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    if (name == "DICOMDIR") return false;  // the index of a folder, not a slice
    if (size >= 132 && std::memcmp(head + 128, "DICM", 4) == 0) return true;
    // Without the preamble: a data set starting with an element of group 0002 (explicit VR,
    // little endian, as the file meta group always is) or 0008, in either byte order, with
    // a plausible element number and an even length.
    if (size < 8) return false;
    const auto vr = [&] { return std::isupper(head[4]) && std::isupper(head[5]); };
    const unsigned le = head[0] | head[1] << 8, be = head[0] << 8 | head[1];
    if (le == 0x0002 && head[3] == 0 && head[2] < 0x20) return vr() && head[6] % 2 == 0;
    if (le == 0x0008 && head[3] == 0 && head[2] < 0x20) return vr() ? head[6] % 2 == 0 : head[4] % 2 == 0 && head[7] == 0;
    return be == 0x0008 && head[2] == 0 && head[3] < 0x20 && vr() && head[7] % 2 == 0;
}

}  // namespace

extern const Reader dicom = {"DICOM", dicomRecognise, dicomHeader, dicomDecode, "a DICOM file", false, arrangeSeries};

}  // namespace formats
