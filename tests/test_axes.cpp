// The patient's axes as the readers hand them over, against an independent reading of the
// same files: nibabel for NIfTI volumes with rotated and oblique affines written at test
// time, pydicom for real DICOM series; and what a load keeps of them.
#include <gtest/gtest.h>
#include <wx/menu.h>
#include <wx/statusbr.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>

#include "appFrame.h"
#include "orientation.h"
#include "slicer.h"
#include "stackio.h"
#include "testutil.h"
#include "voxelmap.h"

namespace {

// Writes NIfTI files of each kind of orientation into argv[1] and prints, for each, nibabel's
// reading: the name, whether the axes are orthonormal (0 also for none), the nine LPS axes
// (row by row; columns i, j, k) and nibabel's axis codes.
const char* const kNiftiScript = R"(
import sys, numpy as np, nibabel as nib
from nibabel import orientations
out = sys.argv[1]
def rot(axis, deg):
    a = np.asarray(axis, float); a /= np.linalg.norm(a); t = np.radians(deg)
    K = np.array([[0, -a[2], a[1]], [a[2], 0, -a[0]], [-a[1], a[0], 0]])
    return np.eye(3) + np.sin(t) * K + (1 - np.cos(t)) * K @ K
def affine(R, zooms=(2, 2, 3)):
    A = np.eye(4); A[:3, :3] = R @ np.diag(zooms); A[:3, 3] = (-10, 20, 5); return A
data = np.arange(4 * 5 * 6, dtype=np.int16).reshape(4, 5, 6)
cases = {
    "rotated": (affine(rot((0, 0, 1), 90)), 1, affine(rot((0, 0, 1), 90)), 1),
    "oblique": (affine(rot((1, 2, 3), 20)), 2, None, 0),
    "flipped": (affine(np.diag([-1, 1, 1]) @ rot((1, 0, 0), 90)), 1, None, 0),
    "qformonly": (None, 0, affine(rot((0, 1, 0), -30)), 1),
    "disagree": (affine(rot((0, 0, 1), 10)), 1, affine(rot((0, 0, 1), 40)), 1),
    "sheared": (affine(np.array([[1, 0.2, 0], [0, 1, 0], [0, 0, 1]])), 1, None, 0),
    "neither": (None, 0, None, 0),
}
for name, (s, sc, q, qc) in cases.items():
    img = nib.Nifti1Image(data, None)
    img.set_sform(s, code=sc); img.set_qform(q, code=qc)
    nib.save(img, f"{out}/{name}.nii")
    back = nib.load(f"{out}/{name}.nii")
    aff, code = back.header.get_sform(coded=True)
    if not code: aff, code = back.header.get_qform(coded=True)
    if not code:
        print(name, 0, "-"); continue
    M = np.diag([-1, -1, 1]) @ (aff[:3, :3] / np.linalg.norm(aff[:3, :3], axis=0))
    ok = np.allclose(M.T @ M, np.eye(3), atol=1e-3)
    print(name, int(ok), " ".join(f"{v:.9f}" for v in M.flatten()), "".join(orientations.aff2axcodes(aff)))
)";

// Prints, for the DICOM files named, the LPS axes pydicom's reading gives: the row and column
// directions of ImageOrientationPatient, and z from the lowest to the highest slice position
// along their normal (nine numbers, row by row).
// One line of axes for each series of files; the series are separated by "--" (one start of
// python for all: importing pydicom takes longer than reading the files).
const char* const kDicomScript = R"(
import sys, numpy as np, pydicom
series, files = [], []
for a in sys.argv[1:] + ['--']:
    if a == '--':
        if files:
            series.append(files)
        files = []
    else:
        files.append(a)
for files in series:
    ds = [pydicom.dcmread(f, stop_before_pixels=True) for f in files]
    o = np.array(ds[0].ImageOrientationPatient, float)
    row, col = o[:3] / np.linalg.norm(o[:3]), o[3:] / np.linalg.norm(o[3:])
    n = np.cross(row, col)
    if len(ds) > 1:
        p = sorted((np.array(d.ImagePositionPatient, float) for d in ds), key=lambda v: v @ n)
        n = p[-1] - p[0]
    n = n / np.linalg.norm(n)
    print(" ".join(f"{v:.9f}" for v in np.column_stack([row, col, n]).flatten()))
)";

bool plan(const std::string& path, stackio::Plan& p) {
    std::vector<std::string> files;
    std::string problem;
    const bool ok = stackio::expandPaths({path}, files, problem) && stackio::plan(files, p, problem);
    EXPECT_TRUE(ok) << path << ": " << problem;
    return ok;
}

void expectAxes(const double (&got)[3][3], std::istream& expected, const std::string& what) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            double v = 0;
            expected >> v;
            EXPECT_NEAR(got[r][c], v, 1e-5) << what << " [" << r << "][" << c << "]";
        }
}

}  // namespace

TEST(PatientAxes, NiftiAgainstNibabel) {
    testutil::TempDir dir;
    std::istringstream lines(testutil::python(kNiftiScript, dir.path));
    if (lines.str().empty()) GTEST_SKIP() << "python3-nibabel is not installed";
    const struct {
        const char* name;
        const char* note;  // what the load's note says, or ""
    } expected[] = {
        {"rotated", ""},  {"oblique", ""}, {"flipped", ""}, {"qformonly", ""},
        {"disagree", "has a qform and an sform that give different orientations; the sform is used."},
        {"sheared", "has a patient orientation (sform) that is ignored"}, {"neither", ""},
    };
    for (const auto& e : expected) {
        std::string line;
        ASSERT_TRUE(std::getline(lines, line)) << e.name;
        std::istringstream in(line);
        std::string name;
        int orthonormal = 0;
        in >> name >> orthonormal;
        ASSERT_EQ(name, e.name);
        stackio::Plan p;
        if (!plan(dir.file(name + ".nii"), p)) continue;
        EXPECT_EQ(p.hasAxes, orthonormal == 1) << name;
        if (p.hasAxes) {
            expectAxes(p.axes, in, name);
            std::string codes;
            in >> codes;
            ASSERT_EQ(codes.size(), 3u);
            for (int c = 0; c < 3; ++c)  // the letter each axis runs to, as nibabel names it
                EXPECT_EQ(orientation::letters(orientation::column(p.axes, c))[0], codes[size_t(c)]) << name << c;
        }
        const std::string notes = p.notes.empty() ? "" : p.notes[0];
        EXPECT_NE(notes.find(e.note), std::string::npos) << name << ": " << notes;
        EXPECT_EQ(p.notes.size(), *e.note ? 1u : 0u) << name;
    }
}

TEST(PatientAxes, DicomAgainstPydicom) {
    const std::string& pyd = testutil::kPydicomData;
    const std::string ct = std::string(SLABWRIGHT_SOURCE_DIR) + "/samples/scan/ct";
    std::vector<std::string> sources = {ct, pyd + "CT_small.dcm", pyd + "MR_small.dcm", pyd + "dicomdirtests/77654033/CT2",
                                        pyd + "dicomdirtests/98892001/CT5N"};
    // python3-pydicom's files may not be installed.
    sources.erase(std::remove_if(sources.begin(), sources.end(), [](const std::string& s) { return !std::filesystem::exists(s); }),
                  sources.end());
    std::string names;
    for (const std::string& source : sources) {
        std::vector<std::string> files;
        std::string problem;
        ASSERT_TRUE(stackio::expandPaths({source}, files, problem)) << problem;
        for (const std::string& f : files) names += " '" + f + "'";
        names += " --";
    }
    std::istringstream lines(testutil::python(kDicomScript, names));
    if (lines.str().empty()) GTEST_SKIP() << "python3-pydicom is not installed";
    for (const std::string& source : sources) {
        std::string line;
        std::getline(lines, line);
        std::istringstream expected(line);
        stackio::Plan p;
        if (!plan(source, p)) continue;
        ASSERT_TRUE(p.hasAxes) << source;
        expectAxes(p.axes, expected, source);
    }
    // Plain images say nothing of a patient.
    testutil::TempDir dir;
    const auto png = testutil::writeStack(dir.path, {testutil::makeImage(4, 4, [](int, int) { return voxel(1, 2, 3, 255); }, false)});
    stackio::Plan p;
    ASSERT_TRUE(plan(png[0], p));
    EXPECT_FALSE(p.hasAxes);
}

using LoadedAxes = testutil::AppTest;

// A load hands the axes to the volume, a reduced one too; the patient planes and the ruler
// then work on the real scans (the CT series and the NIfTI head).
TEST_F(LoadedAxes, RealScansFullAndReduced) {
    const Vector named[3] = {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}};  // axial, coronal, sagittal seen from S, P, R
    for (const char* sample : {"/samples/scan/ct", "/samples/nifti/head-128x96x24.nii.gz"}) {
        const std::string path = std::string(SLABWRIGHT_SOURCE_DIR) + sample;
        stackio::Plan p;
        ASSERT_TRUE(plan(path, p));
        ASSERT_TRUE(p.hasAxes) << sample;
        for (int reduce : {1, 2}) {
            SCOPED_TRACE(std::string(sample) + " at 1/" + std::to_string(reduce));
            AppFrame* f = testutil::frame();
            testutil::MessageLog answered;  // the load's notes, if any
            f->loadStack(testutil::toArray({path}), reduce);
            ASSERT_TRUE(myVoxmap->loaded && myVoxmap->hasAxes);
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c) EXPECT_EQ(myVoxmap->axes[r][c], p.axes[r][c]);
            EXPECT_TRUE(f->viewMenu->IsEnabled(ID_SAGITTAL));
            for (int plane = 0; plane < 3; ++plane) {
                f->setStandardPlane(plane);
                // right x down in the patient (the head's axes are left-handed: LAS)
                const auto& a = myVoxmap->axes;
                const Vector right = orientation::toPatient(a, theslicer->patch->getP10() - theslicer->patch->getP00());
                const Vector down = orientation::toPatient(a, theslicer->patch->getP01() - theslicer->patch->getP00());
                EXPECT_GT(right.cross(down).normal().dot(named[plane]), 0.9998) << plane;
            }
            // 100 view pixels are 100 / vpScale slice pixels of one voxel's x size each.
            EXPECT_NEAR(f->measure(wxPoint(10, 20), wxPoint(110, 20)), 100.0 / f->vpScale * myVoxmap->voxelSize.x(),
                        1e-4);
            // A saved volume cannot keep them, and the status bar says so.
            testutil::TempDir dir;
            ASSERT_TRUE(f->saveVolume(dir.file("volume.tif")));
            EXPECT_EQ(f->GetStatusBar()->GetStatusText(0),
                      "Volume saved without its patient orientation: TIFF and PNG files have no place for it.");
            testutil::resetApp();
        }
    }
}
