#!/usr/bin/python3
"""Times the closest operations of OpenCV and VTK on the volume our benchmark dumped,
and prints them against our own figures.

Run by bench/peers.sh (under xvfb-run, with Debian's /usr/bin/python3):
    peers.py --log BENCH_OUTPUT --volume DUMPED_VOLUME --bench SLABWRIGHT_BENCH
             [--reps R] [--rounds N] [--save DIR]

The machine may be shared, so our kernels and the peers' are timed alternately: each
round runs our benchmark again (fast kernels only, the same volume from the same
seed, checked by its checksum) and then every peer operation. Each figure is the
minimum over all rounds (ours also over the full run that wrote the log).
"""
import argparse
import math
import os
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import cv2
import vtk
from vtk.util import numpy_support


def parse_lines(text):
    """RESULT lines by kernel, and the other tagged lines (DUMP, PLANE, CAMERA, INFO) as dicts."""
    results, lines = {}, {}
    for line in text.splitlines():
        words = line.split()
        if not words or words[0] not in ("RESULT", "DUMP", "PLANE", "CAMERA", "INFO"):
            continue
        fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)
        if words[0] == "RESULT":
            results[fields["kernel"]] = fields
        else:
            lines.setdefault(words[0], {}).update(fields)
    return results, lines


def min_time(fn, reps, warmup=1, min_total=0.3):
    """Minimum wall time in ms of fn over at least reps runs (after warm-up runs),
    continuing until the runs add up to min_total seconds (at most 200 runs)."""
    for _ in range(warmup):
        fn()
    best, total, n = float("inf"), 0.0, 0
    while n < reps or (total < min_total and n < 200):
        t0 = time.perf_counter()
        fn()
        t = time.perf_counter() - t0
        best, total, n = min(best, t), total + t, n + 1
    return best * 1000.0


def vec(s):
    return [float(x) for x in s.split(",")]


def checksum(vol):
    """Sum of the volume's 64-bit little-endian words modulo 2^64, as the benchmark prints it."""
    return int(vol.reshape(-1).view("<u8").sum(dtype=np.uint64))


def image_data(array, origin=(0.0, 0.0, 0.0)):
    """A vtkImageData over a (D, H, W[, C]) uint8 array (kept alive with the image)."""
    d, h, w = array.shape[:3]
    comps = array.shape[3] if array.ndim == 4 else 1
    flat = np.ascontiguousarray(array).reshape(-1, comps) if comps > 1 else np.ascontiguousarray(array).ravel()
    scalars = numpy_support.numpy_to_vtk(flat, deep=False, array_type=vtk.VTK_UNSIGNED_CHAR)
    scalars.SetNumberOfComponents(comps)
    img = vtk.vtkImageData()
    img.SetDimensions(w, h, d)
    img.SetSpacing(1.0, 1.0, 1.0)
    img.SetOrigin(*origin)
    img.GetPointData().SetScalars(scalars)
    img._keep = flat  # the VTK array borrows this memory
    return img


# ---- The peer operations: each set-up returns (description, run) ----

def box_blur_opencv(vol, r, split):
    """k x k box mean per layer, then a box mean of k along z (cv2.blur, zero borders);
    with split, the layers and then the z pass's column bands go to one Python thread
    per core (cv2 releases the GIL)."""
    k = 2 * r + 1
    d = vol.shape[0]
    tmp = np.empty_like(vol)
    out = np.empty_like(vol)
    tmp2d, out2d = tmp.reshape(d, -1), out.reshape(d, -1)
    cols = tmp2d.shape[1]
    cores = os.cpu_count() or 1
    pool = ThreadPoolExecutor(cores) if split else None

    def layers(z0, z1):
        for z in range(z0, z1):
            cv2.blur(vol[z], (k, k), dst=tmp[z], borderType=cv2.BORDER_CONSTANT)

    def zband(c0, c1):
        cv2.blur(tmp2d[:, c0:c1], (1, k), dst=out2d[:, c0:c1], borderType=cv2.BORDER_CONSTANT)

    def run():
        if split:
            list(pool.map(lambda t: layers(d * t // cores, d * (t + 1) // cores), range(cores)))
            list(pool.map(lambda t: zband(cols * t // cores, cols * (t + 1) // cores), range(cores)))
        else:
            layers(0, d)
            zband(0, cols)

    if split:
        desc = f"cv2.blur {k}x{k} per layer + {k} along z, split over {cores} Python threads"
    else:
        desc = f"cv2.blur {k}x{k} per layer + {k} along z, one call per layer"
    return desc, run


def sobel_vtk(vol):
    """vtkImageSobel3D + vtkImageMagnitude on each of the four channels (split into
    single-component images beforehand, outside the timing)."""
    pipes = []
    for c in range(4):
        img = image_data(np.ascontiguousarray(vol[..., c]))
        sobel = vtk.vtkImageSobel3D()
        sobel.SetInputData(img)
        mag = vtk.vtkImageMagnitude()
        mag.SetInputConnection(sobel.GetOutputPort())
        pipes.append((img, sobel, mag))

    def run():
        for _, sobel, mag in pipes:
            sobel.Modified()
            mag.Update()

    s = pipes[0][1]
    return f"vtkImageSobel3D + vtkImageMagnitude x 4 channels, threads {s.GetNumberOfThreads()}, SMP {s.GetEnableSMP()}", run


def reslice_vtk(img, plane, mode):
    """vtkImageReslice of the RGBA volume into the benchmark's oblique plane."""
    w, h = int(plane["width"]), int(plane["height"])
    o, du, dv = vec(plane["origin"]), vec(plane["du"]), vec(plane["dv"])
    n = np.cross(du, dv)
    n = n / np.linalg.norm(n)
    # Our nearest lookup truncates; VTK's rounds: half a voxel shifts one onto the other.
    shift = -0.5 if mode == "nearest" else 0.0
    axes = vtk.vtkMatrix4x4()
    for i in range(3):
        axes.SetElement(i, 0, du[i])
        axes.SetElement(i, 1, dv[i])
        axes.SetElement(i, 2, n[i])
        axes.SetElement(i, 3, o[i] + shift)
    rs = vtk.vtkImageReslice()
    rs.SetInputData(img)
    rs.SetResliceAxes(axes)
    rs.SetOutputSpacing(1.0, 1.0, 1.0)
    rs.SetOutputOrigin(0.0, 0.0, 0.0)
    rs.SetOutputExtent(0, w - 1, 0, h - 1, 0, 0)
    rs.SetBackgroundColor(0, 0, 0, 0)
    if mode == "nearest":
        rs.SetInterpolationModeToNearestNeighbor()
    else:
        rs.SetInterpolationModeToLinear()

    def run():
        rs.Modified()
        rs.Update()

    def picture():
        run()
        return numpy_support.vtk_to_numpy(rs.GetOutput().GetPointData().GetScalars()).reshape(h, w, 4)[..., :3]

    desc = f"vtkImageReslice {mode}, threads {rs.GetNumberOfThreads()}, SMP {rs.GetEnableSMP()}"
    return desc, run, picture


def raycast_vtk(lowvol, camera):
    """vtkFixedPointVolumeRayCastMapper on the low-alpha RGBA volume (RGB used as is,
    alpha through a 0..255 -> 0..1 opacity ramp), resolution x resolution window,
    sample distance = our step, from the load's start pose."""
    d, h, w = lowvol.shape[:3]
    # A voxel spans (1, sy/sx, sz/sx) world units, as ours does (1, 1, 1 for cubes).
    sx, sy, sz = vec(camera.get("spacing", "1,1,1"))
    img = image_data(lowvol, origin=(-w * sx / 2.0, -h * sy / 2.0, 100.0))
    img.SetSpacing(sx, sy, sz)
    mapper = vtk.vtkFixedPointVolumeRayCastMapper()
    mapper.SetInputData(img)
    mapper.AutoAdjustSampleDistancesOff()
    mapper.SetSampleDistance(float(camera["step"]))
    mapper.SetImageSampleDistance(1.0)
    opacity = vtk.vtkPiecewiseFunction()
    opacity.AddPoint(0, 0.0)
    opacity.AddPoint(255, 1.0)
    prop = vtk.vtkVolumeProperty()
    prop.IndependentComponentsOff()  # 4 components: RGB direct, the 4th through the opacity ramp
    prop.SetScalarOpacity(opacity)
    prop.SetScalarOpacityUnitDistance(1.0)
    prop.ShadeOff()
    prop.SetInterpolationTypeToNearest()
    volume = vtk.vtkVolume()
    volume.SetMapper(mapper)
    volume.SetProperty(prop)
    ren = vtk.vtkRenderer()
    ren.SetBackground(0, 0, 0)
    ren.AddVolume(volume)
    res = int(camera["resolution"])
    win = vtk.vtkRenderWindow()
    win.SetSize(res, res)
    win.AddRenderer(ren)
    cam = ren.GetActiveCamera()
    cam.SetPosition(*vec(camera["eye"]))
    cam.SetFocalPoint(*vec(camera["lookat"]))
    cam.SetViewUp(0, -1, 0)
    # Our image plane lies zoom in front of the eye and spans 2 units: half-angle atan(1 / zoom).
    cam.SetViewAngle(2 * math.degrees(math.atan(1.0 / float(camera["zoom"]))))
    ren.ResetCameraClippingRange()
    win.Render()
    win.Render()

    def picture():
        grab = vtk.vtkWindowToImageFilter()
        grab.SetInput(win)
        grab.Update()
        pic = numpy_support.vtk_to_numpy(grab.GetOutput().GetPointData().GetScalars())
        return pic.reshape(res, res, -1)[::-1, :, :3]  # VTK's rows run bottom to top

    keep = (img, mapper, prop, volume, ren, opacity)
    win._keep = keep
    desc = f"vtkFixedPointVolumeRayCastMapper render, threads {mapper.GetNumberOfThreads()}"
    return desc, win.Render, picture


def lit(pic):
    return float((pic.max(axis=2) > 0).mean())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--log", required=True, help="output of slabwright_bench --dump PATH")
    ap.add_argument("--volume", required=True, help="the dumped volume")
    ap.add_argument("--bench", required=True, help="the slabwright_bench program, for the alternating rounds")
    ap.add_argument("--reps", type=int, default=5, help="timed runs per figure and round (minimum taken)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of ours-then-peers")
    ap.add_argument("--bench-args", default="", help="more options for our benchmark, e.g. '--size 128 --threads 1'")
    ap.add_argument("--save", help="folder for the pictures of both ray casts (PNG)")
    args = ap.parse_args()

    with open(args.log) as f:
        results0, lines = parse_lines(f.read())
    dims = lines["DUMP"]
    w, h, d = int(dims["width"]), int(dims["height"]), int(dims["depth"])
    vol = np.fromfile(args.volume, dtype=np.uint8)
    assert vol.size == w * h * d * 4, "the volume file does not match the benchmark's dimensions"
    vol = vol.reshape(d, h, w, 4)
    expected = int(lines["INFO"]["volume_checksum"])
    assert checksum(vol) == expected, "the dumped volume is not the one the benchmark timed"

    print(f"Peers on the same {w} x {h} x {d} RGBA volume (checksum {expected}); cores {os.cpu_count()}; "
          f"OpenCV {cv2.__version__} (cv2.getNumThreads() = {cv2.getNumThreads()}, left at its default), "
          f"VTK {vtk.vtkVersion.GetVTKVersion()} (SMP backend {vtk.vtkSMPTools.GetBackend()}, "
          f"default threads {vtk.vtkMultiThreader.GetGlobalDefaultNumberOfThreads()})")

    # Set-up, untimed. Each comparison: (name, our kernel, our field, description, run).
    comparisons = []
    for r in (1, 2, 3):
        if f"blur{r}" in results0:
            for split in (False, True):
                desc, run = box_blur_opencv(vol, r, split)
                name = f"blur{r}_vs_opencv_box" + ("_split" if split else "")
                comparisons.append((name, f"blur{r}", "kernel_ms", desc, run))
    if "edges" in results0:
        desc, run = sobel_vtk(vol)
        comparisons.append(("edges_vs_vtk_sobel", "edges", "kernel_ms", desc, run))
    pictures = {}
    if "PLANE" in lines and "slice_nearest" in results0:
        img4 = image_data(vol)
        for mode, ours in (("nearest", "slice_nearest"), ("linear", "slice_linear")):
            desc, run, picture = reslice_vtk(img4, lines["PLANE"], mode)
            comparisons.append((f"{ours}_vs_vtk_reslice", ours, "fast_ms", desc, run))
            pictures[ours] = picture
    if "CAMERA" in lines and "march" in results0:
        low = vol.copy()
        low[..., 3] &= 3
        desc, run, picture = raycast_vtk(low, lines["CAMERA"])
        comparisons.append(("march_vs_vtk_raycast", "march", "fast_ms", desc, run))
        pictures["march"] = picture

    # Our filters are compared by their kernels alone (no dialog, no display); the
    # slices and the march by their fast times.
    def ours_times(res):
        return {kernel: float(res[kernel][field]) for _, kernel, field, _, _ in comparisons}

    ours_min = ours_times(results0)
    dialog_min = float(results0["dialog"]["ms"])
    ours_cpu = {k: float(v["cpu_ms"]) for k, v in results0.items() if "cpu_ms" in v}
    threads = int(lines["INFO"]["threads"])
    peer_best = {c[0]: float("inf") for c in comparisons}
    kernels = sorted({"blur" if c[1].startswith("blur") else c[1].split("_")[0] for c in comparisons})
    for rnd in range(1, args.rounds + 1):
        cmd = [args.bench, "--no-plain", "--reps", str(args.reps), "--only", ",".join(kernels)]
        cmd += args.bench_args.split()
        out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
        res, info = parse_lines(out)
        assert int(info["INFO"]["volume_checksum"]) == expected, "our benchmark made another volume"
        load = info["INFO"].get("load", "?")
        for kernel, ms in ours_times(res).items():
            ours_min[kernel] = min(ours_min[kernel], ms)
        dialog_min = min(dialog_min, float(res["dialog"]["ms"]))
        for k, v in res.items():
            if "cpu_ms" in v:
                ours_cpu[k] = min(ours_cpu[k], float(v["cpu_ms"]))
        parts = []
        for name, kernel, field, desc, run in comparisons:
            theirs = min_time(run, args.reps, min_total=0.5 if "slice" in name else 0.3)
            peer_best[name] = min(peer_best[name], theirs)
            parts.append(f"{name} {float(res[kernel][field]):.2f}/{theirs:.2f}")
        print(f"round {rnd} (load {load}), ours/peer in ms: " + ", ".join(parts))

    print(f"\nMinimum over the full run and the rounds. Our filters: their kernels alone (the dialog alone, "
          f"timed apart: {dialog_min:.1f} ms); in brackets the CPU time of the whole filter's "
          f"threads divided by the {threads} threads.")
    for name, kernel, field, desc, run in comparisons:
        theirs = peer_best[name]
        ours = ours_min[kernel]
        extra = f"; [{ours_cpu[kernel] / threads:.2f} ms]" if kernel in ours_cpu else ""
        ratio = theirs / ours
        verdict = "ours faster" if ours < theirs else "ours slower"
        print(f"{name}: ours {ours:.2f} ms ({kernel}{extra}) vs {theirs:.2f} ms ({desc}): peer/ours = {ratio:.2f} "
              f"-> {verdict}")
        cpu = f" ours_cpu_per_thread_ms={ours_cpu[kernel] / threads:.3f}" if kernel in ours_cpu else ""
        print(f"PEER kernel={name} ours_ms={ours:.3f} peer_ms={theirs:.3f} peer_over_ours={ratio:.3f}{cpu}")

    # The pictures say that both sides computed the same thing.
    res = int(lines["CAMERA"]["resolution"]) if "CAMERA" in lines else 0
    for ours_name, picture in pictures.items():
        path = f"{args.volume}.{ours_name}.rgb"
        if not os.path.exists(path):
            continue
        theirs = picture()
        mine = np.fromfile(path, dtype=np.uint8).reshape(theirs.shape)
        if ours_name == "march":
            print(f"march pictures: ours lights {100*lit(mine):.0f}% of its pixels, VTK {100*lit(theirs):.0f}% "
                  f"(same framing; VTK composites without truncating each step, so it is brighter)")
            if args.save:
                cv2.imwrite(os.path.join(args.save, "ours_march.png"), np.ascontiguousarray(mine[..., ::-1]))
                cv2.imwrite(os.path.join(args.save, "vtk_raycast.png"), np.ascontiguousarray(theirs[..., ::-1]))
        else:
            diff = np.abs(theirs.astype(int) - mine.astype(int)).max(axis=2)
            print(f"{ours_name} against VTK's: {100*float((diff == 0).mean()):.1f}% of pixels equal, "
                  f"{100*float((diff <= 1).mean()):.1f}% within 1, {100*float((diff <= 3).mean()):.1f}% within 3")
    return 0


if __name__ == "__main__":
    sys.exit(main())
