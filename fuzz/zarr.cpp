// The OME-Zarr reader fuzzed: the input as the keys of an image held in memory (entries
// separated by kSeparator, each its key, a newline, then its bytes), both versions of the
// layout, its header read and, within the budget, every layer of the whole finest level and
// of a box of the coarsest level decoded.
#include "formats/zarr.h"
#include "fuzzfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::map<std::string, std::vector<uint8_t>> keys;
    for (const std::string& entry : fuzzfile::split(data, size)) {
        const size_t eol = entry.find('\n');
        if (eol == std::string::npos) continue;
        keys[entry.substr(0, eol)] = std::vector<uint8_t>(entry.begin() + long(eol) + 1, entry.end());
    }
    formats::FileInfo info;
    std::string reason;
    if (!formats::zarr::readImage(formats::zarr::openMemory(std::move(keys)), "fuzz", info, reason))
        return fuzzfile::checkReason(reason, "readImage"), 0;
    const auto decodeAll = [](const formats::FileInfo& i) {
        if (i.pages.empty()) return;
        const int64_t layer = int64_t(i.pages[0].width) * i.pages[0].height * 4 * 8;
        if (i.decodeBytes > fuzzfile::kBudget || layer * int64_t(i.pages.size()) > fuzzfile::kBudget) return;
        for (size_t k = 0; k < i.pages.size(); ++k) {
            formats::Page page;
            std::string why;
            if (formats::decodePage("fuzz", i, static_cast<int>(k), page, why))
                fuzzfile::checkPage(page);
            else
                fuzzfile::checkReason(why, "decodePage");
        }
    };
    decodeAll(info);
    const int box[6] = {1, 7, 1, 5, 0, 3};
    if (formats::omeZarr.select(info, int(info.levels.size()) - 1, box, reason))
        decodeAll(info);
    else
        fuzzfile::checkReason(reason, "select");
    return 0;
}
