// DICOMDIR: the index a disc or an export writes at its top, naming the file of every
// image by its path below the index's folder. Read with GDCM, records in the order they
// are stored (the offsets between them are not followed, so records that point in a
// loop or claim more entries than there are cannot lead astray). No window code.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace formats {

struct DicomDirIndex {
    bool read = false;               // the index could be read (it may name no file)
    std::vector<std::string> files;  // the files it names that exist inside the tree, once each, in record order
    std::vector<std::string> notes;  // what could not be used: the index itself, missing files, paths outside
};

// Reads the DICOMDIR at path; the files it names are looked for below root (its folder).
DicomDirIndex readDicomDir(const std::string& path, const std::string& root);

// Whether the first bytes of a file say it is a DICOMDIR, whatever its name (its file meta
// group's media storage class).
bool isDicomDirHead(const unsigned char* head, size_t size);

// Whether a file name is "DICOMDIR" in any case.
bool isDicomDirName(const std::string& name);

}  // namespace formats
