// Listing the files a load names: folders stand for the files inside them, or below them.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "folderwalk.h"
#include "stackio.h"

namespace stackio {
namespace {

namespace fs = std::filesystem;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The volumes of a folder that one file (or pair) holds whole, as a NIfTI file does, in
// name order; a pair counts once, by its header.
std::vector<std::string> wholeVolumes(const std::string& folder, std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    std::vector<std::string> found;
    for (const std::string& n : names) {
        const std::string l = lower(n);
        const bool image = l.size() > 4 && (l.compare(l.size() - 4, 4, ".img") == 0 ||
                                            (l.size() > 7 && l.compare(l.size() - 7, 7, ".img.gz") == 0));
        if (image) continue;  // the pair's header stands for it
        const formats::Reader* r = formats::recognise((fs::u8path(folder) / fs::u8path(n)).u8string());
        if (r && r->wholeVolume) found.push_back(n);
    }
    return found;
}

}  // namespace

bool hasImageExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string ext = lower(name.substr(dot + 1));
    return ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "tif" || ext == "tiff";
}

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && digit(a[ie])) ++ie;
            while (je < b.size() && digit(b[je])) ++je;
            size_t is = i, js = j;  // without leading zeros
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie, j = je;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i, ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;  // equal but for leading zeros: a fixed order all the same
}

bool expandPaths(const std::vector<std::string>& paths, std::vector<std::string>& files, std::string& problem) {
    Listing listing;
    const bool ok = listPaths(paths, listing, problem);
    files = std::move(listing.files);
    return ok;
}

bool listPaths(const std::vector<std::string>& paths, Listing& out, std::string& problem) {
    out = Listing();
    for (const std::string& path : paths) {
        std::error_code ec;
        // An OME-Zarr image (a folder or a URL) is one path, never walked into.
        if (!fs::is_directory(fs::u8path(path), ec) || formats::recognise(path) == &formats::omeZarr) {
            out.files.push_back(path);
            out.found.push_back(false);
            continue;
        }
        std::vector<std::string> names, others;
        for (fs::directory_iterator it(fs::u8path(path), ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().u8string();
            std::error_code e2;
            if (!fs::is_regular_file(it->path(), e2)) continue;
            (hasImageExtension(name) ? names : others).push_back(name);
        }
        if (!names.empty()) {  // a folder of images: those directly inside, as named
            std::sort(names.begin(), names.end(), naturalLess);
            const std::string base = !path.empty() && path.back() == '/' ? path : path + "/";
            for (const std::string& n : names) out.files.push_back(base + n), out.found.push_back(false);
            continue;
        }
        // Otherwise the DICOM files anywhere below it (a disc, an export, a series' folder).
        Walk walk = walkFolder(path);
        out.notes.insert(out.notes.end(), walk.notes.begin(), walk.notes.end());
        out.indexes += walk.indexes;
        if (walk.files.empty()) {
            // A folder holding one whole volume (a NIfTI file or pair) stands for it.
            const std::vector<std::string> volumes = wholeVolumes(path, others);
            if (volumes.size() > 1) {
                problem = formats::quoted(path) + " is a folder of " + std::to_string(volumes.size()) +
                          " volumes (such as " + formats::quoted(volumes.front()) + "); open one of them.";
                return false;
            }
            if (volumes.size() == 1) {
                const std::string base = !path.empty() && path.back() == '/' ? path : path + "/";
                out.files.push_back(base + volumes.front()), out.found.push_back(false);
                continue;
            }
        }
        if (walk.files.empty()) {
            problem = formats::quoted(path) +
                      " is a folder without image files (PNG, JPEG or TIFF), DICOM files or a NIfTI volume (.nii, "
                      ".nii.gz, or a .hdr with its .img).";
            for (const std::string& n : walk.notes) problem += " " + n;
            return false;
        }
        for (std::string& f : walk.files) out.files.push_back(std::move(f)), out.found.push_back(true);
    }
    return true;
}

}  // namespace stackio
