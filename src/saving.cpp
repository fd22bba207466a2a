// Saving: the slice, the volume and the batch render's frames, each file written whole
// or not at all (the writing itself is in stackwrite), with the questions and messages
// that go with them.
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/msgdlg.h>
#include <wx/progdlg.h>

#include <optional>
#include <string>
#include <vector>

#include "appFrame.h"
#include "render.h"
#include "slicer.h"
#include "stackwrite.h"
#include "voxelmap.h"
#include "zarrwrite.h"

// ---- Saving and batch rendering ----
//
// Every file is written whole through a temporary file (stackwrite): a failed write
// leaves what was there and says so once, naming the file and the reason.

namespace {

// A reason as a clause: the toolkit's texts often end in a full stop of their own.
wxString clause(wxString reason) {
    reason.Trim();
    while (reason.EndsWith(".")) reason.RemoveLast();
    return reason;
}

void reportFailure(wxWindow* parent, const wxString& caption, const wxString& path, const wxString& reason,
                   const wxString& outcome = "Any file of that name is unchanged.") {
    wxMessageBox(wxString::Format("\"%s\" could not be written: %s.\n\n%s", path, clause(reason), outcome), caption,
                 wxOK | wxICON_ERROR, parent);
}

// Asks once before files that exist are replaced (an OME-Zarr image counts as one file); true
// when none exists or the answer is yes.
bool confirmReplace(wxWindow* parent, const wxArrayString& files, const wxString& caption) {
    int existing = 0;
    wxString first;
    for (const wxString& file : files)
        if ((wxFileName::FileExists(file) || isZarrImage(file.utf8_string())) && existing++ == 0) first = file;
    if (existing == 0) return true;
    const wxString question =
        existing == 1 ? wxString::Format("\"%s\" already exists. Replace it?", first)
                      : wxString::Format("%d of the %d files to be written already exist, the first is \"%s\". "
                                         "Replace them?",
                                         existing, static_cast<int>(files.size()), first);
    return wxMessageBox(question, caption, wxYES_NO | wxICON_QUESTION, parent) == wxYES;
}

// Refuses, with a message naming it, a file list that would overwrite one of the loaded
// stack's own images.
bool refuseStackFile(wxWindow* parent, const wxArrayString& files, const wxArrayString& stackFiles,
                     const wxString& caption) {
    const wxString hit = firstSameFile(files, stackFiles);
    if (hit.empty()) return false;
    wxMessageBox(wxString::Format("\"%s\" is one of the images of the loaded stack and would be overwritten. "
                                  "Nothing was written; choose another name or folder.",
                                  hit),
                 caption, wxOK | wxICON_ERROR, parent);
    return true;
}

// TIFF, PNG and OME-Zarr volumes have no place for where the volume lies in the patient: say so.
void sayAxesLeftOut(AppFrame& frame, const wxString& kinds = "TIFF and PNG files") {
    if (myVoxmap->hasAxes)
        frame.SetStatusText("Volume saved without its patient orientation: " + kinds + " have no place for it.", 0);
}

// The volume as an OME-Zarr image, with a progress dialog whose Cancel leaves what was there.
bool saveZarr(AppFrame& frame, const wxString& path) {
    std::string reason;
    bool ok;
    {
        constexpr int kSteps = 1000;
        wxProgressDialog progress("Please wait", "Saving Volume", kSteps + 1, &frame, kProgressStyle | wxPD_CAN_ABORT);
        ok = writeZarr(*myVoxmap, path.utf8_string(),
                       [&](int done, int total) {
                           return progress.Update(static_cast<int>(int64_t(done) * kSteps / std::max(1, total)));
                       },
                       reason);
    }
    if (ok) {
        sayAxesLeftOut(frame, "OME-Zarr images");
        return true;
    }
    if (reason != "cancelled") wxMessageBox(wxString::FromUTF8(reason), "Save Volume", wxOK | wxICON_ERROR, &frame);
    return false;
}

}  // namespace

void AppFrame::OnSave(wxCommandEvent&) {
    wxFileDialog dlg(this, "Save Image", wxEmptyString, wxEmptyString,
                     "Image Files " + wxImage::GetImageExtWildcard(), wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    if (dlg.ShowModal() != wxID_OK) return;
    wxString path = chosenPath(dlg);
    if (path.empty()) return;
    // A name without an extension is saved as PNG; the dialog asked about the name without it.
    if (wxFileName(path).GetExt().empty()) {
        path += ".png";
        if (!confirmReplace(this, wxArrayString(1, &path), "Save Image")) return;
    }
    saveSlice(path);
}

bool AppFrame::saveSlice(const wxString& path) {
    if (!screenImage.IsOk()) return false;  // nothing to write
    wxString reason;
    if (saveImage(sliceToSave(), path, reason)) return true;  // with the scale bar only when asked
    reportFailure(this, "Save Image", path, reason);
    return false;
}

void AppFrame::OnSaveVolume(wxCommandEvent&) {
    // "As shown" is the volume's colours, filters included; "Original values" the samples
    // the volume was made from, for a stack that kept them.
    wxString kinds = "As shown: multi-page RGBA TIFF (*.tif;*.tiff)|*.tif;*.tiff|"
                     "As shown: numbered PNG files (*.png)|*.png|"
                     "OME-Zarr (*.zarr)|*.zarr";
    if (originals) kinds += "|Original values: multi-page TIFF (*.tif;*.tiff)|*.tif;*.tiff";
    wxFileDialog dlg(this, "Save Volume", wxEmptyString, wxEmptyString, kinds,
                     wxFD_SAVE);  // no question from the dialog: NAME.png is not what is written
    if (dlg.ShowModal() != wxID_OK) return;
    wxString path = chosenPath(dlg);
    if (path.empty()) return;
    const int kind = dlg.GetFilterIndex();
    const bool values = originals && kind == 3;
    // A name without an extension takes the chosen type's.
    if (wxFileName(path).GetExt().empty()) path += kind == 1 ? ".png" : kind == 2 ? ".zarr" : ".tif";
    // One question before anything is replaced: here for the TIFF and the OME-Zarr image, in
    // saveVolume for the numbered PNG files, which are named only there.
    const wxString ext = wxFileName(path).GetExt().Lower();
    if ((ext == "tif" || ext == "tiff" || ext == "zarr") && !confirmReplace(this, wxArrayString(1, &path), "Save Volume"))
        return;
    if (values)
        saveOriginals(path);
    else
        saveVolume(path);
}

bool AppFrame::saveOriginals(const wxString& path) {
    if (!volumeReady()) return false;
    if (!originals) {
        wxMessageBox(wxString::Format("\"%s\" was not written: this volume keeps no original values (it was loaded "
                                      "from 8-bit samples, reduced, or without the memory to keep them). Save it as "
                                      "shown instead.",
                                      path),
                     "Save Volume", wxOK | wxICON_ERROR, this);
        return false;
    }
    const wxString ext = wxFileName(path).GetExt().Lower();
    if (ext != "tif" && ext != "tiff") {
        wxMessageBox(wxString::Format("\"%s\": the original values are saved as .tif or .tiff (one multi-page TIFF).",
                                      path),
                     "Save Volume", wxOK | wxICON_ERROR, this);
        return false;
    }
    wxString reason;
    bool ok;
    {
        wxProgressDialog progress("Please wait", "Saving Volume", myVoxmap->depth, this, kProgressStyle);
        ok = writeOriginalsTiff(*originals, *myVoxmap, windowLo, windowHi, path, reason,
                                [&](int k) { progress.Update(k, wxEmptyString); });
    }
    if (!ok) reportFailure(this, "Save Volume", path, reason);
    return ok;
}

bool AppFrame::saveVolume(const wxString& path) {
    if (!myVoxmap->loaded || !myVoxmap->voxels || myVoxmap->depth <= 0) return false;
    const wxFileName chosen(path);
    const wxString ext = chosen.GetExt().Lower();
    const int depth = myVoxmap->depth;
    if (ext == "tif" || ext == "tiff") {
        wxString reason;
        bool ok;
        {
            wxProgressDialog progress("Please wait", "Saving Volume", depth, this, kProgressStyle);
            ok = writeVolumeTiff(*myVoxmap, path, reason, [&](int k) { progress.Update(k, wxEmptyString); });
        }
        if (!ok) reportFailure(this, "Save Volume", path, reason);
        if (ok) sayAxesLeftOut(*this);
        return ok;
    }
    if (ext == "zarr") return saveZarr(*this, path);
    if (ext != "png") {
        wxMessageBox(wxString::Format("\"%s\": a volume is saved as .tif or .tiff (one multi-page TIFF), as .png "
                                      "(one numbered PNG file per layer) or as .zarr (an OME-Zarr image).",
                                      path),
                     "Save Volume", wxOK | wxICON_ERROR, this);
        return false;
    }
    // Numbered as the batch render numbers its frames.
    const wxString dir = chosen.GetPath().empty() ? wxString(".") : chosen.GetPath();
    wxArrayString files;
    for (int k = 0; k < depth; ++k) files.Add(framePath(dir, chosen.GetName(), k, "png"));
    if (refuseStackFile(this, files, stackFiles, "Save Volume")) return false;
    if (!confirmReplace(this, files, "Save Volume")) return false;
    std::optional<wxProgressDialog> progress;
    progress.emplace("Please wait", "Saving Volume", depth, this, kProgressStyle);
    for (int k = 0; k < depth; ++k) {
        wxString reason;
        if (!saveLayerPng(*myVoxmap, k, files[k], reason)) {
            progress.reset();  // gone before the message comes up
            reportFailure(
                this, "Save Volume", files[k], reason,
                wxString::Format("That file is unchanged; the %d layers before it were written.", k));
            return false;
        }
        progress->Update(k, wxEmptyString);
    }
    sayAxesLeftOut(*this);
    return true;
}

void AppFrame::OnRender(wxCommandEvent&) {
    if (!volumeReady()) return;  // enabled only after a load
    RenderDlg dlg("Animation", wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX | wxDIALOG_NO_PARENT);
    if (batchChoice) dlg.restore(*batchChoice);
    dlg.ShowModal();
    // What the fields hold (read on every change and on Render) is kept for the next
    // opening, rendered, refused or closed.
    batchChoice = std::make_shared<RenderChoice>(dlg.choice());
    if (dlg.doRender) renderFrames(dlg);
    redrawViews();  // where the dialog was, a repaint showed the last frame: show both whole again
}  // the dialog is destroyed here

void AppFrame::renderFrames(const RenderDlg& dlg) {
    if (!volumeReady() || !screenImage.IsOk()) return;
    const double n = dlg.frames;
    wxArrayString files;
    for (double i = 0.0; i <= n; i += 1.0) files.Add(framePath(dlg.seqDir, dlg.seqName, static_cast<int>(i), dlg.seqExt));
    if (files.empty()) return;
    const int count = static_cast<int>(files.size());

    // Everything that would stop the render is settled before its first frame.
    if (!canWriteImageType(dlg.seqExt)) {
        wxMessageBox(wxString::Format("Frames named like \"%s\" cannot be written: no image type with the extension "
                                      "\"%s\" can be written. Nothing was rendered.",
                                      files[0], dlg.seqExt),
                     "Batch Render", wxOK | wxICON_ERROR, this);
        return;
    }
    if (refuseStackFile(this, files, stackFiles, "Batch Render")) return;
    if (!confirmReplace(this, files, "Batch Render")) return;

    std::optional<wxProgressDialog> progress;
    progress.emplace("Please wait", wxString::Format("Rendering frame %d of %d", count, count), count, this,
                     kProgressStyle | wxPD_CAN_ABORT);
    for (int k = 0; k < count; ++k) {
        // A Cancel takes effect here, between frames: the frame being written is finished.
        if (!progress->Update(k, wxString::Format("Rendering frame %d of %d", k + 1, count))) break;
        // A frame count of 0 renders the single frame 0000 at the start pose.
        const double t = n > 0 ? k / n : 0.0;
        const auto at = [&](const int* a, const int* b, int c) { return lerp(a[c], b[c], t); };
        const auto atf = [&](const int* a, const int* b, int c) { return static_cast<float>(lerp(a[c], b[c], t)); };
        theslicer->pose(Vector(at(dlg.tStart, dlg.tEnd, 0), at(dlg.tStart, dlg.tEnd, 1), at(dlg.tStart, dlg.tEnd, 2)),
                        atf(dlg.rStart, dlg.rEnd, 0), atf(dlg.rStart, dlg.rEnd, 1), atf(dlg.rStart, dlg.rEnd, 2),
                        atf(dlg.sStart, dlg.sEnd, 0), atf(dlg.sStart, dlg.sEnd, 1), atf(dlg.sStart, dlg.sEnd, 2));
        theslicer->evaluateSlice(myVoxmap, screenImage);
        wxString reason;
        if (!saveImage(sliceToSave(), files[k], reason)) {
            progress.reset();
            reportFailure(this, "Batch Render", files[k], reason,
                                  wxString::Format("The render stopped at frame %d of %d; the %d frames before it "
                                                   "were written.",
                                                   k + 1, count, k));
            return;
        }
        if (frameWritten) frameWritten(k);
    }
}
double AppFrame::lerp(int a, int b, double t) { return b * t + (1 - t) * a; }
