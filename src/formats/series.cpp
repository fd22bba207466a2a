// series: grouping, ordering and measuring the DICOM slices of one load.
#include "formats/series.h"

#include "formats/dicominfo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

namespace formats {
namespace {

struct Vec {
    double x, y, z;
};
Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec sub(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double length(Vec a) { return std::sqrt(dot(a, a)); }

// The slice normal of a header: row direction x column direction, of unit length.
Vec normalOf(const FileInfo& info) {
    const double* o = info.orientation;
    const Vec n = cross({o[0], o[1], o[2]}, {o[3], o[4], o[5]});
    const double l = length(n);
    return l > 0 ? Vec{n.x / l, n.y / l, n.z / l} : Vec{0, 0, 1};
}
Vec positionOf(const PageInfo& p) { return {p.position[0], p.position[1], p.position[2]}; }

// Which way a normal points, for telling apart groups of one series.
const char* planeName(Vec n) {
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    if (az > 0.9) return "axial";
    if (ay > 0.9) return "coronal";
    if (ax > 0.9) return "sagittal";
    return "oblique";
}

// Slices of one orientation are one group: directions within about a tenth of a degree.
bool sameOrientation(const FileInfo& a, const FileInfo& b) {
    if (a.hasOrientation != b.hasOrientation) return false;
    for (int i = 0; i < 6; ++i)
        if (std::fabs(a.orientation[i] - b.orientation[i]) > 2e-3) return false;
    return true;
}

// What a DICOM header says beyond FileInfo (nothing, for an info without it).
const DicomInfo& said(const FileInfo& info) {
    static const DicomInfo none;
    const DicomInfo* d = dicomInfo(info);
    return d ? *d : none;
}

struct Group {
    std::string uid;
    std::vector<int> files;
};

// Text from a header for a line of the list: bytes that are not UTF-8 (a name in another
// character set) become '?', so the line still shows.
std::string printable(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= s.size() && (n == 1 ? c >= 0x20 : true);
        for (size_t k = 1; ok && k < n; ++k) ok = (static_cast<unsigned char>(s[i + k]) & 0xc0) == 0x80;
        if (ok) out.append(s, i, n), i += n;
        else out += '?', ++i;
    }
    return out;
}

// "Doe John" from "Doe^John^^^".
std::string personName(std::string name) {
    std::replace(name.begin(), name.end(), '^', ' ');
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return printable(name);
}

// "2001-12-31" from "20011231"; other forms as they are.
std::string dateText(const std::string& d) {
    const bool digits = d.size() == 8 && std::all_of(d.begin(), d.end(), [](char c) { return c >= '0' && c <= '9'; });
    return digits ? d.substr(0, 4) + "-" + d.substr(4, 2) + "-" + d.substr(6, 2) : printable(d);
}

}  // namespace

std::string seriesLabel(const Arrangement& p, const std::vector<int>& files) {
    const FileInfo& first = p.infos[size_t(files[0])];
    size_t slices = 0;
    for (int f : files) slices += p.infos[size_t(f)].pages.size();
    const PageInfo none;
    const PageInfo& page = first.pages.empty() ? none : first.pages[0];
    const DicomInfo& d = said(first);
    const std::string patient = personName(d.patientName);
    const std::string description = printable(d.seriesDescription);
    std::string series = d.hasSeriesNumber ? "series " + std::to_string(d.seriesNumber) : description;
    if (d.hasSeriesNumber && !description.empty()) series += ": " + description;
    if (series.empty()) series = "unnamed series";
    return (patient.empty() ? "unnamed patient" : patient) + ", " +
           (d.studyDate.empty() ? "no study date" : dateText(d.studyDate)) + ", " + series + ", " +
           (d.modality.empty() ? "unknown modality" : printable(d.modality)) + ", " + std::to_string(page.width) + " x " +
           std::to_string(page.height) + " voxels, " + std::to_string(slices) + (slices == 1 ? " slice, " : " slices, ") +
           planeName(normalOf(first));
}

namespace {

std::string number(double v) {
    char s[32];
    std::snprintf(s, sizeof s, "%g", v);
    return s;
}

// "slices 3 and 4 (4.5 mm)" for each step more than 1 % from the median; several: the first few.
std::string gapsText(const std::vector<double>& steps, double median, const std::string& unit) {
    std::vector<std::string> gaps;
    for (size_t i = 0; i < steps.size(); ++i)
        if (std::fabs(steps[i] - median) > 0.01 * median)
            gaps.push_back("between slices " + std::to_string(i + 1) + " and " + std::to_string(i + 2) + " (" +
                           number(steps[i]) + (unit.empty() ? "" : " " + unit) + ")");
    if (gaps.empty()) return {};
    std::string text;
    const size_t shown = std::min<size_t>(gaps.size(), 5);
    for (size_t i = 0; i < shown; ++i) text += (i ? ", " : "") + gaps[i];
    if (gaps.size() > shown) text += " and " + std::to_string(gaps.size() - shown) + " more";
    return "The slices are unevenly spaced: the usual step is " + number(median) + (unit.empty() ? "" : " " + unit) +
           ", but it differs " + text + ". They are shown evenly spaced.";
}

}  // namespace

bool arrangeSeries(Arrangement& p, const Choose& choose, std::string& problem) {
    const std::vector<FileInfo>& infos = p.infos;
    problem.clear();
    p.order.clear();
    p.notes.clear();
    if (infos.empty()) return true;

    // Groups in the order their first file was given.
    std::vector<Group> groups;
    std::set<std::string> named;
    for (size_t f = 0; f < infos.size(); ++f) {
        if (!named.insert(p.files[f]).second) continue;  // a file named twice is one slice
        auto g = std::find_if(groups.begin(), groups.end(), [&](const Group& x) {
            return x.uid == said(infos[f]).seriesUid && sameOrientation(infos[size_t(x.files[0])], infos[f]);
        });
        if (g == groups.end()) groups.push_back({said(infos[f]).seriesUid, {}}), g = groups.end() - 1;
        g->files.push_back(int(f));
    }
    // By study (its date; studies of one date as their files came) and series number: the
    // order a disc's viewer lists them.
    std::map<std::string, size_t> studyRank;
    for (const Group& g : groups) studyRank.emplace(said(infos[size_t(g.files[0])]).studyUid, studyRank.size());
    std::stable_sort(groups.begin(), groups.end(), [&](const Group& a, const Group& b) {
        const DicomInfo& x = said(infos[size_t(a.files[0])]);
        const DicomInfo& y = said(infos[size_t(b.files[0])]);
        return std::make_tuple(x.studyDate, studyRank[x.studyUid], !x.hasSeriesNumber, x.seriesNumber) <
               std::make_tuple(y.studyDate, studyRank[y.studyUid], !y.hasSeriesNumber, y.seriesNumber);
    });
    const Group* chosen = &groups[0];
    if (groups.size() > 1) {
        std::vector<std::string> labels;
        for (const Group& g : groups) labels.push_back(seriesLabel(p, g.files));
        // Lines alike (slices of one series in several orientations of one plane) are numbered.
        for (size_t i = 0; i < labels.size(); ++i) {
            int same = 1;
            for (size_t j = i + 1; j < labels.size(); ++j)
                if (labels[j] == labels[i]) labels[j] += " (" + std::to_string(++same) + ")";
        }
        const int pick = choose ? choose(labels) : 0;
        if (pick < 0 || pick >= int(groups.size())) return false;
        chosen = &groups[size_t(pick)];
    }

    const FileInfo& first = infos[size_t(chosen->files[0])];
    const Vec normal = normalOf(first);
    // Each layer's place along the normal, where its header gives one.
    struct Placed {
        Layer layer;
        bool placed;
        double along;
        Vec at;
    };
    std::vector<Placed> layers;
    bool allPlaced = true;
    for (int f : chosen->files) {
        const FileInfo& info = infos[size_t(f)];
        const size_t n = info.pages.size();
        const std::vector<double>& offsets = said(info).frameOffsets;
        const bool byOffsets = offsets.size() == n && n > 1 && info.pages[0].hasPosition;
        for (size_t k = 0; k < n; ++k) {
            Placed l{{f, int(k)}, false, 0, {0, 0, 0}};
            if (info.pages[k].hasPosition) {
                l.placed = true, l.at = positionOf(info.pages[k]), l.along = dot(l.at, normal);
            } else if (byOffsets) {
                const double offset = offsets[k] - offsets[0];
                const Vec base = positionOf(info.pages[0]);
                l.placed = true, l.at = {base.x + offset * normal.x, base.y + offset * normal.y, base.z + offset * normal.z};
                l.along = dot(l.at, normal);
            }
            allPlaced = allPlaced && l.placed;
            layers.push_back(l);
        }
    }

    const DicomInfo& series = said(first);
    p.modality = series.modality;
    p.description = series.seriesDescription;
    p.valueUnit = first.valueUnit;
    if (series.hasWindow)
        p.hasWindow = true, p.windowLo = series.windowCentre - series.windowWidth / 2,
        p.windowHi = series.windowCentre + series.windowWidth / 2;
    p.voxelSize[0] = p.voxelSize[1] = p.voxelSize[2] = 1;
    p.unit.clear();
    if (first.voxelSize[0] > 0 && first.voxelSize[1] > 0) {
        p.voxelSize[0] = first.voxelSize[0], p.voxelSize[1] = first.voxelSize[1];
        p.unit = first.unit;
    }
    const double step = series.spacingBetweenSlices > 0 ? series.spacingBetweenSlices : series.sliceThickness;

    if (allPlaced && layers.size() > 1) {
        std::stable_sort(layers.begin(), layers.end(), [](const Placed& a, const Placed& b) { return a.along < b.along; });
        std::vector<double> steps;
        for (size_t i = 0; i + 1 < layers.size(); ++i) steps.push_back(layers[i + 1].along - layers[i].along);
        std::vector<double> sorted = steps;
        std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
        double median = sorted[sorted.size() / 2];
        if (sorted.size() % 2 == 0) {  // the mean of the two middle steps
            const double below = *std::max_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2));
            median = (median + below) / 2;
        }
        // Two slices at one place cannot be ordered: refuse rather than guess.
        const double tolerance = std::max(1e-4, 1e-3 * std::fabs(median));
        for (size_t i = 0; i < steps.size(); ++i)
            if (steps[i] <= tolerance) {
                problem = who(p, layers[i].layer) + " and " + who(p, layers[i + 1].layer) +
                          " lie at the same position (" + number(layers[i].along) + (p.unit.empty() ? "" : " " + p.unit) +
                          " along the slice normal); the stack is not loaded rather than put in a guessed order.";
                return false;
            }
        p.voxelSize[2] = median;
        const std::string gaps = gapsText(steps, median, p.unit);
        if (!gaps.empty()) p.notes.push_back(gaps);
        // Positions off the normal: a tilted gantry. Shown as a straight stack.
        const Vec start = layers.front().at;
        for (const Placed& l : layers) {
            const Vec d = sub(l.at, start);
            const double along = dot(d, normal);
            const Vec off = {d.x - along * normal.x, d.y - along * normal.y, d.z - along * normal.z};
            if (length(off) > std::max(1e-3, 1e-3 * std::fabs(along))) {
                p.notes.push_back("The slice positions do not lie along the slice normal (a tilted gantry); the "
                                    "stack is shown untilted.");
                break;
            }
        }
    } else {
        if (step > 0) p.voxelSize[2] = step;
        if (layers.size() > 1) {
            // Files by InstanceNumber (as given where it is missing), frames in their order.
            std::stable_sort(layers.begin(), layers.end(), [&](const Placed& a, const Placed& b) {
                const FileInfo& ia = infos[size_t(a.layer.file)];
                const FileInfo& ib = infos[size_t(b.layer.file)];
                if (a.layer.file == b.layer.file) return a.layer.page < b.layer.page;
                if (!said(ia).hasInstanceNumber || !said(ib).hasInstanceNumber) return false;
                return said(ia).instanceNumber < said(ib).instanceNumber;
            });
            p.notes.push_back("Some slices have no position; the slices are ordered by their instance numbers.");
        }
    }
    for (const Placed& l : layers) p.order.push_back(l.layer);
    // The patient axes: x along the rows, y down the columns, z along the normal, the way
    // the layers were ordered (not known when they were ordered by instance numbers).
    p.hasAxes = false;
    if (first.hasOrientation && (allPlaced || layers.size() == 1)) {
        const double* o = first.orientation;
        const double given[3][3] = {{o[0], o[3], normal.x}, {o[1], o[4], normal.y}, {o[2], o[5], normal.z}};
        std::vector<std::string> said;
        takeAxes(given, "ImageOrientationPatient", p.hasAxes, p.axes, said);
        for (const std::string& n : said) p.notes.push_back("The series " + n);
    }
    return true;
}

std::string seriesStatus(const Arrangement& p, bool mapped, double lo, double hi) {
    std::string s = (p.modality.empty() ? std::string("DICOM") : p.modality) + " " + std::to_string(p.width) + " x " +
                    std::to_string(p.height) + " x " + std::to_string(p.layers);
    if (mapped) s += ", " + number(lo) + ".." + number(hi) + (p.valueUnit.empty() ? "" : " " + p.valueUnit) + " mapped to 0..255";
    return s;
}

}  // namespace formats
