// Loading a stack into the window: the Load dialog, files and folders dropped on the
// window, and what a successful load resets (volume, plane, camera, views, menus,
// Undo). Reading the files is stackio's; all or nothing: a refused or cancelled stack
// leaves everything as it was.
#include <wx/choicdlg.h>
#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>

#include <algorithm>
#include <climits>
#include <utility>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "appFrame.h"
#include "camera.h"
#include "formats/series.h"
#include "slicer.h"
#include "stackio.h"
#include "voxelmap.h"

namespace {

// The Load dialog's filter: GTK matches patterns case-sensitively, so each letter is a class.
const char* const kWildcard =
    "Image Files (*.png;*.jpg;*.jpeg;*.tif;*.tiff)|"
    "*.[pP][nN][gG];*.[jJ][pP][gG];*.[jJ][pP][eE][gG];*.[tT][iI][fF];*.[tT][iI][fF][fF]|"
    "DICOM files (*.dcm)|*.[dD][cC][mM]|"
    "NIfTI volumes (*.nii;*.nii.gz;*.hdr)|*.[nN][iI][iI];*.[nN][iI][iI].[gG][zZ];*.[hH][dD][rR]|"
    "All files (*)|*";

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

void AppFrame::OnDropFiles(wxDropFilesEvent& event) {
    wxArrayString paths;
    for (int i = 0; i < event.GetNumberOfFiles(); ++i) paths.Add(event.GetFiles()[i]);
    loadStack(paths);
}

void AppFrame::loadStack(const wxArrayString& paths) { loadStack(paths, 1); }

void AppFrame::loadStack(const wxArrayString& paths, int reduce) { loadStack(paths, reduce, 0); }

void AppFrame::loadStack(const wxArrayString& paths, int reduce, int seriesNumber) {
    if (paths.empty() || paths.size() > static_cast<size_t>(INT_MAX)) return;
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
        return;
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
    if (!stackio::plan(listing, plan, problem, memoryForLoad, choose, reduce)) {
        if (problem.empty() && seriesNumber > 0 && size_t(seriesNumber) > listed)
            problem = "The files hold " + plural(int(listed), "series", "series") + "; there is no series " +
                      std::to_string(seriesNumber) + " to load.";
        if (problem.empty()) return;  // the choice was cancelled
        if (!plan.fitsAt) {
            refuse(wxString::FromUTF8(problem));
            return;
        }
        // Too big to hold: offer the smallest reduction that fits.
        const int k = plan.fitsAt;
        const double bytes = static_cast<double>(stackio::volumeBytes(plan, k));
        const wxString size = bytes >= 1e9 ? wxString::Format("%.1f GB", bytes / 1e9) : wxString::Format("%.1f MB", bytes / 1e6);
        const wxString offer = wxString::Format("Open at 1/%d: %d x %d x %d voxels, %s?", k, (plan.width + k - 1) / k,
                                                (plan.height + k - 1) / k, (plan.layers + k - 1) / k, size);
        if (wxMessageBox(wxString::FromUTF8(problem) + "\n\n" + offer, "Load Images", wxYES_NO | wxICON_QUESTION, this) !=
            wxYES)
            return;
        if (!stackio::plan(listing, plan, problem, memoryForLoad, choose, k)) {
            if (!problem.empty()) refuse(wxString::FromUTF8(problem));
            return;
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
    if (outcome.cancelled) return;
    if (!outcome.problem.empty()) {
        progress.reset();  // gone before the message comes up
        refuse(wxString::FromUTF8(outcome.problem));
        return;
    }
    // The voxel size the files say places the volume; one that cannot be a size is left out.
    const Vector said(plan.voxelSize[0], plan.voxelSize[1], plan.voxelSize[2]);
    const std::string sizeProblem = voxelSizeProblem(said);
    if (sizeProblem.empty()) {
        fresh.setVoxelSize(said);
        fresh.unit = plan.unit;
    }
    auto freshCam = std::make_unique<camera>();
    // Fresh pictures: the slice and the march write every pixel, so the old ones need
    // not be stretched to the new size first.
    wxImage screen(fresh.width, fresh.planeHeight(), false), viewport(freshCam->resolution, freshCam->resolution, false);
    if (!screen.IsOk() || !viewport.IsOk()) {
        progress.reset();
        refuse(wxString::Format("There is not enough memory for the views of a %d x %d x %d volume.", fresh.width,
                                fresh.height, fresh.depth));
        return;
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
    showLoadedState();

    // What was loaded and how its values were mapped; with the voxel size where the files say one.
    // (A DICOM series' own text names its size already.)
    std::string status;
    const bool series = plan.infos.front().reader == &formats::dicom;
    if (series)
        status = formats::seriesStatus(plan, outcome.mappedWide, outcome.wideLo, outcome.wideHi);
    else if (outcome.mappedWide)
        status = stackio::mappingText(outcome);
    if (!status.empty()) {
        const std::string size = sizeText(*myVoxmap);
        const bool plain = myVoxmap->unit.empty() && size.find(" of ") == std::string::npos;
        if (!plain && !series) status = size + "; " + status;
        if (!plan.description.empty() && !series) status += "; orientation " + plan.description;
        if (outcome.originalsDropped)
            status += "; there is not enough memory to keep the original samples, so the window cannot change";
        SetStatusText(wxString::FromUTF8(status), 0);
    } else if (!plan.description.empty() && !series) {
        SetStatusText(wxString::FromUTF8(sizeText(*myVoxmap) + "; orientation " + plan.description), 0);
    }
    // The window the files suggest (a DICOM series' first), instead of the full range.
    if (plan.hasWindow && plan.windowLo < plan.windowHi) {
        changeWindow(plan.windowLo, plan.windowHi, false);
        SetStatusText(wxString::FromUTF8(status) + "; shown with the files' window " + GetStatusBar()->GetStatusText(0).AfterFirst(' '), 0);
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
}
