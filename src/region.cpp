#include "region.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

bool parseRegion(const std::string& text, int box[6], std::string& problem) {
    static const char* const kAxes[3] = {"x", "y", "z"};
    const char* p = text.c_str();
    int read[6] = {};
    for (int axis = 0; axis < 3; ++axis) {
        for (int end = 0; end < 2; ++end) {
            while (*p == ' ') ++p;
            if (*p < '0' || *p > '9') {
                problem = "The region \"" + text + "\" is not written x0:x1,y0:y1,z0:z1 in whole voxels.";
                return false;
            }
            char* after = nullptr;
            errno = 0;
            const long v = std::strtol(p, &after, 10);
            if (errno == ERANGE || v > INT_MAX) {
                problem = "The region \"" + text + "\" names a voxel beyond " + std::to_string(INT_MAX) + ".";
                return false;
            }
            read[axis * 2 + end] = static_cast<int>(v);
            p = after;
            while (*p == ' ') ++p;
            const char want = end == 0 ? ':' : axis < 2 ? ',' : '\0';
            if (*p != want) {
                problem = "The region \"" + text + "\" is not written x0:x1,y0:y1,z0:z1 in whole voxels.";
                return false;
            }
            if (want) ++p;
        }
        if (read[axis * 2] >= read[axis * 2 + 1]) {
            problem = "The region \"" + text + "\" is empty along " + kAxes[axis] + ": its end must lie after its start.";
            return false;
        }
    }
    for (int i = 0; i < 6; ++i) box[i] = read[i];
    return true;
}

std::string regionText(const int box[6]) {
    std::string s;
    for (int axis = 0; axis < 3; ++axis)
        s += (axis ? "," : "") + std::to_string(box[axis * 2]) + ":" + std::to_string(box[axis * 2 + 1]);
    return s;
}
