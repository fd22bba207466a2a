// AppFrame: the main window and the program's globals. The volume filters its
// commands run are declared in filters.h, which is included here.
//
// The program is one window on the toolkit's GUI thread. Every user action arrives
// as an AppFrame handler; handlers work on the globals below and end by bringing
// the two views up to date.
#pragma once

#include <wx/arrstr.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/progdlg.h>
#include <wx/timer.h>

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera.h"   // Blend
#include "filters.h"  // key, blur, edges and their tables belong to the window's commands
#include "history.h"
#include "opacity.h"
#include "originals.h"
#include "status.h"
#include "voxel.h"
#include "voxelmap.h"

class camera;
class slicer;
class voxelmap;
class wxMenu;
class wxMenuBar;
class wxPanel;
class wxSpinCtrl;
class wxDropFilesEvent;
class wxSpinEvent;
class wxStaticBox;
namespace stackio {
struct Region;
}
class wxStaticText;
class wxDC;
class wxKeyEvent;

// ---- Globals: the current volume, plane, camera and view images ----

// The one voxel map; never replaced: every load refills it, every filter swaps its array.
extern voxelmap* const myVoxmap;
// The current slicing plane; null until the first load, replaced by each load.
extern std::unique_ptr<slicer> theslicer;
// The current camera; null until the first load, replaced by each load.
extern std::unique_ptr<camera> cam;
// The slice image: width x height of the volume after a load; shown in the slice view.
extern wxImage screenImage;
// The 3D image: resolution x resolution after a march, 200 x 200 after a filter.
extern wxImage viewportImage;

// Whether a volume, its plane and its camera exist: what every command on the volume needs.
bool volumeReady();

// Every long job's progress dialog: modal, with elapsed and remaining time.
constexpr long kProgressStyle =
    wxPD_APP_MODAL | wxPD_AUTO_HIDE | wxPD_ELAPSED_TIME | wxPD_ESTIMATED_TIME | wxPD_REMAINING_TIME;

// Window and command ids; every id binds exactly one control or menu item.
enum {
    ID_VIEW3D = 400,
    ID_SLICEVIEW = 401,
    ID_LOAD = 402,
    ID_SAVE = 403,
    ID_RENDER = 404,
    ID_ABOUT = 405,
    ID_EXIT = 406,
    ID_BLUR = 407,
    ID_EDGES = 408,
    ID_KEY = 409,
    ID_RAYRES = 410,
    ID_RAYSTEP = 411,
    ID_VPSCALE = 412,
    ID_AASLICE = 413,
    ID_TX = 414,
    ID_TY = 415,
    ID_TZ = 416,
    ID_RX = 417,
    ID_RY = 418,
    ID_RZ = 419,
    ID_SX = 420,
    ID_SY = 421,
    ID_SZ = 422,
    ID_YAW = 423,
    ID_PITCH = 424,
    ID_DEPTH = 425,
    ID_TRUCK = 426,
    ID_ZOOM = 427,
    ID_SAVEVOLUME = 428,
    ID_UNDO = 429,
    ID_VOXELSIZE = 430,
    ID_WINDOW = 431,
    ID_MIP = 450,
    ID_OPACITY = 451,
    ID_PREVIEW = 452,
    ID_LOADFOLDER = 440,
    ID_FITVIEWS = 441,
    ID_LOADREGION = 442,  // File, "Load Region..."
    // The View menu's standard planes, in the order of setStandardPlane.
    ID_AXIAL = 460,
    ID_CORONAL = 461,
    ID_SAGITTAL = 462,
    ID_PLANEXY = 463,
    ID_PLANEXZ = 464,
    ID_PLANEYZ = 465,
    ID_SCALEBAR = 466,         // Settings, "Scale Bar"
    ID_SCALEBARINSAVES = 467,  // Settings, "Scale Bar in Saved Images"
};

// A ruler over the slice view: its ends in slice pixels (fractions kept) and the plane's
// corners it was drawn on; a plane that moved since drops it.
struct Ruler {
    bool shown = false;
    bool dragging = false;  // a Ctrl + left drag is drawing it
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    Vector corners[3];      // P00, P10 and P01 of the plane when drawn
    const slicer* plane = nullptr;
    wxString text;          // "23.4 mm", also in the status bar
};

// What a change of the window did.
enum class WindowChange { None, Changed, ChangedUndoable };

class RenderDlg;
struct RenderChoice;

// A progress dialog for the filters and for making the volume again, opened when the work
// first tells its progress (once its memory is had) and closed with this object.
class FilterDialog {
public:
    FilterDialog(const wxString& message, wxWindow* parent, long style = kProgressStyle);
    ~FilterDialog();
    FilterDialog(const FilterDialog&) = delete;
    FilterDialog& operator=(const FilterDialog&) = delete;
    // What the work is told to report to: the dialog moves on with it; false when cancelled.
    FilterProgress callback();

private:
    wxString message_;
    wxWindow* parent_;
    long style_;
    std::unique_ptr<wxProgressDialog> dialog_;
};

// Why lo..hi cannot be a range of values (a window, an opacity ramp), whose ("The window's")
// naming it; empty when it can.
wxString rangeProblem(const wxString& whose, double lo, double hi);

class AppFrame : public wxFrame {
public:
    wxPanel* mainPanel = nullptr;     // the frame's single child
    wxPanel* controlPanel = nullptr;  // holds the slicer and camera boxes
    wxWindow* view3D = nullptr;       // id 400: shows viewportImage
    wxWindow* sliceView = nullptr;    // id 401: shows screenImage
    wxStaticBox* slicerBox = nullptr;
    wxStaticText* labelT = nullptr;
    wxStaticText* labelR = nullptr;
    wxStaticText* labelS = nullptr;
    wxStaticBox* cameraBox = nullptr;
    wxStaticText* labelYaw = nullptr;
    wxStaticText* labelPitch = nullptr;
    wxStaticText* labelDepth = nullptr;
    wxStaticText* labelTruck = nullptr;
    wxStaticText* labelZoom = nullptr;
    wxSpinCtrl* spinZoom = nullptr;   // camera zoom, hundredths
    wxSpinCtrl* spinYaw = nullptr;    // orbit about y, degrees
    wxSpinCtrl* spinPitch = nullptr;  // orbit about x, degrees
    wxSpinCtrl* spinDepth = nullptr;  // opacity, hundredths
    wxSpinCtrl* spinTruck = nullptr;  // eye offset along the line of sight, world units
    wxSpinCtrl* spinTX = nullptr;     // plane translation, world units (TY negated)
    wxSpinCtrl* spinTY = nullptr;
    wxSpinCtrl* spinTZ = nullptr;
    wxSpinCtrl* spinRX = nullptr;     // plane rotation, degrees
    wxSpinCtrl* spinRY = nullptr;
    wxSpinCtrl* spinRZ = nullptr;
    wxSpinCtrl* spinSX = nullptr;     // plane scale, percent
    wxSpinCtrl* spinSY = nullptr;
    wxSpinCtrl* spinSZ = nullptr;
    wxMenuBar* menuBar = nullptr;
    wxMenu* fileMenu = nullptr;
    wxMenu* effectsMenu = nullptr;
    wxMenu* settingsMenu = nullptr;
    wxMenu* viewMenu = nullptr;       // the standard planes
    int vpScale = 2;                  // whole-number magnification of both views, 1..5
    voxel keyColour;                  // last picked colour, alpha 0; (0, 0, 0, 0) at start
    wxArrayString stackFiles;         // the files of the current volume in load order (folders expanded), set by a successful load
    // The volume's history since its load: its originals, window, ramp, filters and Undo's
    // levels. The names below are the window's own for its parts.
    VolumeHistory history;
    // The volumes from before the last filters, oldest first; Undo takes back the last.
    std::deque<UndoLevel>& undoLevels = history.undoLevels;
    static constexpr size_t kUndoLevels = VolumeHistory::kUndoLevels;  // the most Undo keeps
    // The samples of a wide or calibrated load (null for an 8-bit stack, or when they did
    // not fit), and the window lo..hi in their values that made the volume.
    std::unique_ptr<Originals>& originals = history.originals;
    double& windowLo = history.windowLo;
    double& windowHi = history.windowHi;
    // The filters applied since the load, in order: a window change applies them again.
    std::vector<FilterStep>& filtersSinceLoad = history.filters;
    // Bytes Undo may count on when it decides what to keep; -1: what the system says is available.
    int64_t memoryForUndo = -1;
    // Bytes a load may count on when it checks that the volume fits; -1: what the system says is available.
    int64_t memoryForLoad = -1;
    // Called after each frame a batch render has written, with its 0-based number.
    std::function<void(int)> frameWritten;
    // The batch dialog's fields as last left: the next opening in this run starts from them.
    std::shared_ptr<RenderChoice> batchChoice;
    // Views behind their controls: set by the spin handlers, brought up to date by one
    // posted step (refreshStale), so that a burst of changes is drawn once, with the
    // controls' latest values.
    bool sliceStale = false;
    bool cameraStale = false;
    bool refreshPosted = false;  // a refreshStale step is waiting in the event queue
    bool refreshing = false;     // refreshStale is running
    // Stands in for the progress dialog of a long march (tests): told the rows done and
    // in all; false cancels.
    std::function<bool(int, int)> marchProgressHook;
    // Told, before the load's progress dialog, the layers built and in all (tests); false cancels.
    std::function<bool(int, int)> loadProgressHook;
    // Yaw, pitch, truck, zoom and depth that made the 3D picture, when the controls
    // made it (not right after a load): a cancelled march puts the controls back.
    std::optional<std::array<int, 5>> shownCameraControls;
    // What the last load found, and what the last action could not do: with the volume's
    // state, what the status bar says (showStatus).
    LoadFacts loadedFacts;
    std::string statusNote;
    wxString lastRegionPath, lastRegionText;  // what Load Region was last given
    wxString lastLoadDir;             // the folder the Load dialog opens in; empty before the first load
    // The series line chosen last for the paths of a load (joined by newlines), preselected
    // when the same paths are opened again.
    std::map<std::string, std::string> lastSeries;
    bool orbiting = false;            // a right-button drag in the 3D view is turning the camera
    wxPoint orbitFrom;                // the pointer at the last step of that drag
    int wheelRest = 0;                // wheel rotation not yet worth a whole notch
    Ruler ruler;                      // the ruler over the slice view, if any
    bool scaleBarShown = false;       // Settings, Scale Bar: a bar in the slice view's lower corner
    bool scaleBarInSaves = false;     // the bar drawn into saved slices and frames too
    // The 3D view's blend: given to each load's camera, changed by setBlend.
    Blend blend = Blend::Composite;
    // Alpha from the values (off: "Opaque", the loaded alpha); reset by each load.
    OpacityRamp& opacityRamp = history.ramp;
    // A stack of 8-bit images as loaded (4 bytes a voxel), kept from its first change of
    // opacity on: the volume is made again from it as a window change makes it from the originals.
    VoxelArray& loadedBytes = history.loadedBytes;
    // Camera changes in quick succession are drawn from fewer rays; the full march follows
    // once they stop (restTimer, about 150 ms) or the drag ends.
    bool previewWhileMoving = true;
    bool previewShown = false;        // the 3D view shows a preview that the full march is to replace
    double secondsPerRay = 0;         // of the last march at the camera's resolution, for choosing the preview
    double lastCameraChange = -1;     // when the last camera change was drawn, seconds (steady clock)
    int previewDivisor = 1;           // the resolution of the last preview was the camera's divided by this
    wxTimer restTimer;                // its events come to the frame

    AppFrame(const wxString& title, const wxPoint& pos, const wxSize& size);
    ~AppFrame() override;

    // Menu commands.
    void OnLoad(wxCommandEvent& event);
    void OnLoadFolder(wxCommandEvent& event);
    void OnLoadRegion(wxCommandEvent& event);
    void OnSave(wxCommandEvent& event);
    void OnSaveVolume(wxCommandEvent& event);
    void OnRender(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnExit(wxCommandEvent& event);
    void OnBlur(wxCommandEvent& event);
    void OnEdges(wxCommandEvent& event);
    void OnKey(wxCommandEvent& event);
    void OnUndo(wxCommandEvent& event);
    void OnRayRes(wxCommandEvent& event);
    void OnRayStep(wxCommandEvent& event);
    void OnVPScale(wxCommandEvent& event);
    void OnFitViews(wxCommandEvent& event);
    void OnAASlice(wxCommandEvent& event);
    void OnVoxelSize(wxCommandEvent& event);
    void OnWindow(wxCommandEvent& event);
    // Spin controls.
    void OnSpinCtrl(wxSpinEvent& event);
    void OnSpinCam(wxSpinEvent& event);
    // The two views (connected at run time).
    void OnPaint(wxPaintEvent& event);
    void OnMotion(wxMouseEvent& event);
    // Files or folders dropped onto the window.
    void OnDropFiles(wxDropFilesEvent& event);

    // Brings the views the spin controls have made stale up to date (the slice first,
    // then the 3D view), reading the controls' current values; again while changes
    // arrive meanwhile.
    void refreshStale();
    // Posts one refreshStale step unless one is waiting or running.
    void postRefresh();
    // Mouse input on the views: right-drag in the 3D view orbits, the wheel zooms (3D
    // view) or moves the plane along z (slice view).
    void OnRightDown(wxMouseEvent& event);
    void OnRightUp(wxMouseEvent& event);
    void OnCaptureLost(wxMouseCaptureLostEvent& event);
    void OnWheel(wxMouseEvent& event);
    // One step of a right-button drag in the 3D view: the camera turned by the pointer's move.
    void orbitTo(const wxPoint& pos);

    // Refresh steps, what handlers end with. The slice: the plane sampled into
    // screenImage, shown in the slice view.
    void refreshSlice();
    // The 3D view: the volume marched into viewportImage at the camera's resolution, shown.
    void refresh3D();
    // The 3D view after a camera change: marched into a fresh picture (after half a second
    // behind a progress dialog with Cancel) that replaces viewportImage only when complete.
    // False when cancelled (then cancelled is set) or overtaken by a newer change:
    // viewportImage still shows the picture from before.
    bool refresh3DOrKeep(bool& cancelled);
    // After a filter or Undo: the slice sampled, the volume marched and shown at 200 x 200.
    void refreshAfterFilter();
    // After a window or ramp change: the slice sampled, the volume marched, the outline drawn.
    void showRemadeVolume();
    // The plane's outline over the 3D view, at the size the view shows its image.
    void drawOutline() const;
    // Paints a copy of image into window, stretched to the volume's size times vpScale.
    void redraw(wxWindow* window, wxImage image);
    // Clears both views to black (what they show until the next paint brings back the
    // placeholder pictures when no volume is loaded).
    void clearViews();
    // Both views drawn whole from their images (nothing recomputed), the plane's outline over the 3D view.
    void redrawViews();
    // Grows the window (never shrinks it) so both views show their whole picture at
    // vpScale, within the display's work area.
    void fitViews();
    // Sets vpScale to the largest whole number (1 at the least, beyond 5 for a small volume)
    // at which both views fit the display's work area, grows the window to show them and
    // redraws them; returns the scale. Without a volume, nothing changes.
    int fitScale();
    // After a successful load: every control back at its start value (the load reset the
    // plane and camera to them), the menus' marks, the volume's size in the status bar,
    // the window grown to show it, the outline drawn.
    void showLoadedState();
    // The status bar's first field (and its tooltip, the whole text) made anew from
    // loadedFacts, the volume's size, the window and statusNote.
    void showStatus();

    // The work after the dialogs, callable with chosen paths (the handlers stay thin).
    // Builds the volume from the files in the given order, all or nothing; a folder
    // stands for the image files directly inside it, in natural name order, or without
    // them for the DICOM files anywhere below it (objects without images passed over).
    void loadStack(const wxArrayString& paths);
    // The same at 1/reduce (2, 4, 8 or 16; 1: full size): each voxel the mean of a block.
    // A stack too big to hold is offered at the smallest reduction that fits.
    void loadStack(const wxArrayString& paths, int reduce);
    // The same, taking series `series` (1-based, in the list's order) of several without
    // asking; 0: the user chooses.
    void loadStack(const wxArrayString& paths, int reduce, int series);
    // The same for a part of a multiscale image (OME-Zarr, a folder or an http(s) URL): the
    // box (x0, x1, y0, y1, z0, z1 in the finest level's voxels, ends exclusive; null: the
    // whole image) at `level` (0 the finest; -1 the finest level that fits in memory). At a
    // coarser level the box is divided by that level's factor. True when loaded.
    bool loadRegion(const std::string& path, int level, const int box[6]);
    // What every load comes to: true when the volume was replaced. A multiscale image too
    // big at the region's level is offered at the finest level that fits.
    bool loadPart(const wxArrayString& paths, int reduce, int series, const stackio::Region& region);
    // Writes screenImage to path; a failure leaves the file as it was and says why.
    bool saveSlice(const wxString& path);
    // Writes the frames of a closed batch dialog that asked to render.
    void renderFrames(const RenderDlg& dlg);
    // Writes the volume losslessly: .tif/.tiff one multi-page RGBA TIFF, .png one
    // numbered PNG per layer (NAME.0000.png ...). True when written.
    bool saveVolume(const wxString& path);
    // Writes the original samples (as loaded, with their calibration, unit, voxel size and
    // the current window) as one multi-page TIFF that reopens with the same values and
    // window. False, with the reason shown, where the volume keeps no originals.
    bool saveOriginals(const wxString& path);
    // Gives the volume voxels of size (x, y, z) in unit (UTF-8; empty: none) and places it
    // anew as a load would: the camera looking at the new centre, the plane across the
    // first layer, each then posed by the controls, which keep their values. A size that
    // is not positive and finite, or sizes more than 1000 times apart, are refused with a
    // message and change nothing.
    void setVoxelSize(const Vector& size, const wxString& unit);
    // The plane posed by the slicer controls, and the camera by the camera controls.
    void poseFromControls();
    void cameraFromControls();
    // Takes back the last filter or window change: the volume as it was before it.
    void undoFilter();
    // Runs a filter over the volume, kept for Undo when memory allows and recorded for
    // window changes; the views refreshed.
    void filterWithUndo(const FilterStep& step);

    // The window: the volume made anew from the originals with lo..hi (in their values),
    // the filters since the load applied again, one step for Undo. A window that is not
    // lo < hi, both finite, is refused with a message; without originals nothing changes.
    void setWindow(double lo, double hi);
    // The window that saturates 0.35 % of the samples, half at each end.
    void autoWindow();
    // Why lo..hi cannot be a window; empty when it can.
    wxString windowProblem(double lo, double hi) const;
    // The work of a window change, undoable as one step or not (the dialog's later changes).
    // lo..hi is taken as it is (the full range may have lo == hi).
    WindowChange changeWindow(double lo, double hi, bool undoable);
    // The volume made from the originals with window lo..hi and the filters since the load;
    // false, the volume as it was, when memory for it cannot be had.
    bool remakeVolume(double lo, double hi);
    // After a load: keeps its originals (null: none) and the window the volume was made with.
    void keepOriginals(std::unique_ptr<Originals> kept, double lo, double hi);
    // The original value at slice pixel (px, py): of the nearest voxel at that point of the
    // plane, with its unit; empty without originals or outside the volume.
    std::string valueAtSlicePixel(int px, int py) const;
    // Before a filter: drops the oldest kept volumes as memory needs; false when the
    // volume from before this filter cannot be kept.
    bool makeRoomForUndo();

    // Measuring over the slice view (measuring.cpp). The View menu, the Scale Bar items,
    // the ruler's mouse and the keys 1 to 3 and Escape, set up by the constructor.
    void buildMeasureTools();
    void unbindMeasureTools();
    // The standard planes greyed where the volume has no patient axes.
    void updateMeasureMenus();
    void OnStandardPlane(wxCommandEvent& event);
    void OnScaleBar(wxCommandEvent& event);         // turns the bar over the slice view on or off
    void OnScaleBarInSaves(wxCommandEvent& event);  // and its drawing into saved images
    void OnSliceLeftDown(wxMouseEvent& event);
    void OnSliceLeftUp(wxMouseEvent& event);
    void OnCharHook(wxKeyEvent& event);
    // Turns the plane (the rotation controls; translation and scale stay) to show a
    // standard plane through its centre: 0 Axial, 1 Coronal, 2 Sagittal (only with
    // patient axes), 3 XY, 4 XZ, 5 YZ.
    void setStandardPlane(int which);
    // The ruler between two points of the slice view (its own pixels, as the mouse gives
    // them): drawn, said in the status bar; returns its length in the voxel size's unit
    // (voxels along x without one), measured in the volume's space.
    double measure(wxPoint from, wxPoint to);
    // During a Ctrl + left drag: the ruler from where it began to pos (view pixels).
    void dragRulerTo(const wxPoint& pos);
    // Drops the ruler and its text.
    void clearRuler();
    // Draws over the slice view what goes over it: the orientation letters, the ruler,
    // the scale bar. dc shows the slice at the volume's size times vpScale.
    void drawSliceOverlay(wxDC& dc);
    // The slice image as it is saved: with the scale bar when scaleBarInSaves.
    wxImage sliceToSave() const;
    // The 3D view (view3d.cpp): the Settings items for the blend, the opacity and the
    // preview, added to the menu by the constructor.
    void addViewSettings();
    // Composite or Maximum for the 3D view from now on; the view marched again.
    void setBlend(Blend b);
    // Alpha from the values through lo..hi (in the unit the status bar shows): the volume
    // made again as a window change makes it, the filters applied again, one step for Undo.
    // lo >= hi or a value that is not a number is refused with a message. A stack of 8-bit
    // images uses its grey levels; where the volume as loaded cannot be kept (memory, or
    // filters run since the load that Undo no longer holds) the ramp is refused, changing nothing.
    void setOpacityRamp(double lo, double hi);
    // Back to the loaded alpha, as an undoable step.
    void setOpaque();
    // Why lo..hi cannot be an opacity ramp; empty when it can.
    wxString opacityProblem(double lo, double hi) const;
    // The work of both: the volume made again with ramp; false when nothing changed.
    bool changeOpacity(const OpacityRamp& ramp);
    // What the status bar says of the ramp: "opacity -300..500 HU".
    wxString opacityText() const;
    // After a load: opaque, nothing kept.
    void resetOpacity();
    // The volume before filters for window lo..hi and the current ramp: the originals
    // remapped, or the kept 8-bit bytes; false when there is neither.
    bool makeBaseVolume(double lo, double hi, voxel* out) const;
    bool canRemakeVolume() const { return originals || loadedBytes; }
    // Undo of a window or opacity step: the volume made with that level's window and ramp.
    bool remakeForUndo(const UndoLevel& level);
    // What making the volume again could not do, said in a message; true when it was made.
    bool reportRemade(const Remade& how);
    // Bytes the system can still give, for Undo's levels; unknown: as good as unlimited.
    int64_t memoryForUndoLevels() const;
    // A camera change in a burst of them, drawn from fewer rays, the full march to follow;
    // false when the preview does not apply (off, at rest, or the full march is fast enough).
    bool previewCamera();
    // The full march replacing a preview (after the rest time or at the drag's end).
    void settleCamera();
    void OnBlend(wxCommandEvent& event);
    void OnOpacity(wxCommandEvent& event);
    void OnPreview(wxCommandEvent& event);

    // b t + (1 - t) a, in double.
    double lerp(int a, int b, double t);

private:
    wxDECLARE_EVENT_TABLE();
};
