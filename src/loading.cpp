// Loading a stack into the window: the Load dialog, files and folders dropped on the
// window, and what a successful load resets (volume, plane, camera, views, menus,
// Undo). Reading the files is stackio's; all or nothing: a refused or cancelled stack
// leaves everything as it was.
#include <wx/choicdlg.h>
#include <wx/dirdlg.h>
#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>
#include <wx/spinctrl.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "stackio.h"
#include "voxelmap.h"

namespace {

// Volumes smaller than this in x and y are scaled to fit the screen after their load.
constexpr int kFitBelow = 128;

// The Load dialog's filters, every supported file first. GTK matches patterns
// case-sensitively, so each letter is a class.
#define SLAB_IMAGES "*.[pP][nN][gG];*.[jJ][pP][gG];*.[jJ][pP][eE][gG];*.[tT][iI][fF];*.[tT][iI][fF][fF]"
#define SLAB_DICOM "*.[dD][cC][mM]"
#define SLAB_NIFTI                                                                                     \
    "*.[nN][iI][iI];*.[nN][iI][iI].[gG][zZ];*.[hH][dD][rR];*.[iI][mM][gG];*.[hH][dD][rR].[gG][zZ];" \
    "*.[iI][mM][gG].[gG][zZ]"
const char* const kWildcard =
    "All supported files (*.png;*.jpg;*.jpeg;*.tif;*.tiff;*.dcm;*.nii;*.nii.gz;*.hdr;*.img;*.hdr.gz;*.img.gz)|"
    SLAB_IMAGES ";" SLAB_DICOM ";" SLAB_NIFTI "|"
    "Image Files (*.png;*.jpg;*.jpeg;*.tif;*.tiff)|" SLAB_IMAGES "|"
    "DICOM files (*.dcm)|" SLAB_DICOM "|"
    "NIfTI volumes (*.nii;*.nii.gz;*.hdr;*.img;*.hdr.gz;*.img.gz)|" SLAB_NIFTI "|"
    "All files (*)|*";
#undef SLAB_IMAGES
#undef SLAB_DICOM
#undef SLAB_NIFTI

// What the title names for a load: the file or folder given, or the first of several and
// how many more.
wxString loadedName(const wxArrayString& paths) {
    wxFileName first(paths[0]);
    if (wxDirExists(paths[0])) first.AssignDir(paths[0]);
    wxString name = first.GetFullName();
    if (name.empty() && first.GetDirCount() > 0) name = first.GetDirs().Last();  // a folder
    if (name.empty()) name = paths[0];  // the root
    if (paths.size() > 1) name += wxString::Format(" and %zu more", paths.size() - 1);
    return name;
}

// Asks which of several series to load, with `preselect` (a label) chosen if it is listed:
// the index of the one chosen, -1 for Cancel.
int chooseSeries(wxWindow* parent, const std::vector<std::string>& labels, const std::string& preselect) {
    wxArrayString choices;
    for (const std::string& l : labels) choices.Add(wxString::FromUTF8(l));
    wxSingleChoiceDialog dialog(parent, "The files hold several series. Which one should be loaded?", "Load Images",
                                choices);
    const auto last = std::find(labels.begin(), labels.end(), preselect);
    if (last != labels.end()) dialog.SetSelection(int(last - labels.begin()));
    return dialog.ShowModal() == wxID_OK ? dialog.GetSelection() : -1;
}

std::string plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

void AppFrame::OnLoad(wxCommandEvent&) {
    wxFileDialog dialog(this, "Load Images", lastLoadDir, wxEmptyString, kWildcard,
                        wxFD_OPEN | wxFD_MULTIPLE);
    if (dialog.ShowModal() != wxID_OK) return;
    lastLoadDir = dialog.GetDirectory();
    wxArrayString paths;
    dialog.GetPaths(paths);
    loadStack(paths);
}

void AppFrame::OnLoadFolder(wxCommandEvent&) {
    wxDirDialog dialog(this, "Load Folder", lastLoadDir, wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
    if (dialog.ShowModal() != wxID_OK) return;
    const wxString folder = dialog.GetPath();
    if (folder.empty()) return;
    lastLoadDir = folder;
    loadStack(wxArrayString(1, &folder));
}

void AppFrame::OnDropFiles(wxDropFilesEvent& event) {
    wxArrayString paths;
    for (int i = 0; i < event.GetNumberOfFiles(); ++i) paths.Add(event.GetFiles()[i]);
    loadStack(paths);
}

void AppFrame::loadStack(const wxArrayString& paths) { loadStack(paths, 1); }

void AppFrame::loadStack(const wxArrayString& paths, int reduce) { loadStack(paths, reduce, 0); }

void AppFrame::loadStack(const wxArrayString& paths, int reduce, int seriesNumber) {
    loadPart(paths, reduce, seriesNumber, stackio::Region());
}

bool AppFrame::loadPart(const wxArrayString& paths, int reduce, int seriesNumber, const stackio::Region& region) {
    if (paths.empty() || paths.size() > static_cast<size_t>(INT_MAX)) return false;
    auto refuse = [this](const wxString& problem) {
        const wxString outcome =
            myVoxmap->loaded ? "The stack was not loaded; the current volume is unchanged." : "The stack was not loaded.";
        wxMessageBox(problem + "\n\n" + outcome, "Load Images", wxOK | wxICON_ERROR, this);
    };

    // Headers first: sizes, pages and memory are checked before any pixel is decoded.
    std::vector<std::string> given;
    std::string key;
    for (const wxString& p : paths) given.push_back(p.utf8_string()), key += given.back() + "\n";
    std::string problem;
    stackio::Plan plan;
    stackio::Listing listing;
    if (!stackio::listPaths(given, listing, problem)) {
        refuse(wxString::FromUTF8(problem));
        return false;
    }
    const std::vector<std::string>& files = listing.files;
    // Several series: the one the command line named, or the user chooses one, once (a
    // reduced plan takes the same); the choice is remembered for these paths.
    int chosen = -1;
    size_t listed = 0;
    const auto choose = [&](const std::vector<std::string>& labels) {
        listed = labels.size();
        if (chosen < 0 && seriesNumber > 0) chosen = size_t(seriesNumber) <= labels.size() ? seriesNumber - 1 : -1;
        else if (chosen < 0) chosen = chooseSeries(this, labels, lastSeries[key]);
        if (chosen >= 0 && size_t(chosen) < labels.size()) lastSeries[key] = labels[size_t(chosen)];
        return chosen;
    };
    if (!stackio::plan(listing, plan, problem, memoryForLoad, choose, reduce, region)) {
        if (problem.empty() && seriesNumber > 0 && size_t(seriesNumber) > listed)
            problem = "The files hold " + plural(int(listed), "series", "series") + "; there is no series " +
                      std::to_string(seriesNumber) + " to load.";
        if (problem.empty()) return false;  // the choice was cancelled
        if (plan.fitsLevel >= 0) {
            // A multiscale image too big to hold at this level: offer the finest level that fits.
            stackio::Region coarser = region;
            coarser.level = plan.fitsLevel;
            const std::vector<formats::Level> levels = plan.levels;
            const std::string tooBig = problem;
            if (!stackio::plan(listing, plan, problem, memoryForLoad, choose, reduce, coarser)) {
                if (!problem.empty()) refuse(wxString::FromUTF8(problem));
                return false;
            }
            formats::Level shown;  // the region at that level
            shown.width = plan.reducedWidth(), shown.height = plan.reducedHeight(), shown.depth = plan.reducedLayers();
            const wxString offer = wxString::FromUTF8(stackio::levelText(
                shown, coarser.level, int(levels.size()), static_cast<int64_t>(stackio::volumeBytes(plan, plan.reduce))));
            if (wxMessageBox(wxString::FromUTF8(tooBig) + "\n\n" + offer, "Load Images", wxYES_NO | wxICON_QUESTION,
                             this) != wxYES)
                return false;
        } else if (!plan.fitsAt) {
            refuse(wxString::FromUTF8(problem));
            return false;
        } else {
            // Too big to hold: offer the smallest reduction that fits.
            const int k = plan.fitsAt;
            const double bytes = static_cast<double>(stackio::volumeBytes(plan, k));
            const wxString size =
                bytes >= 1e9 ? wxString::Format("%.1f GB", bytes / 1e9) : wxString::Format("%.1f MB", bytes / 1e6);
            const wxString offer = wxString::Format("Open at 1/%d: %d x %d x %d voxels, %s?", k, (plan.width + k - 1) / k,
                                                    (plan.height + k - 1) / k, (plan.layers + k - 1) / k, size);
            if (wxMessageBox(wxString::FromUTF8(problem) + "\n\n" + offer, "Load Images", wxYES_NO | wxICON_QUESTION,
                             this) != wxYES)
                return false;
            if (!stackio::plan(listing, plan, problem, memoryForLoad, choose, k, region)) {
                if (!problem.empty()) refuse(wxString::FromUTF8(problem));
                return false;
            }
        }
    }

    // The stack is built beside the current volume and takes its place only once every
    // file has been read and the views are made: a bad or cancelled stack leaves volume,
    // camera, plane, menus and views as they were.
    voxelmap fresh;
    std::optional<wxProgressDialog> progress;
    const int layers = plan.reducedLayers();
    progress.emplace("Please wait", "Building Voxmap", layers, nullptr, kProgressStyle | wxPD_CAN_ABORT);
    stackio::Outcome outcome =
        stackio::build(plan, fresh, [&](int layer) {
            if (loadProgressHook && !loadProgressHook(layer + 1, layers)) return false;  // layer: 0-based
            return progress->Update(layer, wxEmptyString);
        });
    if (outcome.cancelled) return false;
    if (!outcome.problem.empty()) {
        progress.reset();  // gone before the message comes up
        refuse(wxString::FromUTF8(outcome.problem));
        return false;
    }
    // The voxel size the files say places the volume; one that cannot be a size is left out.
    const Vector said(plan.voxelSize[0], plan.voxelSize[1], plan.voxelSize[2]);
    const std::string sizeProblem = voxelSizeProblem(said);
    if (sizeProblem.empty()) {
        fresh.setVoxelSize(said);
        fresh.unit = plan.unit;
    }
    fresh.hasAxes = plan.hasAxes;  // where the volume lies in the patient, where the files say
    std::copy(&plan.axes[0][0], &plan.axes[0][0] + 9, &fresh.axes[0][0]);
    auto freshCam = std::make_unique<camera>();
    freshCam->blend = blend;
    // Fresh pictures: the slice and the march write every pixel, so the old ones need
    // not be stretched to the new size first.
    wxImage screen(fresh.width, fresh.planeHeight(), false), viewport(freshCam->resolution, freshCam->resolution, false);
    if (!screen.IsOk() || !viewport.IsOk()) {
        progress.reset();
        refuse(wxString::Format("There is not enough memory for the views of a %d x %d x %d volume.", fresh.width,
                                fresh.height, fresh.depth));
        return false;
    }
    myVoxmap->takeVolume(fresh);
    screenImage = screen;
    viewportImage = viewport;
    stackFiles.clear();
    for (const std::string& f : files) stackFiles.Add(wxString::FromUTF8(f));
    undoLevels.clear();  // what Undo kept belongs to the volume just replaced
    effectsMenu->Enable(ID_UNDO, false);
    keepOriginals(std::move(outcome.originals), outcome.wideLo, outcome.wideHi);

    fileMenu->Enable(ID_SAVE, true);
    fileMenu->Enable(ID_SAVEVOLUME, true);
    fileMenu->Enable(ID_RENDER, true);
    effectsMenu->Enable(ID_BLUR, true);
    effectsMenu->Enable(ID_EDGES, true);
    effectsMenu->Enable(ID_KEY, true);
    settingsMenu->Enable(ID_RAYRES, true);
    settingsMenu->Enable(ID_RAYSTEP, true);
    settingsMenu->Enable(ID_AASLICE, true);
    settingsMenu->Enable(ID_VOXELSIZE, true);

    // A fresh camera in front of the volume, looking at its centre on the z axis.
    cam = std::move(freshCam);
    // Changes to the old camera and plane that are still waiting do not apply to the new ones.
    shownCameraControls.reset();
    sliceStale = cameraStale = false;
    cam->startFor(*myVoxmap);
    refresh3D();

    // A fresh plane across the first layer.
    theslicer = std::make_unique<slicer>(myVoxmap->origin, myVoxmap->width, myVoxmap->planeHeight());
    refreshSlice();
    progress.reset();
    loadedFacts = loadFacts(plan, outcome);
    statusNote.clear();
    showLoadedState();
    SetTitle("Slabwright - " + loadedName(paths));
    // The window the files suggest (a DICOM series' first), instead of the full range.
    if (plan.hasWindow && plan.windowLo < plan.windowHi) {
        loadedFacts.filesWindow = true;
        loadedFacts.filesLo = plan.windowLo, loadedFacts.filesHi = plan.windowHi;
        changeWindow(plan.windowLo, plan.windowHi, false);
    }
    // A small volume is drawn at the scale that fills the screen, once; the scale stays the
    // user's from then on.
    if (myVoxmap->width < kFitBelow && myVoxmap->height < kFitBelow) {
        const int before = vpScale;
        if (fitScale() != before)  // said where the pointer's colour goes: until the pointer moves
            SetStatusText(wxString::Format("Views scaled by %d to fit the screen (Settings, Fit Views)", vpScale), 1);
    }
    // What the files say that the user should know, and the decoders' warnings: one message.
    wxString notes;
    for (const std::string& n : listing.notes) notes += wxString::FromUTF8(n) + "\n";
    if (plan.passedOver > 0)
        notes += wxString::FromUTF8(plural(plan.passedOver, "file without images was", "files without images were") +
                                    " passed over.") + "\n";
    for (const std::string& n : plan.notes) notes += wxString::FromUTF8(n) + "\n";
    if (!sizeProblem.empty())
        notes += wxString::Format("The voxel size the files say (%g x %g x %g) is not used: ", said.x(), said.y(),
                                  said.z()) +
                 wxString::FromUTF8(sizeProblem) + "\n";
    if (!outcome.warnings.empty()) {
        wxString list;
        for (const std::string& w : outcome.warnings) list += wxString::FromUTF8(w) + "\n";
        notes += (notes.empty() ? "" : "\n") + wxString("The stack was loaded, but these files decoded only with the "
                                                        "decoder's warnings; their layers may hold filled-in data:\n\n") +
                 list;
        wxMessageBox(notes, "Load Images", wxOK | wxICON_WARNING, this);
    } else if (!notes.empty()) {
        wxMessageBox("The stack was loaded.\n\n" + notes, "Load Images", wxOK | wxICON_INFORMATION, this);
    }
    return true;
}

void AppFrame::showLoadedState() {
    // The load made a fresh plane and camera at the start pose; the controls say so.
    const std::pair<wxSpinCtrl*, int> starts[] = {
        {spinTX, 0},     {spinTY, 0},      {spinTZ, 0},      {spinRX, 0},     {spinRY, 0},
        {spinRZ, 0},     {spinSX, 100},    {spinSY, 100},    {spinSZ, 100},   {spinYaw, 0},
        {spinPitch, 0},  {spinDepth, 100}, {spinTruck, 0},   {spinZoom, 200},
    };
    for (const auto& [control, value] : starts) control->SetValue(value);  // SetValue sends no event
    settingsMenu->Check(ID_AASLICE, theslicer && theslicer->aaLookups);
    updateMeasureMenus();
    SetStatusText("", 1);  // the colour and value under the pointer were the old volume's
    showStatus();
    fitViews();
    redrawViews();
}
