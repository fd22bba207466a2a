// stackwrite: writing images and volumes so that a failed write never destroys a file.
//
// Every file is written to a temporary file in the target's folder and renamed over
// the target only once it is complete and on disk. A failure leaves any existing file
// as it was, removes the temporary file and says why (the toolkit's own text where it
// has one).
#pragma once

#include <wx/arrstr.h>
#include <wx/string.h>

#include <functional>

class Originals;
class voxelmap;
class wxImage;

// Writes path through a temporary file: write(fd, reason) fills the open descriptor
// (without closing it) and gives false with a reason on failure. True when path holds
// the complete file.
bool writeAtomically(const wxString& path, const std::function<bool(int fd, wxString& reason)>& write,
                     wxString& reason);

// Whether images can be written as files with the extension ext (any case).
bool canWriteImageType(const wxString& ext);
// Writes image to path, its type from the path's extension.
bool saveImage(const wxImage& image, const wxString& path, wxString& reason);

// The numbered file of a sequence: dir/name.0003.ext (at least four digits).
wxString framePath(const wxString& dir, const wxString& name, int number, const wxString& ext);
// Layer k of a loaded map as an RGBA image.
wxImage layerImage(const voxelmap& map, int k);

// Layer k of a loaded map as an RGBA PNG file, with its voxel size in a pHYs chunk
// (pixels per metre) where the unit is metric.
bool saveLayerPng(const voxelmap& map, int k, const wxString& path, wxString& reason);

// The loaded map as one multi-page RGBA TIFF, one page per layer, Deflate-compressed,
// alpha unassociated, with the voxel size as ImageJ writes it: an ImageDescription
// "ImageJ=...", "unit=" (µm as "micron"), "spacing=" (the z size) on the first page, and
// XResolution and YResolution of 1 / size without a ResolutionUnit on every page;
// layerDone(k) after each layer.
bool writeVolumeTiff(const voxelmap& map, const wxString& path, wxString& reason,
                     const std::function<void(int)>& layerDone);

// How the original samples are written: as stored, with the stack's one calibration (value =
// slope * stored + intercept), where the kind is one a TIFF holds and the reader takes back
// (8, 16 and 32 bits, signed 16 and 32, 32-bit float) and every layer shares it; else the
// values themselves as 32-bit floats (slope 1, intercept 0).
struct OriginalsFile {
    bool stored = true;
    double slope = 1, intercept = 0;
    int bits = 16;
    int format = 1;  // the TIFF SampleFormat: 1 unsigned, 2 signed, 3 floating-point
};
OriginalsFile originalsFile(const Originals& o);

// The original samples of a loaded map as one multi-page grey or RGB TIFF (as originalsFile
// says), one page per layer, Deflate-compressed, with the voxel size as writeVolumeTiff
// writes it, and in the description ImageJ's calibration (cf=0, c0 the intercept, c1 the
// slope, vunit the values' unit) and the window lo..hi as min and max in stored samples.
// Alpha is not written. layerDone(k) after each layer.
bool writeOriginalsTiff(const Originals& o, const voxelmap& map, double windowLo, double windowHi,
                        const wxString& path, wxString& reason, const std::function<void(int)>& layerDone);

// The first of files that is the same existing file (device and inode) as one of
// others, or empty: names differ for one file (links, "..", doubled slashes).
wxString firstSameFile(const wxArrayString& files, const wxArrayString& others);
