// slabwright_bench_dicom: loading a DICOM series against reading the same files one after
// another on one thread with GDCM. Makes a series of 200 CT slices of 512 x 512 from the
// real slice samples/scan/ct/IM0001 (tiled 4 x 4) in a temporary folder, then times in one
// run: the plain loop (each file read by GDCM's image reader into a buffer) and the
// program's load (headers, series order, background decoding, mapping into the volume).
// Prints both and the ratio. No display needed.
#include <gdcmAttribute.h>
#include <gdcmImageReader.h>
#include <gdcmImageWriter.h>
#include <gdcmReader.h>
#include <gdcmWriter.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bigblock.h"
#include "stackio.h"
#include "voxelmap.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

void replaceText(gdcm::DataSet& ds, uint16_t group, uint16_t element, std::string value) {
    if (value.size() % 2) value += value.find_first_not_of("0123456789.") == std::string::npos ? '\0' : ' ';
    gdcm::DataElement e(gdcm::Tag(group, element));
    e.SetByteValue(value.data(), uint32_t(value.size()));
    ds.Replace(e);
}

// Slice k of the series: the real slice tiled 4 x 4, at z = 2.5 k mm, in one series.
bool writeSlice(const std::string& path, const std::vector<char>& pixels, const gdcm::Image& real, int k) {
    gdcm::ImageWriter w;
    gdcm::Image& im = w.GetImage();
    im.SetNumberOfDimensions(2);
    im.SetDimension(0, 512);
    im.SetDimension(1, 512);
    im.SetPixelFormat(real.GetPixelFormat());
    im.SetPhotometricInterpretation(real.GetPhotometricInterpretation());
    im.SetTransferSyntax(gdcm::TransferSyntax::ExplicitVRLittleEndian);
    im.SetIntercept(real.GetIntercept());
    im.SetSlope(real.GetSlope());
    gdcm::DataElement data(gdcm::Tag(0x7fe0, 0x0010));
    data.SetByteValue(pixels.data(), uint32_t(pixels.size()));
    im.SetDataElement(data);
    w.SetFileName(path.c_str());
    if (!w.Write()) return false;
    gdcm::Reader r;  // the writer puts its own geometry and UIDs in: the series' go over them
    r.SetFileName(path.c_str());
    if (!r.Read()) return false;
    gdcm::DataSet& ds = r.GetFile().GetDataSet();
    replaceText(ds, 0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.2");
    replaceText(ds, 0x0008, 0x0060, "CT");
    replaceText(ds, 0x0020, 0x000d, "1.2.826.0.1.3680043.9.7133.1");
    replaceText(ds, 0x0020, 0x000e, "1.2.826.0.1.3680043.9.7133.2");
    replaceText(ds, 0x0020, 0x0032, "0\\0\\" + std::to_string(2.5 * k));
    replaceText(ds, 0x0020, 0x0037, "1\\0\\0\\0\\1\\0");
    replaceText(ds, 0x0020, 0x0013, std::to_string(k + 1));
    replaceText(ds, 0x0028, 0x0030, "0.7\\0.7");
    gdcm::Writer again;
    again.SetFile(r.GetFile());
    again.SetFileName(path.c_str());
    return again.Write();
}

}  // namespace

int main() {
    reuseBuffers();  // as the program does
    const std::string real = std::string(SLABWRIGHT_SOURCE_DIR) + "/samples/scan/ct/IM0001";
    gdcm::ImageReader reader;
    reader.SetFileName(real.c_str());
    if (!reader.Read()) {
        std::fprintf(stderr, "cannot read %s\n", real.c_str());
        return 1;
    }
    const gdcm::Image& image = reader.GetImage();
    const unsigned w = image.GetDimension(0), h = image.GetDimension(1);
    const size_t bytes = image.GetPixelFormat().GetPixelSize();
    std::vector<char> slice(image.GetBufferLength());
    image.GetBuffer(slice.data());
    std::vector<char> tiled(size_t(512) * 512 * bytes);
    for (unsigned y = 0; y < 512; ++y)
        for (unsigned x = 0; x < 512; ++x)
            std::copy_n(&slice[(size_t(y % h) * w + x % w) * bytes], bytes, &tiled[(size_t(y) * 512 + x) * bytes]);

    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("slab-bench-dicom-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::vector<std::string> files;
    for (int k = 0; k < 200; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "IM%04d", 200 - k);  // named from the top down, as scanners often do
        files.push_back((dir / name).string());
        if (!writeSlice(files.back(), tiled, image, k)) {
            std::fprintf(stderr, "cannot write %s\n", files.back().c_str());
            return 1;
        }
    }

    auto t0 = Clock::now();
    size_t sum = 0;
    for (const std::string& f : files) {
        gdcm::ImageReader r;
        r.SetFileName(f.c_str());
        if (!r.Read()) return 1;
        std::vector<char> buffer(r.GetImage().GetBufferLength());
        r.GetImage().GetBuffer(buffer.data());
        for (const char c : buffer) sum += static_cast<unsigned char>(c);  // every sample read
    }
    const double plain = seconds(t0);

    // The least a load that keeps the samples must do: the same reads into fresh memory for
    // all samples, and a fresh RGBA volume written once, both taken as the load takes them
    // (big pages where the system offers them). Fresh memory costs its page faults, which on
    // virtual machines can take longer than the reads.
    t0 = Clock::now();
    {
        std::vector<char> buffer;
        const BigArray<char> samples = allocateBig<char>(size_t(512) * 512 * 2 * files.size());
        if (!samples) return 1;
        size_t at = 0;
        for (const std::string& f : files) {
            gdcm::ImageReader r;
            r.SetFileName(f.c_str());
            if (!r.Read()) return 1;
            buffer.resize(r.GetImage().GetBufferLength());
            r.GetImage().GetBuffer(buffer.data());
            std::memcpy(samples.get() + at, buffer.data(), std::min(buffer.size(), size_t(512) * 512 * 2));
            at += size_t(512) * 512 * 2;
        }
        const size_t voxels = size_t(512) * 512 * files.size();
        const VoxelArray rgba = allocateVoxels(int64_t(voxels));
        if (!rgba) return 1;
        std::memset(static_cast<void*>(rgba.get()), 0x7f, voxels * sizeof(voxel));
        sum += static_cast<unsigned char>(samples[at / 2]) + rgba[voxels / 2].r;
    }
    const double fresh = seconds(t0);

    t0 = Clock::now();
    stackio::Plan plan;
    std::string problem;
    voxelmap volume;
    std::vector<std::string> listed;
    if (!stackio::expandPaths({dir.string()}, listed, problem) || !stackio::plan(listed, plan, problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    const stackio::Outcome o = stackio::build(plan, volume, [](int) { return true; });
    const double load = seconds(t0);
    std::filesystem::remove_all(dir);
    if (!o.problem.empty()) {
        std::fprintf(stderr, "%s\n", o.problem.c_str());
        return 1;
    }
    std::printf("DICOM series of 512 x 512 x 200 (checksum %zu): plain one-thread GDCM read %.3f s, the same into fresh "
                "memory %.3f s, the program's load %.3f s (%d x %d x %d), ratio load/plain %.2f, load/fresh %.2f\n",
                sum, plain, fresh, load, volume.width, volume.height, volume.depth, load / plain, load / fresh);
    return 0;
}
