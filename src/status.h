// status: the words of the main window's status bar, made in one place from what the load
// found and what is shown now (size, window, the last action's note). No window code: the
// window keeps a LoadFacts from each load and asks for the text whenever something changes,
// so the text is never read back from the screen and never outlives what it describes.
#pragma once

#include <string>

namespace stackio {
struct Plan;
struct Outcome;
}  // namespace stackio

// What a load found that the status bar keeps saying while its volume is shown.
struct LoadFacts {
    // A DICOM series: its modality, counts and mapping ("CT 128 x 128 x 12, -1024..1167 HU
    // mapped to 0..255"); empty for other stacks.
    std::string series;
    // Other stacks: how wide samples were mapped ("16-bit samples 977..4095 mapped to 0..255");
    // empty when nothing was mapped.
    std::string mapping;
    std::string orientation;        // the orientation code the files name, such as "LAS"
    // A part of a multiscale image: "level 1 of 4" (and the region, when not the whole image).
    std::string part;
    bool originalsDropped = false;  // the samples did not fit beside the volume: no window
    // The window the files suggest, when the volume was first shown with it (in values).
    bool filesWindow = false;
    double filesLo = 0, filesHi = 0;
};

// What is shown now.
struct ShownFacts {
    std::string size;         // the volume's size: "512 x 512 x 120 voxels of 0.70 x 0.70 x 2.50 mm"
    bool sizeSaysMore = false;  // the size names a unit or voxels that are not cubes
    // The window over the originals, when there are originals (in their values, with their unit),
    // and the full range that the load made.
    bool hasWindow = false;
    double lo = 0, hi = 0, fullLo = 0, fullHi = 0;
    std::string valueUnit;
    std::string opacity;  // the opacity ramp while one is on: "opacity -300..500 HU"
    std::string note;  // what the last action could not do, or did beside its work; said last
};

// What a load's plan and outcome give the status bar.
LoadFacts loadFacts(const stackio::Plan& plan, const stackio::Outcome& outcome);

// The status bar's text: what was loaded and how its values were mapped, its voxel size,
// the window shown (when it is not the load's own), then the note.
std::string statusText(const LoadFacts& load, const ShownFacts& shown);
