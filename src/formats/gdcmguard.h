// The guard around every call into GDCM: what it reports is kept per thread (and goes into
// the reason a file is refused for, never to standard error), and a failed assertion
// inside it refuses the file instead of ending the program.
//
// Why the assertion handler is replaced: Debian builds GDCM with its assertions on, and a
// few of them are reached by damaged data (a corrupt JPEG stream, items without their
// tags), where glibc's handler would abort the program and lose the user's work for one bad
// file. So gdcmguard.cpp defines __assert_fail for the whole program: while a thread runs
// GDCM inside guarded(), a failed assertion jumps back there and the file is refused;
// anywhere else it prints and aborts as glibc's does. What it costs: the jump skips the
// destructors of GDCM's own frames, so what they held at that moment leaks (once per such
// file: fuzz/library-faults lists the cases); GDCM's objects are not used after a jump
// (each guarded call has a fresh Session, destroyed outside the jump); and every assertion
// of the process, in any library, passes through this handler.
#pragma once

#include <gdcmImage.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace formats::dicomio {

inline const gdcm::Tag kPixelData(0x7fe0, 0x0010);
using Keep = std::vector<gdcm::SmartPointer<gdcm::SequenceOfItems>>;

// While it lives, what GDCM reports on this thread is kept in text.
struct TraceCapture {
    std::string text;
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // GDCM's words without the source file, line and function it puts before them.
    std::string words() const;
    // reason, followed by GDCM's words when it said any.
    std::string with(const std::string& reason) const;
};

// Everything that lives across calls into GDCM while a file is read. guarded() makes it
// and destroys it outside the jump, so an assertion's jump loses nothing of ours, only
// what GDCM's own frames held at that moment.
struct Session {
    TraceCapture trace;
    gdcm::Reader reader;
    gdcm::Image image;
    Keep keep;  // sequences GDCM parsed from bytes, held while their items are read
    const std::set<gdcm::Tag> pixelTag{kPixelData};
};

// Runs work(session); false, with the reason, if a GDCM assertion failed inside it.
bool guarded(std::string& reason, const std::function<void(Session&)>& work);

}  // namespace formats::dicomio
