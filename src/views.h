// Drawing an image into a view: the size both views show their picture at, the
// stretch by whole pixels, the placeholder pictures shown before a volume exists.
//
// Works on what it is given (a device context, an image, the volume's size, the
// scale); it knows nothing of the main window or the program's globals.
#pragma once

#include <wx/gdicmn.h>
#include <wx/image.h>

#include <vector>

class voxelmap;
class wxDC;

namespace display {

// The placeholder pictures, relative to the working directory.
extern const char* const kPlaceholder3D;
extern const char* const kPlaceholder2D;

// The size at which both views show their image: the volume's size in world units (its
// width, and its height as the slicing plane has it) times the viewport scale; nothing
// while no volume is loaded (an empty map has no size).
wxSize shownSize(const voxelmap& map, int vpScale);

// Where each of the first `keep` of m pixels comes from when Rescale stretches n pixels
// to m (m >= n) at normal quality. alongX: a row strip, else a column.
std::vector<int> stretchIndices(int n, int m, int keep, bool alongX);

// The top-left w x h pixels of image stretched to target, without stretching the rest.
wxImage stretchedPart(const wxImage& image, const wxSize& target, int w, int h);

// Clears dc to black and draws image (a copy) stretched to target at the top-left corner,
// repeating or dropping whole pixels. A non-positive target only clears.
void showScaled(wxDC& dc, wxImage image, const wxSize& target);

// Draws image unscaled at the top-left corner, over whatever the window shows.
void showPlain(wxDC& dc, const wxImage& image);

// Where a placeholder picture (path relative to the working folder, such as
// "./images/novoxmap3d.png") is looked for, in order: the working folder, beside the
// program, ../share/slabwright beside the program, and SLABWRIGHT_DATADIR where the build
// defines it.
std::vector<wxString> placeholderPlaces(const char* path);
// Reads a placeholder picture into image from the first of those places that has it. When
// none has, image is left without pixels; that is reported on standard error once until it
// can be read again.
void readPlaceholder(wxImage& image, const char* path, bool& reported);

// What a repaint shows in a view: its image at the volume's size times the scale on
// black, or before a load its placeholder unscaled.
void showView(wxDC& dc, const wxImage& image, const voxelmap& map, int vpScale);

}  // namespace display
