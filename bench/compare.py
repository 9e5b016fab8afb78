# What researchers use today, timed on the same data as warpmender: scipy's and skimage's routines.
#   compare.py undistort NVOLUMES         map_coordinates (order 1, along y) per 96 x 96 x 60 volume
#   compare.py unwrap DIR NX NY NZ        unwrap_phase on the demo phantom's wrapped phase written by bench_data
# Prints one JSON object.
import json
import sys
import time

import numpy as np


def undistort(nvolumes):
    from scipy.ndimage import map_coordinates
    nz, ny, nx = 60, 96, 96
    rng = np.random.default_rng(7)
    shift = rng.uniform(-6.0, 6.0, (nz, ny, nx))
    series = rng.uniform(0.0, 1000.0, (nvolumes, nz, ny, nx))
    z, y, x = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    # Sampled at y + shift, clamped to the axis as warpmender clamps; the
    # coordinates are built once, as a careful script would.
    coords = np.stack([z, y + shift, x]).astype(np.float64)
    out = np.empty((nz, ny, nx))
    best = float("inf")
    for _ in range(2):
        t0 = time.perf_counter()
        for t in range(nvolumes):
            map_coordinates(series[t], coords, output=out, order=1, mode="nearest")
        best = min(best, time.perf_counter() - t0)
    return {"seconds_per_volume": best / nvolumes, "volumes": nvolumes}


def unwrap(folder, nx, ny, nz):
    from skimage.restoration import unwrap_phase
    shape = (nz, ny, nx)
    load = lambda name: np.fromfile(f"{folder}/{name}.f64", dtype=np.float64).reshape(shape)
    wrapped, truth, mask = load("wrapped"), load("truth"), load("mask") > 0
    t0 = time.perf_counter()
    result = unwrap_phase(wrapped)
    seconds = time.perf_counter() - t0
    d = (result - truth)[mask]
    rms = float(np.sqrt(np.mean((d - d.mean()) ** 2)))
    return {"seconds": seconds, "rms": rms}


if __name__ == "__main__":
    if sys.argv[1] == "undistort":
        print(json.dumps(undistort(int(sys.argv[2]))))
    else:
        print(json.dumps(unwrap(sys.argv[2], *map(int, sys.argv[3:6]))))
