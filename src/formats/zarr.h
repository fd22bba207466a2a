// zarr: the OME-Zarr reader (formats::omeZarr) read from any store, for the tests and the
// fuzz target, which give it keys held in memory or count a folder's requests.
#pragma once

#include <memory>
#include <string>

#include "format.h"
#include "zarrstore.h"

namespace formats::zarr {

// Reads the image in store as readHeader reads a folder or URL: its levels, and its pages
// as the whole finest level. name is what refusals call the image.
bool readImage(std::shared_ptr<Store> store, const std::string& name, FileInfo& info, std::string& reason);

}  // namespace formats::zarr
