// A whole stack fuzzed: the input split at fuzzfile::kSeparator into up to four files (an
// empty part names the file before it again), planned within a fixed memory budget and built
// into a volume as a load does, decoding in the background. Inputs of even size are opened
// reduced (1/2 to 1/16), and one input in eight is cancelled after one of its first layers,
// so that reduction and a cancelled build are fuzzed too.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "fuzzfile.h"
#include "voxelmap.h"

namespace {
[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> parts = fuzzfile::split(data, size);
    if (parts.size() > 4) return 0;
    std::vector<std::unique_ptr<fuzzfile::TempFile>> files;
    std::vector<std::string> paths;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].empty() && !paths.empty()) {
            paths.push_back(paths.back());
            continue;
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(parts[i].data());
        files.push_back(std::make_unique<fuzzfile::TempFile>(bytes, parts[i].size(), fuzzfile::nameFor(parts[i], int(i))));
        paths.push_back(files.back()->path());
    }
    stackio::Plan plan;
    std::string problem;
    const int reduce = size % 2 ? 1 : 2 << (size / 2 % 4);
    if (!stackio::plan(paths, plan, problem, fuzzfile::kBudget, {}, reduce)) {
        fuzzfile::checkReason(problem, "plan");
        return 0;
    }
    const int cancelAt = size % 8 == 7 ? int(size / 8 % 4) : -1;
    voxelmap volume;
    const stackio::Outcome o = stackio::build(plan, volume, [cancelAt](int layer) { return layer != cancelAt; });
    const bool reachesCancel = cancelAt >= 0 && cancelAt < plan.reducedLayers();
    if (o.problem.empty() && o.cancelled != reachesCancel) fail("the build did not stop where progress said");
    if (!o.problem.empty() || o.cancelled) {
        if (volume.loaded) fail("a refused or cancelled build left a volume");
        return 0;
    }
    if (!volume.loaded || volume.width != plan.reducedWidth() || volume.height != plan.reducedHeight() ||
        volume.depth != plan.reducedLayers())
        fail("the volume is not the planned one");
    stackio::mappingText(o);
    return 0;
}
