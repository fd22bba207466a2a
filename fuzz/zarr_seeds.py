#!/usr/bin/python3
# Writes small OME-Zarr seeds into fuzz/corpus/zarr: each image's keys joined as the zarr
# target reads them (key, newline, bytes; entries separated by the separator of fuzzfile.h).
# Zarr v2 images by python3-zarr with each codec; v3 ones, plain and sharded, by hand.
import json, os, struct, sys, tempfile
import numpy as np, zarr
from numcodecs import Blosc, GZip, Zlib, Zstd

SEP = b"#slab-next-file#"
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "zarr")
os.makedirs(out, exist_ok=True)

def save(name, keys):
    with open(os.path.join(out, name), "wb") as f:
        f.write(SEP.join(k.encode() + b"\n" + v for k, v in sorted(keys.items())))

def folder(root):
    keys = {}
    for d, _, files in os.walk(root):
        for n in files:
            p = os.path.join(d, n)
            keys[os.path.relpath(p, root)] = open(p, "rb").read()
    return keys

def multiscales(axes, levels):
    return [{"version": "0.4", "axes": [{"name": a, "type": {"t": "time", "c": "channel"}.get(a, "space"),
             **({"unit": "micrometer"} if a in "zyx" else {})} for a in axes],
             "datasets": [{"path": str(k), "coordinateTransformations": [
                 {"type": "scale", "scale": [2.0 ** k if a in "zyx" else 1.0 for a in axes]}]} for k in range(levels)]}]

v = (np.arange(3 * 4 * 5).reshape(3, 4, 5) * 37 % 251)
for name, dtype, comp, sep in [("raw-u1", "|u1", None, "."), ("zlib-be-u2", ">u2", Zlib(1), "/"),
                               ("gzip-i2", "<i2", GZip(1), "."), ("zstd-f4", "<f4", Zstd(1), "."),
                               ("blosc-lz4-u2", "<u2", Blosc("lz4", 5, Blosc.SHUFFLE), "."),
                               ("blosc-zstd-bit-f8", "<f8", Blosc("zstd", 5, Blosc.BITSHUFFLE), "."),
                               ("blosc-zlib-i4", ">i4", Blosc("zlib", 5, Blosc.NOSHUFFLE), ".")]:
    with tempfile.TemporaryDirectory() as d:
        g = zarr.open_group(d, mode="w")
        for k in range(2):
            a = g.create_dataset(str(k), shape=v[::2 ** k, ::2 ** k, ::2 ** k].shape, chunks=(2, 2, 3), dtype=dtype,
                                 compressor=comp, dimension_separator=sep, fill_value=3)
            a[:] = v[::2 ** k, ::2 ** k, ::2 ** k]
        g.attrs["multiscales"] = multiscales("zyx", 2)
        save("v2-" + name, folder(d))
with tempfile.TemporaryDirectory() as d:
    g = zarr.open_group(d, mode="w")
    g.create_dataset("0", shape=(3, 3, 4, 5), chunks=(3, 1, 2, 5), dtype="|u1", compressor=None)[:] = np.stack([v] * 3)
    g.attrs["multiscales"] = multiscales("czyx", 1)
    save("v2-rgb", folder(d))

def crc32c(b):
    c = 0xFFFFFFFF
    for x in b:
        c ^= x
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
    return c ^ 0xFFFFFFFF

def v3(name, sharded, start=False):
    root = {"zarr_format": 3, "node_type": "group", "attributes": {"ome": {"version": "0.5", "multiscales": multiscales("zyx", 1)}}}
    inner = [{"name": "bytes", "configuration": {"endian": "little"}}, {"name": "zstd", "configuration": {"level": 1}}]
    codecs = inner if not sharded else [{"name": "sharding_indexed", "configuration": {
        "chunk_shape": [1, 2, 5], "codecs": [inner[0]],
        "index_codecs": [{"name": "bytes", "configuration": {"endian": "little"}}, {"name": "crc32c"}],
        "index_location": "start" if start else "end"}}]
    arr = {"zarr_format": 3, "node_type": "array", "shape": [3, 4, 5], "data_type": "uint16",
           "chunk_grid": {"name": "regular", "configuration": {"chunk_shape": [2, 4, 5]}},
           "chunk_key_encoding": {"name": "default", "configuration": {"separator": "/"}},
           "fill_value": 0, "codecs": codecs}
    keys = {"zarr.json": json.dumps(root).encode(), "0/zarr.json": json.dumps(arr).encode()}
    full = np.zeros((4, 4, 5), "<u2")
    full[:3] = v
    for cz in range(2):
        block = full[cz * 2:cz * 2 + 2]
        if not sharded:
            keys[f"0/c/{cz}/0/0"] = Zstd(1).encode(block.tobytes())
            continue
        parts = [block[z, y * 2:y * 2 + 2].tobytes() for z in range(2) for y in range(2)]
        size = 4 * 16 + 4
        index, data = b"", b""
        for p in parts:
            index += struct.pack("<QQ", len(data) + (size if start else 0), len(p))
            data += p
        index += struct.pack("<I", crc32c(index))
        keys[f"0/c/{cz}/0/0"] = index + data if start else data + index
    save(name, keys)

v3("v3-zstd", False)
v3("v3-sharded-end", True)
v3("v3-sharded-start", True, True)
