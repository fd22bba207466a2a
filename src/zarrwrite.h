// zarrwrite: the volume as an OME-Zarr image (OME-NGFF 0.4, Zarr v2), a pyramid of levels
// that the field's Python and Java tools open.
//
// What is written: a folder with .zgroup and .zattrs (one "multiscales" entry, version
// "0.4"), and one array a level ("0", "1", ...): uint8 samples, chunks of 64 x 64 x 64
// compressed with zstd (numcodecs' {"id": "zstd", "level": 1}), "/" between the parts of a
// chunk key, edge chunks padded with zeros (the fill value).
//  - Channels: a grey volume (r = g = b, opaque everywhere) as axes z, y, x; an opaque
//    coloured one as c, z, y, x with c = 3 (RGB); any other as c = 4 (RGBA, alpha not
//    premultiplied). A grey image without a channel axis opens as a plain volume everywhere.
//  - Levels: level 0 is the volume; each next level is the 2 x 2 x 2 mean of the one before
//    ((sum + n/2) / n per channel, fewer voxels where a block meets a face, as the reduced
//    load rounds), sizes halved rounding up, until the largest side is at most 64.
//  - Placement: each level's coordinateTransformations are a scale (the voxel size times
//    the level's factor 2^k) and, for coarser levels, a translation of (2^k - 1) / 2 voxels
//    of level 0, so a coarse voxel's centre lies at the centre of the voxels it averages.
//    Axes carry their types and, where the volume's unit is known, "micrometer",
//    "millimeter" or "nanometer". An "omero" entry gives viewers each channel's colour.
//
// Memory beyond the volume: the level being written and the next one, RGBA (together at
// most 1/8 + 1/64 of the volume: 36 MB for a 256 MB volume), and per writing thread a raw
// chunk (256 KB), its compressed form (about as much) and zstd's context (about 0.6 MB).
//
// Replacing: an existing OME-Zarr image at path (or an empty folder) is replaced whole: the
// new image is written into a hidden folder beside it and swapped in by rename once complete.
// A failure or a cancel leaves what was there as it was and removes the partial new one.
// Any other folder, or a file, at path is refused and left as it is.
#pragma once

#include <functional>
#include <string>

class voxelmap;

// Writes map (loaded) as an OME-Zarr image at path. progress(done, total) is called from the
// calling thread as chunks are written; false from it cancels. False, with a message naming
// path and the reason, when nothing was written (reason "cancelled" after a cancel).
bool writeZarr(const voxelmap& map, const std::string& path, const std::function<bool(int done, int total)>& progress,
               std::string& reason);

// Whether path is a folder holding an OME-Zarr image (.zattrs with "multiscales", or a
// zarr.json with "ome" attributes).
bool isZarrImage(const std::string& path);
