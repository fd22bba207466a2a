// The kinds of samples a stack is read from and its originals are held in: one enum for the
// readers (formats::Samples) and the volume (Held), with what each kind takes and is called.
#pragma once

#include <cstdint>

// Kinds are numbered for bit sets: keep the order.
enum class Samples { Unsigned8, Unsigned16, Signed16, Unsigned32, Signed32, Float32, Signed8, Float64, Unsigned64, Signed64 };
constexpr int kSampleKinds = 10;

// Bits per sample of a kind: 8, 16, 32 or 64.
constexpr int bitsOf(Samples kind) {
    switch (kind) {
        case Samples::Unsigned8:
        case Samples::Signed8: return 8;
        case Samples::Unsigned16:
        case Samples::Signed16: return 16;
        case Samples::Unsigned32:
        case Samples::Signed32:
        case Samples::Float32: return 32;
        default: return 64;
    }
}

// "8-bit", "16-bit signed", "32-bit float", ...
constexpr const char* nameOf(Samples kind) {
    constexpr const char* names[kSampleKinds] = {"8-bit",        "16-bit",       "16-bit signed", "32-bit",
                                                 "32-bit signed", "32-bit float", "8-bit signed",  "64-bit float",
                                                 "64-bit",       "64-bit signed"};
    return names[static_cast<int>(kind)];
}

// Calls f with a value of the C++ type samples of a kind are held in, so that the loops in f
// are compiled once per type and choose no type per sample.
template <class F>
decltype(auto) withType(Samples kind, F&& f) {
    switch (kind) {
        case Samples::Unsigned8: return f(uint8_t{});
        case Samples::Signed8: return f(int8_t{});
        case Samples::Unsigned16: return f(uint16_t{});
        case Samples::Signed16: return f(int16_t{});
        case Samples::Unsigned32: return f(uint32_t{});
        case Samples::Signed32: return f(int32_t{});
        case Samples::Float32: return f(float{});
        case Samples::Unsigned64: return f(uint64_t{});
        case Samples::Signed64: return f(int64_t{});
        case Samples::Float64: break;
    }
    return f(double{});
}
