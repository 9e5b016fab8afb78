# Gathers the timed rounds of one end-to-end section of bench/run into one JSON file.
#   e2e_collect.py DIR OUT.json NX NY NZ NT SERIES_BYTES LOAD_START LOAD_MAX
# DIR/rounds/<i>/ holds each round's correct.time and peer.time (/usr/bin/time -v)
# and floor.json (io_floor); DIR/agree.json the peer's agreement with correct.
# The best (shortest) round of each counts; all are kept for the spread.
import json
import os
import sys


def time_v(path):
    """Wall seconds, user and system seconds, peak resident kB of a /usr/bin/time -v report."""
    fields = {}
    for line in open(path):
        key, _, value = line.strip().rpartition(": ")
        fields[key] = value
    wall = 0.0
    for part in fields["Elapsed (wall clock) time (h:mm:ss or m:ss)"].split(":"):
        wall = wall * 60 + float(part)
    return {"wall": wall, "user": float(fields["User time (seconds)"]), "sys": float(fields["System time (seconds)"]),
            "rss_kb": int(fields["Maximum resident set size (kbytes)"]),
            "minor_faults": int(fields["Minor (reclaiming a frame) page faults"])}


folder, out = sys.argv[1], sys.argv[2]
nx, ny, nz, nt, series_bytes = map(int, sys.argv[3:8])
load_start, load_max = map(float, sys.argv[8:10])
rounds = sorted(os.listdir(os.path.join(folder, "rounds")), key=int)
correct, floor, peer = [], [], []
for r in rounds:
    d = os.path.join(folder, "rounds", r)
    correct.append(time_v(os.path.join(d, "correct.time")))
    floor.append(json.load(open(os.path.join(d, "floor.json"))))
    peer.append(time_v(os.path.join(d, "peer.time")))
c_all = [c["wall"] for c in correct]
f_all = [f["read_s"] + f["write_s"] for f in floor]
p_all = [p["wall"] for p in peer]
best = correct[c_all.index(min(c_all))]
json.dump({
    "nx": nx, "ny": ny, "nz": nz, "nt": nt, "voxels": nx * ny * nz * nt, "series_bytes": series_bytes,
    "rounds": len(rounds),
    "correct_s": min(c_all), "correct_all_s": c_all, "correct_user_s": best["user"], "correct_sys_s": best["sys"],
    "correct_minor_faults": best["minor_faults"], "rss_kb": max(c["rss_kb"] for c in correct),
    "floor_s": min(f_all), "floor_all_s": f_all, "fsync_s": min(f["fsync_s"] for f in floor),
    "touch_s": min(f.get("touch_s", 0.0) for f in floor), "touch_bytes": floor[0].get("touch_bytes", 0),
    "floor_written_bytes": floor[0]["written_bytes"], "floor_read_bytes": floor[0]["read_bytes"],
    "peer_s": min(p_all), "peer_all_s": p_all, "peer_rss_kb": max(p["rss_kb"] for p in peer),
    "agree": json.load(open(os.path.join(folder, "agree.json"))),
    "load_start": load_start, "load_max": load_max,
}, open(out, "w"), indent=1)
