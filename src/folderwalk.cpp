// The folder walk: breadth first, each real folder once, only the first bytes of each file read.
#include "folderwalk.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <set>
#include <utility>

#include "formats/dicomdir.h"
#include "formats/format.h"
#include "stackio.h"

namespace stackio {
namespace {

namespace fs = std::filesystem;

bool inside(const fs::path& p, const fs::path& root) {
    return std::mismatch(root.begin(), root.end(), p.begin(), p.end()).first == root.end();
}

// The reader that recognises a file by its first bytes, null for none; index: a DICOMDIR.
const formats::Reader* sniff(const std::string& path, bool& index) {
    unsigned char head[formats::kHeadBytes] = {};
    size_t n = 0;
    {
        formats::File f(path);
        if (!f.f) return nullptr;
        n = std::fread(head, 1, sizeof head, f.f);
    }
    index = formats::isDicomDirHead(head, n);
    if (index) return nullptr;
    for (const formats::Reader* r : formats::readers())
        if (r->recognise(path, head, n)) return r;
    return nullptr;
}

std::string plural(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

Walk walkFolder(const std::string& top, const WalkLimits& limits) {
    Walk walk;
    std::error_code ec;
    const fs::path root = fs::canonical(fs::u8path(top), ec);
    if (ec) {
        walk.notes.push_back(formats::quoted(top) + " could not be read: " + ec.message() + ".");
        return walk;
    }
    struct Folder {
        fs::path path, real;  // as reached, and without links
        int depth;
    };
    std::deque<Folder> queue{{fs::u8path(top), root, 0}};
    std::set<fs::path> entered{root}, seen;  // real folders and real files
    std::vector<std::pair<std::string, fs::path>> found;  // as reached, and without links
    size_t looked = 0, linksOut = 0, tooDeep = 0;
    bool tooMany = false;
    std::string indexPath;
    while (!queue.empty() && !tooMany) {
        const Folder folder = queue.front();
        queue.pop_front();
        fs::directory_iterator it(folder.path, ec), end;
        if (ec) {
            walk.notes.push_back("The folder " + formats::quoted(folder.path.u8string()) + " could not be read (" +
                                 ec.message() + "); what it holds is left out.");
            continue;
        }
        for (; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& e = *it;
            std::error_code e2;
            const bool link = e.is_symlink(e2);
            fs::path real = folder.real / e.path().filename();
            if (link) {
                real = fs::canonical(e.path(), e2);
                if (e2 || !inside(real, root)) {
                    ++linksOut;
                    continue;
                }
            }
            if (e.is_directory(e2)) {
                if (entered.count(real)) continue;  // entered before: a link round a loop, or to a folder seen
                if (folder.depth >= limits.depth) {
                    ++tooDeep;
                } else {
                    entered.insert(real);
                    queue.push_back({e.path(), real, folder.depth + 1});
                }
                continue;
            }
            if (!e.is_regular_file(e2)) continue;
            const std::string name = e.path().filename().u8string();
            if (folder.depth == 0 && formats::isDicomDirName(name)) {
                if (indexPath.empty()) indexPath = e.path().u8string();
                continue;
            }
            if (!seen.insert(real).second) continue;  // reached before, through a link
            if (++looked > limits.files) {
                tooMany = true;
                break;
            }
            if (formats::isDicomDirName(name)) continue;  // a folder's own index: its files are walked anyway
            bool index = false;
            const formats::Reader* r = sniff(e.path().u8string(), index);
            if (index) ++walk.indexes;
            else if (r && r->arrange) found.emplace_back(e.path().u8string(), real);
        }
        if (ec) {
            walk.notes.push_back("The folder " + formats::quoted(folder.path.u8string()) + " could not be read to its end (" +
                                 ec.message() + "); what it holds is left out.");
            ec.clear();
        }
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return naturalLess(a.first, b.first); });
    std::set<fs::path> named;  // the index's files, without links
    if (!indexPath.empty()) {
        formats::DicomDirIndex index = formats::readDicomDir(indexPath, top);
        walk.notes.insert(walk.notes.end(), index.notes.begin(), index.notes.end());
        for (const std::string& f : index.files) named.insert(fs::canonical(fs::u8path(f), ec));
        walk.files = std::move(index.files);  // the index's files first, in its order
    }
    for (auto& f : found)
        if (!named.count(f.second)) walk.files.push_back(std::move(f.first));
    if (tooMany)
        walk.notes.push_back("The folder " + formats::quoted(top) + " holds more than " + std::to_string(limits.files) +
                             " files; only the first " + std::to_string(limits.files) + " were looked at.");
    if (tooDeep)
        walk.notes.push_back(plural(tooDeep, "folder", "folders") + " more than " + std::to_string(limits.depth) +
                             " levels below " + formats::quoted(top) + " were not looked into.");
    if (linksOut)
        walk.notes.push_back(plural(linksOut, "symbolic link", "symbolic links") + " leading out of " +
                             formats::quoted(top) + " or nowhere were not followed.");
    return walk;
}

}  // namespace stackio
