// The volume's history since its load: what it is made from (the original samples, or the
// 8-bit volume as loaded), the window and opacity ramp it was made with, the filters run
// since, and the levels Undo takes back. A change of window or ramp makes the volume again
// from its source and runs the recorded filters again, so the result is what loading with
// that window and filtering would give. No window code: the frame shows the dialogs and
// the messages, and passes a progress callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "filters.h"
#include "opacity.h"
#include "originals.h"
#include "voxelmap.h"

// What Undo takes back one step to: the volume (null after a window or ramp change: the
// volume is made again from its source), its window, how many of the filters since the
// load it had, and its opacity ramp.
struct UndoLevel {
    VoxelArray voxels;
    double windowLo = 0, windowHi = 0;
    size_t filters = 0;
    OpacityRamp ramp;
};

// How making the volume again went. Done: the volume replaced. Unchanged: nothing to make
// it from, or nothing asked. Cancelled: the progress said stop. NoMemory: no second volume
// could be had. FilterFailed: a filter run again could not have its memory (`why` says
// so). The volume is as it was unless Done.
struct Remade {
    enum Result { Done, Unchanged, Cancelled, NoMemory, FilterFailed } result = Unchanged;
    std::string why;
    bool done() const { return result == Done; }
};

class VolumeHistory {
public:
    // The samples of a wide or calibrated load (null for an 8-bit stack, or when they did
    // not fit), and the window lo..hi in their values that made the volume.
    std::unique_ptr<Originals> originals;
    double windowLo = 0, windowHi = 0;
    // Alpha from the values (off: the loaded alpha).
    OpacityRamp ramp;
    // A stack of 8-bit images as loaded, kept from its first change of ramp on.
    VoxelArray loadedBytes;
    // The filters applied since the load, in order.
    std::vector<FilterStep> filters;
    // The volumes from before the last changes, oldest first; Undo takes back the last.
    std::deque<UndoLevel> undoLevels;
    static constexpr size_t kUndoLevels = 10;  // the most Undo keeps
    // What the system keeps free beyond an Undo level: the next command must not starve.
    static constexpr int64_t kMargin = int64_t{256} << 20;

    // After a load: its originals (null or empty: none) and the window the volume was made
    // with; no filters, opaque, nothing kept as loaded. Undo's levels are left to the caller.
    void startFrom(std::unique_ptr<Originals> kept, double lo, double hi);
    // Opaque, and the 8-bit volume as loaded no longer kept.
    void clearOpacity();
    bool canRemake() const { return originals || loadedBytes; }

    // The volume before filters for window lo..hi and ramp r: the originals remapped, or
    // the kept 8-bit bytes with r applied; numVoxels voxels into out. False when there is
    // neither.
    bool makeBase(double lo, double hi, const OpacityRamp& r, voxel* out, int64_t numVoxels) const;
    // map made again with window lo..hi and ramp r, the recorded filters run again; the
    // progress counts every filter's layers as one task. Neither the window, the ramp nor
    // the history changes.
    Remade remake(voxelmap& map, double lo, double hi, const OpacityRamp& r, const FilterProgress& progress) const;

    // Before a filter: drops the oldest levels while what stays free (available bytes, of a
    // volume of volumeBytes) is less than a margin and two volumes; false when the volume
    // from before the filter cannot be kept.
    bool roomForUndo(int64_t volumeBytes, int64_t available);
    // Runs step over map, kept for Undo when available memory allows (undoable says
    // whether it was: else Undo's levels are dropped, as one would skip this filter) and
    // recorded to be run again after a window or ramp change.
    FilterOutcome filter(voxelmap& map, const FilterStep& step, int64_t available, const FilterProgress& progress,
                         bool& undoable);
    // A new window (undoable: one level for Undo, which keeps no array). Unchanged when
    // there are no originals or the window is the same.
    Remade changeWindowTo(voxelmap& map, double lo, double hi, bool undoable, const FilterProgress& progress);
    // A new ramp, one level for Undo. Unchanged when it is the same or the volume cannot be
    // made again (see keepLoaded).
    Remade changeRampTo(voxelmap& map, const OpacityRamp& r, const FilterProgress& progress);
    // For an 8-bit stack's first ramp: keeps the volume as loaded (the volume itself while no
    // filter has run, else Undo's oldest level from before the first filter) when available
    // bytes leave a margin and two volumes (available < 0: unknown, taken as enough). Empty
    // when kept or not needed, else why not.
    std::string keepLoaded(const voxelmap& map, int64_t available);
    // Takes back the last level: its array, or the volume made again with its window and
    // ramp. Unchanged without levels; on a failure the level stays for another try.
    Remade undo(voxelmap& map, const FilterProgress& progress);
    // Drops the oldest levels beyond kUndoLevels.
    void trimUndo();
};
