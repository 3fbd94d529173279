#!/usr/bin/python3
"""Images per second of nerova-batch with 1 and then 2 local worker processes on the same
folder, in one run, and their ratio (machines here are shared: only the ratio counts).

    bench/batch_scaling.py [FOLDER] [--images N] [--rounds R]

Without FOLDER, N copies of the sample photos at several sizes are written to a temporary
folder. Each worker runs one inference thread. Each round starts a cluster of 1 and then of 2
workers, warms it (model load, OpenCV's first-run set-up) and times one pass; the median
of the rounds' ratios is reported, as the shared machine drifts between rounds. Only one
cluster exists at a time: an idle one would take CPU from the other.
"""
import argparse
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
from nerova import batch  # noqa: E402
from distributed import Client  # noqa: E402


def make_folder(n: int) -> str:
    folder = tempfile.mkdtemp(prefix="nerova_bench_")
    samples = [cv2.imread(str(p)) for p in sorted((ROOT / "models" / "samples").glob("*.jpg"))]
    for i in range(n):
        image = samples[i % len(samples)]
        scale = 1.0 + 0.5 * (i % 3)
        cv2.imwrite(os.path.join(folder, "%04d.jpg" % i), cv2.resize(image, None, fx=scale, fy=scale))
    return folder


def images_per_second(folder: str, workers: int) -> float:
    with batch.local_cluster(workers) as cluster, Client(cluster) as client:
        list(batch.detect([folder], client))  # warm-up
        t0 = time.perf_counter()
        n = sum(1 for _ in batch.detect([folder], client))
        return n / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?")
    parser.add_argument("--images", type=int, default=240)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    folder = args.folder or make_folder(args.images)
    rounds = [(images_per_second(folder, 1), images_per_second(folder, 2))
              for _ in range(args.rounds)]
    for a, b in rounds:
        print("1 worker: %.1f images/s, 2 workers: %.1f images/s, ratio %.2f" % (a, b, b / a))
    print("median ratio %.2f" % statistics.median(b / a for a, b in rounds))


if __name__ == "__main__":
    main()
