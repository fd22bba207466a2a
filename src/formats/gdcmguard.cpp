// See gdcmguard.h for why the program takes over the assertion handler.
#include "formats/gdcmguard.h"

#include <gdcmTrace.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <streambuf>

#include "formats/format.h"

namespace formats::dicomio {
namespace {

// ---- GDCM's diagnostics, kept per thread while a header or frame is read ----

thread_local std::string* traceTarget = nullptr;

class TraceBuffer : public std::streambuf {
protected:
    int overflow(int c) override {
        if (c != traits_type::eof() && traceTarget) traceTarget->push_back(char(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (traceTarget) traceTarget->append(s, size_t(n));
        return n;
    }
};

// GDCM reports into this stream from the start: to the capture of the thread reporting,
// and nowhere when there is none (never to standard error).
std::ostream& traceStream() {
    static TraceBuffer buffer;
    static std::ostream stream(&buffer);
    return stream;
}
[[maybe_unused]] const bool traceRouted = (gdcm::Trace::SetStream(traceStream()), true);

}  // namespace

TraceCapture::TraceCapture() { traceTarget = &text; }
TraceCapture::~TraceCapture() { traceTarget = nullptr; }

std::string TraceCapture::words() const {
    std::string out;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        const bool where = line.rfind("Warning: In ", 0) == 0 || line.rfind("Error: In ", 0) == 0 ||
                           line.rfind("Debug: In ", 0) == 0;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
        if (!where && !line.empty()) addWarning(out, line);
    }
    return out;
}

std::string TraceCapture::with(const std::string& reason) const {
    const std::string w = words();
    return w.empty() ? reason : reason + " (" + w + ")";
}

// ---- GDCM's assertions ----

thread_local sigjmp_buf* assertJump = nullptr;
thread_local std::string failedAssertion;  // "file:line: expression" of the last one

bool guarded(std::string& reason, const std::function<void(Session&)>& work) {
    const std::unique_ptr<Session> session = std::make_unique<Session>();
    sigjmp_buf jump;
    sigjmp_buf* const outer = assertJump;
    if (sigsetjmp(jump, 0) != 0) {
        assertJump = outer;
        reason = "is a damaged DICOM file (GDCM: " + failedAssertion + ")";
        return false;
    }
    assertJump = &jump;
    work(*session);
    assertJump = outer;
    return true;
}

}  // namespace formats::dicomio

// glibc's assertion handler, taken over for the guard above: outside guarded() it does
// what glibc's does (the message, then abort).
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line, const char* function) noexcept {
    if (formats::dicomio::assertJump) {
        const char* base = std::strrchr(file, '/');
        formats::dicomio::failedAssertion = std::string(base ? base + 1 : file) + ":" + std::to_string(line) + ": " + assertion;
        siglongjmp(*formats::dicomio::assertJump, 1);
    }
    std::fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", file, line, function, assertion);
    std::abort();
}
