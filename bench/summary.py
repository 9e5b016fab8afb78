# The one table of bench/run: every figure beside its reference timed in the same run, the ratio, the target, met or not.
# usage: summary.py RESULTS_DIR   (reads whichever of the sections' JSON files are there)
import json
import os
import sys

folder = sys.argv[1]


def load(name):
    path = os.path.join(folder, name)
    return json.load(open(path)) if os.path.exists(path) else None


def counters(doc, key):
    """name -> counter value (a rate) of a Google Benchmark JSON file: iterations
    only, the best of a case's repetitions."""
    if doc is None:
        return {}
    out = {}
    for b in doc["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration" and key in b:
            name = b.get("run_name", b["name"])
            out[name] = max(out.get(name, 0.0), b[key])
    return out


notes = []  # lines printed under the table
rows = []  # (figure label, figure, reference label, reference, ratio, target text, met)


def row(what, fig, ref_what, ref, ratio, target, met, native=None):
    rows.append((what, fig, ref_what, ref, ratio, target, met, native))


# The targets hold for the default (portable) build; the native build's rows
# stand beside them for comparison. (With -march=native the compiler
# vectorises some plain loops itself, which moves the ratios, not the figures.)
def target(tag, text, met):
    return (text, met) if tag == "portable" else ("report", None)


# Undistortion of the whole series against the memory bandwidth of the same bytes.
for suffix, tag in (("", "portable"), ("_native", "native")):
    s = counters(load(f"series{suffix}.json"), "bytes")
    und = s.get("series_96x96x60x300/undistort/real_time")
    floor = max(s.get("series_96x96x60x300/read_write/real_time", 0), s.get("series_96x96x60x300/memcpy/real_time", 0))
    if und and floor:
        r = und / floor
        row(f"undistort 96x96x60x300 double ({tag})", f"{und / 1e9:.2f} GB/s", "best of copy / r+w pass",
            f"{floor / 1e9:.2f} GB/s", f"{100 * r:.0f}%", *target(tag, ">= 60%", r >= 0.6))
    avx2 = s.get("series_96x96x60x300/undistort_avx2/real_time")
    if avx2 and floor:
        row(f"  the same, AVX2 kernels ({tag})", f"{avx2 / 1e9:.2f} GB/s", "best of copy / r+w pass",
            f"{floor / 1e9:.2f} GB/s", f"{100 * avx2 / floor:.0f}%", "report", None)
    summed = s.get("series_96x96x60x300/undistort_with_summaries/real_time")
    if summed and floor:
        # As the plug-in runs it: its two logged summaries add the values in index order.
        row(f"  with undistort1d's summaries ({tag})", f"{summed / 1e9:.2f} GB/s", "best of copy / r+w pass",
            f"{floor / 1e9:.2f} GB/s", f"{100 * summed / floor:.0f}%", "report", None)
    worst = s.get("series_96x96x60x300/undistort_random_shifts/real_time")
    if worst and floor:
        row(f"  the same, random shift per voxel ({tag})", f"{worst / 1e9:.2f} GB/s", "best of copy / r+w pass",
            f"{floor / 1e9:.2f} GB/s", f"{100 * worst / floor:.0f}%", "report", None)

# The relaxation unwrapping and the whole multigrid solve beside their plain loops.
for suffix, tag in (("", "portable"), ("_native", "native")):
    k = counters(load(f"kernels{suffix}.json"), "voxels")
    for name in k:
        if "_reference/" in name or not (name.startswith("relax_unwrap/") or name.startswith("fmg_3cyc_5its/")):
            continue
        ref = k.get(name.replace("/", "_reference/", 1))
        if ref:
            label = name.replace("/nx:", " ").replace("/ny:", "x").replace("/nz:", "x")
            r = k[name] / ref
            row(f"{label} ({tag})", f"{k[name] / 1e6:.1f} Mvox/s", "plain loops", f"{ref / 1e6:.1f} Mvox/s",
                f"{r:.2f}x", *target(tag, ">= 2x", r >= 2.0))

# End to end against the I/O floor and the scipy peer, timed in the same run, and the peak memory.
for name in ("e2e", "e2e_large"):
    e = load(f"{name}.json")
    if not e:
        continue
    size = f"{e['nx']}x{e['ny']}x{e['nz']}x{e['nt']}"
    gb = e["series_bytes"] / 1e9
    r = e["correct_s"] / e["floor_s"]
    row(f"correct {size} .nii (best of {e['rounds']})", f"{e['correct_s']:.2f} s", "I/O floor: plain read+write",
        f"{e['floor_s']:.2f} s", f"{r:.2f}x", "<= 3x", r <= 3.0)
    row(f"  seconds per GB of series ({gb:.2f} GB)", f"{e['correct_s'] / gb:.2f} s/GB", "I/O floor",
        f"{e['floor_s'] / gb:.2f} s/GB", "", "report", None)
    row(f"  durability: fsync of the floor's files", f"{e['fsync_s']:.2f} s", "I/O floor", f"{e['floor_s']:.2f} s",
        f"+{100 * e['fsync_s'] / e['floor_s']:.0f}%", "report", None)
    # correct syncs every file it writes (temporary name, fsync, rename); the floor does not.
    durable = e["floor_s"] + e["fsync_s"]
    row(f"  correct against the floor with its fsync", f"{e['correct_s']:.2f} s", "I/O floor + fsync",
        f"{durable:.2f} s", f"{e['correct_s'] / durable:.2f}x", "report", None)
    if e.get("touch_bytes"):
        # The plug-in's double copy and the host's float copy of the series are live at once: a
        # run faults in at least that much fresh memory (on a virtual machine, the hypervisor too).
        touch = e["touch_s"]
        row(f"  first touch of {e['touch_bytes'] / 1e9:.2f} GB fresh memory", f"{touch:.2f} s", "I/O floor",
            f"{e['floor_s']:.2f} s", f"+{100 * touch / e['floor_s']:.0f}%", "report", None)
        least = durable + touch
        row(f"  correct against floor + fsync + touch", f"{e['correct_s']:.2f} s", "I/O floor + fsync + touch",
            f"{least:.2f} s", f"{e['correct_s'] / least:.2f}x", "report", None)
    row(f"  user / system seconds of correct", f"{e['correct_user_s']:.2f} s", "system",
        f"{e['correct_sys_s']:.2f} s", "", "report", None)
    r = e["peer_s"] / e["correct_s"]
    row(f"correct {size}, against scipy", f"{e['correct_s']:.2f} s", "nibabel+map_coordinates+save",
        f"{e['peer_s']:.2f} s", f"{r:.2f}x", ">= 5x", r >= 5.0)
    a = e["agree"]
    row(f"  peer vs correct, first {a['volumes']} volumes", f"{a['max_abs_diff']:.2g}", "largest |value|",
        f"{a['max_abs']:.4g}", "", "report", None)
    limit = 12 * e["voxels"] + 100e6
    rss = e["rss_kb"] * 1024.0
    row(f"peak resident memory, correct {size}", f"{rss / 1e6:.0f} MB", "12 B/EPI voxel + 100 MB",
        f"{limit / 1e6:.0f} MB", f"{(rss - 100e6) / e['voxels']:.1f} B/vox", "<= 12 B/vox", rss <= limit)
    row(f"  the scipy peer's", f"{e['peer_rss_kb'] * 1024 / 1e6:.0f} MB", "", "", "", "report", None)
    notes.append(f"e2e {size}: load average {e['load_start']:.1f} at the start, {e['load_max']:.1f} at most; "
                 f"correct {', '.join(f'{x:.2f}' for x in e['correct_all_s'])} s, "
                 f"floor {', '.join(f'{x:.2f}' for x in e['floor_all_s'])} s, "
                 f"peer {', '.join(f'{x:.2f}' for x in e['peer_all_s'])} s")

# Against scipy and skimage.
scipy = load("scipy.json")
s = counters(load("series.json"), "bytes")
und = s.get("series_96x96x60x300/undistort/real_time")
if scipy and und:
    ours = 2.0 * 8.0 * 96 * 96 * 60 / und  # seconds per volume
    r = scipy["seconds_per_volume"] / ours
    row("undistort, per 96x96x60 volume", f"{ours * 1e3:.2f} ms",
        f"scipy map_coordinates ({scipy['volumes']} vol)", f"{scipy['seconds_per_volume'] * 1e3:.2f} ms",
        f"{r:.1f}x", ">= 20x", r >= 20)
ours, ski = load("unwrap.json"), load("skimage.json")
if ours and ski:
    r = ski["seconds"] / ours["seconds"]
    row("multigrid unwrap, demo 128x128x64", f"{ours['seconds']:.3f} s", "skimage unwrap_phase",
        f"{ski['seconds']:.3f} s", f"{r:.1f}x", ">= 5x", r >= 5)
    row("  its RMS error in the mask (rad)", f"{ours['rms']:.4f}", "skimage's", f"{ski['rms']:.4f}", "", "report", None)
if ours and "quality_seconds" in ours:
    r = ours["seconds"] / ours["quality_seconds"]
    row("quality-guided unwrap, demo 128x128x64", f"{ours['quality_seconds']:.3f} s", "multigrid unwrap",
        f"{ours['seconds']:.3f} s", f"{r:.2f}x", ">= 0.5x", r >= 0.5)
    if ski:
        row("  its RMS error in the mask (rad)", f"{ours['quality_rms']:.4f}", "skimage's", f"{ski['rms']:.4f}", "",
            "report", None)

def cpu():
    """The CPU's model and its vector extensions, from /proc/cpuinfo."""
    model, flags = "unknown", set()
    try:
        for line in open("/proc/cpuinfo"):
            key, _, value = line.partition(":")
            if key.strip() == "model name" and model == "unknown":
                model = value.strip()
            elif key.strip() == "flags" and not flags:
                flags = set(value.split())
    except OSError:
        pass
    avx512 = sorted(f for f in flags if f.startswith("avx512"))
    return (f"CPU: {model}, {os.cpu_count()} cores; AVX2 {'yes' if 'avx2' in flags else 'no'}, "
            f"AVX-512 {'yes (' + ' '.join(avx512) + ')' if avx512 else 'no'}")


print("\n" + cpu())
head = f"{'figure':<44}{'value':>14}  {'reference':<30}{'value':>14}{'ratio':>11}{'target':>13}  met"
print("\n" + head)
print("-" * len(head))
for what, fig, ref_what, ref, ratio, target, met, _ in rows:
    mark = "" if met is None else ("yes" if met else "NO")
    print(f"{what:<44}{fig:>14}  {ref_what:<30}{ref:>14}{ratio:>11}{target:>13}  {mark}")
for line in notes:
    print(line)
