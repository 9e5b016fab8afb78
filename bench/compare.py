# What researchers use today, timed on the same data as warpmender: scipy's and skimage's routines.
#   compare.py undistort NVOLUMES         map_coordinates (order 1, along y) per 96 x 96 x 60 volume
#   compare.py unwrap DIR NX NY NZ        unwrap_phase on the demo phantom's wrapped phase written by bench_data
#   compare.py peer EPI SHIFT PEDIR OUT   the script a researcher would write instead of `correct`'s undistortion:
#                                         nibabel load, map_coordinates (order 1) per volume along the
#                                         phase-encoding axis with warpmender's shift map, nibabel save
#   compare.py agree A B NVOLUMES         largest difference between two series' first volumes, and their range
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


def peer(epi_path, shift_path, pe_dir, out_path):
    """End to end; the caller times the whole process (imports included, as a
    script pays them). pe_dir is correct's code: 1/2 along i, 3/4 along j, 5/6
    along k; even codes sample at position - shift, odd at position + shift."""
    t0 = time.perf_counter()
    import nibabel as nib
    from scipy.ndimage import map_coordinates
    t_import = time.perf_counter()
    img = nib.load(epi_path)
    data = img.get_fdata(dtype=np.float32)  # float32 kept, as a careful script keeps it
    shift = np.asarray(nib.load(shift_path).get_fdata(dtype=np.float64)).reshape(data.shape[:3])
    t_load = time.perf_counter()
    axis, sign = (pe_dir - 1) // 2, (1.0 if pe_dir % 2 == 1 else -1.0)
    grid = np.meshgrid(*(np.arange(n, dtype=np.float64) for n in data.shape[:3]), indexing="ij")
    grid[axis] = grid[axis] + sign * shift
    coords = np.stack(grid)  # built once, not per volume
    out = np.empty_like(data)
    volume = np.empty(data.shape[:3], dtype=np.float32)
    for t in range(data.shape[3]):
        map_coordinates(data[..., t], coords, output=volume, order=1, mode="nearest")
        out[..., t] = volume
    t_compute = time.perf_counter()
    nib.save(nib.Nifti1Image(out, img.affine, img.header), out_path)
    t_save = time.perf_counter()
    return {"import_s": t_import - t0, "load_s": t_load - t_import, "undistort_s": t_compute - t_load,
            "save_s": t_save - t_compute, "volumes": int(data.shape[3])}


def agree(a_path, b_path, nvolumes):
    import nibabel as nib
    a = np.asanyarray(nib.load(a_path).dataobj)[..., :nvolumes].astype(np.float64)
    b = np.asanyarray(nib.load(b_path).dataobj)[..., :nvolumes].astype(np.float64)
    return {"max_abs_diff": float(np.max(np.abs(a - b))), "max_abs": float(np.max(np.abs(b))), "volumes": nvolumes}


if __name__ == "__main__":
    if sys.argv[1] == "agree":
        print(json.dumps(agree(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
    elif sys.argv[1] == "peer":
        print(json.dumps(peer(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])))
    elif sys.argv[1] == "undistort":
        print(json.dumps(undistort(int(sys.argv[2]))))
    else:
        print(json.dumps(unwrap(sys.argv[2], *map(int, sys.argv[3:6]))))
