// Voxels that are not cubes: placed in the world by their size, shown in true proportions.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "appFrame.h"
#include "camera.h"
#include "filebytes.h"
#include "plain_kernels.h"
#include "slicer.h"
#include "stackio.h"
#include "stackwrite.h"
#include "testutil.h"
#include "voxelmap.h"
#include "voxelsizedlg.h"

namespace {

// A random volume whose first layer (axis 2) or first row (axis 1) is transparent: a
// voxel twice as long puts the band just below that face inside the volume, so the march
// must find nothing there (the slice poses below stay clear of the band).
voxel randomVoxel(std::mt19937& rng, bool clear) {
    const unsigned v = rng();
    return voxel(v & 255, (v >> 8) & 255, (v >> 16) & 255, clear ? 0 : 40 + (v >> 24) % 160);
}

// The volume with voxels twice as long along axis, and the same volume of cubes with every
// layer (or row) along that axis repeated twice.
void twinVolumes(voxelmap& longer, voxelmap& doubled, int axis, const Vector& size) {
    std::mt19937 rng(axis);
    testutil::fillMap(longer, 16, 12, 8, [&](int, int j, int k) { return randomVoxel(rng, (axis == 1 ? j : k) == 0); });
    longer.setVoxelSize(size);
    const int h = axis == 1 ? 24 : 12, d = axis == 2 ? 16 : 8;
    testutil::fillMap(doubled, 16, h, d, [&](int i, int j, int k) {
        return longer.voxels[longer.index(i, axis == 1 ? j / 2 : j, axis == 2 ? k / 2 : k)];
    });
}

struct Pose {
    Vector t;
    float rx, ry, rz, sx, sy;
};

}  // namespace

// The core property: a volume of n layers whose voxels are twice as long in z (or rows
// twice as long in y) shows the very same slice and 3D picture as the volume of cubes with
// every layer (row) repeated twice: at the start poses and after moves. The fast kernels
// match the plain ones on the same non-cubic volume as well.
TEST(TrueProportions, LongVoxelsLookLikeRepeatedLayers) {
    struct Case {
        int axis;
        Vector size;
        std::vector<Pose> planes;
    };
    const Case cases[] = {
        {2, Vector(0.7, 0.7, 1.4),
         {{Vector(0, 0, 0), 0, 0, 0, 100, 100}, {Vector(0, 0, 5), 0, 0, 0, 100, 100},
          {Vector(1, -2, 8), 30, 0, 0, 100, 100}, {Vector(0, 0, 9), 0, 40, 15, 80, 100}}},
        {1, Vector(0.4, 0.8, 0.4),
         {{Vector(0, 0, 0), 0, 0, 0, 100, 100}, {Vector(0, 4, 3), 0, 0, 0, 100, 100},
          {Vector(0, 0, 2), 0, 0, 30, 50, 50}, {Vector(2, 1, 4), 20, 0, 0, 100, 90}}},
    };
    // Yaw, pitch, truck and zoom (hundredths) of the camera: the start pose, then close by
    // (the eye starts about 300 units away) from all round.
    const int cameras[][4] = {{0, 0, 0, 200},      {0, 0, 280, 200},     {35, 20, 280, 200},
                              {180, 0, 285, 150},  {-70, -45, 290, 300}, {90, 90, 280, 200}};
    for (const Case& c : cases) {
        voxelmap longer, doubled;
        twinVolumes(longer, doubled, c.axis, c.size);
        ASSERT_EQ(longer.planeHeight(), doubled.height) << "axis " << c.axis;
        for (const Pose& p : c.planes) {
            slicer a(longer.origin, longer.width, longer.planeHeight()), b(doubled.origin, doubled.width, doubled.height);
            a.pose(p.t, p.rx, p.ry, p.rz, p.sx, p.sy, 100);
            b.pose(p.t, p.rx, p.ry, p.rz, p.sx, p.sy, 100);
            wxImage got(16, longer.planeHeight()), want(16, doubled.height), plainGot(16, longer.planeHeight());
            a.evaluateSlice(&longer, got);
            b.evaluateSlice(&doubled, want);
            plain::evaluateSlice(a, &longer, plainGot);
            EXPECT_TRUE(testutil::sameRGB(got, want)) << "axis " << c.axis << " plane at " << p.t;
            EXPECT_TRUE(testutil::sameRGB(got, plainGot)) << "axis " << c.axis << " plane at " << p.t;
            // Interpolated lookups: no twin to compare with, but fast and plain agree.
            a.aaLookups = true;
            a.evaluateSlice(&longer, got);
            plain::evaluateSlice(a, &longer, plainGot);
            EXPECT_TRUE(testutil::sameRGB(got, plainGot)) << "interpolated, axis " << c.axis << " plane at " << p.t;
        }
        long lit = 0;
        for (const auto& m : cameras) {
            camera a, b;
            a.startFor(longer);
            b.startFor(doubled);
            testutil::expectExact(a.lookAt, b.lookAt.x(), b.lookAt.y(), b.lookAt.z());
            for (camera* k : {&a, &b}) {
                k->resolution = 48;
                k->stepLength = 0.7;
                k->zoom = m[3] * 0.01;
                k->orbit(m[0], m[1], m[2]);
            }
            camera plainCam = a;
            wxImage got(48, 48), want(48, 48), plainGot(48, 48);
            a.march(&longer, got);
            b.march(&doubled, want);
            plain::march(plainCam, &longer, plainGot);
            EXPECT_TRUE(testutil::sameRGB(got, want)) << "axis " << c.axis << " yaw " << m[0] << " pitch " << m[1];
            EXPECT_TRUE(testutil::sameRGB(got, plainGot)) << "axis " << c.axis << " yaw " << m[0] << " pitch " << m[1];
            lit += std::count_if(got.GetData(), got.GetData() + 48 * 48 * 3, [](unsigned char v) { return v != 0; });
        }
        // Something was seen: the comparisons are not of black pictures.
        EXPECT_GT(lit, 10000) << "axis " << c.axis;
    }
}

// Cubes of any size are placed exactly as cubes of size 1; other sizes span sy/sx and
// sz/sx world units per voxel; ratios that are no size count as 1.
TEST(TrueProportions, PlacementFollowsTheSizeRatios) {
    struct Row {
        Vector size;
        double spanY, spanZ, originY, boxDepth;
        int planeHeight;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {
        {Vector(1, 1, 1), 1, 1, -2.5, 3, 5},
        {Vector(0.7, 0.7, 0.7), 1, 1, -2.5, 3, 5},
        {Vector(0.5, 0.5, 1.25), 1, 2.5, -2.5, 7.5, 5},
        {Vector(2, 3, 1), 1.5, 0.5, -3.75, 1.5, 8},  // 7.5 rows rounded
        {Vector(1, 0.1, 1), 0.1, 1, -0.25, 3, 1},     // 0.5 rounds up; never below 1
        {Vector(0, 1, nan), 1, 1, -2.5, 3, 5},
    };
    for (const Row& r : rows) {
        voxelmap m;
        testutil::fillMap(m, 4, 5, 3, [](int, int, int) { return voxel(); });
        m.setVoxelSize(r.size);
        testutil::expectExact(m.span, 1, r.spanY, r.spanZ);
        testutil::expectExact(m.origin, -2, r.originY, 100);
        EXPECT_EQ(m.extent().z(), r.boxDepth);
        EXPECT_EQ(m.planeHeight(), r.planeHeight) << r.size;
        EXPECT_EQ(m.cubic(), r.spanY == 1 && r.spanZ == 1);
    }
}

// The status bar's words for a volume's size.
TEST(TrueProportions, SizeText) {
    struct Row {
        Vector size;
        const char* unit;
        const char* text;
    };
    const Row rows[] = {
        {Vector(1, 1, 1), "", "4 x 5 x 3 voxels"},
        {Vector(0.5, 0.5, 0.5), "", "4 x 5 x 3 voxels"},
        {Vector(1, 1, 2), "", "4 x 5 x 3 voxels of 1.00 x 1.00 x 2.00"},
        {Vector(0.7, 0.7, 2.5), "mm", "4 x 5 x 3 voxels of 0.70 x 0.70 x 2.50 mm"},
        {Vector(0.0004, 0.0625, 120), "µm", "4 x 5 x 3 voxels of 0.0004 x 0.062 x 120.00 µm"},
    };
    for (const Row& r : rows) {
        voxelmap m;
        testutil::fillMap(m, 4, 5, 3, [](int, int, int) { return voxel(); });
        m.setVoxelSize(r.size);
        m.unit = r.unit;
        EXPECT_EQ(sizeText(m), r.text);
    }
}

namespace {

using VoxelSizeSetting = testutil::AppTest;

// The main window's views as they stand.
struct Views {
    wxImage slice, picture;
    Views() : slice(screenImage.Copy()), picture(viewportImage.Copy()) {}
};

}  // namespace

// A new voxel size re-places the volume as a load would, and the controls keep their
// values: the views are those of a fresh plane and camera posed by the same controls.
TEST_F(VoxelSizeSetting, ReplacesTheVolumeAndKeepsTheControls) {
    AppFrame* f = testutil::gradedVolume(16, 8, 6);
    testutil::spin(f->spinTZ, 2);
    testutil::spin(f->spinRX, 20);
    testutil::spin(f->spinYaw, 30);
    testutil::spin(f->spinTruck, 150);
    testutil::pump();
    f->setVoxelSize(Vector(0.5, 0.25, 1.5), wxString::FromUTF8("mm"));
    EXPECT_EQ(f->GetStatusBar()->GetStatusText(0), "16 x 8 x 6 voxels of 0.50 x 0.25 x 1.50 mm");
    EXPECT_EQ(f->spinTZ->GetValue(), 2);
    EXPECT_EQ(f->spinYaw->GetValue(), 30);
    testutil::expectExact(cam->lookAt, 0, 0, 109.0);  // 6 layers of 3 units: the centre 9 units in
    ASSERT_EQ(screenImage.GetHeight(), 4);            // 8 rows of half a unit
    slicer plane(myVoxmap->origin, 16, 4);
    plane.pose(Vector(0, 0, 2), 20, 0, 0, 100, 100, 100);
    wxImage slice(16, 4);
    plane.evaluateSlice(myVoxmap, slice);
    EXPECT_TRUE(testutil::sameRGB(screenImage, slice));
    camera c;
    c.startFor(*myVoxmap);
    c.orbit(30, 0, 150);
    wxImage picture(c.resolution, c.resolution);
    c.march(myVoxmap, picture);
    EXPECT_TRUE(testutil::sameRGB(viewportImage, picture));
    // Back to cubes of 1: the views from before, and the status bar's words of a load.
    f->setVoxelSize(Vector(1, 1, 1), "");
    EXPECT_EQ(f->GetStatusBar()->GetStatusText(0), "16 x 8 x 6 voxels");
    EXPECT_TRUE(testutil::sameRGB(screenImage, testutil::directSlice(Vector(0, 0, 2), 20, 0, 0, 100, 100, 100)));
}

// Sizes that are not positive finite numbers, or more than 1000 times apart, are refused
// with a message; nothing changes.
TEST_F(VoxelSizeSetting, RefusesSizesThatAreNoSizes) {
    AppFrame* f = testutil::gradedVolume(16, 8, 6);
    f->setVoxelSize(Vector(0.5, 0.5, 2), wxString::FromUTF8("µm"));
    const Views before;
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const Vector bad[] = {Vector(0, 1, 1), Vector(1, -2, 1), Vector(1, 1, nan), Vector(inf, 1, 1),
                          Vector(0.001, 1, 1.0000001), Vector(1, 2000, 1.5)};
    for (const Vector& size : bad) {
        wxString message;
        wxTEST_DIALOG(f->setVoxelSize(size, "mm"), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains(size[0] > 0 && size[1] > 0 && size[2] > 0 && std::isfinite(size.length())
                                         ? "at most a factor of 1000"
                                         : "must be a positive number"))
            << size << ": " << message;
        testutil::expectExact(myVoxmap->voxelSize, 0.5, 0.5, 2);
        EXPECT_EQ(myVoxmap->unit, "µm");
        EXPECT_TRUE(testutil::sameRGB(screenImage, before.slice));
        EXPECT_TRUE(testutil::sameRGB(viewportImage, before.picture));
    }
    // Exactly 1000 times apart is allowed.
    f->setVoxelSize(Vector(0.001, 1, 0.5), "mm");
    testutil::expectExact(myVoxmap->voxelSize, 0.001, 1, 0.5);
}

// The dialog's OK refuses sizes that cannot be one, naming the field, and stays open with
// every entry as typed; sizes that can be one close it.
TEST_F(VoxelSizeSetting, DialogNamesTheFieldAndKeepsTheEntries) {
    AppFrame* f = testutil::gradedVolume(16, 8, 6);
    VoxelSizeDlg dlg(f, Vector(1, 1, 1), "mm");
    const struct {
        const char* x;
        const char* y;
        const char* z;
        const char* named;  // in the reason; empty: accepted
    } cases[] = {
        {"0.5", "abc", "2", "along y (\"abc\")"},
        {"-1", "1", "2", "along x"},
        {"0.001", "1", "1.5", "along z is more than 1000 times the size along x"},
        {"0.5", "0.5", "2", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.y);
        dlg.Show();  // shown without a modal loop: OK hides it when it closes
        dlg.problemText->SetLabel("");
        const char* const typed[3] = {c.x, c.y, c.z};
        for (int a = 0; a < 3; ++a) dlg.sizeCtrls[a]->ChangeValue(typed[a]);
        wxCommandEvent ok(wxEVT_BUTTON, wxID_OK);
        ok.SetEventObject(dlg.FindWindow(wxID_OK));
        dlg.FindWindow(wxID_OK)->ProcessWindowEvent(ok);
        EXPECT_EQ(*c.named != 0, dlg.IsShown());
        EXPECT_TRUE(dlg.problemText->GetLabel().Contains(c.named)) << dlg.problemText->GetLabel();
        for (int a = 0; a < 3; ++a) EXPECT_EQ(wxString(typed[a]), dlg.sizeCtrls[a]->GetValue());
    }
}

// Save Volume keeps the voxel size: a TIFF as ImageJ writes it, PNG files with pHYs where
// the unit is metric.
TEST(TrueProportions, SavedFilesSayTheSize) {
    testutil::TempDir dir;
    voxelmap m;
    testutil::randomMap(m, 6, 4, 3, 9);
    m.setVoxelSize(Vector(0.4, 0.5, 2.5));
    m.unit = "µm";
    wxString reason;
    ASSERT_TRUE(writeVolumeTiff(m, dir.file("v.tif"), reason, nullptr)) << reason;
    TIFF* tif = TIFFOpen(dir.file("v.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    for (int page = 0; page < 3; ++page, TIFFReadDirectory(tif)) {
        char* description = nullptr;
        float xres = 0, yres = 0;
        uint16_t unit = 0;
        EXPECT_EQ(TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description), page == 0 ? 1 : 0);
        if (page == 0) {
            EXPECT_STREQ(description, "ImageJ=1.11a\nimages=3\nslices=3\nunit=micron\nspacing=2.5\nloop=false\n");
        }
        ASSERT_TRUE(TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres));
        EXPECT_FLOAT_EQ(xres, 2.5f);
        EXPECT_FLOAT_EQ(yres, 2.0f);
        ASSERT_TRUE(TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit));
        EXPECT_EQ(unit, RESUNIT_NONE);
    }
    TIFFClose(tif);

    // pHYs in pixels per metre: 2,500,000 for 0.4 µm, rounded for 0.7 mm; none without a
    // metric unit. The toolkit's reader takes the chunk (its checksum holds), in pixels per cm.
    struct Row {
        Vector size;
        const char* unit;
        long perMetreX, perMetreY;  // 0: no pHYs
    };
    const Row rows[] = {{Vector(0.4, 0.5, 2.5), "µm", 2500000, 2000000},
                        {Vector(0.7, 0.7, 2.5), "mm", 1429, 1429},
                        {Vector(0.7, 0.7, 2.5), "", 0, 0}};
    for (const Row& r : rows) {
        m.setVoxelSize(r.size);
        m.unit = r.unit;
        const std::string path = dir.file("layer.png");
        ASSERT_TRUE(saveLayerPng(m, 1, path, reason)) << reason;
        const std::string bytes = testutil::readBytes(path);
        const size_t at = bytes.find("pHYs");
        ASSERT_EQ(at != std::string::npos, r.perMetreX != 0) << r.unit;
        wxImage back;
        ASSERT_TRUE(testutil::decode(path, back));
        EXPECT_EQ(testutil::voxelOf(back, 5, 3), testutil::at(m, 5, 3, 1));
        if (!r.perMetreX) continue;
        const auto be32 = [&](size_t i) {
            long v = 0;
            for (int b = 0; b < 4; ++b) v = v * 256 + static_cast<unsigned char>(bytes[i + b]);
            return v;
        };
        EXPECT_EQ(be32(at + 4), r.perMetreX) << r.unit;
        EXPECT_EQ(be32(at + 8), r.perMetreY) << r.unit;
        EXPECT_EQ(bytes[at + 12], 1);  // metres
        EXPECT_EQ(back.GetOptionInt(wxIMAGE_OPTION_RESOLUTIONX), r.perMetreX / 100);
        EXPECT_EQ(back.GetOptionInt(wxIMAGE_OPTION_RESOLUTIONUNIT), wxIMAGE_RESOLUTION_CM);
    }
}

namespace {

// A two-page 4 x 3 grey TIFF with the given description and resolutions (0: none).
void sizedTiff(const std::string& path, const std::string& description, float xres, float yres, uint16_t resUnit) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(t, nullptr);
    const unsigned char row[4] = {10, 20, 30, 40};
    for (int page = 0; page < 2; ++page) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 4);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, 3);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        if (!description.empty()) TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
        if (xres > 0) {
            TIFFSetField(t, TIFFTAG_XRESOLUTION, xres);
            TIFFSetField(t, TIFFTAG_YRESOLUTION, yres);
            TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, resUnit);
        }
        for (uint32_t j = 0; j < 3; ++j) TIFFWriteScanline(t, const_cast<unsigned char*>(row), j, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

// The voxel size and unit a load plans for files.
stackio::Plan planned(const std::vector<std::string>& files) {
    stackio::Plan plan;
    std::string problem;
    EXPECT_TRUE(stackio::plan(files, plan, problem)) << problem;
    return plan;
}

void expectSize(const stackio::Plan& p, const Vector& size, const char* unit, const std::string& what) {
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(p.voxelSize[a], size[a], size[a] * 1e-6) << what << " axis " << a;
    EXPECT_EQ(p.unit, unit) << what;
}

}  // namespace

// Where files say their voxel size: ImageJ's description with the resolutions, OME-XML,
// resolutions in centimetres (not in inches), PNG's pHYs; and what Save Volume wrote.
TEST(TrueProportions, SizesReadFromFiles) {
    testutil::TempDir dir;
    struct Row {
        const char* what;
        std::string description;
        float xres, yres;
        uint16_t resUnit;
        Vector size;
        const char* unit;
    };
    const std::string ome = "<?xml version=\"1.0\"?><OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\">"
                            "<Image ID=\"Image:0\"><Pixels ID=\"Pixels:0\" DimensionOrder=\"XYZCT\" Type=\"uint8\" "
                            "SizeX=\"4\" SizeY=\"3\" SizeZ=\"2\" SizeC=\"1\" SizeT=\"1\" ";
    const Row rows[] = {
        {"ImageJ", "ImageJ=1.53t\nimages=2\nslices=2\nunit=micron\nspacing=2.5\nloop=false\n", 2.5f, 2, RESUNIT_NONE,
         Vector(0.4, 0.5, 2.5), "µm"},
        {"ImageJ, escaped µ, no spacing", "ImageJ=1.11a\nimages=2\nunit=\\u00B5m\n", 4, 4, RESUNIT_NONE,
         Vector(0.25, 0.25, 0.25), "µm"},
        {"ImageJ in cm", "ImageJ=1.11a\nunit=cm\nspacing=0.3\n", 20, 20, RESUNIT_CENTIMETER, Vector(0.5, 0.5, 3), "mm"},
        {"OME in µm by default", ome + "PhysicalSizeX=\"0.65\" PhysicalSizeY=\"0.65\" PhysicalSizeZ=\"2.0\"/></Image></OME>",
         0, 0, 0, Vector(0.65, 0.65, 2), "µm"},
        {"OME in nm", ome + "PhysicalSizeX=\"100\" PhysicalSizeXUnit=\"nm\" PhysicalSizeY=\"120\" PhysicalSizeYUnit=\"nm\"/>"
                            "</Image></OME>",
         0, 0, 0, Vector(100, 120, 100), "nm"},
        {"centimetres", "", 40, 20, RESUNIT_CENTIMETER, Vector(0.25, 0.5, 0.25), "mm"},
        {"inches: a print size", "", 300, 300, RESUNIT_INCH, Vector(1, 1, 1), ""},
        {"nothing said", "", 0, 0, 0, Vector(1, 1, 1), ""},
    };
    for (const Row& r : rows) {
        const std::string path = dir.file("s.tif");
        sizedTiff(path, r.description, r.xres, r.yres, r.resUnit);
        expectSize(planned({path}), r.size, r.unit, r.what);
    }
    // PNG: pixels per metre, no depth (z as x).
    const filebytes::Bytes phys = filebytes::pngChunk(
        "pHYs", filebytes::bytes({0x00, 0x26, 0x25, 0xa0, 0x00, 0x1e, 0x84, 0x80, 1}));  // 2500000 and 2000000
    testutil::writeBytes(dir.file("p.png"), filebytes::png(2, 1, 8, 0, filebytes::rowsOf(2, 1, [](int, int) {
                                                               return filebytes::bytes({7});
                                                           }),
                                                           phys));
    expectSize(planned({dir.file("p.png")}), Vector(0.4, 0.5, 0.4), "µm", "pHYs");

    // Save Volume and back: the same size and unit.
    voxelmap m;
    testutil::randomMap(m, 6, 4, 3, 9);
    m.setVoxelSize(Vector(0.7, 0.7, 2.5));
    m.unit = "mm";
    wxString reason;
    ASSERT_TRUE(writeVolumeTiff(m, dir.file("v.tif"), reason, nullptr)) << reason;
    expectSize(planned({dir.file("v.tif")}), Vector(0.7, 0.7, 2.5), "mm", "saved TIFF");
    ASSERT_TRUE(saveLayerPng(m, 0, dir.file("v.0000.png"), reason)) << reason;
    expectSize(planned({dir.file("v.0000.png")}), Vector(1e3 / 1429, 1e3 / 1429, 1e3 / 1429), "mm", "saved PNG");
}
