// DICOM: the reader on real files (pydicom's test files, when installed) and on files
// written here with GDCM for exact expectations; the arrangement of series from headers.
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmImageWriter.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmWriter.h>
#include <gtest/gtest.h>
#include <wx/choicdlg.h>
#include <wx/statusbr.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "formats/dicominfo.h"
#include "formats/format.h"
#include "formats/series.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"
#include "appFrame.h"

namespace {

using formats::FileInfo;
using formats::Page;
using formats::Samples;

const std::string& kPydicom = testutil::kPydicomData;

// pydicom's test files, or the test is skipped when the package is not installed.
#define REQUIRE_PYDICOM()                                                   \
    if (!std::filesystem::exists(kPydicom + "CT_small.dcm")) {                \
        GTEST_SKIP() << "python3-pydicom's test files are not installed"; \
    }

// What a test writes: the image and the text elements it sets (tag -> value).
struct Dicom {
    int width = 4, height = 3, frames = 1, bits = 16, samples = 1;
    bool isSigned = false;
    const char* photometric = "MONOCHROME2";
    std::vector<int64_t> values;  // width * height * samples * frames, interleaved; empty: a ramp
    std::map<gdcm::Tag, std::string> text;
    gdcm::TransferSyntax::TSType syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
};

int64_t ramp(size_t i, const Dicom& d) {
    const int64_t span = d.bits == 8 ? 256 : 4096;
    return int64_t((i * 37 + 11) % size_t(span)) - (d.isSigned ? span / 2 : 0);
}

// Writes d to path through GDCM (compressed as d.syntax says); false if GDCM would not.
bool writeDicom(const std::string& path, const Dicom& d) {
    const size_t n = size_t(d.width) * size_t(d.height) * size_t(d.samples) * size_t(d.frames);
    std::string bytes(n * size_t(d.bits / 8), '\0');
    for (size_t i = 0; i < n; ++i) {
        const int64_t v = d.values.empty() ? ramp(i, d) : d.values[i];
        for (int b = 0; b < d.bits / 8; ++b) bytes[i * size_t(d.bits / 8) + size_t(b)] = char(uint64_t(v) >> (8 * b));
    }
    gdcm::ImageWriter w;
    gdcm::Image& im = w.GetImage();
    im.SetNumberOfDimensions(d.frames > 1 ? 3 : 2);
    im.SetDimension(0, unsigned(d.width));
    im.SetDimension(1, unsigned(d.height));
    if (d.frames > 1) im.SetDimension(2, unsigned(d.frames));
    im.SetPixelFormat(gdcm::PixelFormat(uint16_t(d.samples), uint16_t(d.bits), uint16_t(d.bits), uint16_t(d.bits - 1),
                                        uint16_t(d.isSigned)));
    im.SetPhotometricInterpretation(gdcm::PhotometricInterpretation::GetPIType(d.photometric));
    im.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    gdcm::DataElement pixels(gdcm::Tag(0x7fe0, 0x0010));
    pixels.SetByteValue(bytes.data(), uint32_t(bytes.size()));
    im.SetDataElement(pixels);
    if (d.syntax != gdcm::TransferSyntax::ExplicitVRLittleEndian) {
        gdcm::ImageChangeTransferSyntax change;
        change.SetTransferSyntax(d.syntax);
        change.SetInput(im);
        if (!change.Change()) return false;
        w.SetImage(change.GetOutput());
    }
    gdcm::DataSet& ds = w.GetFile().GetDataSet();
    // Several frames need a multi-frame storage class (secondary capture otherwise).
    std::map<gdcm::Tag, std::string> text = d.text;
    if (d.frames > 1 && !text.count(gdcm::Tag(0x0008, 0x0016)))
        text[gdcm::Tag(0x0008, 0x0016)] = d.samples == 3 ? "1.2.840.10008.5.1.4.1.1.7.4"
                                          : d.bits == 8  ? "1.2.840.10008.5.1.4.1.1.7.2"
                                          : d.bits == 16 ? (d.isSigned ? "1.2.840.10008.5.1.4.1.1.20" : "1.2.840.10008.5.1.4.1.1.7.3")
                                                         : "1.2.840.10008.5.1.4.1.1.481.2";
    auto put = [&text](gdcm::DataSet& into) {
        for (const auto& [tag, value] : text) {
            gdcm::DataElement e(tag);
            const bool uid = value.find_first_not_of("0123456789.") == std::string::npos && value.find('.') != std::string::npos;
            const std::string v = value.size() % 2 ? value + (uid ? std::string(1, '\0') : " ") : value;
            e.SetByteValue(v.data(), uint32_t(v.size()));
            into.Replace(e);
        }
    };
    put(ds);
    w.SetFileName(path.c_str());
    if (!w.Write()) return false;
    // The image writer puts its own geometry in; the elements of the test go over it.
    gdcm::Reader r;
    r.SetFileName(path.c_str());
    if (!r.Read()) return false;
    put(r.GetFile().GetDataSet());
    gdcm::Writer again;
    again.SetFile(r.GetFile());
    again.SetFileName(path.c_str());
    return again.Write();
}

// The text elements of one CT slice at z in series uid.
std::map<gdcm::Tag, std::string> ctSlice(double z, const std::string& uid = "1.2.3.4", int instance = 1) {
    return {{gdcm::Tag(0x0008, 0x0016), "1.2.840.10008.5.1.4.1.1.2"},
            {gdcm::Tag(0x0008, 0x0060), "CT"},
            {gdcm::Tag(0x0008, 0x103e), "Head"},
            {gdcm::Tag(0x0020, 0x000e), uid},
            {gdcm::Tag(0x0020, 0x0013), std::to_string(instance)},
            {gdcm::Tag(0x0020, 0x0032), "-10\\-20\\" + std::to_string(z)},
            {gdcm::Tag(0x0020, 0x0037), "1\\0\\0\\0\\1\\0"},
            {gdcm::Tag(0x0028, 0x0030), "0.5\\0.25"},
            {gdcm::Tag(0x0028, 0x1050), "40"},
            {gdcm::Tag(0x0028, 0x1051), "400"},
            {gdcm::Tag(0x0028, 0x1052), "-1024"},
            {gdcm::Tag(0x0028, 0x1053), "1"}};
}

// What a DICOM header says beyond FileInfo (nothing, for an info without it).
const formats::DicomInfo& said(const FileInfo& info) {
    static const formats::DicomInfo none;
    const formats::DicomInfo* d = formats::dicomInfo(info);
    return d ? *d : none;
}

bool header(const std::string& path, FileInfo& info, std::string& reason) {
    info = FileInfo();
    info.reader = &formats::dicom;
    return formats::dicom.header(path, info, reason);
}

// Every frame of a file as stored values (samples interleaved), frame after frame.
std::vector<int64_t> decodeAll(const std::string& path, FileInfo* headerOut = nullptr) {
    FileInfo info;
    std::string reason;
    EXPECT_TRUE(header(path, info, reason)) << path << ": " << reason;
    std::vector<int64_t> all;
    for (size_t k = 0; k < info.pages.size(); ++k) {
        Page p;
        EXPECT_TRUE(formats::dicom.decode(path, info, int(k), p, reason)) << path << ": " << reason;
        const bool sig = p.samples == Samples::Signed8 || p.samples == Samples::Signed16 || p.samples == Samples::Signed32;
        const size_t n = size_t(p.width) * size_t(p.height) * size_t(p.channels);
        for (size_t i = 0; i < n; ++i) {
            if (p.bits == 8) all.push_back(sig ? int8_t(p.s8[i]) : p.s8[i]);
            if (p.bits == 16) all.push_back(sig ? int16_t(p.s16[i]) : p.s16[i]);
            if (p.bits == 32) all.push_back(sig ? int32_t(p.s32[i]) : int64_t(p.s32[i]));
        }
    }
    if (headerOut) *headerOut = info;
    return all;
}

}  // namespace

// ---- The reader ----

TEST(DicomReader, RecognisedByContentWhateverTheName) {
    testutil::TempDir dir;
    ASSERT_TRUE(writeDicom(dir.file("IM0001"), {}));
    const std::string bytes = testutil::readBytes(dir.file("IM0001"));
    testutil::writeBytes(dir.file("1.2.840.113619.2.5"), bytes);
    testutil::writeBytes(dir.file("DicomDir"), bytes);                   // an index, whatever it holds
    testutil::writeBytes(dir.file("bare"), bytes.substr(132));           // no preamble: group 0002 first
    testutil::writeBytes(dir.file("shifted.dcm"), "x" + bytes);          // DICM not at 128
    testutil::writeBytes(dir.file("short.dcm"), bytes.substr(0, 100));
    const std::pair<const char*, bool> cases[] = {{"IM0001", true},      {"1.2.840.113619.2.5", true}, {"DicomDir", false},
                                                  {"bare", true},        {"shifted.dcm", false},       {"short.dcm", false},
                                                  {"missing.dcm", false}};
    for (const auto& [name, dicom] : cases) EXPECT_EQ(formats::recognise(dir.file(name)) == &formats::dicom, dicom) << name;
    // A folder without PNG, JPEG or TIFF files stands for its DICOM slices.
    std::vector<std::string> listed;
    std::string problem;
    ASSERT_TRUE(stackio::expandPaths({dir.path}, listed, problem)) << problem;
    EXPECT_EQ(listed, (std::vector<std::string>{dir.file("1.2.840.113619.2.5"), dir.file("IM0001"), dir.file("bare")}));
}

// Headers of written files: the sample kind, the values' meaning and the geometry.
TEST(DicomReader, HeaderSaysWhatTheSamplesMeanAndWhereTheyLie) {
    testutil::TempDir dir;
    Dicom ct;
    ct.isSigned = true;
    ct.text = ctSlice(12.5);
    ct.text[gdcm::Tag(0x0028, 0x1053)] = "0.5";
    ct.text[gdcm::Tag(0x0018, 0x0050)] = "2.5";
    Dicom mono1;
    mono1.bits = 8;
    mono1.photometric = "MONOCHROME1";
    mono1.text = {{gdcm::Tag(0x0008, 0x0060), "MR"}, {gdcm::Tag(0x0028, 0x1054), "OD"}};
    Dicom s8 = mono1;
    s8.photometric = "MONOCHROME2";
    s8.isSigned = true;
    Dicom u32;
    u32.bits = 32;
    u32.frames = 3;
    u32.text = {{gdcm::Tag(0x3004, 0x000c), "0\\2\\4"}, {gdcm::Tag(0x3004, 0x000e), "0.001"},
                {gdcm::Tag(0x3004, 0x0002), "GY"},    {gdcm::Tag(0x0008, 0x0060), "RTDOSE"}};
    struct Case {
        const char* name;
        Dicom d;
        Samples samples;
        double slope, intercept;
        bool invert;
        const char* valueUnit;
    } cases[] = {{"ct", ct, Samples::Signed16, 0.5, -1024, false, "HU"},
                 {"mono1", mono1, Samples::Unsigned8, 1, 0, true, "OD"},
                 {"s8", s8, Samples::Signed8, 1, 0, false, "OD"},
                 {"dose", u32, Samples::Unsigned32, 0.001, 0, false, "Gy"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeDicom(dir.file(c.name), c.d));
        FileInfo info;
        std::string reason;
        ASSERT_TRUE(header(dir.file(c.name), info, reason)) << reason;
        ASSERT_EQ(info.pages.size(), size_t(c.d.frames));
        for (const formats::PageInfo& p : info.pages) {
            EXPECT_EQ(p.width, 4);
            EXPECT_EQ(p.height, 3);
            EXPECT_EQ(p.samples, c.samples);
            EXPECT_EQ(p.slope, c.slope);
            EXPECT_EQ(p.intercept, c.intercept);
            EXPECT_EQ(p.invert, c.invert);
        }
        EXPECT_EQ(info.valueUnit, c.valueUnit);
        EXPECT_GE(info.decodeBytes, int64_t(4 * 3 * c.d.frames * c.d.bits / 8));
        // What was written comes back, frame by frame.
        std::vector<int64_t> want(size_t(4 * 3 * c.d.frames));
        for (size_t i = 0; i < want.size(); ++i) want[i] = ramp(i, c.d);
        EXPECT_EQ(decodeAll(dir.file(c.name)), want);
    }
    FileInfo info;
    std::string reason;
    ASSERT_TRUE(header(dir.file("ct"), info, reason));
    EXPECT_EQ(said(info).modality, "CT");
    EXPECT_EQ(said(info).seriesUid, "1.2.3.4");
    EXPECT_EQ(said(info).seriesDescription, "Head");
    ASSERT_TRUE(info.pages[0].hasPosition);
    EXPECT_EQ(info.pages[0].position[2], 12.5);
    EXPECT_TRUE(info.hasOrientation);
    EXPECT_EQ(info.voxelSize[0], 0.25);  // column spacing
    EXPECT_EQ(info.voxelSize[1], 0.5);   // row spacing
    EXPECT_EQ(info.unit, "mm");
    EXPECT_EQ(said(info).sliceThickness, 2.5);
    EXPECT_TRUE(said(info).hasInstanceNumber);
    EXPECT_TRUE(said(info).hasWindow);
    EXPECT_EQ(said(info).windowCentre, 40);
    EXPECT_EQ(said(info).windowWidth, 400);
    ASSERT_TRUE(header(dir.file("dose"), info, reason));
    EXPECT_EQ(said(info).frameOffsets, (std::vector<double>{0, 2, 4}));
}

// One image in every transfer syntax Debian's GDCM writes and reads gives the same samples;
// lossy JPEG close to them.
TEST(DicomReader, EveryTransferSyntaxDecodesToTheSameSamples) {
    testutil::TempDir dir;
    using TS = gdcm::TransferSyntax;
    for (const bool colour : {false, true}) {
        Dicom d;
        d.width = 16, d.height = 8, d.frames = 2;
        d.bits = colour ? 8 : 16;
        d.samples = colour ? 3 : 1;
        d.photometric = colour ? "RGB" : "MONOCHROME2";
        d.isSigned = !colour;
        if (colour)  // smooth, so that lossy JPEG stays close: red across, green down, blue by frame
            for (int i = 0; i < 16 * 8 * 2 * 3; ++i) {
                const int px = i / 3, c = i % 3, x = px % 16, y = px / 16 % 8, f = px / 128;
                d.values.push_back(c == 0 ? 40 + x * 10 : c == 1 ? 200 - y * 20 : 60 + f * 100);
            }
        ASSERT_TRUE(writeDicom(dir.file("plain"), d));
        const std::vector<int64_t> want = decodeAll(dir.file("plain"));
        ASSERT_EQ(want.size(), size_t(16 * 8 * 2 * d.samples));
        for (const TS::TSType ts : {TS::ImplicitVRLittleEndian, TS::ExplicitVRBigEndian, TS::DeflatedExplicitVRLittleEndian,
                                    TS::JPEGLosslessProcess14_1, TS::JPEGLSLossless, TS::JPEG2000Lossless, TS::RLELossless,
                                    TS::JPEGBaselineProcess1}) {
            if (ts == TS::JPEGBaselineProcess1 && !colour) continue;  // 8 bits only
            SCOPED_TRACE(std::string(TS::GetTSString(ts)) + (colour ? " colour" : " grey"));
            Dicom c = d;
            c.syntax = ts;
            const std::string path = dir.file(std::string("ts") + TS::GetTSString(ts));
            ASSERT_TRUE(writeDicom(path, c));
            const std::vector<int64_t> got = decodeAll(path);
            ASSERT_EQ(got.size(), want.size());
            int64_t worst = 0;
            for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
            EXPECT_LE(worst, ts == TS::JPEGBaselineProcess1 ? 12 : 0);
        }
    }
    // A deflated data set that inflates to many of the walk's chunks: a sequence of 20,000
    // items before the pixels, element headers across every chunk's end.
    ASSERT_TRUE(writeDicom(dir.file("items"), Dicom()));
    const std::vector<int64_t> plain = decodeAll(dir.file("items"));
    gdcm::Reader r;
    r.SetFileName(dir.file("items").c_str());
    ASSERT_TRUE(r.Read());
    gdcm::SmartPointer<gdcm::SequenceOfItems> items = new gdcm::SequenceOfItems;
    for (int i = 0; i < 20000; ++i) {
        gdcm::Item item;
        gdcm::DataElement uid(gdcm::Tag(0x0008, 0x1155));
        uid.SetVR(gdcm::VR::UI);
        uid.SetByteValue("1.2.3.4", 8);
        item.GetNestedDataSet().Insert(uid);
        items->AddItem(item);
    }
    gdcm::DataElement sequence(gdcm::Tag(0x0008, 0x1140));
    sequence.SetVR(gdcm::VR::SQ);
    sequence.SetValue(*items);
    sequence.SetVLToUndefined();
    r.GetFile().GetDataSet().Insert(sequence);
    r.GetFile().GetHeader().SetDataSetTransferSyntax(TS::DeflatedExplicitVRLittleEndian);
    gdcm::Writer w;
    w.SetFile(r.GetFile());
    w.SetFileName(dir.file("items-deflated").c_str());
    ASSERT_TRUE(w.Write());
    EXPECT_EQ(plain.size(), 12u);
    EXPECT_EQ(decodeAll(dir.file("items-deflated")), plain);

    // pydicom's small MR image as its makers stored it in other syntaxes.
    REQUIRE_PYDICOM();
    const std::string mr = kPydicom + "MR_small.dcm";
    const std::vector<int64_t> want = decodeAll(mr);
    ASSERT_EQ(want.size(), size_t(64 * 64));
    for (const char* name : {"MR_small_implicit.dcm", "MR_small_bigendian.dcm", "MR_small_expb.dcm", "MR_small_RLE.dcm",
                             "MR_small_jp2klossless.dcm", "MR_small_jpeg_ls_lossless.dcm", "MR_small_padded.dcm"})
        EXPECT_EQ(decodeAll(kPydicom + name), want) << name;
}

// Real files: what their headers say, and samples checked against their own fields.
TEST(DicomReader, RealFiles) {
    REQUIRE_PYDICOM();
    const std::string ct = kPydicom + "CT_small.dcm";
    FileInfo info;
    const std::vector<int64_t> v = decodeAll(ct, &info);
    ASSERT_EQ(info.pages.size(), 1u);
    EXPECT_EQ(info.pages[0].width, 128);
    EXPECT_EQ(info.pages[0].samples, Samples::Signed16);
    EXPECT_EQ(said(info).modality, "CT");
    EXPECT_EQ(info.valueUnit, "HU");
    EXPECT_EQ(v.size(), size_t(128 * 128));
    // As pydicom decodes it: first values, range and sum of the stored values.
    EXPECT_EQ(std::vector<int64_t>(v.begin(), v.begin() + 3), (std::vector<int64_t>{175, 180, 166}));
    EXPECT_EQ(*std::min_element(v.begin(), v.end()), 128);
    EXPECT_EQ(*std::max_element(v.begin(), v.end()), 2191);
    int64_t sum = 0;
    for (int64_t x : v) sum += x;
    EXPECT_EQ(sum, 14826310);
    EXPECT_EQ(info.pages[0].intercept, -1024);
    EXPECT_EQ(info.voxelSize[0], 0.661468);
    EXPECT_EQ(said(info).sliceThickness, 5);
    // A dose grid: 15 frames placed by GridFrameOffsetVector, scaled by DoseGridScaling.
    const std::vector<int64_t> dose = decodeAll(kPydicom + "rtdose.dcm", &info);
    EXPECT_EQ(info.pages.size(), 15u);
    EXPECT_EQ(said(info).frameOffsets.size(), 15u);
    EXPECT_EQ(info.valueUnit, "");  // DoseUnits RELATIVE
    EXPECT_EQ(info.pages[0].slope, 1e-6);
    EXPECT_EQ(info.pages[0].samples, Samples::Unsigned32);
    EXPECT_EQ(dose.size(), size_t(10 * 10 * 15));
    EXPECT_TRUE(info.pages[0].hasPosition);
    EXPECT_FALSE(info.pages[1].hasPosition);
    // Colour: RGB stays, YBR becomes RGB (pure red: Y 76, Cb 85, Cr 255 gives 254, 0, 0).
    for (const char* name : {"SC_rgb_rle.dcm", "SC_ybr_full_422_uncompressed.dcm", "SC_rgb_jpeg_dcmtk.dcm",
                             "SC_rgb_jpeg_lossy_gdcm.dcm", "SC_rgb_dcmtk_+eb+cr.dcm", "SC_rgb_dcmtk_+eb+cy+np.dcm"}) {
        const std::vector<int64_t> rgb = decodeAll(kPydicom + name, &info);
        ASSERT_EQ(rgb.size(), size_t(100 * 100 * 3)) << name;
        EXPECT_NEAR(rgb[0], 254, 1) << name;
        EXPECT_LE(rgb[1], 1) << name;
        EXPECT_LE(rgb[2], 1) << name;
    }
}

// RLE is decoded by the reader itself: on real files, the samples GDCM's own codec gives
// for these sound files, grey or 8-bit colour; the twins stored uncompressed; and wider
// colour as the 8-bit file's colour widened (GDCM's own order of the bytes of wider
// colour is its own).
TEST(DicomReader, RleDecodedAsGdcmDecodesSoundFiles) {
    REQUIRE_PYDICOM();
    for (const char* name : {"MR_small_RLE.dcm", "SC_rgb_rle.dcm", "SC_rgb_rle_2frame.dcm"}) {
        SCOPED_TRACE(name);
        gdcm::ImageReader r;
        r.SetFileName((kPydicom + name).c_str());
        ASSERT_TRUE(r.Read());
        const gdcm::Image& image = r.GetImage();
        std::vector<char> raw(image.GetBufferLength());
        ASSERT_TRUE(image.GetBuffer(raw.data()));
        const int bytes = image.GetPixelFormat().GetBitsAllocated() / 8, samples = image.GetPixelFormat().GetSamplesPerPixel();
        const size_t frame = raw.size() / std::max(1u, image.GetNumberOfDimensions() > 2 ? image.GetDimension(2) : 1u);
        std::vector<int64_t> want;
        for (size_t i = 0; i < raw.size() / size_t(bytes); ++i) {
            // GDCM gives RLE colour frame by frame in planes: sample i of the interleaved frame.
            const size_t f = i * size_t(bytes) / frame, in = i - f * frame / size_t(bytes), pixels = frame / size_t(bytes * samples);
            const size_t at = image.GetPlanarConfiguration() == 1 ? (in % size_t(samples)) * pixels + in / size_t(samples) : in;
            uint64_t v = 0;
            std::memcpy(&v, raw.data() + f * frame + at * size_t(bytes), size_t(bytes));
            const bool sig = image.GetPixelFormat().GetPixelRepresentation() == 1;
            want.push_back(!sig ? int64_t(v) : bytes == 2 ? int16_t(v) : bytes == 4 ? int32_t(v) : int8_t(v));
        }
        EXPECT_EQ(decodeAll(kPydicom + name), want);
    }
    const std::vector<int64_t> rgb8 = decodeAll(kPydicom + "SC_rgb_rle.dcm");
    EXPECT_EQ(std::vector<int64_t>(rgb8.begin(), rgb8.begin() + 3), (std::vector<int64_t>{255, 0, 0}));  // red
    std::vector<int64_t> rgb16 = decodeAll(kPydicom + "SC_rgb_rle_16bit.dcm"), rgb32 = decodeAll(kPydicom + "SC_rgb_rle_32bit.dcm");
    ASSERT_EQ(rgb16.size(), rgb8.size());
    ASSERT_EQ(rgb32.size(), rgb8.size());
    int bad16 = 0, bad32 = 0;
    for (size_t i = 0; i < rgb8.size(); ++i) bad16 += rgb16[i] != rgb8[i] * 257, bad32 += rgb32[i] != rgb8[i] * 16843009;
    EXPECT_EQ(bad16, 0);
    EXPECT_EQ(bad32, 0);
    EXPECT_EQ(decodeAll(kPydicom + "rtdose_rle.dcm"), decodeAll(kPydicom + "rtdose.dcm"));
    EXPECT_EQ(decodeAll(kPydicom + "rtdose_rle_1frame.dcm"), decodeAll(kPydicom + "rtdose_1frame.dcm"));
}

// Concurrent pages of one multi-frame file come out as one thread decodes them.
TEST(DicomReader, FramesDecodedOnSeveralThreads) {
    testutil::TempDir dir;
    Dicom d;
    d.width = 64, d.height = 32, d.frames = 24;
    ASSERT_TRUE(writeDicom(dir.file("frames"), d));
    FileInfo info;
    const std::vector<int64_t> want = decodeAll(dir.file("frames"), &info);
    std::vector<std::vector<int64_t>> got(24);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int k = 23 - t; k >= 0; k -= 4) {
                Page p;
                std::string reason;
                if (formats::dicom.decode(dir.file("frames"), info, k, p, reason))
                    got[size_t(k)].assign(p.s16.begin(), p.s16.end());
            }
        });
    for (std::thread& t : threads) t.join();
    for (size_t k = 0; k < 24; ++k)
        EXPECT_TRUE(std::equal(got[k].begin(), got[k].end(), want.begin() + long(k * 64 * 32)) && got[k].size() == 64 * 32)
            << "frame " << k;
}

namespace {


// Reads path with GDCM, lets change edit its data set and file meta, and writes it back.
bool edit(const std::string& path, const std::function<void(gdcm::File&)>& change) {
    gdcm::Reader r;
    r.SetFileName(path.c_str());
    if (!r.Read()) return false;
    change(r.GetFile());
    gdcm::Writer w;
    w.SetFile(r.GetFile());
    w.SetFileName(path.c_str());
    return w.Write();
}
void setText(gdcm::DataSet& ds, gdcm::Tag tag, std::string v) {
    if (v.size() % 2) v += ' ';
    gdcm::DataElement e(tag);
    e.SetByteValue(v.data(), uint32_t(v.size()));
    ds.Replace(e);
}
void setShort(gdcm::DataSet& ds, gdcm::Tag tag, uint16_t v) {
    gdcm::DataElement e(tag);
    e.SetVR(gdcm::VR::US);
    e.SetByteValue(reinterpret_cast<const char*>(&v), 2);
    ds.Replace(e);
}

}  // namespace

// Hostile and non-image files are refused by their header, naming what they are, before
// anything large is allocated; GDCM's words go into the reason, not to standard error.
TEST(DicomReader, RefusedFromTheHeader) {
    testutil::TempDir dir;
    Dicom ct;
    ct.width = 64, ct.height = 64;
    ct.text = ctSlice(0);
    ASSERT_TRUE(writeDicom(dir.file("ct"), ct));
    const std::string whole = testutil::readBytes(dir.file("ct"));
    testutil::writeBytes(dir.file("cut-pixels"), whole.substr(0, whole.size() - 100));
    testutil::writeBytes(dir.file("cut-header"), whole.substr(0, 400));
    auto copy = [&](const char* name, const std::function<void(gdcm::File&)>& change) {
        testutil::writeBytes(dir.file(name), whole);
        ASSERT_TRUE(edit(dir.file(name), change)) << name;
    };
    // 65535 x 65535 pixels in 5000 frames, native and compressed.
    auto huge = [](gdcm::File& f) {
        setShort(f.GetDataSet(), gdcm::Tag(0x0028, 0x0010), 65535);
        setShort(f.GetDataSet(), gdcm::Tag(0x0028, 0x0011), 65535);
        setText(f.GetDataSet(), gdcm::Tag(0x0028, 0x0008), "5000");
    };
    copy("huge", huge);
    Dicom rle = ct;
    rle.syntax = gdcm::TransferSyntax::RLELossless;
    ASSERT_TRUE(writeDicom(dir.file("huge-rle"), rle));
    ASSERT_TRUE(edit(dir.file("huge-rle"), huge));
    // Deflated: the sizes are checked against the data set inflated, which a cut ends early.
    Dicom deflated = ct;
    deflated.syntax = gdcm::TransferSyntax::DeflatedExplicitVRLittleEndian;
    ASSERT_TRUE(writeDicom(dir.file("huge-deflated"), deflated));
    const std::string packed = testutil::readBytes(dir.file("huge-deflated"));
    testutil::writeBytes(dir.file("cut-deflated"), packed.substr(0, packed.size() - 40));
    ASSERT_TRUE(edit(dir.file("huge-deflated"), huge));
    copy("no-pixels", [](gdcm::File& f) { f.GetDataSet().Remove(gdcm::Tag(0x7fe0, 0x0010)); });
    copy("report", [](gdcm::File& f) {
        f.GetDataSet().Remove(gdcm::Tag(0x7fe0, 0x0010));
        setText(f.GetDataSet(), gdcm::Tag(0x0008, 0x0060), "SR");
    });
    copy("mpeg", [](gdcm::File& f) {
        f.GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::MPEG2MainProfile);
        f.GetHeader().Remove(gdcm::Tag(0x0002, 0x0010));
    });
    copy("bits12", [](gdcm::File& f) { setShort(f.GetDataSet(), gdcm::Tag(0x0028, 0x0100), 12); });
    copy("palette", [](gdcm::File& f) { setText(f.GetDataSet(), gdcm::Tag(0x0028, 0x0004), "PALETTE COLOR"); });
    const std::pair<const char*, const char*> cases[] = {
        {"cut-pixels", "is truncated: an element runs past the end of the file"},
        {"cut-header", "is truncated"},
        {"huge", "is truncated: its 65535 x 65535 pixels in 5000 frames do not fit in what the file holds"},
        {"huge-rle", "is truncated: its 65535 x 65535 pixels in 5000 frames do not fit in what the file holds"},
        {"huge-deflated", "is truncated: its 65535 x 65535 pixels in 5000 frames do not fit in what the file holds"},
        {"cut-deflated", "has a deflated data set that is damaged"},
        {"no-pixels", "is a DICOM file without pixel data"},
        {"report", "is a DICOM structured report, not an image"},
        {"mpeg", "is stored as MPEG-2 (1.2.840.10008.1.2.4.100), which cannot be decoded"},
        {"bits12", "has 12-bit DICOM samples, which are not supported"},
        {"palette", "has 1 samples per pixel as \"PALETTE COLOR\", which is not supported (grey or RGB colour)"}};
    FileInfo info;
    std::string reason;
    const int64_t grown = testutil::peakOf([&] {
        for (const auto& [name, want] : cases) {
            FileInfo refused;
            std::string why;
            EXPECT_FALSE(header(dir.file(name), refused, why)) << name;
            EXPECT_EQ(why.substr(0, std::strlen(want)), want) << name;
            EXPECT_TRUE(refused.pages.empty()) << name;
        }
        // One frame of 65535 x 65535 compressed fits the file: the header passes with what
        // decoding it would take, for the memory check to refuse.
        ASSERT_TRUE(edit(dir.file("huge-rle"), [](gdcm::File& f) { setText(f.GetDataSet(), gdcm::Tag(0x0028, 0x0008), "1"); }));
        ASSERT_TRUE(header(dir.file("huge-rle"), info, reason)) << reason;
        EXPECT_EQ(info.pages.at(0).width, 65535);
        EXPECT_GE(info.decodeBytes, int64_t(65535) * 65535 * 2);
    });
    ASSERT_GE(grown, 0);
    EXPECT_LT(grown, int64_t(64) << 20);
    // Meta elements the standard defines pass, such as where the file was sent from.
    copy("meta-address", [](gdcm::File& f) {
        gdcm::DataElement e(gdcm::Tag(0x0002, 0x0027));
        e.SetVR(gdcm::VR::UR);
        const std::string url = "http://scanner.example/ ";
        e.SetByteValue(url.data(), uint32_t(url.size()));
        f.GetHeader().Replace(e);
    });
    EXPECT_NE(testutil::readBytes(dir.file("meta-address")).find("http://scanner.example/"), std::string::npos);
    EXPECT_TRUE(header(dir.file("meta-address"), info, reason)) << reason;
    // Real objects that are not images, and a cut file.
    REQUIRE_PYDICOM();
    const std::pair<const char*, const char*> real[] = {
        {"test-SR.dcm", "is a DICOM structured report, not an image"},
        {"rtplan.dcm", "is a DICOM radiotherapy plan, not an image"},
        {"waveform_ecg.dcm", "is a DICOM waveform, not an image"},
        {"MR_truncated.dcm", "is truncated"}};
    for (const auto& [name, want] : real) {
        EXPECT_FALSE(header(kPydicom + name, info, reason)) << name;
        EXPECT_EQ(reason.substr(0, std::strlen(want)), want) << name;
    }
}

// ---- Series: arranged from headers alone ----

namespace {

// The header of a one-frame slice of series uid at z along (0, 0, 1), or without a
// position when z is NaN.
FileInfo slice(double z, const std::string& uid = "1", int instance = 0, double x = 0) {
    FileInfo f;
    f.reader = &formats::dicom;
    formats::DicomInfo& d = formats::dicomInfo(f);
    d.seriesUid = uid;
    d.modality = "CT";
    d.seriesDescription = "Series " + uid;
    f.valueUnit = "HU";
    f.hasOrientation = true;
    f.voxelSize[0] = 0.5, f.voxelSize[1] = 0.25;
    f.unit = "mm";
    d.sliceThickness = 3;
    d.hasInstanceNumber = instance != 0;
    d.instanceNumber = instance;
    d.hasWindow = true, d.windowCentre = 40, d.windowWidth = 400;
    formats::PageInfo p;
    p.width = 4, p.height = 3;
    p.hasPosition = !std::isnan(z);
    p.position[0] = x, p.position[2] = std::isnan(z) ? 0 : z;
    f.pages.push_back(p);
    return f;
}

// A plan of DICOM slices named IM0, IM1, ... with those headers.
stackio::Plan planOf(const std::vector<FileInfo>& infos) {
    stackio::Plan p;
    p.infos = infos;
    for (size_t i = 0; i < infos.size(); ++i) p.files.push_back("IM" + std::to_string(i));
    return p;
}

// The order as "file.page" words, e.g. "2.0 0.0 1.0".
std::string orderText(const stackio::Plan& p) {
    std::string s;
    for (const stackio::Layer& l : p.order) s += (s.empty() ? "" : " ") + std::to_string(l.file) + "." + std::to_string(l.page);
    return s;
}

}  // namespace

TEST(DicomSeries, OrderVoxelSizeAndNotes) {
    const double none = std::nan("");
    FileInfo multi = slice(10);  // four frames placed by GridFrameOffsetVector, given out of order
    multi.pages.resize(4, multi.pages[0]);
    for (size_t k = 1; k < 4; ++k) multi.pages[k].hasPosition = false;
    formats::dicomInfo(multi).frameOffsets = {0, 6, -6, 3};
    FileInfo tiltedOrientation = slice(0);
    struct Case {
        const char* name;
        std::vector<FileInfo> infos;
        const char* order;
        double z;
        const char* note;  // the start of the one note, or "" for none
    } cases[] = {
        {"by position, not by name or instance", {slice(5, "1", 1), slice(-5, "1", 2), slice(0, "1", 3)}, "1.0 2.0 0.0", 5, ""},
        {"a gap", {slice(0), slice(2), slice(4), slice(8), slice(10)}, "0.0 1.0 2.0 3.0 4.0", 2,
         "The slices are unevenly spaced: the usual step is 2 mm, but it differs between slices 3 and 4 (4 mm)."},
        {"without positions: instance numbers", {slice(none, "1", 3), slice(none, "1", 1), slice(none, "1", 2)}, "1.0 2.0 0.0",
         3, "Some slices have no position"},
        {"tilted", {slice(0, "1", 0, 0), slice(2, "1", 0, 1), slice(4, "1", 0, 2)}, "0.0 1.0 2.0", 2,
         "The slice positions do not lie along the slice normal"},
        {"multi-frame by offsets", {multi}, "0.2 0.0 0.3 0.1", 3, "The slices are unevenly spaced"},
        {"one slice: its thickness", {slice(7)}, "0.0", 3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        stackio::Plan a = planOf(c.infos);
        std::string problem;
        ASSERT_TRUE(formats::arrangeSeries(a, {}, problem)) << problem;
        EXPECT_EQ(orderText(a), c.order);
        EXPECT_EQ(a.voxelSize[0], 0.5);
        EXPECT_EQ(a.voxelSize[1], 0.25);
        EXPECT_EQ(a.voxelSize[2], c.z);
        EXPECT_EQ(a.unit, "mm");
        EXPECT_EQ(a.windowLo, -160);
        EXPECT_EQ(a.windowHi, 240);
        if (*c.note) {
            ASSERT_EQ(a.notes.size(), 1u);
            EXPECT_EQ(a.notes[0].substr(0, std::strlen(c.note)), c.note);
        } else {
            EXPECT_TRUE(a.notes.empty()) << a.notes[0];
        }
    }
}

TEST(DicomSeries, SeveralSeriesChosenCancelledOrRefused) {
    FileInfo sagittal = slice(0, "2");
    const double o[6] = {0, 1, 0, 0, 0, -1};
    std::copy(o, o + 6, sagittal.orientation);
    FileInfo sagittal2 = sagittal;
    sagittal2.pages[0].position[0] = 1.5;
    stackio::Plan a = planOf({slice(0, "2"), slice(0, "1"), sagittal, slice(1, "1"), sagittal2, slice(2, "2")});
    std::vector<std::string> asked;
    std::string problem;
    // Series 2 holds two orientations: three groups, listed in the order of their first file.
    ASSERT_TRUE(formats::arrangeSeries(a, [&](const std::vector<std::string>& labels) {
        asked = labels;
        return 2;
    }, problem)) << problem;
    const std::string who = "unnamed patient, no study date, ";
    EXPECT_EQ(asked, (std::vector<std::string>{who + "Series 2, CT, 4 x 3 voxels, 2 slices, axial",
                                               who + "Series 1, CT, 4 x 3 voxels, 2 slices, axial",
                                               who + "Series 2, CT, 4 x 3 voxels, 2 slices, sagittal"}));
    EXPECT_EQ(orderText(a), "4.0 2.0");  // the normal is (-1, 0, 0): x 1.5 lies before x 0
    EXPECT_EQ(a.voxelSize[2], 1.5);
    EXPECT_FALSE(formats::arrangeSeries(a, [](const std::vector<std::string>&) { return -1; }, problem));
    EXPECT_EQ(problem, "");
    ASSERT_TRUE(formats::arrangeSeries(a, {}, problem));  // nobody to ask: the first
    EXPECT_EQ(orderText(a), "0.0 5.0");

    // Two slices at one place are refused, naming both; a file named twice is one slice.
    a = planOf({slice(0), slice(1), slice(1)});
    EXPECT_FALSE(formats::arrangeSeries(a, {}, problem));
    EXPECT_EQ(problem, "\"IM1\" and \"IM2\" lie at the same position (1 mm along the slice normal); the stack is not "
                       "loaded rather than put in a guessed order.");
    a.files[2] = "IM1";
    ASSERT_TRUE(formats::arrangeSeries(a, {}, problem)) << problem;
    EXPECT_EQ(orderText(a), "0.0 1.0");
}

TEST(DicomSeries, StatusText) {
    stackio::Plan a;
    a.modality = "CT", a.valueUnit = "HU", a.width = 512, a.height = 512, a.layers = 120;
    EXPECT_EQ(formats::seriesStatus(a, true, -1024, 3071), "CT 512 x 512 x 120, -1024..3071 HU mapped to 0..255");
    a.modality = "", a.valueUnit = "", a.width = 4, a.height = 3, a.layers = 2;
    EXPECT_EQ(formats::seriesStatus(a, true, 0.5, 2.25), "DICOM 4 x 3 x 2, 0.5..2.25 mapped to 0..255");
    EXPECT_EQ(formats::seriesStatus(a, false, 0, 0), "DICOM 4 x 3 x 2");
}

// Most CT series: unsigned 16-bit stored values with intercept -1024, so the values, and the
// stack's range, lie below zero.
TEST(DicomSeries, UnsignedSamplesBelowZeroAfterRescale) {
    testutil::TempDir dir;
    std::vector<std::string> files;
    for (int z = 0; z < 2; ++z) {
        Dicom d;  // unsigned 16-bit
        d.text = ctSlice(z);
        d.values.assign(12, z == 0 ? 24 : 1000);
        files.push_back(dir.file("IM" + std::to_string(z)));
        ASSERT_TRUE(writeDicom(files.back(), d));
    }
    stackio::Plan p;
    std::string problem;
    ASSERT_TRUE(stackio::plan(files, p, problem)) << problem;
    voxelmap built;
    const stackio::Outcome o = stackio::build(p, built, [](int) { return true; });
    ASSERT_EQ(o.problem, "");
    EXPECT_EQ(o.wideLo, -1000);
    EXPECT_EQ(o.wideHi, -24);
    EXPECT_EQ(stackio::mappingText(o), "16-bit samples -1000..-24 mapped to 0..255");
    EXPECT_EQ(built.voxels.get()[built.index(3, 2, 0)], voxel(0, 0, 0, 255));
    EXPECT_EQ(built.voxels.get()[built.index(3, 2, 1)], voxel(255, 255, 255, 255));
}

// ---- Loading through the window ----

namespace {

using DicomLoad = testutil::AppTest;

// Answers the series choice: picks `pick`, or cancels when it is -1.
class ChoiceAnswer : public wxExpectModalBase<wxSingleChoiceDialog, ChoiceAnswer> {
public:
    explicit ChoiceAnswer(int pick) : pick_(pick) {}

protected:
    int OnInvoked(wxSingleChoiceDialog* dlg) const override {
        if (pick_ < 0) return wxID_CANCEL;
        dlg->SetSelection(pick_);
        return wxID_OK;
    }

private:
    int pick_;
};

// Writes a CT slice of constant stored value `stored` at z into dir/name.
void ctFile(const testutil::TempDir& dir, const std::string& name, double z, int stored, const std::string& uid = "1.2.3.4") {
    Dicom d;
    d.isSigned = true;
    d.text = ctSlice(z, uid);
    d.values.assign(12, stored);
    ASSERT_TRUE(writeDicom(dir.file(name), d)) << name;
}

}  // namespace

// A folder of CT slices named out of order loads in the order of their positions, with the
// voxel size, values and status bar their headers give; several series ask which one.
TEST_F(DicomLoad, FolderOfSlicesByPositionAndSeriesChosen) {
    testutil::TempDir dir;
    const double z[] = {6, 0, 9, 3};
    for (int i = 0; i < 4; ++i) ctFile(dir, "IM" + std::to_string(i + 1), z[i], int(z[i]) * 10);
    testutil::frame()->loadStack(testutil::toArray({dir.path}));
    ASSERT_TRUE(myVoxmap->loaded);
    ASSERT_EQ(myVoxmap->depth, 4);
    EXPECT_TRUE(testutil::frame()->GetStatusBar()->GetStatusText(0).StartsWith(
        "CT 4 x 3 x 4, -1024..-934 HU mapped to 0..255; shown with the files' window"))
        << testutil::frame()->GetStatusBar()->GetStatusText(0);
    // Values -1024 + 10 z, z = 0, 3, 6, 9, mapped -1024..-934 onto 0..255 (the full range).
    testutil::frame()->setWindow(-1024, -934);
    const int want[] = {0, 85, 170, 255};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(testutil::at(2, 1, k), voxel(want[k], want[k], want[k], 255)) << k;
    testutil::expectExact(myVoxmap->voxelSize, 0.25, 0.5, 3);
    EXPECT_EQ(myVoxmap->unit, "mm");

    // A second series beside it: the choice decides; Cancel leaves the volume as it was.
    ctFile(dir, "JM1", 0, 500, "9.9");
    ctFile(dir, "JM2", 2, 700, "9.9");
    wxTEST_DIALOG(testutil::frame()->loadStack(testutil::toArray({dir.path})), ChoiceAnswer(-1));
    EXPECT_EQ(myVoxmap->depth, 4);
    wxTEST_DIALOG(testutil::frame()->loadStack(testutil::toArray({dir.path})), ChoiceAnswer(1));
    EXPECT_EQ(myVoxmap->depth, 2);
    testutil::expectExact(myVoxmap->voxelSize, 0.25, 0.5, 2);
    testutil::frame()->setWindow(-524, -324);  // the second series' full range
    EXPECT_EQ(testutil::at(0, 0, 1), voxel(255, 255, 255, 255));

    // DICOM beside a PNG image is refused, the volume unchanged.
    const std::vector<std::string> png = testutil::writeStack(dir.path, {testutil::makeImage(4, 3, [](int, int) {
                                                                  return voxel(1, 2, 3, 255);
                                                              }, false)});
    wxString message;
    wxTEST_DIALOG(testutil::frame()->loadStack(testutil::toArray({dir.file("IM1"), png[0]})),
                  testutil::MessageCapture(&message));
    EXPECT_TRUE(message.StartsWith("\"" + dir.file("IM1") + "\" is a DICOM file and \"" + png[0] + "\" is not")) << message;
    EXPECT_EQ(myVoxmap->depth, 2);
}

// Real series planned and built: order, size, voxel size, notes and the range of values,
// as pydicom reads the files' own fields.
TEST(DicomSeries, RealFilesPlannedAndBuilt) {
    REQUIRE_PYDICOM();
    const std::string dirs = kPydicom + "dicomdirtests/";
    struct Case {
        std::string path;
        std::vector<const char*> order;  // file names, bottom first
        int size;
        double voxel[3];
        double lo, hi;
        const char* note;
    } cases[] = {
        // z -99.48, 103.02, 104.27, 105.52: a gap after the first slice.
        {dirs + "77654033/CT2", {"17106", "17136", "17166", "17196"}, 16, {0.488281, 0.488281, 1.25}, -981, 1489,
         "The slices are unevenly spaced: the usual step is 1.25 mm, but it differs between slices 1 and 2 (202.5 mm). "
         "They are shown evenly spaced."},
        // z from 8.76 down to -1.24 in name order: loaded the other way round.
        {dirs + "98892001/CT5N", {"3353", "3023", "2693", "2392", "2062"}, 16, {0.488281, 0.488281, 2.5}, -888, 85, ""},
        {kPydicom + "CT_small.dcm", {"CT_small.dcm"}, 128, {0.661468, 0.661468, 5}, -896, 1167, ""},
        {kPydicom + "MR_small.dcm", {"MR_small.dcm"}, 64, {0.3125, 0.3125, 0.8}, 127, 2145, ""},
        {kPydicom + "rtdose.dcm", std::vector<const char*>(15, "rtdose.dcm"), 10, {10, 10, 5}, 0.795, 1.254, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<std::string> files;
        std::string problem;
        stackio::Plan p;
        ASSERT_TRUE(stackio::expandPaths({c.path}, files, problem) && stackio::plan(files, p, problem)) << problem;
        ASSERT_EQ(p.order.size(), c.order.size());
        for (size_t i = 0; i < c.order.size(); ++i) {
            const std::string& f = p.files[size_t(p.order[i].file)];
            EXPECT_EQ(f.substr(f.rfind('/') + 1), c.order[i]) << i;
            if (c.order.size() == 15) {
                EXPECT_EQ(p.order[i].page, int(i));  // the dose grid's frames, by offset
            }
        }
        EXPECT_EQ(p.width, c.size);
        for (int a = 0; a < 3; ++a) EXPECT_DOUBLE_EQ(p.voxelSize[a], c.voxel[a]) << a;
        EXPECT_EQ(p.unit, "mm");
        EXPECT_EQ(p.notes.size(), *c.note ? 1u : 0u);
        if (*c.note && !p.notes.empty()) {
            EXPECT_EQ(p.notes[0], c.note);
        }
        voxelmap built;
        const stackio::Outcome o = stackio::build(p, built, [](int) { return true; });
        ASSERT_EQ(o.problem, "");
        EXPECT_TRUE(o.mappedWide);
        EXPECT_DOUBLE_EQ(o.wideLo, c.lo);
        EXPECT_DOUBLE_EQ(o.wideHi, c.hi);
        EXPECT_EQ(built.depth, int(c.order.size()));
    }
}

// The sample series opens at once: twelve slices named from the top down, loaded bottom first.
TEST_F(DicomLoad, SampleSeries) {
    const std::string folder = std::string(SLABWRIGHT_SOURCE_DIR) + "/samples/scan/ct";
    std::vector<std::string> files;
    std::string problem;
    stackio::Plan p;
    ASSERT_TRUE(stackio::expandPaths({folder}, files, problem) && stackio::plan(files, p, problem)) << problem;
    ASSERT_EQ(p.order.size(), 12u);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(p.files[size_t(p.order[size_t(k)].file)], folder + "/IM00" + (k < 3 ? "" : "0") + std::to_string(12 - k));
    testutil::frame()->loadStack(testutil::toArray({folder}));
    ASSERT_EQ(myVoxmap->depth, 12);
    testutil::expectExact(myVoxmap->voxelSize, 0.661468, 0.661468, 5);
    EXPECT_TRUE(testutil::frame()->GetStatusBar()->GetStatusText(0).StartsWith("CT 128 x 128 x 12, -1024..1167 HU mapped to 0..255"));
}
