// The header of a DICOM file: what its pixel data are (size, samples, frames, whether they
// are all there) and what it says of the series, the slices' geometry and the values. Read
// up to the pixel data and never past it, so a file that claims more than it holds is
// refused before anything large is allocated.
#pragma once

#include <string>

#include "formats/format.h"

namespace formats::dicomio {

// Reads the header of path into info (its pages: one per frame); false with the reason.
bool readDicomHeader(const std::string& path, FileInfo& info, std::string& reason);

}  // namespace formats::dicomio
