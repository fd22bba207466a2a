// Compressed DICOM frames: the checks that keep damaged JPEG and JPEG 2000 data away from
// GDCM's codecs (which crash, or write past their buffer, on some), the RLE decoder used
// instead of GDCM's, and the conversion of YBR colour to RGB.
#pragma once

#include <gdcmImage.h>
#include <gdcmTransferSyntax.h>

#include <cstddef>
#include <vector>

namespace formats::dicomio {

// YBR_FULL to RGB as the standard gives it, rounded to nearest and clamped.
void ybrToRgb(std::vector<char>& bytes);
// Whether lossy JPEG data are in YCbCr, which GDCM hands on unconverted: as the stream's
// JFIF or Adobe marker or component ids (R, G, B or 1, 2, 3) say, else as the file says (`ybr`).
bool jpegIsYCbCr(const gdcm::Image& image, bool ybr);

bool isJpeg(const gdcm::TransferSyntax& ts);
// Whether every JPEG fragment that starts a frame has a frame header GDCM can take: a
// precision of 2 to 16 bits, 1 or 3 components (GDCM's codec crashes on others) and the
// file's own width, height and samples (GDCM's codec refuses others, but leaks as it does).
bool jpegFrameFits(const gdcm::Image& image, int width, int height, int samples);

bool isJpeg2000(const gdcm::TransferSyntax& ts);
// Whether every JPEG 2000 frame describes the image the file does: the codestream's size
// (SIZ) of width x height, one component a sample, none subsampled, none deeper than the
// bits allocated. GDCM sizes its buffer by the file and writes the codestream's image
// into it, past its end when they differ.
bool jpeg2000FrameFits(const gdcm::Image& image, int width, int height, int samples, int bits);

// RLE frames decoded here rather than by GDCM, whose codec reads past damaged data. One
// fragment a frame: a header of 16 little-endian words (the number of segments, then
// where each starts), then one PackBits segment per byte of each sample, most significant
// byte first. Frames go into `to` with their samples interleaved, in the machine's order.
bool decodeRle(const gdcm::Image& image, int width, int height, int samples, int bytes, size_t frames, char* to);

}  // namespace formats::dicomio
