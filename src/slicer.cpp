#include "slicer.h"

#include <wx/image.h>

#include <algorithm>
#include <cstdint>

#include "parallel.h"
#include "voxelmap.h"

slicer::slicer(Vector position, int w, int h) : centre(0, 0, position.z()), width(w), height(h) {
    // Integer halves: a plane of odd width spans width - 1 units.
    const double hw = w / 2;
    const double hh = h / 2;
    baseP00 = centre + Vector(-hw, -hh, 0);
    baseP01 = centre + Vector(-hw, +hh, 0);
    baseP10 = centre + Vector(+hw, -hh, 0);
    baseP11 = centre + Vector(+hw, +hh, 0);
    patch = std::make_unique<BilinearPatch>(baseP00, baseP01, baseP10, baseP11);
}

void slicer::setP(Vector t) {
    translation.SetTranslate(t);
    applyMatrix();
}

void slicer::setR(float rx, float ry, float rz) {
    // Each Rotate acts before the ones already in the matrix: z first, then y, then x.
    rotation.Identity();
    rotation.Rotate(rx, 1, 0, 0);
    rotation.Rotate(ry, 0, 1, 0);
    rotation.Rotate(rz, 0, 0, 1);
    applyMatrix();
}

void slicer::setS(float sx, float sy, float sz) {
    // The scaling shapes only the corners computed here; it is gone again afterwards.
    scaling.Scale(sx / 100.0f, sy / 100.0f, sz / 100.0f);
    applyMatrix();
    scaling.Identity();
}

void slicer::applyMatrix() {
    // Rotation, then scaling along the world axes, then translation, all about centre.
    transform = rotation * scaling * translation;
    auto place = [this](const Vector& base) { return (transform * (base - centre)) + centre; };
    patch->P00 = place(baseP00);
    patch->P01 = place(baseP01);
    patch->P10 = place(baseP10);
    patch->P11 = place(baseP11);
}

void slicer::evaluateSlice(voxelmap* map, wxImage& image) const {
    if (!image.IsOk()) return;
    // A map without voxels (empty or cleared) shows black.
    const bool hasVolume = map->loaded;
    // Only the part of the plane that fits into the image is written.
    const int rows = std::min(height, image.GetHeight());
    const int cols = std::min(width, image.GetWidth());
    // Rows are sampled on all cores, straight into the image's own pixels (made
    // exclusive first, so an image sharing them keeps its own).
    image.UnShare();
    unsigned char* const data = image.GetData();
    const int64_t stride = 3 * static_cast<int64_t>(image.GetWidth());
    // A nearest lookup is cheap: small slices are not worth a second thread.
    const int minRows = aaLookups ? 1 : std::max(1, (1 << 18) / std::max(1, cols));
    parallelBands(rows, [&](int i0, int i1) {
        for (int i = i0; i < i1; ++i) {
            unsigned char* out = data + i * stride;
            const float v = static_cast<float>(i) / static_cast<float>(height);
            for (int j = 0; j < cols; ++j) {
                const float u = static_cast<float>(j) / static_cast<float>(width);
                const Vector point = patch->SrfEval(u, v);
                const voxel sample = !hasVolume ? voxel() : aaLookups ? map->getAAVoxel(point) : map->getVoxel(point);
                out[3 * j] = sample.r;  // alpha is not shown
                out[3 * j + 1] = sample.g;
                out[3 * j + 2] = sample.b;
            }
        }
    }, minRows);
}
