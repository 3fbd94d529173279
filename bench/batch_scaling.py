#!/usr/bin/python3
"""Images per second of nerova-batch with 1 and then 2 local worker processes on the same
folder, in one run, and their ratio (machines here are shared: only the ratio counts).

    bench/batch_scaling.py [FOLDER] [--images N]

Without FOLDER, N copies of the sample photos at several sizes are written to a temporary
folder. Each worker runs one inference thread. A first pass warms the workers (model load,
OpenCV's first-run set-up) so that both runs time the steady state.
"""
import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))
from nerova import batch  # noqa: E402
from distributed import Client, LocalCluster  # noqa: E402


def make_folder(n: int) -> str:
    folder = tempfile.mkdtemp(prefix="nerova_bench_")
    samples = [cv2.imread(str(p)) for p in sorted((ROOT / "models" / "samples").glob("*.jpg"))]
    for i in range(n):
        image = samples[i % len(samples)]
        scale = 1.0 + 0.5 * (i % 3)
        cv2.imwrite(os.path.join(folder, "%04d.jpg" % i), cv2.resize(image, None, fx=scale, fy=scale))
    return folder


def images_per_second(folder: str, workers: int) -> float:
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        list(batch.detect([folder], client))  # warm-up
        t0 = time.perf_counter()
        n = sum(1 for _ in batch.detect([folder], client))
        return n / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", nargs="?")
    parser.add_argument("--images", type=int, default=120)
    args = parser.parse_args()
    folder = args.folder or make_folder(args.images)
    one = images_per_second(folder, 1)
    two = images_per_second(folder, 2)
    print("1 worker: %.1f images/s, 2 workers: %.1f images/s, ratio %.2f" % (one, two, two / one))


if __name__ == "__main__":
    main()
