# Shares of a whole-run profile by what the time goes to, from `perf script` of a
# `perf record -e cpu-clock -g` run. Each sample counts once, for the first
# category (in the order below) any frame of its call chain falls into, so a
# sample in a hypervisor hook (pvm_irq_enable) or a lock counts for the work that
# called it.
#   perf script -i perf.data | profile_shares.py [--json]
import json
import re
import sys

# (label, frame pattern); first match over the whole chain wins, so order matters.
CATEGORIES = [
    ("fsync and writeback (durability)", r"^(__x64_sys_fsync|__x64_sys_fdatasync|vfs_fsync_range|file_write_and_wait_range|ext4_sync_file)\b"),
    ("kernel clearing fresh pages (first touch)", r"^(clear_page_erms|clear_page_rep|clear_page_orig|folio_zero_user|clear_huge_page)\b"),
    ("copying writes into the page cache", r"^(copy_folio_from_iter_atomic|generic_perform_write|ext4_buffered_write_iter|__x64_sys_write|__x64_sys_pwrite64|ksys_write)\b"),
    ("reads (page cache to user)", r"^(_copy_to_iter|filemap_read|__x64_sys_read|__x64_sys_pread64|ksys_read)\b"),
    ("page-fault entry, page allocation, munmap, exit", r"^(exc_page_fault|asm_exc_page_fault|__x64_sys_munmap|__x64_sys_mmap|__x64_sys_brk|do_exit|__x64_sys_exit_group|unmap_page_range|__x64_sys_unlink|__x64_sys_unlinkat|__x64_sys_rename|__x64_sys_renameat2)\b"),
    ("user-space memset", r"^__memset_"),
    ("user-space memcpy/memmove", r"^__memmove_|^__memcpy_"),
    ("program start (exec, loader)", r"^(__x64_sys_execve|_dl_start_user|_dl_map_object|_dl_relocate_object|dl_main)\b"),
]
# The program's own code, split by function name into the passes that only move
# or summarise the series (conversions, non-finite checks, statistics, previews)
# and the numerics proper (unwrapping, smoothing, the undistortion).
PASSES = r"(zero_non_finite|2double|2float|saveas|IntensityAccumulator|2amr|convert|summar|statistic)"
PASSES_LABEL = "passes over the data: conversion, checks, summaries (own code)"
NUMERICS = "numerics: unwrapping, smoothing, undistortion (own code)"
OTHER = "other"


def main():
    as_json = "--json" in sys.argv[1:]
    counts, total, chain, dso_of = {}, 0, [], []
    # "<address> <symbol>+0x<offset> (<object>)"; symbols may hold spaces and parentheses.
    frame = re.compile(r"^\s+[0-9a-f]+\s+(.+?)(?:\+0x[0-9a-f]+)?\s+\(([^()]*)\)\s*$")

    def flush():
        nonlocal total
        if not chain:
            return
        total += 1
        label = None
        for name, pattern in CATEGORIES:
            if any(re.search(pattern, f) for f in chain):
                label = name
                break
        if label is None:
            # Leaf in the program or its library: the numerics; anything else unexplained.
            leaf_dso = dso_of[0]
            if "warpmender" in leaf_dso or "libm" in leaf_dso:
                label = PASSES_LABEL if re.search(PASSES, chain[0], re.IGNORECASE) else NUMERICS
            else:
                label = OTHER
        counts[label] = counts.get(label, 0) + 1

    for line in sys.stdin:
        m = frame.match(line)
        if m:
            chain.append(m.group(1))
            dso_of.append(m.group(2))
        elif not line.strip():
            flush()
            chain, dso_of = [], []
    flush()
    if total == 0:
        sys.exit("profile_shares.py: no samples on stdin (perf script output expected)")
    shares = sorted(((c / total, n) for n, c in counts.items()), reverse=True)
    if as_json:
        print(json.dumps({"samples": total, "shares": {n: s for s, n in shares}}))
    else:
        print(f"{total} samples")
        for s, n in shares:
            print(f"{100 * s:5.1f} %  {n}")


if __name__ == "__main__":
    main()
