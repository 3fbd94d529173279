#!/usr/bin/python3
"""Prints the benchmark table and the ratios of one run (shared machines are noisy, so only
ratios measured side by side are reported)."""
import json
import sys

with open(sys.argv[1]) as f:
    data = json.load(f)

times = {}
faces = {}
memory = []
runs = data["benchmarks"]
if any(b.get("aggregate_name") == "median" for b in runs):  # repeated: the medians only
    runs = [b for b in runs if b.get("aggregate_name") == "median"]
for b in runs:
    if b.get("error_occurred"):
        continue
    kind = b["name"].split("/")[0].replace("BM_", "")
    times[(kind, b["label"])] = b["real_time"]
    if "rss_kb_at_10000" in b:
        memory.append((b["label"], b["rss_kb_at_1000"], b["rss_kb_at_10000"]))
    if "faces" in b:
        faces[(kind, b["label"])] = int(b["faces"])

ctx = data["context"]
print(f"machine: {ctx.get('host_name', '?')}, {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz")
print(f"{'model / frame / threads':<34}{'pipeline':>10}{'raw fwd':>10}{'pre ms':>8}{'post us':>8}"
      f"{'pipe/raw':>10}{'(pre+post)/raw':>16}{'faces':>7}")
labels = sorted({label for kind, label in times if kind == "Pipeline"})
for label in labels:
    p, r = times.get(("Pipeline", label)), times.get(("RawForward", label))
    pre, post = times.get(("PreProcess", label), 0), times.get(("DecodeNms", label), 0)
    print(f"{label:<34}{p:>9.2f}ms{r:>8.2f}ms{pre:>8.2f}{post * 1000:>8.1f}{p / r:>10.3f}{(pre + post) / r:>16.3f}"
          f"{faces.get(('Pipeline', label), 0):>7}")
print()
print("Haar cascade on the same frames against the default model's pipeline:")
for kind, label in sorted(times):
    if kind != "Haar":
        continue
    h_t = label.split(" ", 1)[1]
    pipe = times.get(("Pipeline", "face_detector_back_256 " + h_t))
    if pipe:
        print(f"  {h_t:<12} haar {times[(kind, label)]:8.2f} ms, pipeline {pipe:8.2f} ms, "
              f"haar/pipeline {times[(kind, label)] / pipe:6.2f}, haar faces {faces.get((kind, label), 0)}")
key = "face_detector_back_256 h720 t1"
if ("Pipeline", key) in times:
    print(f"\npipeline (XNNPACK where the build has it) / OpenCV's raw forward at 1280x720, one "
          f"thread: {times[('Pipeline', key)] / times[('RawForward', key)]:.3f} (nerova_pairs, "
          f"below, measures it in alternating rounds)")
for label, start, end in memory:
    print(f"resident memory over 10,000 frames ({label}): {start:.0f} kB after 1,000, "
          f"{end:.0f} kB after 10,000 ({end - start:+.0f} kB)")
