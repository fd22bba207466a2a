#include "history.h"

#include <cstdio>
#include <cstring>
#include <utility>

void VolumeHistory::startFrom(std::unique_ptr<Originals> kept, double lo, double hi) {
    originals = std::move(kept);
    if (originals && originals->empty()) originals.reset();
    windowLo = lo;
    windowHi = hi;
    filters.clear();
    clearOpacity();
}

void VolumeHistory::clearOpacity() {
    ramp = OpacityRamp();
    loadedBytes.reset();
}

bool VolumeHistory::makeBase(double lo, double hi, const OpacityRamp& r, voxel* out, int64_t numVoxels) const {
    if (originals) {
        originals->remap(lo, hi, out);
        applyRamp(r, *originals, out);
        return true;
    }
    if (!loadedBytes) return false;
    applyRamp(r, loadedBytes.get(), out, numVoxels);
    return true;
}

Remade VolumeHistory::remake(voxelmap& map, double lo, double hi, const OpacityRamp& r,
                             const FilterProgress& progress) const {
    Remade how;
    if (!map.loaded || !map.voxels || !canRemake()) return how;
    // Every voxel is written: the volume's own array serves, with no fresh memory to fault in.
    if (filters.empty()) {
        makeBase(lo, hi, r, map.voxels.get(), map.numVoxels);
        how.result = Remade::Done;
        return how;
    }
    voxelmap next;
    if (!next.allocate(map.width, map.height, map.depth)) {
        how.result = Remade::NoMemory;
        return how;
    }
    makeBase(lo, hi, r, next.voxels.get(), map.numVoxels);
    // The same filters with the same parameters, their layers counted as one task.
    const int steps = static_cast<int>(filters.size());
    for (int s = 0; s < steps; ++s) {
        const FilterProgress part = [&](int done, int total) {
            return !progress || progress(s * total + done, steps * total);
        };
        const FilterOutcome o = runFilter(&next, filters[size_t(s)], part);
        if (o.result == FilterOutcome::Cancelled) {
            how.result = Remade::Cancelled;
            return how;
        }
        if (o.result != FilterOutcome::Done) {
            how.result = Remade::FilterFailed;
            how.why = noMemoryText(o.bytesShort);
            return how;
        }
    }
    map.voxels = std::move(next.voxels);
    how.result = Remade::Done;
    return how;
}

bool VolumeHistory::roomForUndo(int64_t volumeBytes, int64_t available) {
    // At most ten levels, and each only while what stays free after the filter's result
    // is at least one more volume and a margin: Undo must not starve the next command.
    while (undoLevels.size() >= kUndoLevels) undoLevels.pop_front();
    const auto enough = [&] { return available - kMargin >= 2 * volumeBytes; };
    while (!undoLevels.empty() && !enough()) {
        if (undoLevels.front().voxels) available += volumeBytes;  // the oldest level's array goes back to the system
        undoLevels.pop_front();
    }
    return enough();
}

FilterOutcome VolumeHistory::filter(voxelmap& map, const FilterStep& step, int64_t available,
                                    const FilterProgress& progress, bool& undoable) {
    undoable = roomForUndo(map.numVoxels * static_cast<int64_t>(sizeof(voxel)), available);
    std::deque<VoxelArray> replaced;
    FilterOutcome o;
    {
        const KeepReplacedArrays kept(undoable ? &replaced : nullptr);
        o = runFilter(&map, step, progress);
    }
    // A filter that could not have its memory left the volume as it was.
    if (o.result != FilterOutcome::Done) return o;
    if (!replaced.empty()) undoLevels.push_back({std::move(replaced.back()), windowLo, windowHi, filters.size(), ramp});
    filters.push_back(step);
    if (!undoable) undoLevels.clear();  // an Undo now would skip this filter
    return o;
}

Remade VolumeHistory::changeWindowTo(voxelmap& map, double lo, double hi, bool undoable,
                                   const FilterProgress& progress) {
    if (!originals || (lo == windowLo && hi == windowHi)) return {};
    Remade how = remake(map, lo, hi, ramp, progress);
    if (!how.done()) return how;
    // Undo makes the volume again from the window before: it keeps no array.
    if (undoable) {
        undoLevels.push_back({VoxelArray(), windowLo, windowHi, filters.size(), ramp});
        trimUndo();
    }
    windowLo = lo;
    windowHi = hi;
    return how;
}

Remade VolumeHistory::changeRampTo(voxelmap& map, const OpacityRamp& r, const FilterProgress& progress) {
    if (r == ramp) return {};
    Remade how = remake(map, windowLo, windowHi, r, progress);
    if (!how.done()) return how;
    // Undo makes the volume again with the ramp before: it keeps no array.
    undoLevels.push_back({VoxelArray(), windowLo, windowHi, filters.size(), ramp});
    trimUndo();
    ramp = r;
    return how;
}

std::string VolumeHistory::keepLoaded(const voxelmap& map, int64_t available) {
    if (canRemake()) return {};
    const voxel* source = nullptr;
    if (filters.empty())
        source = map.voxels.get();
    else if (!undoLevels.empty() && undoLevels.front().filters == 0 && undoLevels.front().voxels)
        source = undoLevels.front().voxels.get();
    if (!source)
        return "The opacity of these 8-bit images is made from them as loaded, which is no longer kept: filters "
               "have run since the load and Undo no longer holds the volume from before them. Undo them or load the "
               "stack again, then set the opacity.";
    const int64_t bytes = map.numVoxels * int64_t(sizeof(voxel));
    VoxelArray copy;
    if (available < 0 || available - kMargin >= 2 * bytes) copy = allocateVoxels(map.numVoxels);
    if (!copy) {
        char megabytes[32];
        std::snprintf(megabytes, sizeof megabytes, "%.1f", bytes / 1e6);
        return std::string("The opacity of these 8-bit images needs them kept as loaded (") + megabytes +
               " MB beside the volume), and there is not enough memory for it.";
    }
    std::memcpy(static_cast<void*>(copy.get()), source, size_t(bytes));
    loadedBytes = std::move(copy);
    return {};
}

Remade VolumeHistory::undo(voxelmap& map, const FilterProgress& progress) {
    Remade how;
    if (undoLevels.empty()) return how;
    UndoLevel& last = undoLevels.back();
    if (last.voxels) {
        map.voxels = std::move(last.voxels);  // the current array is released
        how.result = Remade::Done;
    } else {
        how = remake(map, last.windowLo, last.windowHi, last.ramp, progress);
        if (!how.done()) return how;  // kept for another try; the volume is as it was
    }
    windowLo = last.windowLo;
    windowHi = last.windowHi;
    ramp = last.ramp;
    if (filters.size() > last.filters) filters.resize(last.filters);
    undoLevels.pop_back();
    return how;
}

void VolumeHistory::trimUndo() {
    while (undoLevels.size() > kUndoLevels) undoLevels.pop_front();
}
