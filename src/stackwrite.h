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

// The first of files that is the same existing file (device and inode) as one of
// others, or empty: names differ for one file (links, "..", doubled slashes).
wxString firstSameFile(const wxArrayString& files, const wxArrayString& others);
