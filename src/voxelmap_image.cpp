// voxelmap::loadimage, the one member that reads the toolkit's image: kept apart so that
// the voxel map itself builds without window headers (the file readers link it alone).
#include "voxelmap.h"

#include <wx/image.h>

#include <algorithm>

void voxelmap::loadimage(wxImage image, int layer) {
    if (!image.IsOk()) return;  // a failed decode has no pixels to read
    if (!loaded && !allocate(image.GetWidth(), image.GetHeight(), depth)) return;
    if (layer < 0 || layer >= depth) return;
    // The caller may have changed depth since the array was made: stay inside it.
    if (index(0, 0, layer) + static_cast<int64_t>(width) * height > numVoxels) return;
    const int iw = image.GetWidth();
    const int cw = std::min(width, iw);
    const int ch = std::min(height, image.GetHeight());
    const unsigned char* rgb = image.GetData();
    const unsigned char* alpha = image.HasAlpha() ? image.GetAlpha() : nullptr;
    for (int j = 0; j < ch; ++j) {
        voxel* row = voxels.get() + index(0, j, layer);
        for (int i = 0; i < cw; ++i) {
            const int64_t n = static_cast<int64_t>(j) * iw + i;
            row[i] = voxel(rgb[3 * n], rgb[3 * n + 1], rgb[3 * n + 2], alpha ? alpha[n] : 255);
        }
    }
}
