#include "status.h"

#include "formats/format.h"
#include "formats/series.h"
#include "originals.h"
#include "stackio.h"

LoadFacts loadFacts(const stackio::Plan& plan, const stackio::Outcome& outcome) {
    LoadFacts facts;
    if (!plan.infos.empty() && plan.infos.front().reader == &formats::dicom)
        facts.series = formats::seriesStatus(plan, outcome.mappedWide, outcome.wideLo, outcome.wideHi);
    else
        facts.mapping = stackio::mappingText(outcome);
    facts.orientation = plan.description;
    if (plan.levels.size() > 1)
        facts.part = "level " + std::to_string(plan.level) + " of " + std::to_string(plan.levels.size());
    facts.originalsDropped = outcome.originalsDropped;
    return facts;
}

namespace {

std::string range(double lo, double hi, const std::string& unit) {
    return formatValue(lo) + ".." + formatValue(hi) + (unit.empty() ? "" : " " + unit);
}

}  // namespace

std::string statusText(const LoadFacts& load, const ShownFacts& shown) {
    std::string text;
    const auto add = [&text](const std::string& part) {
        if (!part.empty()) text += (text.empty() ? "" : "; ") + part;
    };
    if (!load.series.empty()) {
        add(load.series);
    } else {
        // Beside a mapping, a plain size (counts of cubes without a unit) says nothing new.
        if (load.mapping.empty() || shown.sizeSaysMore) add(shown.size);
        add(load.mapping);
        if (!load.orientation.empty()) add("orientation " + load.orientation);
    }
    add(load.part);
    if (shown.hasWindow && (shown.lo != shown.fullLo || shown.hi != shown.fullHi)) {
        if (load.filesWindow && shown.lo == load.filesLo && shown.hi == load.filesHi)
            add("shown with the files' window " + range(shown.lo, shown.hi, shown.valueUnit));
        else
            add("window " + range(shown.lo, shown.hi, shown.valueUnit));
    }
    // A series names its counts already: its size follows the window, as the voxels' size.
    if (!load.series.empty() && shown.sizeSaysMore) {
        const size_t of = shown.size.find("voxels");
        add(of == std::string::npos ? shown.size : shown.size.substr(of));
    }
    add(shown.opacity);
    if (load.originalsDropped)
        add("there is not enough memory to keep the original samples, so the window cannot change");
    add(shown.note);
    return text;
}
