#include "testutil.h"

#include <wx/app.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/eventfilter.h>
#include <wx/evtloop.h>
#include <wx/log.h>
#include <wx/utils.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "appFrame.h"
#include "camera.h"
#include "parallel.h"
#include "slicer.h"
#include "voxelmap.h"

namespace testutil {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "slabwright-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

wxImage makeImage(int w, int h, const std::function<voxel(int, int)>& f, bool withAlpha) {
    wxImage img(w, h, false);
    if (withAlpha) img.InitAlpha();
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const voxel v = f(x, y);
            img.SetRGB(x, y, v.r, v.g, v.b);
            if (withAlpha) img.SetAlpha(x, y, v.a);
        }
    return img;
}

std::vector<std::string> writeStack(const std::string& dir, const std::vector<wxImage>& images,
                                    const std::string& name) {
    std::vector<std::string> paths;
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string p = dir + "/" + name + std::to_string(i) + ".png";
        if (!images[i].SaveFile(p, wxBITMAP_TYPE_PNG)) throw std::runtime_error("cannot write " + p);
        paths.push_back(p);
    }
    return paths;
}

void fillMap(voxelmap& map, int w, int h, int d, const std::function<voxel(int, int, int)>& f) {
    if (!map.allocate(w, h, d)) throw std::runtime_error("cannot allocate test volume");
    for (int k = 0; k < d; ++k)
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) map.voxels[map.index(i, j, k)] = f(i, j, k);
}

void randomMap(voxelmap& map, int w, int h, int d, unsigned seed) {
    std::mt19937 rng(seed);
    fillMap(map, w, h, d, [&](int, int, int) {
        const unsigned v = rng();
        return voxel(v & 255, (v >> 8) & 255, (v >> 16) & 255, (v >> 24) & 255);
    });
}

bool sameMap(const voxelmap& a, const voxelmap& b) {
    if (a.loaded != b.loaded) return false;
    if (!a.loaded) return true;
    if (a.width != b.width || a.height != b.height || a.depth != b.depth || a.numVoxels != b.numVoxels) return false;
    if (a.origin.x() != b.origin.x() || a.origin.y() != b.origin.y() || a.origin.z() != b.origin.z()) return false;
    for (int64_t n = 0; n < a.numVoxels; ++n)
        if (a.voxels[n] != b.voxels[n]) return false;
    return true;
}

int64_t wrongVoxels(const voxelmap& map, const std::function<voxel(int, int, int)>& want) {
    if (!map.loaded) return -1;
    int64_t wrong = 0;
    for (int k = 0; k < map.depth; ++k)
        for (int j = 0; j < map.height; ++j)
            for (int i = 0; i < map.width; ++i) wrong += map.voxels[map.index(i, j, k)] != want(i, j, k);
    return wrong;
}

stackio::Outcome buildStack(const std::vector<std::string>& files, voxelmap& map) {
    stackio::Plan plan;
    stackio::Outcome o;
    if (!stackio::plan(files, plan, o.problem)) return o;
    return stackio::build(plan, map, [](int) { return true; });
}

namespace {

AppFrame* theFrame = nullptr;
wxSize frameSize;  // the main window's size when pump() last saw it settled

void pumpOnce() {
    for (int i = 0; i < 3; ++i) {
        wxTheApp->ProcessPendingEvents();
        if (wxEventLoopBase* loop = wxEventLoopBase::GetActive()) loop->YieldFor(wxEVT_CATEGORY_ALL);
        else wxTheApp->Yield(true);
    }
}

void collectTexts(wxWindow* w, std::vector<wxString>& texts) {
    for (wxWindow* child : w->GetChildren()) {
        if (auto* st = dynamic_cast<wxStaticText*>(child)) texts.push_back(st->GetLabel());
        collectTexts(child, texts);
    }
}

}  // namespace

AppFrame* frame() {
    if (!theFrame) {
        if (!wxAppConsole::GetInstance()->IsGUI()) {  // started without a display: no window can be made
            std::fprintf(stderr, "this test needs the main window, hence a display (run it under xvfb-run)\n");
            std::abort();
        }
        theFrame = new AppFrame("Slabwright", wxPoint(150, 100), wxSize(625, 290));  // owned by the toolkit
        frameSize = theFrame->GetSize();
        theFrame->Show(true);
        pump();
    }
    return theFrame;
}

void destroyFrame() {
    if (theFrame) {
        theFrame->Destroy();
        theFrame = nullptr;
        pump();
    }
}

void resetApp() {
    destroyFrame();
    myVoxmap->clear();
    theslicer.reset();
    cam.reset();
    screenImage = wxImage();
    viewportImage = wxImage();
}

void settle(int minFrames) {
    // Counts the paints the toolkit delivers meanwhile.
    struct PaintCounter : wxEventFilter {
        int paints = 0;
        PaintCounter() { wxEvtHandler::AddFilter(this); }
        ~PaintCounter() override { wxEvtHandler::RemoveFilter(this); }
        int FilterEvent(wxEvent& e) override {
            paints += e.GetEventType() == wxEVT_PAINT;
            return Event_Skip;
        }
    } counter;
    for (int n = 0, quiet = 0; n < 100 && (n < minFrames || quiet < 5); ++n) {
        const int before = counter.paints;
        wxMilliSleep(10);
        pumpOnce();
        quiet = counter.paints == before ? quiet + 1 : 0;
    }
}

void pump() {
    pumpOnce();
    // A window that grew is laid out and repainted by GTK on a later frame of its clock,
    // not among the events already waiting.
    if (theFrame && theFrame->GetSize() != frameSize) {
        settle(8);
        frameSize = theFrame->GetSize();
    }
}

voxel pixel(const wxImage& img, int x, int y) {
    return voxel(img.GetRed(x, y), img.GetGreen(x, y), img.GetBlue(x, y), 255);
}

wxImage shown(wxWindow* window) {
    pump();
    const wxSize size = window->GetClientSize();
    wxBitmap bitmap(size.x, size.y);
    {
        wxClientDC source(window);
        wxMemoryDC target(bitmap);
        target.Blit(0, 0, size.x, size.y, &source, 0, 0);
    }
    return bitmap.ConvertToImage();
}

void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
    // Seeds for the fuzz targets: every file written here is kept there too, numbered.
    if (const char* keep = std::getenv("SLABWRIGHT_KEEP_FILES")) {
        static int kept = 0;
        const std::string name = std::filesystem::u8path(path).filename().u8string();
        std::ofstream copy(std::string(keep) + "/" + std::to_string(kept++) + "-" + name, std::ios::binary);
        copy << bytes;
    }
}

std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int64_t statusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stoll(line.substr(prefix.size())) * 1024;
    return -1;
}
namespace {

// Sets the peak resident size back to what is resident now; false if the system cannot.
bool resetPeak() {
    std::ofstream reset("/proc/self/clear_refs");
    reset << "5" << std::flush;
    return bool(reset);
}
// What work() adds to this process's peak; -1 if unknown (work() runs all the same).
int64_t peakHere(const std::function<void()>& work) {
    const int64_t before = resetPeak() ? statusBytes("VmHWM") : -1;
    work();
    const int64_t after = statusBytes("VmHWM");
    return before < 0 || after < 0 ? -1 : after - before;
}

}  // namespace

int64_t peakOf(const std::function<void()>& work, bool inChild) {
    malloc_trim(0);  // what earlier work freed goes back, so the pages work() touches count
    if (!inChild) return peakHere(work);
    stopPool();  // a child has only the forking thread: it starts pool threads of its own
    std::fflush(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return peakHere(work);
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return peakHere(work);
    }
    if (pid == 0) {
        close(fds[0]);
        int64_t grown = -1;
        int code = 0;
        try {
            grown = peakHere(work);
            code = ::testing::Test::HasFailure() ? 1 : 0;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "the measured work threw: %s\n", e.what());
            code = 2;
        }
        const ssize_t written = write(fds[1], &grown, sizeof grown);
        std::fflush(nullptr);
        _exit(written == ssize_t(sizeof grown) ? code : 3);
    }
    close(fds[1]);
    int64_t grown = -1;
    if (read(fds[0], &grown, sizeof grown) != ssize_t(sizeof grown)) grown = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "the measured work failed in its own process (wait status " << status << "; see above)";
    return grown;
}

bool decode(const std::string& path, wxImage& image) {
    // Only regular files hold images (a named pipe would block the read).
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::u8path(path), ec)) return false;
    wxLogNull quiet;
    return image.LoadFile(wxString::FromUTF8(path), wxBITMAP_TYPE_ANY, -1) && image.IsOk();
}

voxel voxelOf(const wxImage& img, int x, int y) {
    return voxel(img.GetRed(x, y), img.GetGreen(x, y), img.GetBlue(x, y), img.HasAlpha() ? img.GetAlpha(x, y) : 255);
}

int NumberAnswer::OnInvoked(wxNumberEntryDialog* dlg) const {
    struct Fields : wxNumberEntryDialog {
        using wxNumberEntryDialog::m_max;
        using wxNumberEntryDialog::m_min;
        using wxNumberEntryDialog::m_value;
    };
    if (check_ != Check::None) {
        EXPECT_EQ(wxString(expected_.caption), dlg->GetTitle());
    }
    if (check_ == Check::All) {
        std::vector<wxString> texts;
        collectTexts(dlg, texts);
        EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), wxString(expected_.message)))
            << "message \"" << expected_.message << "\" not shown";
        EXPECT_NE(texts.end(), std::find(texts.begin(), texts.end(), wxString(expected_.prompt)))
            << "prompt \"" << expected_.prompt << "\" not shown";
        EXPECT_EQ(expected_.value, dlg->*(&Fields::m_value)) << expected_.caption;
        EXPECT_EQ(expected_.min, dlg->*(&Fields::m_min)) << expected_.caption;
        EXPECT_EQ(expected_.max, dlg->*(&Fields::m_max)) << expected_.caption;
    }
    if (answer_ < 0) return wxID_CANCEL;
    dlg->*(&Fields::m_value) = answer_;
    return wxID_OK;
}

AppFrame* asLoaded(int w, int h, int d, const std::function<voxel(int, int, int)>& f, bool march) {
    resetApp();
    AppFrame* app = frame();
    fillMap(*myVoxmap, w, h, d, f);
    cam = std::make_unique<camera>();
    cam->startFor(d);
    viewportImage = wxImage(cam->resolution, cam->resolution);
    if (march) cam->march(myVoxmap, viewportImage);
    theslicer = std::make_unique<slicer>(myVoxmap->origin, w, h);
    screenImage = wxImage(w, h);
    theslicer->evaluateSlice(myVoxmap, screenImage);
    return app;
}

AppFrame* gradedVolume(int w, int h, int d, bool march) { return asLoaded(w, h, d, graded, march); }

void spin(wxSpinCtrl* c, int value, bool mustFit) {
    ASSERT_NE(nullptr, c);
    c->SetValue(value);
    if (mustFit) {
        ASSERT_EQ(c->GetValue(), value) << "outside the control's range";
    }
    wxSpinEvent ev(wxEVT_SPINCTRL, c->GetId());
    ev.SetEventObject(c);
    c->ProcessWindowEvent(ev);  // reaches the frame through the panels
    wxTheApp->ProcessPendingEvents();  // the refresh the handler posted
}

void menu(AppFrame* f, int id) {
    wxCommandEvent ev(wxEVT_MENU, id);
    f->ProcessWindowEvent(ev);
}

wxImage directSlice(Vector t, float rx, float ry, float rz, float sx, float sy, float sz, bool aa) {
    slicer s(myVoxmap->origin, myVoxmap->width, myVoxmap->height);
    s.aaLookups = aa;
    s.setP(t);
    s.setR(rx, ry, rz);
    s.setS(sx, sy, sz);
    wxImage img(myVoxmap->width, myVoxmap->height);
    s.evaluateSlice(myVoxmap, img);
    return img;
}

::testing::AssertionResult sameRGB(const wxImage& a, const wxImage& b) {
    if (!a.IsOk() || !b.IsOk()) return ::testing::AssertionFailure() << "empty image";
    if (a.GetSize() != b.GetSize())
        return ::testing::AssertionFailure() << "size " << a.GetWidth() << "x" << a.GetHeight() << " vs "
                                             << b.GetWidth() << "x" << b.GetHeight();
    const size_t bytes = 3 * size_t(a.GetWidth()) * size_t(a.GetHeight());
    if (std::memcmp(a.GetData(), b.GetData(), bytes) == 0) return ::testing::AssertionSuccess();
    const size_t n = size_t(std::mismatch(a.GetData(), a.GetData() + bytes, b.GetData()).first - a.GetData()) / 3;
    const int x = int(n % size_t(a.GetWidth())), y = int(n / size_t(a.GetWidth()));
    const voxel pa = pixel(a, x, y), pb = pixel(b, x, y);
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") differs: RGB (" << int(pa.r) << ", "
                                         << int(pa.g) << ", " << int(pa.b) << ") vs (" << int(pb.r) << ", "
                                         << int(pb.g) << ", " << int(pb.b) << ")";
}

wxArrayString toArray(const std::vector<std::string>& paths) {
    wxArrayString out;
    for (const std::string& p : paths) out.Add(wxString::FromUTF8(p));
    return out;
}

voxel at(const voxelmap& m, int i, int j, int k) { return m.voxels[m.index(i, j, k)]; }
voxel at(int i, int j, int k) { return at(*myVoxmap, i, j, k); }

void expectExact(const Vector& v, double x, double y, double z) {
    EXPECT_EQ(v.x(), x);
    EXPECT_EQ(v.y(), y);
    EXPECT_EQ(v.z(), z);
}

void expectNear(const Vector& v, double x, double y, double z, double tol) {
    EXPECT_NEAR(v.x(), x, tol);
    EXPECT_NEAR(v.y(), y, tol);
    EXPECT_NEAR(v.z(), z, tol);
}

std::string python(const std::string& script, const std::string& args) {
    const std::string path = std::filesystem::temp_directory_path() / ("slabwright-" + std::to_string(getpid()) + ".py");
    writeBytes(path, script);
    std::string out;
    if (FILE* p = popen(("/usr/bin/python3 " + path + " " + args + " 2>/dev/null").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        if (pclose(p) != 0) out.clear();
    }
    std::filesystem::remove(path);
    return out;
}

}  // namespace testutil
