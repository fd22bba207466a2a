// stackplan: what plan() shares with the planning of a multiscale image's level and region
// (stacklevels.cpp). Inside stackio only.
#pragma once

#include <cstdint>
#include <string>

#include "stackio.h"

namespace stackio::detail {

// Arranges the layers of a plan whose headers are read and checks their sizes and memory;
// forMemory tells a refusal for memory from the others.
bool finish(Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose, bool& forMemory);
// Plans the region's level of a plan of one multiscale image (read, not yet arranged), or
// finishes a plan of other files, refusing a level or region for them.
bool planRegion(Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose, const Region& region);

}  // namespace stackio::detail
