#include "formats/dicomheader.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "formats/dicomdata.h"
#include "formats/dicominfo.h"
#include "formats/dicomwalk.h"
#include "formats/gdcmguard.h"

namespace formats::dicomio {
namespace {

// What an object without pixel data is, by its modality or SOP class; empty when not known.
std::string objectKind(const std::string& modality, const std::string& sopClass) {
    static const std::pair<const char*, const char*> byModality[] = {
        {"SR", "structured report"}, {"RTPLAN", "radiotherapy plan"}, {"RTSTRUCT", "radiotherapy structure set"},
        {"RTRECORD", "radiotherapy treatment record"}, {"PR", "presentation state"}, {"KO", "key object selection"},
        {"ECG", "waveform"}, {"HD", "waveform"}, {"AU", "waveform"}, {"DOC", "document"}, {"REG", "registration"},
        {"FID", "fiducials object"}, {"PLAN", "plan"}};
    for (const auto& m : byModality)
        if (modality == m.first) return m.second;
    static const std::pair<const char*, const char*> byClass[] = {
        {"1.2.840.10008.1.3.10", "DICOMDIR index"},       {"1.2.840.10008.5.1.4.1.1.88.", "structured report"},
        {"1.2.840.10008.5.1.4.1.1.481.5", "radiotherapy plan"}, {"1.2.840.10008.5.1.4.1.1.481.3", "radiotherapy structure set"},
        {"1.2.840.10008.5.1.4.1.1.9.", "waveform"},        {"1.2.840.10008.5.1.4.1.1.11.", "presentation state"},
        {"1.2.840.10008.5.1.4.1.1.104.", "document"}};
    for (const auto& c : byClass)
        if (sopClass.rfind(c.first, 0) == 0) return c.second;
    return {};
}

std::string article(const std::string& noun) {
    return std::strchr("aeiou", noun[0]) ? "an " + noun : "a " + noun;
}


std::string dims(int w, int h) { return std::to_string(w) + " x " + std::to_string(h); }

bool headerOf(const std::string& path, FileInfo& info, std::string& reason, Session& session) {
    const TraceCapture& trace = session.trace;
    const int64_t size = fileSize(path);
    if (size < 0) return reason = "does not exist or is not a file", false;
    const Structure walker = walkStructure(path);
    reason = walker.problem;
    if (!reason.empty()) return false;
    gdcm::Reader& r = session.reader;
    r.SetFileName(path.c_str());
    if (!r.ReadUpToTag(kPixelData, session.pixelTag)) return reason = trace.with("is a damaged or truncated DICOM file"), false;
    const gdcm::File& file = r.GetFile();
    const gdcm::DataSet& ds = file.GetDataSet();
    DicomInfo& dcm = dicomInfo(info);  // what only DICOM says, beside FileInfo
    dcm.modality = text(ds, 0x0008, 0x0060);
    dcm.seriesUid = text(ds, 0x0020, 0x000e);
    dcm.seriesDescription = text(ds, 0x0008, 0x103e);
    dcm.patientName = text(ds, 0x0010, 0x0010);
    dcm.studyDate = text(ds, 0x0008, 0x0020);
    dcm.studyUid = text(ds, 0x0020, 0x000d);
    if (const std::vector<double> v = numbers(ds, 0x0020, 0x0011); !v.empty() && v[0] == std::floor(v[0]) && std::fabs(v[0]) < 2e9)
        dcm.hasSeriesNumber = true, dcm.seriesNumber = int(v[0]);

    std::string tsUid = text(file.GetHeader(), 0x0002, 0x0010);
    const gdcm::TransferSyntax ts = file.GetHeader().GetDataSetTransferSyntax();
    if (tsUid.empty() && ts.IsValid()) tsUid = ts.GetString();
    const Syntax* syntax = syntaxOf(tsUid);

    // Where the pixel data are, and whether they are all there.
    const bool deflated = ts == gdcm::TransferSyntax::DeflatedExplicitVRLittleEndian;
    const size_t at = r.GetStreamCurrentPosition();
    PixelElement pixels;
    if (at != size_t(-1) && at < size_t(size)) {
        if (deflated) pixels = walker.pixels;  // positions are in the inflated data
        else if (walker.pixels.found && walker.pixels.valueAt == at) pixels = walker.pixels;  // the same element: no reread
        else pixels = pixelElement(path, at, ts == gdcm::TransferSyntax::ExplicitVRBigEndian, ts.IsImplicit());
    }
    if (!pixels.found) {
        info.withoutImage = true;
        const std::string kind = objectKind(dcm.modality, text(ds, 0x0008, 0x0016));
        reason = kind.empty() ? "is a DICOM file without pixel data" : "is " + article("DICOM " + kind) + ", not an image";
        return false;
    }
    if (!syntax || !syntax->decodes) {
        reason = "is stored as " + (syntax ? std::string(syntax->name) + " (" + tsUid + ")" : "transfer syntax " + tsUid) +
                 ", which cannot be decoded";
        return false;
    }

    const int width = ushort(ds, 0x0028, 0x0011), height = ushort(ds, 0x0028, 0x0010);
    const int samples = ushort(ds, 0x0028, 0x0002) < 0 ? 1 : ushort(ds, 0x0028, 0x0002);
    const int bits = ushort(ds, 0x0028, 0x0100), stored = ushort(ds, 0x0028, 0x0101);
    const bool isSigned = ushort(ds, 0x0028, 0x0103) == 1;
    const std::string photometric = text(ds, 0x0028, 0x0004);
    const std::vector<double> frameCount = numbers(ds, 0x0028, 0x0008);
    const double frames = frameCount.empty() ? 1 : frameCount[0];
    if (width <= 0 || height <= 0) return reason = "is a DICOM image of " + dims(std::max(width, 0), std::max(height, 0)) + " pixels", false;
    if (bits != 8 && bits != 16 && bits != 32)
        return reason = "has " + std::to_string(std::max(bits, 0)) + "-bit DICOM samples, which are not supported", false;
    if (stored > bits) return reason = "has more bits stored than allocated", false;
    const bool grey = photometric == "MONOCHROME1" || photometric == "MONOCHROME2";
    const bool ybr = photometric == "YBR_FULL" || photometric == "YBR_FULL_422";
    const bool rgb = photometric == "RGB" || photometric == "YBR_RCT" || photometric == "YBR_ICT";
    if (!(grey && samples == 1) && !((rgb || ybr) && samples == 3))
        return reason = "has " + std::to_string(samples) + " samples per pixel as \"" + photometric +
                        "\", which is not supported (grey or RGB colour)", false;
    if (ybr && bits != 8) return reason = "has " + std::to_string(bits) + "-bit YBR colour, which is not supported", false;
    if (frames < 1 || frames != std::floor(frames)) return reason = "has no frames", false;

    // Every frame needs its bytes in the file (compressed: at least a fragment's header).
    const uint64_t frameBytes = uint64_t(width) * uint64_t(height) * uint64_t(samples) * uint64_t(bits / 8);
    const double needed = ts.IsEncapsulated()                ? frames * 8
                          : photometric == "YBR_FULL_422" ? frames * double(frameBytes) * 2 / 3  // two samples a pixel
                                                          : frames * double(frameBytes);
    if ((pixels.encapsulated ? double(pixels.present) < needed
                                          : pixels.length > pixels.present || double(pixels.length) < needed))
        return reason = "is truncated: its " + dims(width, height) + " pixels in " + std::to_string(int64_t(frames)) +
                        (frames == 1 ? " frame" : " frames") + " do not fit in what the file holds", false;

    Samples kind = Samples::Unsigned8;
    if (bits == 8) kind = isSigned ? Samples::Signed8 : Samples::Unsigned8;
    if (bits == 16) kind = isSigned ? Samples::Signed16 : Samples::Unsigned16;
    if (bits == 32) kind = isSigned ? Samples::Signed32 : Samples::Unsigned32;

    // Geometry and values; an enhanced file keeps them in functional groups.
    const Frames fg(ds, session.keep);
    if (const std::vector<double> o = fg.numbers(0, 0x0020, 0x9116, 0x0020, 0x0037); o.size() == 6) {
        info.hasOrientation = true;
        std::copy(o.begin(), o.end(), info.orientation);
    }
    if (const std::vector<double> s = fg.numbers(0, 0x0028, 0x9110, 0x0028, 0x0030); s.size() == 2 && s[0] > 0 && s[1] > 0) {
        info.voxelSize[0] = s[1];  // PixelSpacing is row spacing, then column spacing
        info.voxelSize[1] = s[0];
        info.unit = "mm";
    }
    if (const std::vector<double> v = fg.numbers(0, 0x0028, 0x9110, 0x0018, 0x0088); !v.empty() && v[0] > 0)
        dcm.spacingBetweenSlices = v[0];
    if (const std::vector<double> v = fg.numbers(0, 0x0028, 0x9110, 0x0018, 0x0050); !v.empty() && v[0] > 0)
        dcm.sliceThickness = v[0];
    if (const std::vector<double> v = numbers(ds, 0x0020, 0x0013); !v.empty() && v[0] == std::floor(v[0]) &&
                                                                     std::fabs(v[0]) < 2e9)
        dcm.hasInstanceNumber = true, dcm.instanceNumber = int(v[0]);
    dcm.frameOffsets = numbers(ds, 0x3004, 0x000c);
    const std::vector<double> centre = fg.numbers(0, 0x0028, 0x9132, 0x0028, 0x1050),
                              width_ = fg.numbers(0, 0x0028, 0x9132, 0x0028, 0x1051);
    if (!centre.empty() && !width_.empty() && width_[0] > 0)
        dcm.hasWindow = true, dcm.windowCentre = centre[0], dcm.windowWidth = width_[0];
    const std::string rescaleType = text(ds, 0x0028, 0x1054);
    if (!rescaleType.empty() && rescaleType != "US") info.valueUnit = rescaleType;
    else if (dcm.modality == "CT") info.valueUnit = "HU";
    // A dose grid's values are its stored ones times DoseGridScaling, in DoseUnits.
    const std::vector<double> doseScale = numbers(ds, 0x3004, 0x000e);
    const std::string doseUnits = text(ds, 0x3004, 0x0002);
    if (!doseScale.empty() && doseUnits == "GY") info.valueUnit = "Gy";

    info.pages.reserve(size_t(frames));
    for (int f = 0; f < int(frames); ++f) {
        PageInfo pg;
        pg.width = width, pg.height = height, pg.bits = bits, pg.samples = kind, pg.offset = uint64_t(f);
        if (grey) {
            const std::vector<double> slope = fg.numbers(f, 0x0028, 0x9145, 0x0028, 0x1053),
                                      intercept = fg.numbers(f, 0x0028, 0x9145, 0x0028, 0x1052);
            if (!slope.empty() && slope[0] != 0) pg.slope = slope[0];
            if (!doseScale.empty() && doseScale[0] > 0) pg.slope = doseScale[0];
            if (!intercept.empty()) pg.intercept = intercept[0];
            pg.invert = photometric == "MONOCHROME1";
        }
        // Beyond the first frame only a frame's own group places it (a dose grid's frames
        // are placed by GridFrameOffsetVector from the first).
        const std::vector<double> p = f == 0 ? fg.numbers(f, 0x0020, 0x9113, 0x0020, 0x0032)
                                             : fg.ownNumbers(f, 0x0020, 0x9113, 0x0020, 0x0032);
        if (p.size() == 3) {
            pg.hasPosition = true;
            std::copy(p.begin(), p.end(), pg.position);
        }
        info.pages.push_back(pg);
    }
    // GDCM holds the file's data set and the frames it decodes at once; a page is copied out.
    const double all = frames * double(frameBytes);
    const double held = deflated ? double(walker.inflatedSize) : double(size);
    info.decodeBytes = int64_t(std::min(9e18, std::max(held, all) + all + double(frameBytes) * 2 + (1 << 20)));
    return true;
}

}  // namespace

bool readDicomHeader(const std::string& path, FileInfo& info, std::string& reason) {
    bool ok = false;
    if (guarded(reason, [&](Session& s) { ok = headerOf(path, info, reason, s); })) return ok;
    info.pages.clear();
    return false;
}

}  // namespace formats::dicomio
