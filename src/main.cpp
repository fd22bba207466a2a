#include "main.h"

#include <wx/cmdline.h>
#include <wx/filename.h>
#include <wx/image.h>
#include <wx/msgout.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "appFrame.h"
#include "bigblock.h"
#include "formats/zarrstore.h"
#include "region.h"
#include "stackio.h"

wxIMPLEMENT_APP_NO_MAIN(myApp);

namespace {

// What the command line asked for: the paths to open and the reduction.
wxArrayString startPaths;
int startReduce = 1;
int startSeries = 0;  // 0: ask
// --level and --region: the part of a multiscale image to open.
stackio::Region startRegion;

const wxCmdLineEntryDesc kOptions[] = {
    {wxCMD_LINE_SWITCH, "h", "help", "show this help and exit", wxCMD_LINE_VAL_NONE, wxCMD_LINE_OPTION_HELP},
    {wxCMD_LINE_SWITCH, nullptr, "version", "print the version and exit", wxCMD_LINE_VAL_NONE, 0},
    {wxCMD_LINE_OPTION, nullptr, "reduce", "open the stack at 1/K of its size along each axis: K is 2, 4, 8 or 16",
     wxCMD_LINE_VAL_NUMBER, 0},
    {wxCMD_LINE_OPTION, nullptr, "series",
     "load series N of the series list (by study and series number, from 1) without asking",
     wxCMD_LINE_VAL_NUMBER, 0},
    {wxCMD_LINE_OPTION, nullptr, "level", "open level N of an OME-Zarr image (0: full resolution)",
     wxCMD_LINE_VAL_NUMBER, 0},
    {wxCMD_LINE_OPTION, nullptr, "region", "open the box x0:x1,y0:y1,z0:z1 of an OME-Zarr image",
     wxCMD_LINE_VAL_STRING, 0},
    {wxCMD_LINE_PARAM, nullptr, nullptr, "PATH", wxCMD_LINE_VAL_STRING,
     wxCMD_LINE_PARAM_OPTIONAL | wxCMD_LINE_PARAM_MULTIPLE},
    wxCMD_LINE_DESC_END};

const char* const kLogo =
    "Slabwright: builds, filters and slices RGBA voxel volumes from image stacks.\n"
    "Each PATH is an image file (PNG, JPEG, TIFF), a folder of images or of DICOM files, a NIfTI\n"
    "file, or an OME-Zarr image (its folder or its http(s) address); together they open as one\n"
    "stack, relative to the working directory. A folder without images (a patient's disc) stands\n"
    "for the DICOM files anywhere below it.\n";

// Paths come as the desktop hands them over, UTF-8 whatever the locale (a session may run in
// the C locale), and the readers open them as UTF-8: so they are read as UTF-8 here too.
wxString fromBytes(const char* s) {
    const wxString utf8 = wxString::FromUTF8(s);
    return utf8.empty() && *s ? wxString(s) : utf8;  // not UTF-8: as the locale reads it
}

// The help text, written out rather than the parser's, whose option list says
// "--reduce=<num>" beside a usage line of "--reduce <num>" (both forms are taken).
const char* const kUsage =
    "Usage: slabwright [-h] [--version] [--reduce K] [--series N] [--level N] [--region BOX] [PATH...]\n"
    "  -h, --help    show this help and exit\n"
    "  --version     print the version and exit\n"
    "  --reduce K    open the stack at 1/K of its size along each axis: K is 2, 4, 8 or 16\n"
    "                (also written --reduce=K)\n"
    "  --series N    load series N of the series list (by study and series number, from 1)\n"
    "                without asking\n"
    "  --level N     open level N of an OME-Zarr image's pyramid (0: full resolution)\n"
    "  --region BOX  open the part x0:x1,y0:y1,z0:z1 of an OME-Zarr image, in voxels of its\n"
    "                finest level (ends excluded), at the finest level that fits or at --level\n";

// Reads the command line before the toolkit starts, so that --help, --version and mistakes
// need no display. Returns the exit status, or -1 to go on and open the window.
int readCommandLine(int argc, char** argv) {
    // The parser's complaints go to standard error (there is no window to show them in).
    const std::unique_ptr<wxMessageOutput> errors(new wxMessageOutputStderr);
    wxMessageOutput* const previous = wxMessageOutput::Set(errors.get());
    std::vector<wxString> args;
    for (int i = 0; i < argc; ++i) args.push_back(fromBytes(argv[i]));
    std::vector<wxChar*> wide;
    for (wxString& a : args) wide.push_back(const_cast<wxChar*>(a.wc_str()));
    wxCmdLineParser parser(kOptions, argc, wide.data());
    const int parsed = parser.Parse(false);
    wxMessageOutput::Set(previous);
    long reduce = 1;
    const bool reduceGiven = parsed == 0 && parser.Found("reduce", &reduce);
    long series = 0;
    const bool seriesGiven = parsed == 0 && parser.Found("series", &series);
    long level = 0;
    const bool levelGiven = parsed == 0 && parser.Found("level", &level);
    wxString region;
    const bool regionGiven = parsed == 0 && parser.Found("region", &region);
    std::string regionProblem;
    if (regionGiven && !parseRegion(region.utf8_string(), startRegion.box, regionProblem))
        regionProblem = "--region: " + regionProblem;
    const bool badParts = (levelGiven || regionGiven) && parser.GetParamCount() != 1;
    if (parsed == -1) {
        std::fputs((std::string(kLogo) + "\n" + kUsage).c_str(), stdout);
        return 0;
    }
    if (parsed == 0 && parser.Found("version")) {
        std::puts("Slabwright " SLABWRIGHT_VERSION);
        return 0;
    }
    const bool badReduce = reduceGiven && reduce != 2 && reduce != 4 && reduce != 8 && reduce != 16;
    const bool badSeries = seriesGiven && (series < 1 || series > 1000000);
    const bool badLevel = levelGiven && (level < 0 || level > 1000);
    if (parsed != 0 || badReduce || badSeries || badLevel || !regionProblem.empty() || badParts) {
        if (badReduce) std::fprintf(stderr, "--reduce takes 2, 4, 8 or 16, not %ld.\n", reduce);
        if (badSeries) std::fprintf(stderr, "--series takes a number from 1, not %ld.\n", series);
        if (badLevel) std::fprintf(stderr, "--level takes a number from 0, not %ld.\n", level);
        if (!regionProblem.empty()) std::fprintf(stderr, "%s\n", regionProblem.c_str());
        if (badParts) std::fputs("--level and --region take one image.\n", stderr);
        std::fputs((std::string(kLogo) + "\n" + kUsage).c_str(), stderr);
        return 2;
    }
    startReduce = static_cast<int>(reduce);
    startSeries = static_cast<int>(series);
    // A level chosen, or a region at the finest level that fits.
    startRegion.level = levelGiven ? static_cast<int>(level) : regionGiven ? -1 : 0;
    startRegion.whole = !regionGiven;
    const std::unique_ptr<char, decltype(&std::free)> cwd(getcwd(nullptr, 0), &std::free);
    for (size_t i = 0; i < parser.GetParamCount(); ++i) {
        if (formats::zarr::isUrl(parser.GetParam(i).utf8_string())) {  // an address stays as given
            startPaths.Add(parser.GetParam(i));
            continue;
        }
        wxFileName name(parser.GetParam(i));
        name.MakeAbsolute(cwd ? fromBytes(cwd.get()) : wxString());
        startPaths.Add(name.GetFullPath());
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    const int status = readCommandLine(argc, argv);
    return status >= 0 ? status : wxEntry(argc, argv);
}

bool myApp::OnInit() {
    reuseBuffers();
    wxImage::AddHandler(new wxTIFFHandler);
    wxImage::AddHandler(new wxJPEGHandler);
    wxImage::AddHandler(new wxPNGHandler);
    auto* frame = new AppFrame("Slabwright", wxPoint(150, 100), wxSize(625, 290));  // owned by the toolkit
    frame->Show(true);
    SetTopWindow(frame);
    // slabwright [--reduce K] [--series N] [--level N] [--region BOX] PATH...: the given files or folders load as a stack once the window is up.
    if (!startPaths.empty())
        frame->CallAfter([frame] { frame->loadPart(startPaths, startReduce, startSeries, startRegion); });
    return true;
}
