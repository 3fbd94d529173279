"""Batch detection over photo archives and video collections on Dask distributed.

    nerova-batch --out results.jsonl photos/ clips/ @more.txt          # local worker processes
    nerova-batch --scheduler tcp://host:8786 --out results.jsonl /shared/photos

Work goes out in tasks of a few images or a segment of a video; each worker process keeps
one detector per model and settings, created on first use and never shared between
threads. Records come back in input order, in the command-line tool's format plus
"worker". The output is written to OUT.partial as results arrive and renamed over OUT at
the end; --resume takes the records of an earlier OUT or OUT.partial and skips what they
already hold, so an interrupted run loses nothing and repeats nothing. A run holds OUT.lock
(flock) while it writes: a second run on the same OUT is refused at once.
"""
from __future__ import annotations

import argparse
import ctypes
import collections
import fcntl
import os
import stat
import sys
import threading
from pathlib import Path
from typing import Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from ._inputs import expand_inputs, is_video, list_lines
from .records import VideoTracks, line as record_line, parse as parse_record, timed_detection

IMAGES_PER_TASK = 16
FRAMES_PER_TASK = 64

Key = Tuple[str, Optional[int]]  # (input path, frame index or None for an image)


# ---- tasks, run on the workers ----------------------------------------------------------

_local = threading.local()


def _detector(model: Optional[str], settings: Tuple[Tuple[str, object], ...]):
    """This worker thread's detector for model and settings, created once."""
    from . import FaceDetector
    cache = getattr(_local, "detectors", None)
    if cache is None:
        cache = _local.detectors = {}
    key = (model, settings)
    if key not in cache:
        cache[key] = FaceDetector(model, **dict(settings))
    return cache[key]


def _worker_name() -> str:
    try:
        from distributed import get_worker
        return str(get_worker().name)
    except (ImportError, ValueError):
        return "local"


def run_task(task: tuple, model: Optional[str], settings: tuple) -> Tuple[List[dict], int]:
    """One task: ("images", [paths]) or ("video", path, first, end, every, done_frames).
    Returns its records and, for a video, the index after the last frame decoded (a segment
    that stops short of its end has met the video's real end)."""
    from . import NerovaError
    from ._media import quiet_opencv, read_image, video_frames
    quiet_opencv()  # this worker reports unreadable inputs in its records
    det = _detector(model, settings)
    worker = _worker_name()
    records = []

    def detected(path, image, frame=None, time_ms=None, cut=None):
        try:
            return dict(timed_detection(det, path, image, frame, time_ms, cut), worker=worker)
        except NerovaError as e:  # a frame the detector refuses is that input's error
            failure = {"image": path, "error": str(e), "worker": worker}
            return failure if frame is None else dict(failure, frame=frame)

    if task[0] == "refused":  # an input this installation cannot read, as the tool says
        return [{"image": task[1], "error": task[2], "worker": worker}], 0
    if task[0] == "images":
        for path in task[1]:
            image = read_image(path)
            if image is None:
                records.append({"image": path, "error": "cannot read", "worker": worker})
                continue
            records.append(detected(path, image))
        return records, 0
    from .video import ShotMarks
    _, path, first, end, every, done = task
    # From the frame looked at before the segment's first one (a record names the cut since)
    # and the frames a cut decision reads before that.
    from .video import CUT_HISTORY
    looked = (first + every - 1) // every * every
    start = max(0, looked - every - CUT_HISTORY)
    frames = video_frames(path, start, end)
    if frames is None:
        return [{"image": path, "error": "cannot read", "worker": worker}], 0
    decoded_to = first
    marks = ShotMarks(every)
    for index, frame, time_ms in frames:
        cut = marks(index, frame)
        if index < first:
            continue
        if index % every == 0 and index not in done:
            records.append(detected(path, frame, index, time_ms, cut))
        decoded_to = index + 1
    return records, decoded_to


def anonymize_task(path: str, target: str, model: Optional[str], settings: tuple, every: int,
                   how: str, shape: str, scale: float, overwrite: bool,
                   report: Optional[str] = None) -> Tuple[Optional[str], List[str]]:
    """Writes path to target with every face hidden, as the tool's --anonymize does (videos:
    every frame, faces followed through them, the sound kept, and the review page at report
    when given); the reason when it cannot, and what of the input the written file could not
    keep."""
    import cv2
    from . import NerovaError
    from ._media import quiet_opencv, read_image
    from .detector import _lib
    from .video import anonymize, anonymize_video
    quiet_opencv()
    det = _detector(model, settings)
    try:
        if is_video(path):
            done = anonymize_video(path, target, det, every, how, shape, scale,
                                   overwrite=overwrite, report=report)
            return None, done["notes"]
        image = read_image(path)
        if image is None:
            return "cannot read", []
        anonymize(image, det.detect(image), how, shape, scale)
        ok, data = cv2.imencode(os.path.splitext(target)[1], image)
        if not ok:
            return "cannot encode %s" % os.path.splitext(target)[1], []
        reason = ctypes.create_string_buffer(512)
        if _lib.NerovaWriteFile(os.fsencode(target), data.ctypes.data, data.size, int(overwrite),
                                reason, len(reason)):
            return reason.value.decode(errors="replace"), []
        return None, []
    except (NerovaError, ValueError, OSError, ImportError) as e:
        return str(e), []


def plan_outputs(inputs: Iterable[str], folder: str) -> List[Tuple[str, str]]:
    """(input, output) per input as the tool places written files: under folder at the path
    relative to the folder argument it came from (a file argument or list line: its name),
    videos in other containers than .avi, .mp4, .m4v, .mov and .mkv as NAME.EXT.avi, a name
    taken by an earlier input numbered (a_1.jpg)."""
    pairs, taken = [], set()
    for item in inputs:
        items = list_lines(item[1:]) if item.startswith("@") else [item]
        for entry in items:
            paths = expand_inputs([entry], lists=False)
            base = entry if os.path.isdir(entry) else os.path.dirname(entry)
            for path in paths:
                wanted = os.path.normpath(os.path.join(folder, os.path.relpath(path, base or ".")))
                if is_video(path) and Path(wanted).suffix.lower() not in (
                        ".avi", ".mp4", ".m4v", ".mov", ".mkv"):
                    wanted += ".avi"
                out, n = wanted, 1
                while out in taken:
                    stem, ext = os.path.splitext(wanted)
                    out, n = "%s_%d%s" % (stem, n, ext), n + 1
                taken.add(out)
                pairs.append((path, out))
    return pairs


def anonymize_all(inputs: Iterable[str], folder: str, client, model: Optional[str], every: int,
                  settings: dict, how: str, shape: str, scale: float, overwrite: bool,
                  report_dir: Optional[str] = None
                  ) -> Tuple[List[Tuple[str, str]], List[Tuple[str, str]]]:
    """Hides the faces of every input into folder, one task an input, each video's review
    page under report_dir laid out as the video is under folder (the tool's --report);
    (path, reason) for each that could not be written, and (input, note) for what a written
    file could not keep of its input (the tool's warnings)."""
    frozen = _settings(settings)
    pairs = plan_outputs(inputs, folder)
    sources = {os.path.realpath(p) for p, _ in pairs}
    failed, futures = [], []
    for path, target in pairs:
        if os.path.realpath(target) in sources:
            failed.append((target, "it is an input"))
            continue
        if not overwrite and os.path.lexists(target):  # refused before any work, as the tool
            failed.append((target, "it exists (--overwrite replaces it)"))
            continue
        page = (os.path.join(report_dir, os.path.relpath(target, folder)) + ".html"
                if report_dir and is_video(path) else None)
        futures.append((path, target, client.submit(anonymize_task, path, target, model, frozen,
                                                    every, how, shape, scale, overwrite, page,
                                                    pure=False)))
    notes = []
    for path, target, future in futures:
        reason, kept_out = future.result()
        if reason:
            failed.append((target, reason))
        notes += [(path, note) for note in kept_out]
    return failed, notes


# ---- the client side --------------------------------------------------------------------

class _Plan:
    """The tasks of a run in input order, made as the run goes: a video's segments follow
    what its workers decode, not the frame count its header claims (which may be anything,
    2^31 - 1 included). A segment that comes back short of its end stops the video's
    segments; the segment at the claimed end reads on to the real end."""

    def __init__(self, paths: Sequence[str], every: int, done: Optional[Dict[str, set]]):
        self.paths, self.every, self.done = paths, every, done or {}
        self.ended: set = set()  # inputs whose real end a segment has met

    def tasks(self) -> Iterator[Tuple[int, tuple]]:
        """(input index, task) pairs. Images go in tasks of IMAGES_PER_TASK; inputs already
        done (an image in done, or every frame of a video segment) are left out."""
        import cv2
        from . import _native
        from ._media import open_video
        from .detector import _lib
        batch: List[int] = []
        for i, path in enumerate(self.paths):
            if not is_video(path):
                if path in self.done:
                    continue
                batch.append(i)
                if len(batch) == IMAGES_PER_TASK:
                    yield batch[0], ("images", [self.paths[j] for j in batch])
                    batch = []
                continue
            if batch:
                yield batch[0], ("images", [self.paths[j] for j in batch])
                batch = []
            if path in self.done and None in self.done[path]:
                continue  # an unreadable video, already reported
            missing = _native.video_missing(_lib)
            if missing:
                yield i, ("refused", path, missing)
                continue
            video = open_video(path)
            count = 0
            if video is not None:
                claimed = video.get(cv2.CAP_PROP_FRAME_COUNT)
                count = int(claimed) if 0 < claimed < 2**62 else 0
                video.release()
            frames_done = self.done.get(path, set())
            if count <= 0:  # unknown length (or unreadable): the whole video is one task
                yield i, ("video", path, 0, None, self.every, frames_done)
                continue
            first = 0
            while first < count and i not in self.ended:
                end = min(first + FRAMES_PER_TASK, count)
                wanted = range(first + (-first) % self.every, end, self.every)
                if not wanted:  # on to the segment of the next frame detected
                    first = wanted.start - wanted.start % FRAMES_PER_TASK
                    continue
                if not all(f in frames_done for f in wanted):
                    yield i, ("video", path, first, end if end < count else None, self.every,
                              {f for f in frames_done if first <= f < end})
                first = end
        if batch:
            yield batch[0], ("images", [self.paths[j] for j in batch])

    def returned(self, input_index: int, task: tuple, decoded_to: int) -> None:
        if task[0] == "video" and task[3] is not None and decoded_to < task[3]:
            self.ended.add(input_index)


def _settings(settings: dict) -> tuple:
    allowed = {"score_threshold", "nms_threshold", "top_k", "threads", "device", "tiles",
               "confirm_tile_faces"}
    unknown = set(settings) - allowed
    if unknown:
        raise TypeError("unknown settings: %s" % ", ".join(sorted(unknown)))
    from .detector import DEFAULT_TOP_K, _integer, _unit, parse_tiles
    merged = {"threads": 1, "top_k": DEFAULT_TOP_K}  # one inference thread per worker
    merged.update({k: v for k, v in settings.items() if v is not None})
    # Checked here, once, rather than by every worker when its first task arrives.
    for name in ("score_threshold", "nms_threshold"):
        if name in merged:
            _unit(merged[name], name)
    _integer(merged["top_k"], "top_k", 1, 100000)
    parse_tiles(merged.get("tiles"))
    if "confirm_tile_faces" in merged:
        _integer(merged["confirm_tile_faces"], "confirm_tile_faces", 0, 256)
    return tuple(sorted(merged.items()))


def local_cluster(workers: Optional[int] = None):
    """A cluster of worker processes on this machine (default: one per core), each with one
    inference thread, tuned for workers that share the cores with the scheduler:
    - Dask's nanny gives its workers MALLOC_TRIM_THRESHOLD_, which freezes glibc's mmap
      threshold: every frame's buffers are then mapped and unmapped anew, and the page
      faults cost two workers a quarter of their throughput. Our workers' memory is bounded
      by the largest frame, so they keep glibc's adaptive defaults.
    - The event loops' housekeeping (latency ticks every 20 ms, memory checks every 100 ms,
      system samples, the statistical profiler) took about 8% of two busy cores; at one
      second, and without the profiler, it takes 3%."""
    import dask
    from distributed import LocalCluster
    environ = {k: v for k, v in dask.config.get("distributed.nanny.pre-spawn-environ").items()
               if k != "MALLOC_TRIM_THRESHOLD_"}
    with dask.config.set({"distributed.nanny.pre-spawn-environ": environ,
                          "distributed.admin.tick.interval": "1s",
                          "distributed.admin.system-monitor.interval": "5s",
                          "distributed.worker.memory.monitor-interval": "1s",
                          "distributed.worker.profile.enabled": False}):
        return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                            processes=True, dashboard_address=None)


def detect(inputs: Iterable[str], client=None, model: Optional[str] = None, every: int = 1,
           done: Optional[Dict[str, set]] = None, progress: bool = False,
           **settings) -> Iterator[dict]:
    """Result records of every image and video frame of inputs, in input order (videos frame
    by frame, each face with its track id as the tool gives it). Without client, a local cluster of worker processes (one per core) is
    started for the call. An input that cannot be read gives a record with "error"."""
    # Records come in input order, a video's frame by frame: its faces are tracked as they
    # come (with done, the frames left out are not looked at again).
    track = VideoTracks()
    for r in _detect_paths(expand_inputs(inputs), client, model, every, done, progress, settings):
        yield track(r)


def _detect_paths(paths: List[str], client, model: Optional[str], every: int,
                  done: Optional[Dict[str, set]], progress: bool,
                  settings: dict) -> Iterator[dict]:
    """detect() over inputs already expanded: expanding twice would read an expanded file
    whose name starts with "@" as a list."""
    from distributed import KilledWorker
    frozen = _settings(settings)
    plan = _Plan(paths, every, done)
    own_cluster = None
    if client is None:
        from distributed import Client
        own_cluster = local_cluster()
        client = Client(own_cluster)
    try:
        # A few tasks per worker thread in flight, the next submitted as the first returns:
        # the plan learns from each video segment where the video really ends.
        threads = sum(w.get("nthreads", 1)
                      for w in client.scheduler_info().get("workers", {}).values())
        window = max(8, 3 * threads)
        pending: "collections.deque" = collections.deque()
        tasks = plan.tasks()
        bar = None
        if progress:
            from tqdm import tqdm
            bar = tqdm(unit="task", file=sys.stderr)

        def submit(task):
            return client.submit(run_task, task, model=model, settings=frozen, pure=False)

        def fill():
            while len(pending) < window:
                item = next(tasks, None)
                if item is None:
                    return
                index, task = item
                pending.append((index, task, submit(task)))

        fill()
        while pending:
            index, task, future = pending.popleft()
            try:
                records, decoded_to = future.result()
            except KilledWorker:
                # The task took its workers down with it (Dask retries it a few times). Its
                # images are tried one by one, so that only the one at fault is lost.
                future.release()
                if task[0] == "images" and len(task[1]) > 1:
                    for path in reversed(task[1]):
                        single = ("images", [path])
                        pending.appendleft((index, single, submit(single)))
                    continue
                records = [{"image": task[1][0] if task[0] == "images" else task[1],
                            "error": "a worker process died on this input"}]
                decoded_to = 0
            else:
                future.release()
            plan.returned(index, task, decoded_to)
            if bar:
                bar.update(1)
            yield from records
            fill()
        if bar:
            bar.close()
    finally:
        if own_cluster is not None:
            client.close()
            own_cluster.close()


def read_records(path: Path) -> List[dict]:
    """The records of an earlier output. A last line without its line end was torn by an
    interruption: it is dropped, and its input done again. Any other line that is not a
    record is an error (ValueError) that names it."""
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return []
    lines = data.split(b"\n")
    lines.pop()  # empty after the last line end, else the torn line
    records = []
    for number, line in enumerate(lines, 1):
        record = parse_record(line)
        if record is None:
            raise ValueError("%s, line %d, is not a record of nerova-batch: %.80r"
                             % (path, number, line))
        records.append(record)
    return records


def _regular_or_new(path: Path) -> Path:
    """path, or the file its symbolic link names (written through the link); a name taken
    by anything but a regular file is refused (ValueError), never replaced."""
    target = Path(os.path.realpath(path)) if path.is_symlink() else path
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return target
    if not stat.S_ISREG(mode):
        kind = "a folder" if stat.S_ISDIR(mode) else "a device, pipe or socket"
        raise ValueError("%s is %s, not a regular file; name a new file or a regular one"
                         % (path, kind))
    return target


def _lock(out: Path, lock: Path) -> int:
    """A descriptor holding lock, the exclusive flock of the run writing out; ValueError at
    once when another run holds it. The file is removed by the run that holds it (release),
    so a lock taken on a file that is then no longer at its name is taken again."""
    while True:
        fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise ValueError("%s is being written by another run (it holds %s); let that run "
                             "finish, or name another --out" % (out, lock)) from None
        except BaseException:
            os.close(fd)
            raise
        try:
            if os.path.samestat(os.fstat(fd), os.stat(lock)):
                return fd
        except FileNotFoundError:
            pass
        os.close(fd)


class _Output(NamedTuple):
    """An output file, its partial, temporary and lock siblings, the records an earlier run
    left in them (when resuming), and the descriptor that holds the lock."""
    path: Path
    partial: Path
    tmp: Path
    lock: Path
    earlier: List[dict]
    locked: int

    def release(self) -> None:
        """Ends this run's hold on the output: removed while still locked, so that no other
        run can take the lock on a name about to disappear."""
        try:
            os.unlink(self.lock)
        finally:
            os.close(self.locked)


def _open_output(out: str, resume: bool) -> _Output:
    """Refuses (ValueError) what cannot be written or resumed, or an output another run is
    writing, before any work starts. The caller releases what it returns."""
    path = _regular_or_new(Path(out))
    partial = _regular_or_new(Path(str(path) + ".partial"))
    tmp = _regular_or_new(Path(str(path) + ".tmp"))
    lock = _regular_or_new(Path(str(path) + ".lock"))
    locked = _lock(path, lock)
    try:
        earlier = read_records(path) + read_records(partial) if resume else []
    except BaseException:
        _Output(path, partial, tmp, lock, [], locked).release()
        raise
    return _Output(path, partial, tmp, lock, earlier, locked)


def detect_to_file(inputs: Iterable[str], out: str, client=None, model: Optional[str] = None,
                   every: int = 1, resume: bool = False, progress: bool = False,
                   **settings) -> Tuple[int, int]:
    """Writes the records of inputs to out as JSON lines in input order. Returns (records,
    inputs that failed). A second run on the same out while this one writes is refused."""
    output = _open_output(out, resume)
    try:
        return _write(output, inputs, client, model, every, progress, settings)
    finally:
        output.release()


def _write(output: _Output, inputs: Iterable[str], client, model: Optional[str], every: int,
           progress: bool, settings: dict) -> Tuple[int, int]:
    out_path, partial, tmp = output.path, output.partial, output.tmp
    paths = expand_inputs(inputs)
    kept: Dict[Key, dict] = {}
    for r in output.earlier:
        kept.setdefault((r["image"], r.get("frame")), r)
    done: Dict[str, set] = {}
    for image, frame in kept:
        done.setdefault(image, set()).add(frame)
    order = {p: i for i, p in reversed(list(enumerate(paths)))}
    with open(partial, "w", encoding="utf-8") as f:
        for r in kept.values():  # carried over, so a second interruption keeps them too
            f.write(record_line(r) + "\n")
        for r in _detect_paths(paths, client, model, every, done, progress, settings):
            kept.setdefault((r["image"], r.get("frame")), r)
            f.write(record_line(r) + "\n")
            f.flush()
    # Every video's faces tracked over all its records, those of an earlier run included.
    track = VideoTracks()
    records = [track(r) for r in sorted((r for r in kept.values() if r["image"] in order),
                                        key=lambda r: (order[r["image"]], r.get("frame") or 0))]
    with open(tmp, "w", encoding="utf-8") as f:
        for r in records:
            f.write(record_line(r) + "\n")
    os.replace(tmp, out_path)
    partial.unlink()
    failed = {r["image"] for r in records if "error" in r}
    return len(records), len(failed)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="nerova-batch", description=__doc__.split("\n\n")[0],
        epilog="Exit status: 0 when every input was read, otherwise the number of inputs that "
               "could not be (at most 100); 101 for a bad argument or model.")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler (tcp://HOST:PORT)")
    where.add_argument("--local-workers", type=int, default=None,
                       help="worker processes of the local cluster (default: the cores)")
    parser.add_argument("--model", help="model name, directory or file (default: the bundled one)")
    parser.add_argument("--top-k", type=int, default=None, help="candidates per frame (100)")
    parser.add_argument("--score-threshold", type=float, help="lowest score kept (0.95)")
    parser.add_argument("--nms-threshold", type=float, help="suppression overlap (default: the model's)")
    parser.add_argument("--every", type=int, default=1, help="detect every N-th video frame (1)")
    parser.add_argument("--tiles", default=None,
                        help="auto, off or RxC: also detect on overlapping tiles of large frames "
                             "(1 + tiles passes per frame; default off)")
    parser.add_argument("--confirm-tile-faces", type=int, default=None, metavar="N",
                        help="faces only a tile found that a second look checks per frame, "
                             "0 to 256 (default: the model's)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the records of an earlier OUT or OUT.partial and skip them")
    parser.add_argument("--out", required=True, help="JSON lines output file")
    parser.add_argument("--anonymize", choices=["blur", "pixelate", "solid"],
                        help="also write every input with its faces hidden under --out-dir, as "
                             "the tool does (videos without their sound)")
    parser.add_argument("--out-dir", help="folder of --anonymize's files")
    parser.add_argument("--report", metavar="DIR",
                        help="with --anonymize, a review page of each written video under DIR, "
                             "named as the video with .html added")
    parser.add_argument("--mask-shape", choices=["ellipse", "rect"], default="ellipse")
    parser.add_argument("--mask-scale", type=float, default=1.3, help="1 to 10 (1.3)")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace existing files under --out-dir")
    parser.add_argument("inputs", nargs="+", metavar="INPUT",
                        help="image or video files, folders, or @LIST files")
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # 2 would read as "two inputs failed"
        return 0 if e.code == 0 else 101
    if (bool(args.anonymize) != bool(args.out_dir) or not 1 <= args.mask_scale <= 10 or
            (args.report and not args.anonymize)):
        print("nerova-batch: --anonymize and --out-dir go together, --report needs them; "
              "--mask-scale is 1 to 10", file=sys.stderr)
        return 101
    for name in ("every", "local_workers"):
        if getattr(args, name) is not None and getattr(args, name) < 1:
            print("nerova-batch: --%s must be at least 1" % name.replace("_", "-"), file=sys.stderr)
            return 101

    from distributed import Client
    cluster = output = None
    try:
        # What can be refused is refused before a cluster starts.
        settings = dict(top_k=args.top_k, score_threshold=args.score_threshold,
                        nms_threshold=args.nms_threshold, tiles=args.tiles,
                        confirm_tile_faces=args.confirm_tile_faces)
        _settings(settings)
        output = _open_output(args.out, args.resume)
        if args.scheduler:
            client = Client(args.scheduler)
        else:
            cluster = local_cluster(args.local_workers)
            client = Client(cluster)
        with client:
            count, failed = _write(output, args.inputs, client, args.model, args.every,
                                   sys.stderr.isatty(), settings)
            unwritten, notes = [], []
            if args.anonymize:
                unwritten, notes = anonymize_all(args.inputs, args.out_dir, client, args.model,
                                                 args.every, settings, args.anonymize,
                                                 args.mask_shape, args.mask_scale, args.overwrite,
                                                 args.report)
            for path, note in notes:  # as the tool warns
                print("nerova-batch: warning: %s: %s" % (path, note), file=sys.stderr)
            for target, reason in unwritten:
                print("nerova-batch: cannot write %s: %s" % (target, reason), file=sys.stderr)
            failed = max(failed, len(unwritten))
    except (ValueError, TypeError, OSError, RuntimeError) as e:  # NerovaError: a RuntimeError
        print("nerova-batch: %s" % e, file=sys.stderr)
        return 101
    finally:
        if cluster is not None:
            cluster.close()
        if output is not None:
            output.release()
    print("nerova-batch: %d records, %d inputs failed" % (count, failed), file=sys.stderr)
    return min(failed, 100)


if __name__ == "__main__":
    # Through the package's module, so that tasks reach the workers by reference.
    from nerova.batch import main as _main
    sys.exit(_main())
