#!/usr/bin/env bash
# Times the tool on one folder of photos with --jobs 1 and --jobs 2 (JOBS_HIGH), alternating,
# and prints the best time of each and their ratio, all measured in this one run.
# Usage: bench/jobs_scaling.sh [rounds]   (BUILD_DIR, IMAGES and JOBS_HIGH may be set)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNEROVA_BUILD_TESTS=OFF \
  -DNEROVA_BUILD_APPS=ON >/dev/null
cmake --build "$build" -j2 --target nerova-face-detect >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$build/apps/nerova-face-detect" "$root/models/samples" "$work" \
  "${1:-3}" "${IMAGES:-48}" "${JOBS_HIGH:-2}" <<'PY'
import os, resource, subprocess, sys, time
import cv2
tool, samples, work, rounds, count, high = sys.argv[1:4] + [int(a) for a in sys.argv[4:]]
# The bundled photos at common camera sizes, as JPEG: decoding is part of the work.
folder = os.path.join(work, "photos")
os.makedirs(folder)
photos = [cv2.imread(os.path.join(samples, n)) for n in sorted(os.listdir(samples)) if n.endswith(".jpg")]
sizes = [(1280, 720), (1920, 1080), (1024, 768), (640, 480)]
for i in range(count):
    cv2.imwrite(os.path.join(folder, "%03d.jpg" % i), cv2.resize(photos[i % len(photos)], sizes[i % len(sizes)]))

def seconds(jobs):
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run([tool, "--jobs", str(jobs), folder], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    now = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (now.ru_utime + now.ru_stime - used.ru_utime - used.ru_stime) / wall

seconds(1)  # the file cache and the model warm
best = {1: (float("inf"), 0), high: (float("inf"), 0)}
for r in range(rounds):
    for jobs in best:
        t, cores = seconds(jobs)
        best[jobs] = min(best[jobs], (t, cores))
        print("round %d: --jobs %d %.2f s, %.2f cores busy" % (r + 1, jobs, t, cores))
(t1, _), (t2, cores) = best[1], best[high]
print("%d photos, %d cores, load %.1f: --jobs 1 %.2f s (%.1f/s), --jobs %d %.2f s (%.1f/s), ratio %.2f"
      % (count, os.cpu_count(), os.getloadavg()[0], t1, count / t1, high, t2, count / t2, t1 / t2))
# The tool's threads use what the machine gives them: the ratio means something only when
# the cores were free.
if cores < 0.8 * min(high, os.cpu_count()):
    print("note: --jobs %d kept only %.2f cores busy; other work shared the machine" % (high, cores))
PY
