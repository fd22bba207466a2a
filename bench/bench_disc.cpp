// slabwright_bench_disc: planning a disc-like tree against a plain loop of GDCM header reads.
// Writes 20 000 small CT slices (16 x 16, written by GDCM; a count given as the argument
// instead) in 40 series of 500, 50 files to a folder four levels down, in a temporary
// folder; then times, best of three (the first warms the page cache): the plain loop
// (gdcm::Reader up to the pixel data, file by file, over the files the walk found) and the
// program's plan of the top folder (the walk, every header with its checks, the series
// grouping and order). Prints both and the ratio. No display needed.
#include <gdcmReader.h>
#include <gdcmWriter.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "stackio.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void replaceText(gdcm::DataSet& ds, uint16_t group, uint16_t element, std::string value) {
    if (value.size() % 2) value += ' ';
    gdcm::DataElement e(gdcm::Tag(group, element));
    e.SetByteValue(value.data(), uint32_t(value.size()));
    ds.Replace(e);
}

// A 16 x 16 signed 16-bit CT slice of series `series` at z.
bool writeSlice(const std::string& path, int series, int slice) {
    gdcm::Writer w;
    gdcm::File& file = w.GetFile();
    gdcm::DataSet& ds = file.GetDataSet();
    const std::string z = std::to_string(2.5 * slice);
    replaceText(ds, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
    replaceText(ds, 0x0008, 0x0018, "1.2.826.0.1.3680043.2.1125." + std::to_string(series) + "." + std::to_string(slice));
    replaceText(ds, 0x0008, 0x0060, "CT");
    replaceText(ds, 0x0020, 0x000d, "1.2.826.0.1.3680043.2.1125.9");
    replaceText(ds, 0x0020, 0x000e, "1.2.826.0.1.3680043.2.1125.9." + std::to_string(series));
    replaceText(ds, 0x0020, 0x0011, std::to_string(series + 1));
    replaceText(ds, 0x0020, 0x0013, std::to_string(slice + 1));
    replaceText(ds, 0x0020, 0x0032, "0\\0\\" + z);
    replaceText(ds, 0x0020, 0x0037, "1\\0\\0\\0\\1\\0");
    replaceText(ds, 0x0028, 0x0004, "MONOCHROME2");
    replaceText(ds, 0x0028, 0x0030, "0.5\\0.5");
    const uint16_t us[] = {1, 16, 16, 16, 16, 15, 1};  // samples, rows, columns, allocated, stored, high bit, signed
    const uint16_t tags[] = {0x0002, 0x0010, 0x0011, 0x0100, 0x0101, 0x0102, 0x0103};
    for (int i = 0; i < 7; ++i) {
        gdcm::DataElement e(gdcm::Tag(0x0028, tags[i]));
        e.SetVR(gdcm::VR::US);
        e.SetByteValue(reinterpret_cast<const char*>(&us[i]), 2);
        ds.Replace(e);
    }
    std::vector<char> pixels(16 * 16 * 2, char(slice));
    gdcm::DataElement px(gdcm::Tag(0x7fe0, 0x0010));
    px.SetVR(gdcm::VR::OW);
    px.SetByteValue(pixels.data(), uint32_t(pixels.size()));
    ds.Replace(px);
    file.GetHeader().SetDataSetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    w.SetFileName(path.c_str());
    return w.Write();
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 20000, perSeries = 500;
    char tmpl[] = "/tmp/slabwright-bench-disc-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string top = tmpl;
    std::printf("writing %d slices...\n", files);
    for (int i = 0; i < files; ++i) {
        const int series = i / perSeries, slice = i % perSeries;
        const std::string folder = top + "/PT0/ST" + std::to_string(series / 10) + "/SE" + std::to_string(series) + "/D" +
                                   std::to_string(slice / 50);
        std::filesystem::create_directories(folder);
        if (!writeSlice(folder + "/IM" + std::to_string(slice), series, slice)) return 1;
    }
    stackio::Listing listing;
    std::string problem;
    double plain = 1e9, ours = 1e9;
    for (int run = 0; run < 3; ++run) {  // the first warms the page cache; the best of each is kept
        Clock::time_point t0 = Clock::now();
        stackio::Plan plan;
        if (!stackio::listPaths({top}, listing, problem) ||
            !stackio::plan(listing, plan, problem, -1, [](const std::vector<std::string>&) { return 0; })) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            return 1;
        }
        ours = std::min(ours, seconds(t0));
        t0 = Clock::now();
        const std::set<gdcm::Tag> pixelTag{gdcm::Tag(0x7fe0, 0x0010)};
        size_t read = 0;
        for (const std::string& f : listing.files) {
            gdcm::Reader r;
            r.SetFileName(f.c_str());
            read += r.ReadUpToTag(gdcm::Tag(0x7fe0, 0x0010), pixelTag);
        }
        plain = std::min(plain, seconds(t0));
        if (read != listing.files.size()) std::fprintf(stderr, "only %zu headers read\n", read);
    }
    std::printf("%zu files: plain GDCM header loop %.3f s, the program's walk and plan %.3f s, ratio %.2f\n",
                listing.files.size(), plain, ours, ours / plain);
    std::filesystem::remove_all(top);
    return 0;
}
