// End to end: the real program on the test display, driven with the keyboard the way a
// user drives it, and checked on screenshots.
#include <gtest/gtest.h>
#include <wx/image.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs a shell command; returns its exit status and, in *out, its standard output.
int run(const std::string& command, std::string* out = nullptr) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    const int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls check every 200 ms until it holds or the deadline passes.
bool waitFor(int seconds, const std::function<bool()>& check) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (check()) return true;
        if (Clock::now() > deadline) return false;
        pause(200);
    }
}

// The program started as a child process from the source folder; killed if the test
// ends while it still runs.
class Program {
public:
    // args: the command line after the program's name.
    explicit Program(const std::string& log, const std::vector<std::string>& args = {}) {
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(SLABWRIGHT_SOURCE_DIR) != 0) _exit(126);
            const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            std::vector<char*> argv = {const_cast<char*>("slabwright")};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(SLABWRIGHT_BINARY, argv.data());
            _exit(127);
        }
    }
    ~Program() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    pid_t pid() const { return pid_; }

    // The exit status, or -1 if the program is still running after `seconds` (it is then killed).
    int waitExit(int seconds) {
        int status = 0;
        const bool done = waitFor(seconds, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; });
        if (!done) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
};

// The visible top-level window of pid titled exactly `title`, or "" after the timeout.
std::string findWindow(pid_t pid, const std::string& title, int seconds) {
    std::string out;
    run("timeout " + std::to_string(seconds) + " xdotool search --sync --onlyvisible --pid " + std::to_string(pid) +
            " --name '^" + title + "$'",
        &out);
    std::istringstream lines(out);
    std::string id;
    lines >> id;
    return id;
}

bool windowShown(const std::string& title) {
    std::string out;
    return run("xdotool search --onlyvisible --name '^" + title + "$'", &out) == 0 && !out.empty();
}

wxRect geometry(const std::string& window) {
    std::string out;
    run("xdotool getwindowgeometry --shell " + window, &out);
    std::map<std::string, int> values;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return wxRect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
}

// The whole screen; also kept in `path` for a look after a failure.
wxImage screenshot(const std::string& path) {
    wxImage shot;
    if (run("import -window root " + path) == 0) shot.LoadFile(path, wxBITMAP_TYPE_PNG);
    return shot;
}

// Keys to the program's main window, through the keyboard focus like a user's typing.
void keys(const std::string& window, const std::string& sequence) {
    run("timeout 5 xdotool windowfocus --sync " + window);
    pause(200);
    run("xdotool key --delay 150 " + sequence);
}

bool samePixel(const wxImage& a, int ax, int ay, const wxImage& b, int bx, int by) {
    return a.GetRed(ax, ay) == b.GetRed(bx, by) && a.GetGreen(ax, ay) == b.GetGreen(bx, by) &&
           a.GetBlue(ax, ay) == b.GetBlue(bx, by);
}

// Where in `area` of the screenshot the top-left block of picture appears; (-1, -1) if nowhere.
wxPoint find(const wxImage& shot, const wxRect& area, const wxImage& picture) {
    const int block = 48;
    const wxRect within = area.Intersect(wxRect(0, 0, shot.GetWidth() - block, shot.GetHeight() - block));
    for (int y = within.y; y < within.GetBottom(); ++y)
        for (int x = within.x; x < within.GetRight(); ++x) {
            bool match = true;
            for (int j = 0; j < block && match; ++j)
                for (int i = 0; i < block && match; ++i) match = samePixel(shot, x + i, y + j, picture, i, j);
            if (match) return wxPoint(x, y);
        }
    return wxPoint(-1, -1);
}

// Where the screenshot shows picture stretched by scale (each pixel a scale x scale
// square), checked at each square's centre; (-1, -1) if nowhere. Pixels unlike the
// picture's first one are checked first, so most places are passed over at once.
wxPoint findScaled(const wxImage& shot, const wxImage& picture, int scale) {
    std::vector<wxPoint> order;
    for (int y = 0; y < picture.GetHeight(); ++y)
        for (int x = 0; x < picture.GetWidth(); ++x) order.emplace_back(x, y);
    std::stable_partition(order.begin(), order.end(),
                          [&](const wxPoint& q) { return !samePixel(picture, q.x, q.y, picture, 0, 0); });
    const int w = picture.GetWidth() * scale, h = picture.GetHeight() * scale;
    for (int y = 0; y + h <= shot.GetHeight(); ++y)
        for (int x = 0; x + w <= shot.GetWidth(); ++x) {
            bool match = true;
            for (size_t n = 0; n < order.size() && match; ++n)
                match = samePixel(shot, x + order[n].x * scale + scale / 2, y + order[n].y * scale + scale / 2, picture,
                                  order[n].x, order[n].y);
            if (match) return wxPoint(x, y);
        }
    return wxPoint(-1, -1);
}

std::string describe(const wxImage& shot, wxPoint p) {
    if (!shot.IsOk() || p.x < 0 || p.y < 0 || p.x >= shot.GetWidth() || p.y >= shot.GetHeight()) return "(outside)";
    std::ostringstream s;
    s << "(" << int(shot.GetRed(p.x, p.y)) << "," << int(shot.GetGreen(p.x, p.y)) << "," << int(shot.GetBlue(p.x, p.y))
      << ")";
    return s.str();
}

struct Started {
    std::string window;
    wxRect frame;
    wxPoint left, right;  // client origins of the 3D view and the slice view
};

// Starts the program and waits until both placeholder pictures are on screen: the 3D one
// in the left half of the window, the slice one in the right half.
void start(Program& program, const testutil::TempDir& dir, Started& s) {
    s.window = findWindow(program.pid(), "Slabwright", 30);
    ASSERT_FALSE(s.window.empty()) << "no window titled Slabwright appeared; see " << dir.file("program.log");
    s.frame = geometry(s.window);
    ASSERT_GT(s.frame.width, 300) << "window geometry of " << s.window;

    wxImage pic3d, pic2d;
    ASSERT_TRUE(pic3d.LoadFile(SLABWRIGHT_SOURCE_DIR "/images/novoxmap3d.png", wxBITMAP_TYPE_PNG));
    ASSERT_TRUE(pic2d.LoadFile(SLABWRIGHT_SOURCE_DIR "/images/novoxmap2d.png", wxBITMAP_TYPE_PNG));
    wxRect leftHalf = s.frame, rightHalf = s.frame;
    leftHalf.width /= 2;
    rightHalf.x += rightHalf.width / 2;
    rightHalf.width -= rightHalf.width / 2;
    const std::string shotPath = dir.file("start.png");
    wxImage shot;
    const bool seen = waitFor(15, [&] {
        shot = screenshot(shotPath);
        if (!shot.IsOk()) return false;
        s.left = find(shot, leftHalf, pic3d);
        s.right = find(shot, rightHalf, pic2d);
        return s.left.x >= 0 && s.right.x >= 0;
    });
    ASSERT_TRUE(shot.IsOk()) << "no screenshot (is ImageMagick's import installed?)";
    if (!seen) {
        const std::string kept = "/tmp/slabwright-e2e-start.png";
        shot.SaveFile(kept, wxBITMAP_TYPE_PNG);
        const wxPoint centre = s.frame.GetPosition() + wxPoint(s.frame.width / 2, s.frame.height / 2);
        FAIL() << "placeholders not found: 3D at " << s.left.x << "," << s.left.y << ", slice at " << s.right.x << ","
               << s.right.y << "; window at " << s.frame.x << "," << s.frame.y << ", " << s.frame.width << " x "
               << s.frame.height << ", pixel at its centre " << describe(shot, centre) << "; screenshot kept as "
               << kept;
    }
    EXPECT_LT(s.left.x, s.right.x);
}

// File, Exit through the menu; the program must end with status 0.
void exitThroughTheMenu(Program& program, const Started& s) {
    keys(s.window, "alt+f");
    pause(500);
    run("xdotool key x");
    const int status = program.waitExit(15);
    EXPECT_EQ(status, 0) << (status == -1 ? "the program did not exit within 15 s" : "exit status");
}

}  // namespace

TEST(EndToEnd, StartsWithBothPlaceholdersAndExitsThroughTheMenu) {
    testutil::destroyFrame();  // only the program's window on the display
    testutil::TempDir dir;
    Program program(dir.file("program.log"));
    ASSERT_GT(program.pid(), 0);
    Started s;
    start(program, dir, s);
    if (HasFatalFailure()) return;
    exitThroughTheMenu(program, s);
}

TEST(EndToEnd, LoadsTheSampleStackThroughTheFileDialog) {
    testutil::destroyFrame();
    testutil::TempDir dir;
    wxImage first;
    ASSERT_TRUE(first.LoadFile(SLABWRIGHT_SOURCE_DIR "/samples/layer00.png", wxBITMAP_TYPE_PNG));
    ASSERT_EQ(first.GetSize(), wxSize(64, 64));
    Program program(dir.file("program.log"));
    ASSERT_GT(program.pid(), 0);
    Started s;
    start(program, dir, s);
    if (HasFatalFailure()) return;

    // File, Load; in the file chooser type the folder, then take every file in it.
    keys(s.window, "alt+f");
    pause(500);
    run("xdotool key l");
    ASSERT_TRUE(waitFor(15, [] { return windowShown("Load Images"); })) << "the Load Images dialog did not open";
    pause(500);
    run("xdotool key ctrl+l");
    pause(500);
    run("xdotool type --delay 30 '" SLABWRIGHT_SOURCE_DIR "/samples/'");
    pause(300);
    run("xdotool key Return");
    pause(1500);  // the chooser lists the folder
    run("xdotool key ctrl+a");
    pause(300);
    run("xdotool key Return");
    ASSERT_TRUE(waitFor(15, [] { return !windowShown("Load Images"); })) << "the Load Images dialog stayed open";

    // The slice view shows the first image at the scale the load fitted to the screen (more
    // than the start's 2 for a volume this small); the 3D view, left of it, shows the volume.
    const std::string shotPath = dir.file("loaded.png");
    wxImage shot;
    int scale = 0, lit = -1;
    wxPoint at(-1, -1);
    const bool shown = waitFor(20, [&] {
        shot = screenshot(shotPath);
        if (!shot.IsOk()) return false;
        for (scale = 64; scale >= 1; --scale)
            if ((at = findScaled(shot, first, scale)).x >= 0) break;
        if (at.x < 0) return false;
        lit = 0;
        const int side = 64 * scale;
        for (int y = at.y; y < at.y + side; ++y)
            for (int x = std::max(0, at.x - side - 30); x < at.x - 10; ++x)
                if (shot.GetRed(x, y) || shot.GetGreen(x, y) || shot.GetBlue(x, y)) ++lit;
        return scale > 2 && lit > 0;
    });
    if (!shown) {
        // Keep the screenshot for a look.
        const std::string kept = "/tmp/slabwright-e2e-loaded.png";
        shot.SaveFile(kept, wxBITMAP_TYPE_PNG);
        ADD_FAILURE() << "after the load: samples/layer00.png found at " << at.x << "," << at.y << " at scale " << scale
                      << "); 3D view non-black pixels: " << lit << "; screenshot kept as " << kept;
    }
    exitThroughTheMenu(program, s);
}

TEST(EndToEnd, OpensTheStackNamedOnTheCommandLine) {
    testutil::destroyFrame();
    testutil::TempDir dir;
    wxImage first;
    ASSERT_TRUE(first.LoadFile(SLABWRIGHT_SOURCE_DIR "/samples/layer00.png", wxBITMAP_TYPE_PNG));
    const wxImage twice = first.Scale(2 * first.GetWidth(), 2 * first.GetHeight());  // as the slice view shows it
    // Paths relative to the working directory (the source folder).
    Program program(dir.file("program.log"), {"samples/layer00.png", "samples/layer01.png"});
    ASSERT_GT(program.pid(), 0);
    const std::string window = findWindow(program.pid(), "Slabwright", 30);
    ASSERT_FALSE(window.empty()) << "no window titled Slabwright appeared; see " << dir.file("program.log");
    const wxRect frame = geometry(window);
    wxRect rightHalf = frame;
    rightHalf.x += rightHalf.width / 2;
    rightHalf.width -= rightHalf.width / 2;
    wxImage shot;
    const bool shown = waitFor(20, [&] {
        shot = screenshot(dir.file("loaded.png"));
        return shot.IsOk() && find(shot, rightHalf, twice).x >= 0;
    });
    if (!shown) shot.SaveFile("/tmp/slabwright-e2e-cmdline.png", wxBITMAP_TYPE_PNG);
    EXPECT_TRUE(shown) << "the slice view does not show samples/layer00.png; screenshot kept as /tmp/slabwright-e2e-cmdline.png";
    Started s;
    s.window = window;
    exitThroughTheMenu(program, s);
}

// The command line as programs have it: --help and --version answer and exit 0, a mistake
// prints the usage and exits 2; none of them needs a display or opens a window.
TEST(EndToEnd, CommandLineAnswersWithoutAWindow) {
    struct Case {
        const char* args;
        int status;
        std::vector<const char*> says;
    };
    const Case cases[] = {
        // One way of writing the option throughout: the usage line and the list agree.
        {"--help", 0, {"Usage:", "[--reduce K]", "  --reduce K ", "--version", "PATH", "DICOM", "NIfTI", "OME-Zarr",
                       "  --level N ", "  --region BOX "}},
        {"-h", 0, {"Usage:"}},
        {"--version", 0, {"Slabwright 1.0"}},
        {"--frobnicate samples", 2, {"frobnicate", "Usage:"}},
        {"--reduce 3 samples", 2, {"--reduce takes 2, 4, 8 or 16, not 3.", "Usage:"}},
        {"--reduce x samples", 2, {"Usage:"}},
        {"--level -1 a.zarr", 2, {"--level takes a number from 0, not -1.", "Usage:"}},
        {"--region 5:2,0:1,0:1 a.zarr", 2, {"--region: The region \"5:2,0:1,0:1\" is empty along x", "Usage:"}},
        {"--level 1 a.zarr b.zarr", 2, {"--level and --region take one image."}},
    };
    for (const Case& c : cases) {
        std::string out;
        // No display: the toolkit cannot start, so an answer proves it was never asked to.
        const int status = run("{ env -u DISPLAY -u WAYLAND_DISPLAY timeout 20 " + std::string(SLABWRIGHT_BINARY) +
                                   " " + c.args + " 2>&1; }",
                               &out);
        EXPECT_EQ(status, c.status) << c.args << ": " << out;
        for (const char* words : c.says) EXPECT_NE(out.find(words), std::string::npos) << c.args << ": " << out;
    }
}
