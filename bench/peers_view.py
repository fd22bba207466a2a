#!/usr/bin/python3
"""The 3D view against VTK's fixed-point ray caster, in the same minutes.

    xvfb-run -a -s "-screen 0 1280x1024x24" /usr/bin/python3 bench/peers_view.py \\
        --bench build-bench/slabwright_bench_view [--reps R] [--rounds N]

Runs slabwright_bench_view (which dumps its CT-like volumes), then, in rounds, VTK's
vtkFixedPointVolumeRayCastMapper on the same RGBA Bone volume (512 x 512 rays, sample
distance 1, nearest sampling, RGB as is, alpha through a 0..255 -> 0..1 ramp, from our
start pose) and its maximum-intensity mode on the grey 256^3 volume (256 x 256 rays),
and our benchmark again; each side's figure is its minimum. Needs python3-vtk9.
"""
import argparse
import math
import subprocess
import tempfile
import time

import numpy as np
import vtk
from vtk.util import numpy_support


def results(text):
    out = {}
    for line in text.splitlines():
        w = line.split()
        if w and w[0] == "RESULT":
            kv = dict(x.split("=", 1) for x in w[1:])
            out[(kv["kernel"], kv.get("yaw", ""))] = kv
    return out


def volume_image(array, comps, origin):
    d, h, w = array.shape[:3]
    flat = np.ascontiguousarray(array).reshape(-1, comps) if comps > 1 else np.ascontiguousarray(array).ravel()
    scalars = numpy_support.numpy_to_vtk(flat, deep=False, array_type=vtk.VTK_UNSIGNED_CHAR)
    scalars.SetNumberOfComponents(comps)
    img = vtk.vtkImageData()
    img.SetDimensions(w, h, d)
    img.SetOrigin(*origin)
    img.GetPointData().SetScalars(scalars)
    img._keep = flat
    return img


def caster(img, res, lookat_z, maximum):
    mapper = vtk.vtkFixedPointVolumeRayCastMapper()
    mapper.SetInputData(img)
    mapper.AutoAdjustSampleDistancesOff()
    mapper.SetSampleDistance(1.0)
    mapper.SetImageSampleDistance(1.0)
    if maximum:
        mapper.SetBlendModeToMaximumIntensity()
    opacity = vtk.vtkPiecewiseFunction()
    prop = vtk.vtkVolumeProperty()
    if maximum:
        opacity.AddPoint(0, 0.0)
        opacity.AddPoint(1, 1.0)
        opacity.AddPoint(255, 1.0)
        grey = vtk.vtkColorTransferFunction()
        grey.AddRGBPoint(0, 0, 0, 0)
        grey.AddRGBPoint(255, 1, 1, 1)
        prop.SetColor(grey)
    else:
        opacity.AddPoint(0, 0.0)
        opacity.AddPoint(255, 1.0)
        prop.IndependentComponentsOff()  # RGB direct, alpha through the ramp
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
    win = vtk.vtkRenderWindow()
    win.SetSize(res, res)
    win.AddRenderer(ren)
    cam = ren.GetActiveCamera()
    cam.SetPosition(0, 0, -200)
    cam.SetFocalPoint(0, 0, lookat_z)
    cam.SetViewUp(0, -1, 0)
    cam.SetViewAngle(2 * math.degrees(math.atan(1.0 / 2.0)))  # our zoom 2
    ren.ResetCameraClippingRange()
    win.Render()
    win.Render()
    win._keep = (img, mapper, prop, volume, ren, opacity)
    return win


def best_ms(fn, reps):
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        best = min(best, (time.perf_counter() - t0) * 1e3)
    return best


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bench", required=True)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--rounds", type=int, default=2)
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        first = subprocess.run([a.bench, "--reps", str(a.reps), "--dump", tmp], capture_output=True, text=True, check=True)
        print(first.stdout, end="")
        ours = [results(first.stdout)]
        big = np.fromfile(f"{tmp}/ct512.rgba", dtype=np.uint8).reshape(300, 512, 512, 4)
        small = np.fromfile(f"{tmp}/ct256.rgba", dtype=np.uint8).reshape(256, 256, 256, 4)[..., 0].copy()
        bone = caster(volume_image(big, 4, (-256.0, -256.0, 100.0)), 512, 250, False)
        mip = caster(volume_image(small, 1, (-128.0, -128.0, 100.0)), 256, 228, True)
        vtk_bone = vtk_mip = float("inf")
        for _ in range(a.rounds):
            vtk_bone = min(vtk_bone, best_ms(bone.Render, a.reps))
            vtk_mip = min(vtk_mip, best_ms(mip.Render, a.reps))
            again = subprocess.run([a.bench, "--reps", str(a.reps)], capture_output=True, text=True, check=True)
            ours.append(results(again.stdout))
    bone_ms = min(float(r[("ct_march", "0")]["bone_ms"]) for r in ours)
    opaque_ms = min(float(r[("ct_march", "0")]["opaque_ms"]) for r in ours)
    mip_ms = min(float(r[("mip256", "")]["opaque_ms"]) for r in ours)
    print(f"\nVTK {vtk.vtkVersion.GetVTKVersion()}, vtkFixedPointVolumeRayCastMapper, "
          f"{bone._keep[1].GetNumberOfThreads()} threads")
    print(f"Bone, 512 rays a side: ours {bone_ms:.1f} ms, VTK {vtk_bone:.1f} ms: ours / VTK {bone_ms / vtk_bone:.2f}; "
          f"ours Bone / Opaque {bone_ms / opaque_ms:.2f}")
    print(f"Maximum, 256 on 256^3: ours {mip_ms:.1f} ms, VTK {vtk_mip:.1f} ms: ours / VTK {mip_ms / vtk_mip:.2f}")
    print(f"PEER kernel=ct_bone ours_ms={bone_ms:.2f} peer_ms={vtk_bone:.2f} ours_over_peer={bone_ms / vtk_bone:.3f}")
    print(f"PEER kernel=mip256 ours_ms={mip_ms:.2f} peer_ms={vtk_mip:.2f} ours_over_peer={mip_ms / vtk_mip:.3f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
