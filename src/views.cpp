#include "views.h"

#include <wx/bitmap.h>
#include <wx/brush.h>
#include <wx/dc.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/msgout.h>
#include <wx/stdpaths.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

#include "voxelmap.h"

namespace display {

const char* const kPlaceholder3D = "./images/novoxmap3d.png";
const char* const kPlaceholder2D = "./images/novoxmap2d.png";

// The size at which both views show their image: the volume's size times the viewport
// scale; nothing while no volume is loaded (an empty map has no size).
wxSize shownSize(const voxelmap& map, int vpScale) {
    if (!map.loaded) return wxSize(0, 0);
    const int64_t w = static_cast<int64_t>(map.width) * vpScale;
    const int64_t h = static_cast<int64_t>(map.planeHeight()) * vpScale;  // the height in world units
    if (w > INT_MAX || h > INT_MAX) return wxSize(0, 0);
    return wxSize(static_cast<int>(w), static_cast<int>(h));
}

// Where each of the first `keep` of m pixels comes from when Rescale stretches n pixels
// to m (m >= n) at normal quality: found by stretching a strip that holds its own
// indices, so the mapping is the toolkit's own. alongX: a row strip, else a column.
std::vector<int> stretchIndices(int n, int m, int keep, bool alongX) {
    wxImage strip(alongX ? n : 1, alongX ? 1 : n, false);
    unsigned char* p = strip.GetData();
    for (int i = 0; i < n; ++i) {
        p[3 * i] = static_cast<unsigned char>(i & 255);
        p[3 * i + 1] = static_cast<unsigned char>((i >> 8) & 255);
        p[3 * i + 2] = static_cast<unsigned char>((i >> 16) & 255);
    }
    strip.Rescale(alongX ? m : 1, alongX ? 1 : m, wxIMAGE_QUALITY_NORMAL);
    const unsigned char* q = strip.GetData();
    std::vector<int> index(keep);
    for (int i = 0; i < keep; ++i) index[i] = q[3 * i] | (q[3 * i + 1] << 8) | (q[3 * i + 2] << 16);
    return index;
}

// The top-left w x h pixels of image stretched to target, without stretching the rest.
wxImage stretchedPart(const wxImage& image, const wxSize& target, int w, int h) {
    const std::vector<int> cols = stretchIndices(image.GetWidth(), target.x, w, true);
    const std::vector<int> rows = stretchIndices(image.GetHeight(), target.y, h, false);
    wxImage part(w, h, false);
    const unsigned char* src = image.GetData();
    unsigned char* dst = part.GetData();
    const int64_t stride = 3 * static_cast<int64_t>(image.GetWidth());
    for (int j = 0; j < h; ++j) {
        const unsigned char* row = src + rows[j] * stride;
        for (int i = 0; i < w; ++i, dst += 3) std::copy(row + 3 * cols[i], row + 3 * cols[i] + 3, dst);
    }
    return part;
}

// Clears dc to black and draws image (a copy) stretched to target at the top-left corner,
// repeating or dropping whole pixels. A non-positive target only clears.
void showScaled(wxDC& dc, wxImage image, const wxSize& target) {
    dc.SetBackground(wxBrush(wxColour(0, 0, 0)));
    dc.Clear();
    if (target.x <= 0 || target.y <= 0 || !image.IsOk()) return;
    // Only the part inside the window is stretched and made into a bitmap: a big volume
    // at a big scale would need gigabytes for the whole picture (more than the toolkit
    // can hold in one image), and the display server refuses a bitmap wider or taller
    // than 32767 pixels, a refusal that ends the program.
    const wxSize room = dc.GetSize();
    const int w = std::min(target.x, room.x);
    const int h = std::min(target.y, room.y);
    if (w <= 0 || h <= 0) return;
    constexpr int kIndexLimit = 1 << 24;  // a strip index fits in three bytes
    const bool enlarged = target.x >= image.GetWidth() && target.y >= image.GetHeight();
    if ((w < target.x || h < target.y) && enlarged && !image.HasAlpha() && !image.HasMask() &&
        image.GetWidth() < kIndexLimit && image.GetHeight() < kIndexLimit && target.x < INT_MAX / 3 &&
        target.y < INT_MAX / 3) {
        image = stretchedPart(image, target, w, h);
    } else {
        image.Rescale(target.x, target.y, wxIMAGE_QUALITY_NORMAL);
        if (!image.IsOk()) return;
        if (w < target.x || h < target.y) image = image.GetSubImage(wxRect(0, 0, w, h));
    }
    dc.DrawBitmap(wxBitmap(image), 0, 0, false);
}

// Draws image unscaled at the top-left corner, over whatever the window shows.
void showPlain(wxDC& dc, const wxImage& image) {
    if (image.IsOk()) dc.DrawBitmap(wxBitmap(image), 0, 0, false);
}

// Where a placeholder picture may be, in order: as named (from the working folder), beside
// the program, in the installed data folder next to the program's folder, and in the data
// folder the build was configured with.
std::vector<wxString> placeholderPlaces(const char* path) {
    wxString inFolder = wxString::FromUTF8(path);
    if (inFolder.StartsWith("./")) inFolder.Remove(0, 2);
    const wxString exeDir = wxFileName(wxStandardPaths::Get().GetExecutablePath()).GetPath();
    std::vector<wxString> places{wxString::FromUTF8(path), exeDir + "/" + inFolder,
                                 exeDir + "/../share/slabwright/" + inFolder};
#ifdef SLABWRIGHT_DATADIR
    places.push_back(wxString::FromUTF8(SLABWRIGHT_DATADIR) + "/" + inFolder);
#endif
    return places;
}

// Reads a placeholder picture into image from the first place that has it. When none has,
// image is left without pixels, and that is reported on standard error once until it can
// be read again (the toolkit's own report would come up as a dialog on every repaint).
void readPlaceholder(wxImage& image, const char* path, bool& reported) {
    const std::vector<wxString> places = placeholderPlaces(path);
    for (const wxString& place : places) {
        wxLogNull quiet;
        if (wxFileName::FileExists(place) && image.LoadFile(place, wxBITMAP_TYPE_ANY) && image.IsOk()) {
            reported = false;
            return;
        }
    }
    image = wxImage();
    if (!reported) {
        wxString where;
        for (const wxString& place : places) where += "\n  " + place;
        wxMessageOutputStderr().Printf("Slabwright: cannot read the placeholder picture from any of:%s\n", where);
    }
    reported = true;
}

// What a repaint shows in a view: its image at the volume's size times the scale on
// black, or before a load its placeholder unscaled.
void showView(wxDC& dc, const wxImage& image, const voxelmap& map, int vpScale) {
    if (map.loaded)
        showScaled(dc, image, shownSize(map, vpScale));
    else
        showPlain(dc, image);
}

}  // namespace display
