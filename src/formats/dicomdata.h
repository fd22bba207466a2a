// Values read from a GDCM data set: texts, numbers, unsigned shorts, sequence items, and
// where an enhanced multi-frame file keeps a frame's values.
#pragma once

#include <gdcmDataSet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "formats/gdcmguard.h"

namespace formats::dicomio {

const gdcm::ByteValue* valueOf(const gdcm::DataSet& ds, uint16_t group, uint16_t element);
// A text value without its padding.
std::string text(const gdcm::DataSet& ds, uint16_t group, uint16_t element);
// The numbers of a decimal or integer string ("0.5\\0.5"); empty when any is not a number.
std::vector<double> numbers(const gdcm::DataSet& ds, uint16_t group, uint16_t element);
// An unsigned short (GDCM holds them in the machine's order); -1 when absent.
int ushort(const gdcm::DataSet& ds, uint16_t group, uint16_t element);
// Item `index` (0-based) of a sequence, or null. GDCM may parse a sequence stored as bytes
// (implicit VR, UN) into a new object: keep holds it while the item is used.
const gdcm::DataSet* item(const gdcm::DataSet& ds, uint16_t group, uint16_t element, Keep& keep, size_t index = 0);

// Where an enhanced multi-frame file keeps a value of frame `frame`: in the frame's own
// functional group, else in the shared one, else (older files) in the data set itself.
struct Frames {
    const gdcm::DataSet& ds;
    Keep& keep;
    const gdcm::DataSet* shared;
    Frames(const gdcm::DataSet& d, Keep& k);
    const gdcm::DataSet* perFrame(int frame) const;
    std::vector<double> numbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const;
    std::vector<double> ownNumbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const;
};

}  // namespace formats::dicomio
