// Reading a DICOMDIR's records: the referenced file of each, checked to lie inside the tree.
#include "formats/dicomdir.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <set>

#include <strings.h>

#include "formats/dicomdata.h"
#include "formats/dicomwalk.h"
#include "formats/format.h"
#include "formats/gdcmguard.h"

namespace formats {
namespace {

namespace fs = std::filesystem;
using namespace dicomio;

const char kDicomDirClass[] = "1.2.840.10008.1.3.10";

// A ReferencedFileID's components ("PT0\\ST0\\IM1"), without padding; empty when one is
// empty, "." or "..", or holds a slash: such a path could leave the tree.
std::vector<std::string> components(const std::string& id) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= id.size()) {
        const size_t end = std::min(id.find('\\', start), id.size());
        std::string part = id.substr(start, end - start);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\0')) part.pop_back();
        while (!part.empty() && part.front() == ' ') part.erase(part.begin());
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) return {};
        parts.push_back(part);
        start = end + 1;
    }
    return parts;
}

// The path of a record's components below root; where one is not there as written, a
// name that differs only in case (a disc's names, mounted in lower case).
fs::path resolve(const std::string& root, const std::vector<std::string>& parts) {
    fs::path p = fs::u8path(root);
    for (const std::string& part : parts) {
        fs::path next = p / fs::u8path(part);
        std::error_code ec;
        if (!fs::exists(next, ec)) {
            for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
                if (strcasecmp(it->path().filename().u8string().c_str(), part.c_str()) == 0) {
                    next = it->path();
                    break;
                }
        }
        p = next;
    }
    return p;
}

bool inside(const fs::path& p, const fs::path& root) {
    const auto r = std::mismatch(root.begin(), root.end(), p.begin(), p.end());
    return r.first == root.end();
}

}  // namespace

bool isDicomDirName(const std::string& name) {
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return upper == "DICOMDIR";
}

bool isDicomDirHead(const unsigned char* head, size_t size) {
    // The file meta group (explicit VR, little endian) follows the preamble and "DICM":
    // its MediaStorageSOPClassUID (0002,0002) names the class.
    if (size < 132 || std::memcmp(head + 128, "DICM", 4) != 0) return false;
    size_t at = 132;
    while (at + 8 <= size && head[at] == 2 && head[at + 1] == 0) {
        const unsigned element = head[at + 2] | head[at + 3] << 8;
        const char vr[3] = {char(head[at + 4]), char(head[at + 5]), 0};
        const bool longForm = !std::strcmp(vr, "OB") || !std::strcmp(vr, "OW") || !std::strcmp(vr, "OF") ||
                              !std::strcmp(vr, "SQ") || !std::strcmp(vr, "UT") || !std::strcmp(vr, "UN");
        size_t length = 0, value = 0;
        if (longForm) {
            if (at + 12 > size) return false;
            length = size_t(head[at + 8]) | size_t(head[at + 9]) << 8 | size_t(head[at + 10]) << 16 | size_t(head[at + 11]) << 24;
            value = at + 12;
        } else {
            length = size_t(head[at + 6]) | size_t(head[at + 7]) << 8;
            value = at + 8;
        }
        if (length > size || value + length > size) return false;
        if (element == 0x0002) {
            std::string uid(reinterpret_cast<const char*>(head + value), length);
            while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.pop_back();
            return uid == kDicomDirClass;
        }
        at = value + length;
    }
    return false;
}

DicomDirIndex readDicomDir(const std::string& path, const std::string& root) {
    DicomDirIndex index;
    const std::string who = quoted(path);
    // The structure is walked first: GDCM's assertions abort on some damaged files.
    const Structure walked = walkStructure(path);
    if (!walked.problem.empty()) {
        index.notes.push_back("The index " + who + " could not be read (it " + walked.problem +
                              "); the folders were searched instead.");
        return index;
    }
    std::vector<std::string> ids;
    std::string reason;
    bool ok = false;
    const bool ran = guarded(reason, [&](Session& s) {
        s.reader.SetFileName(path.c_str());
        if (!s.reader.Read()) return;
        const gdcm::DataSet& ds = s.reader.GetFile().GetDataSet();
        const gdcm::Tag records(0x0004, 0x1220);
        if (!ds.FindDataElement(records)) return;
        gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(records).GetValueAsSQ();
        if (!sq) return;
        ok = true;
        for (size_t i = 1; i <= sq->GetNumberOfItems(); ++i) {
            const gdcm::DataSet& record = sq->GetItem(i).GetNestedDataSet();
            const std::string id = text(record, 0x0004, 0x1500);
            if (!id.empty()) ids.push_back(id);
        }
    });
    if (!ran || !ok) {
        index.notes.push_back("The index " + who + " could not be read (" +
                              (reason.empty() ? std::string("it holds no directory records") : reason) +
                              "); the folders were searched instead.");
        return index;
    }
    index.read = true;
    std::error_code ec;
    const fs::path top = fs::canonical(fs::u8path(root), ec);
    if (ec) return index;
    std::set<std::string> seen;
    size_t missing = 0, outside = 0;
    std::string firstMissing, firstOutside;
    for (const std::string& id : ids) {
        const std::vector<std::string> parts = components(id);
        const fs::path p = resolve(root, parts);
        const fs::path real = parts.empty() ? fs::path() : fs::canonical(p, ec);
        if (parts.empty() || (!ec && !inside(real, top))) {
            if (!outside++) firstOutside = id;
            continue;
        }
        if (ec || !fs::is_regular_file(real, ec)) {
            if (!missing++) firstMissing = p.u8string();
            continue;
        }
        if (seen.insert(real.u8string()).second) index.files.push_back(p.u8string());
    }
    if (missing)
        index.notes.push_back("The index " + who + " names " + std::to_string(missing) +
                              (missing == 1 ? " file that is" : " files that are") + " missing, such as " +
                              formats::quoted(firstMissing) + ".");
    if (outside)
        index.notes.push_back("The index " + who + " names " + std::to_string(outside) +
                              (outside == 1 ? " file" : " files") + " outside its folder, such as " + formats::quoted(firstOutside) +
                              "; they were left out.");
    return index;
}

}  // namespace formats
