#!/usr/bin/python3
"""Prints the benchmark table and the ratios of one run (shared machines are noisy, so only
ratios measured side by side are reported)."""
import json
import sys

with open(sys.argv[1]) as f:
    data = json.load(f)

times = {}
faces = {}
for b in data["benchmarks"]:
    if b.get("error_occurred"):
        continue
    kind = b["name"].split("/")[0].replace("BM_", "")
    times[(kind, b["label"])] = b["real_time"]
    if "faces" in b:
        faces[(kind, b["label"])] = int(b["faces"])

ctx = data["context"]
print(f"machine: {ctx.get('host_name', '?')}, {ctx['num_cpus']} CPUs at {ctx['mhz_per_cpu']} MHz")
print(f"{'model / frame / threads':<34}{'pipeline':>10}{'raw fwd':>10}{'pre':>8}{'post':>8}"
      f"{'pipe/raw':>10}{'(pre+post)/raw':>16}{'faces':>7}")
labels = sorted({label for kind, label in times if kind == "Pipeline"})
for label in labels:
    p, r = times.get(("Pipeline", label)), times.get(("RawForward", label))
    pre, post = times.get(("PreProcess", label), 0), times.get(("DecodeNms", label), 0)
    print(f"{label:<34}{p:>9.2f}ms{r:>8.2f}ms{pre:>7.2f}{post:>8.3f}{p / r:>10.3f}{(pre + post) / r:>16.3f}"
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
    print(f"\npipeline / raw forward at 1280x720, one thread: "
          f"{times[('Pipeline', key)] / times[('RawForward', key)]:.3f} (target <= 1.10)")
