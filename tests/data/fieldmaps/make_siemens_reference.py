# Makes siemens_phasediff_reference_turns.nii.gz: the whole turns k that
# skimage.restoration.unwrap_phase (3D, Herraez/Abdul-Rahman) adds to
# siemens_phasediff (stored -4096..4094 = -pi..pi) inside the head, as int8;
# -128 outside the head, where it was not asked. Run once with Debian's
# python3 (numpy, scipy, skimage: scripts/setup --bench):
#   /usr/bin/python3 tests/data/fieldmaps/make_siemens_reference.py
# The head given to skimage: magnitude1 above a tenth of the 99th percentile
# of its positive values, so noise phase outside plays no part.
import gzip
import os
import struct

import numpy as np
from skimage.restoration import unwrap_phase

here = os.path.dirname(os.path.abspath(__file__))


def load(name):
    raw = gzip.open(os.path.join(here, name)).read()
    dim = struct.unpack("<8h", raw[40:56])
    if struct.unpack("<h", raw[70:72])[0] != 4:
        raise SystemExit(f"{name}: expected int16 voxels")
    offset = int(struct.unpack("<f", raw[108:112])[0])
    slope, inter = struct.unpack("<2f", raw[112:120])
    a = np.frombuffer(raw, dtype="<i2", count=dim[1] * dim[2] * dim[3], offset=offset).astype(np.float64)
    if slope != 0:
        a = a * slope + inter
    return raw, a.reshape(dim[3], dim[2], dim[1])


header, stored = load("siemens_phasediff.nii.gz")
_, magnitude = load("siemens_magnitude1.nii.gz")
wrapped = stored * (np.pi / 4096.0)
head = magnitude > 0.1 * np.percentile(magnitude[magnitude > 0], 99)
unwrapped = unwrap_phase(np.ma.array(wrapped, mask=~head))
turns = np.round((np.ma.getdata(unwrapped) - wrapped) / (2 * np.pi))
turns = np.where(head, turns, -128).astype(np.int8)

# The phase difference's own header, retyped: int8, no scaling, data at 352.
h = bytearray(header[:348])
h[70:72] = struct.pack("<h", 256)         # datatype NIFTI_TYPE_INT8
h[72:74] = struct.pack("<h", 8)           # bitpix
h[108:112] = struct.pack("<f", 352.0)     # vox_offset
h[112:120] = struct.pack("<2f", 1.0, 0.0)  # scl_slope, scl_inter
h[124:132] = struct.pack("<2f", 0.0, 0.0)  # cal_max, cal_min
h[148:228] = b"skimage unwrap_phase turns of siemens_phasediff".ljust(80, b"\0")
out = os.path.join(here, "siemens_phasediff_reference_turns.nii.gz")
with open(out, "wb") as f, gzip.GzipFile(fileobj=f, mode="wb", mtime=0) as g:
    g.write(bytes(h) + b"\0\0\0\0" + turns.tobytes())
print(f"{out}: {int(head.sum())} head voxels, turns {int(turns[head].min())}..{int(turns[head].max())}")
