#include "tiffmeta.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <utility>

namespace formats {
namespace {

// The value of key= on a line of an ImageJ description, or empty.
std::string imageJValue(const std::string& text, const std::string& key) {
    const std::string start = "\n" + key + "=";
    const size_t at = ("\n" + text).find(start);
    if (at == std::string::npos) return {};
    const size_t from = at + start.size() - 1;
    return text.substr(from, text.find('\n', from) - from);
}

// The value of an XML attribute name="..." in text, or empty.
std::string attribute(const std::string& text, const std::string& name) {
    const std::string start = " " + name + "=\"";
    const size_t at = text.find(start);
    if (at == std::string::npos) return {};
    const size_t from = at + start.size();
    const size_t end = text.find('"', from);
    return end == std::string::npos ? std::string() : text.substr(from, end - from);
}

double number(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    return end != text.c_str() ? v : 0;
}

}  // namespace

// What the first page says of the voxel size: ImageJ's description (its unit and spacing,
// with x and y from the resolutions), OME-XML's physical sizes, or else resolutions in
// centimetres. Resolutions in inches are a print size: nothing is said.
void readVoxelSize(TIFF* t, FileInfo& info) {
    float xres = 0, yres = 0;
    uint16_t resUnit = RESUNIT_INCH;
    const bool haveRes = TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres) &&
                         xres > 0 && yres > 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &resUnit);
    const char* text = nullptr;
    const std::string description = TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) && text ? text : "";
    if (description.compare(0, 7, "ImageJ=") == 0) {
        if (haveRes)
            sayVoxelSize(info, 1.0 / xres, 1.0 / yres, number(imageJValue(description, "spacing")),
                         imageJValue(description, "unit"));
    } else if (description.find("<OME") != std::string::npos) {
        // Sizes in µm unless the file names another unit (OME's default).
        const auto unitOf = [&](const char* axis) {
            const std::string u = attribute(description, std::string("PhysicalSize") + axis + "Unit");
            return u.empty() ? std::string("µm") : u;
        };
        const std::string unit = unitOf("X");
        if (unitOf("Y") == unit && (unitOf("Z") == unit || attribute(description, "PhysicalSizeZ").empty()))
            sayVoxelSize(info, number(attribute(description, "PhysicalSizeX")),
                         number(attribute(description, "PhysicalSizeY")),
                         number(attribute(description, "PhysicalSizeZ")), unit);
    } else if (haveRes && resUnit == RESUNIT_CENTIMETER) {
        sayVoxelSizeInMetres(info, 0.01 / xres, 0.01 / yres, 0);
    }
}

// ImageJ's calibration of the values (function 0, a straight line: value = c0 + c1 * stored,
// in vunit) and its display range (min and max, in stored samples) as the window, in values.
// The slope is 1 and the intercept 0 where the description gives none.
void readCalibration(TIFF* t, FileInfo& info, double& slope, double& intercept) {
    const char* text = nullptr;
    const std::string description = TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) && text ? text : "";
    if (description.compare(0, 7, "ImageJ=") != 0) return;
    const auto finite = [&](const char* key, double& v) {
        const std::string said = imageJValue(description, key);
        char* end = nullptr;
        v = std::strtod(said.c_str(), &end);
        return !said.empty() && end != said.c_str() && std::isfinite(v);
    };
    double c0 = 0, c1 = 1, lo = 0, hi = 0;
    if (imageJValue(description, "cf") == "0" && finite("c0", c0) && finite("c1", c1) && c1 != 0) {
        slope = c1, intercept = c0;
        info.valueUnit = imageJValue(description, "vunit");
    }
    if (finite("min", lo) && finite("max", hi)) {
        lo = slope * lo + intercept, hi = slope * hi + intercept;
        if (lo > hi) std::swap(lo, hi);
        if (lo < hi && std::isfinite(hi - lo)) info.suggestsWindow = true, info.suggestedLo = lo, info.suggestedHi = hi;
    }
}

}  // namespace formats
