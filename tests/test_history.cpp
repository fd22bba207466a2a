// The volume's history without the window: a window or ramp change gives what loading with
// it and filtering again gives, Undo takes each step back byte for byte, Undo's levels stay
// within their count and the memory given, and a cancel or a failure changes nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "history.h"
#include "kernels.h"
#include "testutil.h"

namespace {

constexpr int W = 9, H = 7, D = 5;

FilterStep blurStep(int radius) {
    FilterStep s;
    s.radius = radius;
    return s;
}
FilterStep keyStep() {
    FilterStep s;
    s.kind = FilterStep::Key;
    s.keyColour = voxel(90, 90, 90, 0);
    s.range = 40, s.falloff = 60, s.premultiply = 1;
    return s;
}
FilterStep edgesStep() {
    FilterStep s;
    s.kind = FilterStep::Edges;
    return s;
}
OpacityRamp rampOf(double lo, double hi) {
    OpacityRamp r;
    r.on = true, r.lo = lo, r.hi = hi;
    return r;
}

// A 16-bit CT-like stack: values -1000..2000 HU, each voxel its own.
std::unique_ptr<Originals> ctStack() {
    auto o = std::make_unique<Originals>();
    OriginalLayer layer;
    layer.kind = Held::Unsigned16, layer.intercept = -1000;
    EXPECT_TRUE(o->allocate(W, H, Held::Unsigned16, std::vector<OriginalLayer>(D, layer), false));
    for (int k = 0; k < D; ++k)
        for (int n = 0; n < W * H; ++n) o->data<uint16_t>(k)[n] = static_cast<uint16_t>((n * 211 + k * 577) % 3001);
    o->lo = -1000, o->hi = 2000, o->valueUnit = "HU";
    return o;
}

// A volume as a load with window lo..hi leaves it, its history started from the stack.
struct Loaded {
    voxelmap map;
    VolumeHistory history;
    Loaded(double lo, double hi) {
        testutil::fillMap(map, W, H, D, [](int, int, int) { return voxel(); });
        history.startFrom(ctStack(), lo, hi);
        history.originals->remap(lo, hi, map.voxels.get());
    }
};

int64_t volumeBytes() { return int64_t(W) * H * D * int64_t(sizeof(voxel)); }
constexpr int64_t kPlenty = int64_t(1) << 40;

// Runs steps through the history; every one must be done and kept for Undo.
void runFilters(Loaded& v, const std::vector<FilterStep>& steps) {
    for (const FilterStep& s : steps) {
        bool undoable = false;
        ASSERT_EQ(v.history.filter(v.map, s, kPlenty, {}, undoable).result, FilterOutcome::Done);
        ASSERT_TRUE(undoable);
    }
}

TEST(VolumeHistory, WindowOrRampChangeGivesWhatLoadingWithItAndFilteringGives) {
    const std::vector<std::vector<FilterStep>> cases = {
        {}, {blurStep(1)}, {blurStep(2), keyStep()}, {edgesStep(), blurStep(3)}};
    for (size_t c = 0; c < cases.size(); ++c) {
        Loaded v(-1000, 2000);
        runFilters(v, cases[c]);
        ASSERT_TRUE(v.history.changeWindowTo(v.map, -160, 240, true, {}).done()) << c;
        ASSERT_TRUE(v.history.changeRampTo(v.map, rampOf(0, 300), {}).done()) << c;
        EXPECT_EQ(v.history.windowLo, -160);
        EXPECT_EQ(v.history.filters.size(), cases[c].size());

        Loaded expected(-160, 240);
        applyRamp(rampOf(0, 300), *expected.history.originals, expected.map.voxels.get());
        runFilters(expected, cases[c]);
        EXPECT_TRUE(testutil::sameMap(v.map, expected.map)) << "case " << c;
        // The same window and ramp again is no change and no level for Undo.
        const size_t levels = v.history.undoLevels.size();
        EXPECT_EQ(v.history.changeWindowTo(v.map, -160, 240, true, {}).result, Remade::Unchanged);
        EXPECT_EQ(v.history.changeRampTo(v.map, rampOf(0, 300), {}).result, Remade::Unchanged);
        EXPECT_EQ(v.history.undoLevels.size(), levels);
    }
}

TEST(VolumeHistory, UndoTakesBackEachStepInOrderByteForByte) {
    Loaded v(-1000, 2000);
    struct Seen {
        std::shared_ptr<voxelmap> map;
        double lo;
        OpacityRamp ramp;
        size_t filters;
    };
    std::vector<Seen> seen;
    const auto note = [&] {
        seen.push_back({std::make_shared<voxelmap>(), v.history.windowLo, v.history.ramp, v.history.filters.size()});
        seen.back().map->copyMap(&v.map);
    };
    note();
    runFilters(v, {blurStep(1)});
    note();
    ASSERT_TRUE(v.history.changeWindowTo(v.map, -500, 500, true, {}).done());
    note();
    ASSERT_TRUE(v.history.changeRampTo(v.map, rampOf(-100, 100), {}).done());
    note();
    runFilters(v, {keyStep()});
    // A change the dialog makes after its first is not a level of its own.
    ASSERT_TRUE(v.history.changeWindowTo(v.map, -400, 600, false, {}).done());
    note();
    ASSERT_EQ(v.history.undoLevels.size(), 4u);
    for (size_t back = seen.size() - 1; back-- > 0;) {
        ASSERT_TRUE(v.history.undo(v.map, {}).done()) << back;
        EXPECT_TRUE(testutil::sameMap(v.map, *seen[back].map)) << "undone to step " << back;
        EXPECT_EQ(v.history.windowLo, seen[back].lo) << back;
        EXPECT_TRUE(v.history.ramp == seen[back].ramp) << back;
        EXPECT_EQ(v.history.filters.size(), seen[back].filters) << back;
    }
    EXPECT_EQ(v.history.undo(v.map, {}).result, Remade::Unchanged);
}

TEST(VolumeHistory, UndoKeepsAtMostTenLevelsAndWhatMemoryAllows) {
    const int64_t b = volumeBytes(), least = VolumeHistory::kMargin + 2 * b;
    struct Case {
        int arrayLevels;    // levels holding a volume before the filter
        int64_t available;  // what the system can still give
        bool undoable;
        size_t levelsAfter;  // after the filter
    } const cases[] = {
        {0, least, true, 1},         {0, least - 1, false, 0},  {3, least - b, true, 3},
        {3, least - 3 * b, true, 1}, {3, least - 4 * b, false, 0}, {12, kPlenty, true, 10},
    };
    for (const Case& c : cases) {
        Loaded v(-1000, 2000);
        for (int n = 0; n < c.arrayLevels; ++n) v.history.undoLevels.push_back({allocateVoxels(W * H * D), 0, 0, 0, {}});
        bool undoable = !c.undoable;
        EXPECT_EQ(v.history.filter(v.map, blurStep(1), c.available, {}, undoable).result, FilterOutcome::Done);
        EXPECT_EQ(undoable, c.undoable) << c.arrayLevels << " levels, " << c.available;
        EXPECT_EQ(v.history.undoLevels.size(), c.levelsAfter) << c.arrayLevels << " levels, " << c.available;
        EXPECT_EQ(v.history.filters.size(), 1u);
    }
}

TEST(VolumeHistory, CancelOrFailureChangesNothing) {
    Loaded v(-1000, 2000);
    runFilters(v, {blurStep(1), edgesStep()});
    voxelmap before;
    before.copyMap(&v.map);
    // The progress of a remake counts both filters' layers as one task.
    std::vector<int> told;
    const FilterProgress stopAtHalf = [&](int done, int total) {
        EXPECT_EQ(total, 2 * D);
        told.push_back(done);
        return done < D;
    };
    EXPECT_EQ(v.history.changeWindowTo(v.map, -200, 200, true, stopAtHalf).result, Remade::Cancelled);
    ASSERT_FALSE(told.empty());
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_GE(told.back(), D);
    bool undoable = false;
    EXPECT_EQ(v.history.filter(v.map, keyStep(), kPlenty, [](int, int) { return false; }, undoable).result,
              FilterOutcome::Cancelled);
    // No scratch memory for the blur run again: said, nothing changed.
    kernels::scratchAllocationsLeft() = 0;
    const Remade failed = v.history.changeWindowTo(v.map, -200, 200, true, {});
    kernels::scratchAllocationsLeft() = -1;
    EXPECT_EQ(failed.result, Remade::FilterFailed);
    EXPECT_NE(failed.why.find("not enough memory to filter"), std::string::npos) << failed.why;
    EXPECT_TRUE(testutil::sameMap(v.map, before));
    EXPECT_EQ(v.history.windowLo, -1000);
    EXPECT_EQ(v.history.filters.size(), 2u);
    EXPECT_EQ(v.history.undoLevels.size(), 2u);
}

TEST(VolumeHistory, EightBitRampNeedsTheVolumeAsLoaded) {
    voxelmap map;
    testutil::randomMap(map, W, H, D, 7);
    voxelmap loaded;
    loaded.copyMap(&map);
    VolumeHistory h;
    h.startFrom(nullptr, 0, 0);
    // Not enough memory beside the volume: said, nothing kept.
    EXPECT_NE(h.keepLoaded(map, VolumeHistory::kMargin).find("not enough memory"), std::string::npos);
    EXPECT_FALSE(h.canRemake());
    ASSERT_EQ(h.keepLoaded(map, -1), "");
    ASSERT_TRUE(h.changeRampTo(map, rampOf(50, 200), {}).done());
    voxelmap expected;
    expected.copyMap(&loaded);
    applyRamp(rampOf(50, 200), expected.voxels.get(), expected.voxels.get(), expected.numVoxels);
    EXPECT_TRUE(testutil::sameMap(map, expected));
    ASSERT_TRUE(h.undo(map, {}).done());
    EXPECT_TRUE(testutil::sameMap(map, loaded));
    // After a filter whose level Undo no longer holds, the volume as loaded is gone.
    VolumeHistory filtered;
    filtered.startFrom(nullptr, 0, 0);
    bool undoable = true;
    filtered.filter(map, blurStep(1), 0, {}, undoable);
    EXPECT_FALSE(undoable);
    EXPECT_NE(filtered.keepLoaded(map, -1).find("no longer kept"), std::string::npos);
}

}  // namespace
