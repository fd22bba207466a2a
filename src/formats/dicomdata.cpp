#include "formats/dicomdata.h"

#include <gdcmSequenceOfItems.h>

#include <charconv>
#include <cmath>
#include <cstring>

namespace formats::dicomio {

const gdcm::ByteValue* valueOf(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::Tag tag(group, element);
    if (!ds.FindDataElement(tag)) return nullptr;
    return ds.GetDataElement(tag).GetByteValue();
}

std::string text(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::ByteValue* v = valueOf(ds, group, element);
    if (!v || !v->GetPointer()) return {};
    std::string s(v->GetPointer(), v->GetLength());
    const size_t end = s.find_last_not_of(std::string(" \0", 2));
    const size_t begin = s.find_first_not_of(' ');
    return end == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

std::vector<double> numbers(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const std::string s = text(ds, group, element);
    std::vector<double> out;
    size_t from = 0;
    while (from <= s.size() && !s.empty()) {
        size_t end = s.find('\\', from);
        if (end == std::string::npos) end = s.size();
        const char* b = s.data() + from;
        const char* e = s.data() + end;
        while (b < e && *b == ' ') ++b;
        while (e > b && e[-1] == ' ') --e;
        if (b < e && *b == '+') ++b;
        double v = 0;
        const auto r = std::from_chars(b, e, v);
        if (b == e || r.ec != std::errc() || r.ptr != e || !std::isfinite(v)) return {};
        out.push_back(v);
        from = end + 1;
    }
    return out;
}

int ushort(const gdcm::DataSet& ds, uint16_t group, uint16_t element) {
    const gdcm::ByteValue* v = valueOf(ds, group, element);
    if (!v || !v->GetPointer() || v->GetLength() < 2) return -1;
    uint16_t u;
    std::memcpy(&u, v->GetPointer(), 2);
    return u;
}

const gdcm::DataSet* item(const gdcm::DataSet& ds, uint16_t group, uint16_t element, Keep& keep, size_t index) {
    const gdcm::Tag tag(group, element);
    if (!ds.FindDataElement(tag)) return nullptr;
    gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(tag).GetValueAsSQ();
    if (!sq || index >= sq->GetNumberOfItems()) return nullptr;
    keep.push_back(sq);
    return &sq->GetItem(index + 1).GetNestedDataSet();
}

// Where an enhanced multi-frame file keeps a value of frame `frame`: in the frame's own

Frames::Frames(const gdcm::DataSet& d, Keep& k) : ds(d), keep(k), shared(item(d, 0x5200, 0x9229, keep)) {}

const gdcm::DataSet* Frames::perFrame(int frame) const { return item(ds, 0x5200, 0x9230, keep, size_t(frame)); }

std::vector<double> Frames::numbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const {
    for (const gdcm::DataSet* g : {perFrame(frame), shared})
        if (const gdcm::DataSet* m = g ? item(*g, sg, se, keep) : nullptr) {
            std::vector<double> v = dicomio::numbers(*m, group, element);
            if (!v.empty()) return v;
        }
    return dicomio::numbers(ds, group, element);
}

std::vector<double> Frames::ownNumbers(int frame, uint16_t sg, uint16_t se, uint16_t group, uint16_t element) const {
    const gdcm::DataSet* g = perFrame(frame);
    const gdcm::DataSet* m = g ? item(*g, sg, se, keep) : nullptr;
    return m ? dicomio::numbers(*m, group, element) : std::vector<double>();
}

}  // namespace formats::dicomio
