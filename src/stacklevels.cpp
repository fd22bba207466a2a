// Planning a multiscale image: the level (the one asked for, or the finest that fits) and
// the region its reader narrows the header to, then the checks of every load.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "stackio.h"
#include "stackplan.h"

namespace stackio {

using formats::quoted;

namespace detail {

namespace {

// The level and box of a multiscale image planned: its header narrowed by its reader,
// then arranged and checked as any load.
bool planLevel(Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose, const Region& region,
               int level, bool& forMemory) {
    FileInfo& info = p.infos.front();
    std::string reason;
    if (!info.reader->select(info, level, region.whole ? nullptr : region.box, reason)) {
        forMemory = false;
        problem = quoted(p.files.front()) + " " + reason + ".";
        return false;
    }
    p.level = info.level;
    p.levels = info.levels;
    p.hasTranslation = info.hasTranslation;
    std::copy(info.translation, info.translation + 3, p.translation);
    if (!finish(p, problem, memoryAvailable, choose, forMemory)) return false;
    // The level shown is said in the status bar (see status.h), not in a message after every load.
    return true;
}

}  // namespace

bool planRegion(Plan& p, std::string& problem, int64_t memoryAvailable, const Choose& choose, const Region& region) {
    bool forMemory = false;
    const bool levelled = p.infos.size() == 1 && !p.infos.front().levels.empty() && p.infos.front().reader->select;
    if (!levelled) {
        if (!region.whole || (region.level != 0 && region.level != -1)) {
            problem = quoted(p.files.empty() ? std::string() : p.files.front()) +
                      " has one resolution level; a level or a region can be chosen only for an OME-Zarr image.";
            return false;
        }
        return finish(p, problem, memoryAvailable, choose, forMemory);
    }
    const int count = static_cast<int>(p.infos.front().levels.size());
    const Plan base = p;
    if (region.level >= 0) {
        if (planLevel(p, problem, memoryAvailable, choose, region, region.level, forMemory)) return true;
        if (!forMemory) return false;
        // Too large: the finest level at which the region fits, for the window to offer.
        for (int l = region.level + 1; l < count && p.fitsLevel < 0; ++l) {
            Plan q = base;
            std::string ignored;
            bool memory = false;
            if (planLevel(q, ignored, memoryAvailable, choose, region, l, memory)) p.fitsLevel = l;
        }
        if (p.fitsLevel >= 0) p.fitsAt = 0;
        return false;
    }
    for (int l = 0; l < count; ++l) {
        p = base;
        if (planLevel(p, problem, memoryAvailable, choose, region, l, forMemory)) return true;
        if (!forMemory) return false;
    }
    return false;  // no level fits: the coarsest level's refusal, with its reduction if one fits
}

}  // namespace detail

std::string levelText(const formats::Level& l, int index, int count, int64_t bytes) {
    // In binary units, as memory is counted ("512 x 512 x 128 voxels, 128 MB"), with a tenth
    // where the size is not whole.
    const bool giga = bytes >= (int64_t(1) << 30);
    const double amount = double(bytes) / double(int64_t(1) << (giga ? 30 : 20));
    char size[32];
    if (amount == std::floor(amount) || amount >= 100)
        std::snprintf(size, sizeof size, "%.0f %s", amount, giga ? "GB" : "MB");
    else
        std::snprintf(size, sizeof size, "%.1f %s", amount, giga ? "GB" : "MB");
    return "Open level " + std::to_string(index) + " of " + std::to_string(count) + ": " + std::to_string(l.width) + " x " +
           std::to_string(l.height) + " x " + std::to_string(l.depth) + " voxels, " + size + "?";
}

}  // namespace stackio
