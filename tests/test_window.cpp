// Window and level over the original samples: the mapping of a window worked out by hand,
// the full range against what a load makes, Auto, filters applied again after a window
// change and Undo, the value under the pointer, and the dialog.
#include <wx/button.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/textctrl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "cpu.h"
#include "filebytes.h"
#include "opacityDlg.h"
#include "originals.h"
#include "plain_kernels.h"
#include "slicer.h"
#include "stackio.h"
#include "testutil.h"
#include "windowDlg.h"

namespace {

using testutil::AppTest;
using Window = AppTest;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// What the originals of a test stack are.
struct Stack {
    Held held = Held::Unsigned16;
    int w = 8, h = 6, d = 4, channels = 1;
    double slope = 1, intercept = 0;
    bool invert = false, alpha = false;
    std::string unit;
};
using Values = std::function<double(int i, int j, int k, int c)>;

unsigned char alphaOf(int i, int j) { return static_cast<unsigned char>(i * 37 + j * 11); }

void put(Originals& o, int k, size_t n, double v) {
    switch (o.held) {
        case Held::Unsigned8: o.data<uint8_t>(k)[n] = static_cast<uint8_t>(v); break;
        case Held::Signed8: o.data<int8_t>(k)[n] = static_cast<int8_t>(v); break;
        case Held::Unsigned16: o.data<uint16_t>(k)[n] = static_cast<uint16_t>(v); break;
        case Held::Signed16: o.data<int16_t>(k)[n] = static_cast<int16_t>(v); break;
        case Held::Unsigned32: o.data<uint32_t>(k)[n] = static_cast<uint32_t>(v); break;
        case Held::Signed32: o.data<int32_t>(k)[n] = static_cast<int32_t>(v); break;
        case Held::Float32: o.data<float>(k)[n] = static_cast<float>(v); break;
        case Held::Unsigned64: o.data<uint64_t>(k)[n] = static_cast<uint64_t>(v); break;
        case Held::Signed64: o.data<int64_t>(k)[n] = static_cast<int64_t>(v); break;
        case Held::Float64: o.data<double>(k)[n] = v; break;
    }
}

// The frame as a wide load leaves it: originals of the stack with stored samples f, the
// volume made from them at their full range.
AppFrame* loadOriginals(const Stack& s, const Values& f) {
    auto o = std::make_unique<Originals>();
    OriginalLayer layer;
    layer.kind = s.held, layer.channels = s.channels, layer.slope = s.slope, layer.intercept = s.intercept;
    layer.invert = s.invert;
    EXPECT_TRUE(o->allocate(s.w, s.h, s.held, std::vector<OriginalLayer>(size_t(s.d), layer), s.alpha));
    o->valueUnit = s.unit;
    double lo = kInf, hi = -kInf;
    for (int k = 0; k < s.d; ++k)
        for (int j = 0; j < s.h; ++j)
            for (int i = 0; i < s.w; ++i) {
                for (int c = 0; c < s.channels; ++c) {
                    put(*o, k, (size_t(j) * s.w + i) * s.channels + c, f(i, j, k, c));
                    const double v = o->value(i, j, k, c);
                    if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
                }
                if (s.alpha) o->alpha[(size_t(k) * s.h + j) * s.w + i] = alphaOf(i, j);
            }
    o->lo = lo, o->hi = hi;
    AppFrame* frame = testutil::asLoaded(s.w, s.h, s.d, [](int, int, int) { return voxel(); }, false);
    o->remap(lo, hi, myVoxmap->voxels.get());
    frame->keepOriginals(std::move(o), lo, hi);
    frame->refreshSlice();
    frame->refresh3D();
    return frame;
}

// A copy of the current volume.
std::unique_ptr<voxelmap> snapshot() {
    auto m = std::make_unique<voxelmap>();
    m->copyMap(myVoxmap);
    return m;
}

FilterStep keyStep() {
    FilterStep s;
    s.kind = FilterStep::Key;
    s.keyColour = voxel(100, 100, 100, 0);
    s.range = 40, s.falloff = 30, s.premultiply = 1;
    return s;
}
FilterStep blurStep(int radius) {
    FilterStep s;
    s.radius = radius;
    return s;
}

TEST_F(Window, SetWindowMapsEachValueAsWorkedOutByHand) {
    struct Case {
        const char* name;
        Stack stack;
        std::vector<double> stored;  // along x
        double lo, hi;
        std::vector<int> grey;       // (v - lo) * 255 / (hi - lo) rounded down, clamped
    };
    auto stack = [](Held held, double intercept = 0, bool invert = false, bool alpha = false) {
        Stack s;
        s.held = held, s.intercept = intercept, s.invert = invert, s.alpha = alpha, s.h = 2, s.d = 2;
        return s;
    };
    const Case cases[] = {
        {"16-bit, clamped at both ends", stack(Held::Unsigned16, 0, false, true), {0, 999, 1000, 1001, 1500, 1999, 2000, 65535},
         1000, 2000, {0, 0, 0, 0, 127, 254, 255, 255}},
        {"narrower than one grey level", stack(Held::Unsigned16), {999, 1000, 1001, 1002}, 1000, 1000.5, {0, 0, 255, 255}},
        // HU = stored - 1024; 10 HU: 31.875, 40: 127.5, 60: 191.25.
        {"CT in HU, brain window", stack(Held::Unsigned16, -1024), {0, 1024, 1034, 1064, 1084, 1104, 4095}, 0, 80,
         {0, 0, 31, 127, 191, 255, 255}},
        {"16-bit signed", stack(Held::Signed16, 0, false, true), {-32768, -100, 0, 100, 32767}, -100, 100,
         {0, 0, 127, 255, 255}},
        // 0.1f * 255 = 25.50000038, 0.42f * 255 = 107.0999967; NaN 0, +inf 255.
        {"float", stack(Held::Float32), {-0.5, 0.1, 0.42, 0.5, 1.25, kNaN, kInf}, 0, 1, {0, 25, 107, 127, 255, 0, 255}},
        {"inverted (low values bright)", stack(Held::Unsigned16, 0, true), {1000, 1500, 2000}, 1000, 2000, {255, 128, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stack s = c.stack;
        s.w = static_cast<int>(c.stored.size());
        AppFrame* f = loadOriginals(s, [&](int i, int, int, int) { return c.stored[size_t(i)]; });
        EXPECT_TRUE(f->settingsMenu->IsEnabled(ID_WINDOW));
        f->setWindow(c.lo, c.hi);
        EXPECT_EQ(f->windowLo, c.lo);
        EXPECT_EQ(f->windowHi, c.hi);
        for (int k = 0; k < s.d; ++k)
            for (int j = 0; j < s.h; ++j)
                for (int i = 0; i < s.w; ++i) {
                    const int g = c.grey[size_t(i)];
                    const int a = s.alpha ? alphaOf(i, j) : 255;
                    EXPECT_EQ(testutil::at(i, j, k), voxel(g, g, g, a)) << i << "," << j << "," << k;
                }
        // The slice view shows the new volume.
        EXPECT_EQ(testutil::pixel(screenImage, 1, 0), voxel(c.grey[1], c.grey[1], c.grey[1], 255));
    }
}

// The remap runs four grey samples at a time where the machine can, and otherwise compares
// 32- and 64-bit values with each byte's least value instead of dividing: either way the
// bytes must be the formula's, to the last sample (63 wide: rows end between vectors).
TEST(Originals, RemapOfWideValuesGivesTheFormulasBytes) {
    struct Case {
        Held held;
        double lo, hi, slope, intercept;
        bool invert, alpha;
    };
    const Case cases[] = {{Held::Float32, 0.1, 0.9, 1, 0, false, false},       {Held::Float32, -1e-3, 2e-3, 1, 0, false, true},
                          {Held::Signed32, -100000, 78500, 1, 0, false, false}, {Held::Unsigned32, 5, 6, 1, 0, false, false},
                          {Held::Float64, -0.3, 0.7, 2.5, -1, true, false},    {Held::Float32, -1e30, 1e30, 1, 0, false, false},
                          {Held::Float32, -0.3, 0.7, 2.5, -1, true, true},     {Held::Unsigned16, 1000, 3000, 1, 0, false, true},
                          {Held::Signed16, -160, 240, 1, -1024, true, false},   {Held::Signed32, -7, 9, 0.25, 3, false, true}};
    constexpr int W = 63, H = 16, D = 2;
    struct Restore {  // the setting as it was, also when an assertion ends the test early
        bool was;
        ~Restore() { vectorUnitsOff() = was; }
    } restore{vectorUnitsOff()};
    for (const bool vectors : {true, false}) {
        vectorUnitsOff() = !vectors;
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.lo << (vectors ? " with vectors" : ""));
            const bool floating = c.held == Held::Float32 || c.held == Held::Float64;
            Originals o;
            OriginalLayer layer;
            layer.kind = c.held, layer.slope = c.slope, layer.intercept = c.intercept, layer.invert = c.invert;
            ASSERT_TRUE(o.allocate(W, H, c.held, std::vector<OriginalLayer>(D, layer), c.alpha));
            const double span = c.hi - c.lo;
            uint32_t r = 12345;
            for (int k = 0; k < D; ++k)
                for (size_t n = 0; n < size_t(W) * H; ++n) {
                    r = r * 1664525u + 1013904223u;
                    // Within the window and a little beyond, each byte's least value, the odd NaN.
                    const double v = n % 97 == 0 && floating ? kNaN
                                     : n % 2 == 0 ? c.lo + span * double(n / 2 % 256) / 255
                                                  : c.lo - span / 4 + span * 1.5 * (r >> 8) / 16777216.0;
                    put(o, k, n, (v - c.intercept) / c.slope);
                    if (c.alpha) o.alpha[size_t(k) * W * H + n] = static_cast<unsigned char>(r >> 24);
                }
            std::vector<voxel> out(size_t(W) * H * D);
            o.remap(c.lo, c.hi, out.data());
            for (int k = 0; k < D; ++k)
                for (int j = 0; j < H; ++j)
                    for (int i = 0; i < W; ++i) {
                        const size_t n = (size_t(k) * H + j) * W + i;
                        const double v = o.value(i, j, k, 0);
                        const int m = std::isnan(v) ? 0 : static_cast<int>(std::clamp((v - c.lo) * 255 / span, 0.0, 255.0));
                        const int g = c.invert ? 255 - m : m, a = c.alpha ? o.alpha[n] : 255;
                        ASSERT_EQ(out[n], voxel(g, g, g, a)) << i << "," << j << "," << k << ": " << v;
                    }
        }
    }
}

// A stored sample of the kinds below.
double stored(const Originals& o, int k, size_t n) {
    switch (o.held) {
        case Held::Unsigned16: return o.data<uint16_t>(k)[n];
        case Held::Signed32: return o.data<int32_t>(k)[n];
        case Held::Float32: return o.data<float>(k)[n];
        default: return o.data<double>(k)[n];
    }
}

// Each map takes its way to the bytes once: grey and colour layers of one map, stacks of
// few maps (float buckets) and of many (thresholds), copied layers and the full range of
// one value; with and without vectors, every sample the formula's byte.
TEST(Originals, RemapOfMixedLayersGivesTheFormulasBytes) {
    struct Case {
        Held held;
        int maps;    // distinct slopes among the layers
        bool copy;   // the last layer copied as it is
        double lo, hi;
    } const cases[] = {{Held::Float32, 1, false, -0.5, 0.5}, {Held::Float32, 6, false, -0.5, 0.5},
                       {Held::Signed32, 2, true, -300, 200}, {Held::Float64, 3, false, -1, 1},
                       {Held::Float32, 2, false, 0, 0},      {Held::Unsigned16, 2, true, 100, 900}};
    constexpr int W = 21, H = 3, D = 6;
    const bool was = vectorUnitsOff();
    for (const bool vectors : {true, false})
        for (const Case& c : cases) {
            vectorUnitsOff() = !vectors;
            std::vector<OriginalLayer> layers(D);
            for (int k = 0; k < D; ++k) {
                layers[size_t(k)].kind = c.held, layers[size_t(k)].channels = k % 2 ? 3 : 1;
                layers[size_t(k)].slope = 1 + k % c.maps, layers[size_t(k)].invert = k % 3 == 0;
                layers[size_t(k)].copied = c.copy && k == D - 1;
            }
            Originals o;
            ASSERT_TRUE(o.allocate(W, H, c.held, layers, false));
            for (int k = 0; k < D; ++k)
                for (size_t n = 0; n < size_t(W) * H * o.layers[size_t(k)].channels; ++n)
                    put(o, k, n, c.held == Held::Unsigned16 ? double(n * 37 % 1100)
                                 : c.held == Held::Signed32 ? std::sin(double(n + k)) * 400
                                                            : std::sin(double(n + k)) * 1.5 / (k + 1));
            std::vector<voxel> out(size_t(W) * H * D);
            o.remap(c.lo, c.hi, out.data());
            for (int k = 0; k < D; ++k) {
                const OriginalLayer& l = o.layers[size_t(k)];
                for (int n = 0; n < W * H; ++n) {
                    unsigned char want[3];
                    for (int ch = 0; ch < 3; ++ch) {
                        const double v = stored(o, k, size_t(n) * l.channels + size_t(l.channels == 3 ? ch : 0));
                        const unsigned char m = l.copied      ? static_cast<unsigned char>(std::clamp(v, 0.0, 255.0))
                                                : c.hi > c.lo ? windowByte(l.slope * v + l.intercept, c.lo, c.hi)
                                                              : wholeRangeByte(v, c.held);
                        want[ch] = l.invert && !l.copied ? static_cast<unsigned char>(255 - m) : m;
                    }
                    ASSERT_EQ(out[size_t(k) * W * H + size_t(n)], voxel(want[0], want[1], want[2], 255))
                        << "case " << &c - cases << ", layer " << k << ", voxel " << n << (vectors ? ", vectors" : "");
                }
            }
        }
    vectorUnitsOff() = was;
}

TEST_F(Window, RefusedWindowsAndStacksWithoutOriginalsChangeNothing) {
    Stack s;
    AppFrame* f = loadOriginals(s, [](int i, int j, int k, int) { return 100 * i + 10 * j + k; });
    const auto before = snapshot();
    const double refused[][2] = {{500, 500}, {600, 500}, {kNaN, 500}, {0, kInf}};
    for (const auto& w : refused) {
        wxString message;
        wxTEST_DIALOG(f->setWindow(w[0], w[1]), testutil::MessageCapture(&message));
        EXPECT_TRUE(message.Contains("The window is unchanged.")) << message;
        EXPECT_TRUE(testutil::sameMap(*before, *myVoxmap));
        EXPECT_EQ(f->windowHi, 753);
    }
    // An 8-bit stack keeps no originals: the entry is off and setWindow does nothing.
    f = testutil::gradedVolume(6, 5, 3);
    f->keepOriginals(nullptr, 0, 0);
    const auto graded = snapshot();
    EXPECT_FALSE(f->settingsMenu->IsEnabled(ID_WINDOW));
    f->setWindow(0, 10);
    f->autoWindow();
    EXPECT_TRUE(testutil::sameMap(*graded, *myVoxmap));
}

// A wide load decodes each page once and makes the volume from the originals it keeps: the
// same bytes as the two passes of a load whose originals do not fit, which keeps none, says
// so and leaves the window off.
TEST_F(Window, ALoadKeepingTheOriginalsMakesTheSameVolumeAsOneWithout) {
    struct Case {
        const char* name;
        int samples;
        uint16_t format;  // TIFF SampleFormat
        std::function<int(int k)> bits;
        std::function<double(int n)> value;
    };
    const auto bits16 = [](int) { return 16; };
    const auto bits32 = [](int) { return 32; };
    const Case cases[] = {
        {"16-bit", 1, 1, bits16, [](int n) { return 977 + (n * 331) % 3119; }},
        {"16-bit RGB", 3, 1, bits16, [](int n) { return (n * 4111) % 65536; }},
        {"16-bit with alpha", 2, 1, bits16, [](int n) { return (n * 7919) % 65536; }},
        {"16-bit signed", 1, 2, bits16, [](int n) { return -1024 + (n * 97) % 4096; }},
        {"16-bit of one value", 1, 1, bits16, [](int) { return 3000; }},
        {"8-bit and 16-bit pages", 1, 1, [](int k) { return k == 1 ? 8 : 16; }, [](int n) { return n % 256; }},
        {"32-bit float", 1, 3, bits32, [](int n) { return -0.5 + n * 0.0173; }},
        {"32-bit float over many octaves", 3, 3, bits32,
         [](int n) { return std::ldexp((n * 2654435761u % 1000003u) / 1000003.0, n % 40 - 20) * (n % 3 ? 1 : -1); }},
    };
    constexpr int W = 9, H = 7, D = 3;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<filebytes::TiffPage> pages;
        for (int k = 0; k < D; ++k) {
            filebytes::TiffPage p{W, H, c.samples, c.bits(k), {}};
            p.sampleFormat = c.format;
            for (int n = 0; n < W * H * c.samples; ++n) {
                const double v = c.value(k * W * H * c.samples + n);
                if (p.bits == 32) {
                    const float x = static_cast<float>(v);
                    uint32_t b;
                    std::memcpy(&b, &x, 4);
                    p.data32.push_back(b);
                } else {
                    p.data.push_back(static_cast<uint16_t>(static_cast<int>(v)));
                }
            }
            pages.push_back(p);
        }
        testutil::TempDir dir;
        const std::string file = dir.file("s.tif");
        testutil::writeBytes(file, filebytes::tiff(pages));
        AppFrame* f = testutil::frame();
        f->loadStack(testutil::toArray({file}));
        ASSERT_TRUE(myVoxmap->loaded);
        ASSERT_NE(f->originals, nullptr);
        EXPECT_TRUE(f->settingsMenu->IsEnabled(ID_WINDOW));
        EXPECT_EQ(f->originals->value(2, 1, 0, c.samples == 3 ? 1 : 0),
                  double(static_cast<float>(c.value((W + 2) * c.samples + (c.samples == 3 ? 1 : 0)))));
        const auto kept = snapshot();

        // Memory for the volume and the decoding, none for the originals.
        stackio::Plan plan;
        std::string problem;
        ASSERT_TRUE(stackio::plan({file}, plan, problem));
        f->memoryForLoad = int64_t(W) * H * D * 4 + plan.inFlight * plan.decodeBytes;
        f->loadStack(testutil::toArray({file}));
        f->memoryForLoad = -1;
        ASSERT_TRUE(myVoxmap->loaded);
        EXPECT_EQ(f->originals, nullptr);
        EXPECT_FALSE(f->settingsMenu->IsEnabled(ID_WINDOW));
        EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).Contains("not enough memory to keep the original samples"));
        EXPECT_TRUE(testutil::sameMap(*kept, *myVoxmap));
    }
}

TEST_F(Window, AutoSpreadsTheSamplesPastAFewHotPixels) {
    Stack s;
    s.w = 32, s.h = 32, s.d = 8;
    // 1000..1999 everywhere, and five hot pixels at 65535.
    AppFrame* f = loadOriginals(s, [](int i, int j, int k, int) {
        return (i == 3 && j < 5 && k == 2) ? 65535 : 1000 + (i * 131 + j * 71 + k * 29) % 1000;
    });
    auto levels = [] {
        std::set<int> seen;
        for (int64_t n = 0; n < myVoxmap->numVoxels; ++n)
            if (myVoxmap->voxels[n].r < 250) seen.insert(myVoxmap->voxels[n].r);
        return seen.size();
    };
    EXPECT_LE(levels(), 8u);  // the hot pixels squeeze the rest into a few grey levels
    f->autoWindow();
    EXPECT_GE(f->windowLo, 1000);
    EXPECT_LT(f->windowLo, 1010);
    EXPECT_GT(f->windowHi, 1990);
    EXPECT_LT(f->windowHi, 2000);
    EXPECT_GE(levels(), 240u);
    testutil::menu(f, ID_UNDO);
    EXPECT_EQ(f->windowHi, 65535);
}

TEST_F(Window, FiltersAreAppliedAgainAndUndoTakesAWindowChangeBack) {
    Stack s;
    s.w = 14, s.h = 11, s.d = 7, s.channels = 3;
    const Values values = [](int i, int j, int k, int c) { return 1000 + (i * 131 + j * 71 + k * 29 + c * 17) % 1000; };
    const FilterStep steps[] = {keyStep(), blurStep(2)};

    // Window, then the filters.
    AppFrame* f = loadOriginals(s, values);
    f->setWindow(1200, 1700);
    for (const FilterStep& step : steps) f->filterWithUndo(step);
    const auto windowThenFilters = snapshot();

    // The filters, then the window: the same bytes.
    f = loadOriginals(s, values);
    const auto unfiltered = snapshot();
    for (const FilterStep& step : steps) f->filterWithUndo(step);
    const auto filtered = snapshot();
    f->setWindow(1200, 1700);
    EXPECT_TRUE(testutil::sameMap(*windowThenFilters, *myVoxmap));
    EXPECT_FALSE(testutil::sameMap(*filtered, *myVoxmap));

    // Undo takes the window back as one step, and a new window still applies both filters.
    testutil::menu(f, ID_UNDO);
    EXPECT_TRUE(testutil::sameMap(*filtered, *myVoxmap));
    EXPECT_EQ(f->windowLo, 1000);
    EXPECT_EQ(f->filtersSinceLoad.size(), 2u);
    f->setWindow(1200, 1700);
    EXPECT_TRUE(testutil::sameMap(*windowThenFilters, *myVoxmap));
    for (int n = 0; n < 3; ++n) testutil::menu(f, ID_UNDO);
    EXPECT_TRUE(testutil::sameMap(*unfiltered, *myVoxmap));
    EXPECT_TRUE(f->filtersSinceLoad.empty());
    EXPECT_FALSE(f->effectsMenu->IsEnabled(ID_UNDO));

    // A window change keeps no volume for Undo (it is made again): undone without memory to spare.
    f->memoryForUndo = 0;
    f->setWindow(1100, 1300);
    EXPECT_EQ(f->windowLo, 1100);
    testutil::menu(f, ID_UNDO);
    EXPECT_TRUE(testutil::sameMap(*unfiltered, *myVoxmap));
}

// A pointer movement over view, as the toolkit delivers it.
void move(wxWindow* view, int x, int y) {
    wxMouseEvent ev(wxEVT_MOTION);
    ev.m_x = x, ev.m_y = y;
    ev.SetEventObject(view);
    view->GetEventHandler()->ProcessEvent(ev);
}

TEST_F(Window, TheValueUnderThePointerFollowsTheColour) {
    struct Case {
        const char* name;
        Stack stack;
        Values values;
        int tz;            // the plane moved to this layer
        int px, py;        // the slice pixel under the pointer
        const char* value;
    };
    Stack ct, fl, rgb;
    ct.held = Held::Signed16, ct.unit = "HU";
    fl.held = Held::Float32;
    rgb.channels = 3;
    const Values hu = [](int i, int j, int k, int) { return -100 + 8 * i + j + 100 * k; };
    const Values floats = [](int i, int j, int, int) { return 0.01 * (40 + i + j); };
    const Values colour = [](int i, int, int k, int c) { return 977 + i + 10 * c + 1000 * k; };
    const Case cases[] = {
        {"signed 16-bit in HU", ct, hu, 0, 3, 0, "-76 HU"},
        {"on the third layer", ct, hu, 2, 3, 1, "125 HU"},
        {"float", fl, floats, 0, 1, 1, "0.42"},
        {"RGB", rgb, colour, 1, 0, 0, "1977, 1987, 1997"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppFrame* f = loadOriginals(c.stack, c.values);
        testutil::spin(f->spinTZ, c.tz);
        const int x = c.px * f->vpScale, y = c.py * f->vpScale;
        const voxel p = testutil::pixel(screenImage, c.px, c.py);
        const wxString rgbText = wxString::Format("R:%d   G:%d   B:%d", p.r, p.g, p.b);
        move(f->sliceView, x, y);
        EXPECT_EQ(f->GetStatusBar()->GetStatusText(1), rgbText + "   Value: " + c.value);
        move(f->view3D, x, y);  // over the 3D view: the colour alone
        EXPECT_EQ(f->GetStatusBar()->GetStatusText(1), rgbText);
    }
    // An 8-bit stack: the colour alone.
    AppFrame* f = testutil::gradedVolume(6, 5, 3);
    move(f->sliceView, 4, 2);
    EXPECT_EQ(f->GetStatusBar()->GetStatusText(1), "R:30   G:30   B:0");
}

// Types into the dialog, checks what it offers, and ends it with `answer`.
class UseWindowDlg : public wxExpectModalBase<WindowDlg, UseWindowDlg> {
public:
    explicit UseWindowDlg(int answer) : answer_(answer) {}

protected:
    int OnInvoked(WindowDlg* dlg) const override {
        EXPECT_EQ(dlg->editLo->GetValue(), wxString::FromUTF8(formatValue(testutil::frame()->windowLo)));
        EXPECT_EQ(dlg->editHi->GetValue(), "3071");
        EXPECT_EQ(dlg->editCentre->GetValue(), "1023.5");
        EXPECT_EQ(dlg->presetButtons.size(), 4u);
        dlg->editCentre->SetValue("40");  // the views follow at once
        dlg->editWidth->SetValue("400");
        EXPECT_EQ(dlg->editLo->GetValue(), "-160");
        EXPECT_EQ(dlg->editHi->GetValue(), "240");
        EXPECT_EQ(testutil::frame()->windowLo, -160);
        dlg->editHi->SetValue("-500");  // not a window: shown, not applied
        EXPECT_FALSE(dlg->problem->GetLabel().empty());
        EXPECT_EQ(testutil::frame()->windowHi, 240);
        wxCommandEvent click(wxEVT_BUTTON, dlg->presetButtons[2]->GetId());  // lung: 1500 / -600
        click.SetEventObject(dlg->presetButtons[2]);
        dlg->presetButtons[2]->ProcessWindowEvent(click);
        EXPECT_EQ(testutil::frame()->windowLo, -1350);
        EXPECT_EQ(testutil::frame()->windowHi, 150);
        return answer_;
    }

private:
    int answer_;
};

TEST_F(Window, TheDialogAppliesAsYouTypeAndCancelPutsTheWindowBack) {
    Stack ct;
    ct.held = Held::Signed16, ct.unit = "HU";
    const Values values = [](int i, int j, int k, int) { return i == 7 && j == 5 && k == 3 ? 3071 : -1024 + 37 * (i + j + k); };
    AppFrame* f = loadOriginals(ct, values);
    const auto before = snapshot();
    wxTEST_DIALOG(testutil::menu(f, ID_WINDOW), UseWindowDlg(wxID_CANCEL));
    EXPECT_TRUE(testutil::sameMap(*before, *myVoxmap));
    EXPECT_EQ(f->windowLo, -1024);
    EXPECT_FALSE(f->effectsMenu->IsEnabled(ID_UNDO));

    wxTEST_DIALOG(testutil::menu(f, ID_WINDOW), UseWindowDlg(wxID_OK));
    EXPECT_EQ(f->windowLo, -1350);
    testutil::menu(f, ID_UNDO);  // the whole dialog is one step
    EXPECT_TRUE(testutil::sameMap(*before, *myVoxmap));
    EXPECT_FALSE(f->effectsMenu->IsEnabled(ID_UNDO));
}

// ---- Opacity by value ----

// The ramp's alpha for value v, as its rule reads.
unsigned char rampOf(double lo, double hi, double v) {
    if (std::isnan(v) || v <= lo) return 0;
    if (v >= hi) return 255;
    return static_cast<unsigned char>(std::floor((v - lo) * 255 / (hi - lo)));
}

// The 3D view of the current volume, fast and plain, in both blends from a turned camera:
// the same bytes (transparent blocks skipped exactly).
void expectMarchesAsPlain(const char* name) {
    for (Blend b : {Blend::Composite, Blend::Maximum}) {
        camera c;
        c.startFor(*myVoxmap);
        c.resolution = 48;
        c.stepLength = 0.7;
        c.blend = b;
        c.orbit(35, -20, 150);
        camera plainCam = c;
        wxImage got(48, 48), expected(48, 48);
        c.march(myVoxmap, got);
        plain::march(plainCam, myVoxmap, expected);
        EXPECT_TRUE(testutil::sameRGB(got, expected)) << name << " blend " << int(b);
    }
}

// Each kind of values through a ramp: every voxel keeps its colour, its alpha is the
// ramp's (times the loaded alpha / 255); Opaque gives back today's bytes exactly.
TEST_F(Window, OpacityRampFollowsItsFormulaForEveryKindOfValues) {
    struct Case {
        const char* name;
        Stack stack;
        Values values;
        double lo, hi;
    };
    Stack ct{Held::Signed16, 20, 18, 17, 1, 1, -1024, false, false, "HU"};
    Stack scaled{Held::Unsigned16, 9, 7, 5, 1, 0.5, -100, false, false, ""};
    Stack floats{Held::Float32, 9, 7, 5, 1, 1, 0, false, false, ""};
    Stack rgbAlpha{Held::Unsigned16, 9, 7, 5, 3, 1, 0, false, true, ""};
    const Case cases[] = {
        {"CT in HU", ct, [](int i, int j, int k, int) { return (i * 97 + j * 53 + k * 211) % 2100; }, -300, 500},
        {"slope and intercept", scaled, [](int i, int j, int k, int) { return (i * 1000 + j * 300 + k * 77) % 4000; }, 50, 900},
        {"float with NaN", floats,
         [](int i, int j, int k, int) { return (i + j) % 5 == 0 ? kNaN : (i - j) * 0.3 + k; }, -1, 2},
        {"RGB with alpha", rgbAlpha, [](int i, int j, int k, int c) { return (i * 700 + j * 90 + k * 13 + c * 4000) % 9000; },
         2000, 6000},
        {"above every value", ct, [](int i, int, int, int) { return i * 10; }, 5000, 6000},
    };
    for (const Case& c : cases) {
        AppFrame* f = loadOriginals(c.stack, c.values);
        const auto before = snapshot();
        f->setOpacityRamp(c.lo, c.hi);
        const Originals& o = *f->originals;
        int partial = 0;
        for (int k = 0; k < o.depth; ++k)
            for (int j = 0; j < o.height; ++j)
                for (int i = 0; i < o.width; ++i) {
                    double v = 0;
                    for (int ch = 0; ch < c.stack.channels; ++ch) v += o.value(i, j, k, ch);
                    const unsigned char ramp = rampOf(c.lo, c.hi, v / c.stack.channels);
                    const voxel was = testutil::at(*before, i, j, k), now = testutil::at(i, j, k);
                    ASSERT_EQ(now.a, c.stack.alpha ? alphaOf(i, j) * ramp / 255 : ramp) << c.name << " " << i << "," << j << "," << k;
                    ASSERT_TRUE(now.r == was.r && now.g == was.g && now.b == was.b) << c.name;
                    partial += ramp > 0 && ramp < 255;
                }
        if (c.lo < 5000) {
            EXPECT_GT(partial, 0) << c.name;  // the ramp's slope was met, not only its ends
        }
        expectMarchesAsPlain(c.name);
        const wxString status = f->GetStatusBar()->GetStatusText(0);
        EXPECT_TRUE(status.Contains("opacity " + wxString::FromUTF8(formatValue(c.lo)) + "..")) << status;
        if (c.lo >= 5000) {
            EXPECT_TRUE(status.Contains("all transparent")) << status;
        }
        f->setOpaque();
        EXPECT_TRUE(testutil::sameMap(*before, *myVoxmap)) << c.name;
    }
    // Worked by hand: -76 HU in -300..500 is floor(224 * 255 / 800) = 71.
    EXPECT_EQ(rampOf(-300, 500, -76), 71);
    AppFrame* f = loadOriginals(ct, [](int, int, int, int) { return 1024 - 76; });
    f->setOpacityRamp(-300, 500);
    EXPECT_EQ(testutil::at(3, 2, 1).a, 71);
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).EndsWith("; opacity -300..500 HU"));
}

// 8-bit images have no values: the grey level (mean of r, g, b rounded down) through the
// ramp, times the loaded alpha; made again from the bytes as loaded under filters.
TEST_F(Window, OpacityOfEightBitImagesUsesGreyLevelsAndKeepsTheirBytes) {
    const auto colours = [](int i, int j, int k) {
        return voxel((i * 53 + k * 7) & 255, (j * 91 + i) & 255, (i * j * 13 + k * 29) & 255, i % 3 ? 255 : (j * 40) & 255);
    };
    AppFrame* f = testutil::asLoaded(16, 12, 9, colours);
    const auto loaded = snapshot();
    f->filterWithUndo(blurStep(1));
    const auto blurred = snapshot();
    f->setOpacityRamp(40, 200);
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).Contains("grey levels"));
    // What loading, the ramp and then the blur give.
    voxelmap expected;
    expected.copyMap(loaded.get());
    for (int64_t n = 0; n < expected.numVoxels; ++n) {
        voxel& v = expected.voxels.get()[n];
        v.a = static_cast<unsigned char>(v.a * rampOf(40, 200, (v.r + v.g + v.b) / 3) / 255);
    }
    blur(&expected, 1);
    EXPECT_TRUE(testutil::sameMap(expected, *myVoxmap));
    expectMarchesAsPlain("8-bit");
    testutil::menu(f, ID_UNDO);  // the ramp
    EXPECT_TRUE(testutil::sameMap(*blurred, *myVoxmap));
    testutil::menu(f, ID_UNDO);  // the blur
    EXPECT_TRUE(testutil::sameMap(*loaded, *myVoxmap));

    // Without memory to keep the bytes as loaded, the ramp is refused and nothing changes.
    f = testutil::asLoaded(16, 12, 9, colours);
    f->memoryForUndo = 0;
    wxString message;
    wxTEST_DIALOG(f->setOpacityRamp(40, 200), testutil::MessageCapture(&message));
    EXPECT_TRUE(message.Contains("not enough memory")) << message;
    EXPECT_TRUE(testutil::sameMap(*loaded, *myVoxmap));
    EXPECT_FALSE(f->opacityRamp.on);
    // Not a ramp: refused in the same way.
    f->memoryForUndo = -1;
    wxTEST_DIALOG(f->setOpacityRamp(200, 40), testutil::MessageCapture(&message));
    EXPECT_TRUE(message.Contains("must be below")) << message;
    EXPECT_FALSE(f->effectsMenu->IsEnabled(ID_UNDO));
}

// A ramp under filters: the filters applied again, as if the ramp had come first; Undo
// takes the ramp back as one step, and a window change keeps the ramp.
TEST_F(Window, OpacityRampUnderFiltersAndWindowsIsUndoneAsOneStep) {
    const Stack ct{Held::Signed16, 20, 18, 17, 1, 1, -1024, false, false, "HU"};
    const Values values = [](int i, int j, int k, int) { return (i * 97 + j * 53 + k * 211) % 2100; };
    AppFrame* f = loadOriginals(ct, values);
    f->setOpacityRamp(-300, 500);
    f->filterWithUndo(keyStep());
    f->filterWithUndo(blurStep(1));
    const auto rampFirst = snapshot();
    f = loadOriginals(ct, values);
    const auto loaded = snapshot();
    f->filterWithUndo(keyStep());
    f->filterWithUndo(blurStep(1));
    const auto filtered = snapshot();
    f->setOpacityRamp(-300, 500);
    EXPECT_TRUE(testutil::sameMap(*rampFirst, *myVoxmap));
    const double lo = f->windowLo, hi = f->windowHi;
    f->setWindow(-160, 240);
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).EndsWith("; window -160..240 HU; opacity -300..500 HU"));
    f->setWindow(lo, hi);  // the load's full range again, the ramp still on
    EXPECT_TRUE(testutil::sameMap(*rampFirst, *myVoxmap));
    for (int n = 0; n < 3; ++n) testutil::menu(f, ID_UNDO);  // two windows and the ramp
    EXPECT_TRUE(testutil::sameMap(*filtered, *myVoxmap));
    EXPECT_FALSE(f->opacityRamp.on);
    testutil::menu(f, ID_UNDO);
    testutil::menu(f, ID_UNDO);
    EXPECT_TRUE(testutil::sameMap(*loaded, *myVoxmap));
}

// Presets fill the fields, OK applies them, a ramp that is not one keeps the dialog open
// with the reason, and "Opaque" closes it with the loaded alpha.
class UseOpacityDlg : public wxExpectModalBase<OpacityDlg, UseOpacityDlg> {
public:
    explicit UseOpacityDlg(bool opaque) : opaque_(opaque) {}

protected:
    int OnInvoked(OpacityDlg* dlg) const override {
        const auto click = [](wxButton* b) {
            wxCommandEvent e(wxEVT_BUTTON, b->GetId());
            e.SetEventObject(b);
            b->ProcessWindowEvent(e);
        };
        EXPECT_EQ(dlg->presetButtons.size(), 3u);
        if (opaque_) {
            click(dlg->opaqueButton);
            EXPECT_TRUE(dlg->opaque);
            return wxID_OK;
        }
        click(dlg->presetButtons[0]);  // Bone
        EXPECT_EQ(dlg->editLo->GetValue(), "200");
        EXPECT_EQ(dlg->editHi->GetValue(), "800");
        click(dlg->windowButton);
        EXPECT_EQ(dlg->editLo->GetValue(), wxString::FromUTF8(formatValue(testutil::frame()->windowLo)));
        dlg->editHi->SetValue("-2000");
        wxButton* ok = dynamic_cast<wxButton*>(dlg->FindWindow(wxID_OK));
        click(ok);
        EXPECT_TRUE(dlg->problem->GetLabel().Contains("must be below"));
        dlg->editHi->SetValue("x");
        click(ok);
        EXPECT_TRUE(dlg->problem->GetLabel().Contains("numbers"));
        click(dlg->presetButtons[2]);  // Soft tissue
        click(ok);
        EXPECT_TRUE(dlg->problem->GetLabel().empty());
        return wxID_OK;
    }

private:
    bool opaque_;
};

TEST_F(Window, OpacityDialogOffersPresetsAndRefusesWhatIsNotARamp) {
    const Stack ct{Held::Signed16, 8, 6, 4, 1, 1, -1024, false, false, "HU"};
    AppFrame* f = loadOriginals(ct, [](int i, int j, int k, int) { return 700 + 40 * (i + j + k); });
    const auto before = snapshot();
    EXPECT_TRUE(f->settingsMenu->IsEnabled(ID_OPACITY));
    wxTEST_DIALOG(testutil::menu(f, ID_OPACITY), UseOpacityDlg(false));
    EXPECT_TRUE(f->opacityRamp.on);
    EXPECT_EQ(f->opacityRamp.lo, -100);
    EXPECT_EQ(f->opacityRamp.hi, 200);
    EXPECT_TRUE(f->GetStatusBar()->GetStatusText(0).EndsWith("; opacity -100..200 HU"));
    wxTEST_DIALOG(testutil::menu(f, ID_OPACITY), UseOpacityDlg(true));
    EXPECT_FALSE(f->opacityRamp.on);
    EXPECT_TRUE(testutil::sameMap(*before, *myVoxmap));
}

}  // namespace
