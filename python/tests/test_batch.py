"""Batch detection on a local Dask cluster of two worker processes."""
import concurrent.futures
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import threading
from pathlib import Path

import cv2
import numpy as np
import pytest

distributed = pytest.importorskip("distributed")
import nerova  # noqa: E402
from nerova import batch  # noqa: E402
from test_nerova import mixed_folder, untimed  # noqa: E402
from test_video import frames  # noqa: E402

from conftest import needs_video

ROOT = Path(__file__).resolve().parents[2]
TOOL = os.environ.get("NEROVA_TOOL")


@pytest.fixture(scope="module")
def client():
    with batch.local_cluster(2) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """The sample photos, flipped and scaled copies in a sub-folder, a 70-frame video (two
    segments) and a file that is no image."""
    folder = tmp_path_factory.mktemp("collection")
    (folder / "sub").mkdir()
    photo = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    for sample in (ROOT / "models" / "samples").glob("*.jpg"):
        cv2.imwrite(str(folder / sample.name), cv2.imread(str(sample)))
    for i in range(12):
        variant = cv2.resize(cv2.flip(photo, i % 2), None, fx=0.5 + 0.05 * i, fy=0.5 + 0.05 * i)
        cv2.imwrite(str(folder / "sub" / ("v%02d.png" % i)), variant)
    video = cv2.VideoWriter(str(folder / "clip.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10, (256, 256))
    for i in range(70):
        video.write(np.roll(cv2.resize(photo, (256, 256)), 2 * i, axis=1))
    video.release()
    (folder / "broken.jpg").write_bytes(b"\xff\xd8 not really a JPEG")
    return folder


def comparable(records):
    return [{k: v for k, v in r.items() if k not in ("ms", "worker", "time_ms")} for r in records]


def keys(records):
    return [(r["image"], r.get("frame")) for r in records]


@pytest.fixture(scope="module")
def reference(client, collection):
    return list(batch.detect([str(collection)], client))


@needs_video
def test_command_matches_the_tool_and_reports_the_unreadable_input(collection, tmp_path, reference):
    out = tmp_path / "r.jsonl"
    p = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "2", "--out",
                        str(out), str(collection)], capture_output=True, text=True)
    assert p.returncode == 1, p.stderr  # one input failed
    records = [json.loads(line) for line in out.read_text().splitlines()]
    assert comparable(records) == comparable(reference)
    errors = [r for r in records if "error" in r]
    assert [r["image"] for r in errors] == [str(collection / "broken.jpg")]
    assert len({r["worker"] for r in records if "worker" in r}) == 2
    if TOOL:
        tool = subprocess.run([TOOL, str(collection)], capture_output=True, text=True)
        expected = [json.loads(line) for line in tool.stdout.splitlines()]
        assert comparable([r for r in records if "error" not in r]) == comparable(expected)


def test_a_killed_worker_loses_and_repeats_nothing(client, collection, reference, monkeypatch):
    monkeypatch.setattr(batch, "IMAGES_PER_TASK", 1)
    monkeypatch.setattr(batch, "FRAMES_PER_TASK", 8)
    pids = client.run(os.getpid)
    got = []
    for record in batch.detect([str(collection)], client):
        if len(got) == 2:
            os.kill(next(iter(pids.values())), signal.SIGKILL)
        got.append(record)
    assert client.run(os.getpid) != pids, "a worker was replaced"
    assert keys(got) == keys(reference)
    assert comparable(got) == comparable(reference)


@needs_video
def test_resume_after_an_interruption_repeats_nothing(client, collection, tmp_path):
    out = tmp_path / "r.jsonl"
    batch.detect_to_file([str(collection)], str(out), client)
    full = out.read_text().splitlines()
    out.unlink()
    # An interrupted run leaves the partial file, its last line possibly torn.
    half = len(full) // 2
    Path(str(out) + ".partial").write_text("\n".join(full[:half]) + "\n" + full[half][:10])
    count, failed = batch.detect_to_file([str(collection)], str(out), client, resume=True)
    resumed = out.read_text().splitlines()
    assert (count, failed) == (len(full), 1)
    assert resumed[:half] == full[:half], "carried-over records are kept as they were"
    assert comparable(map(json.loads, resumed)) == comparable(map(json.loads, full))
    assert not Path(str(out) + ".partial").exists()


@needs_video
def test_a_second_run_on_an_output_being_written_is_refused(client, collection, tmp_path,
                                                             monkeypatch):
    out = tmp_path / "r.jsonl"
    out.write_text("an earlier run's records\n")
    reached, go = threading.Event(), threading.Event()
    real = batch._detect_paths

    def held(*args):  # the first run, stopped after two records
        for i, record in enumerate(real(*args)):
            if i == 2:
                reached.set()
                go.wait(300)
            yield record

    monkeypatch.setattr(batch, "_detect_paths", held)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        first = pool.submit(batch.detect_to_file, [str(collection)], str(out), client)
        try:
            assert reached.wait(300)
            before = {q.name: q.read_bytes() for q in tmp_path.iterdir()}
            second = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "1",
                                     "--out", str(out), str(collection)],
                                    capture_output=True, text=True, timeout=300)
            after = {q.name: q.read_bytes() for q in tmp_path.iterdir()}
        finally:
            go.set()
        assert second.returncode == 101, second.stderr
        assert second.stderr.splitlines() == [
            "nerova-batch: %s is being written by another run (it holds %s.lock); let that run "
            "finish, or name another --out" % (out, out)]
        assert after == before and before["r.jsonl.partial"].count(b"\n") == 2
        assert first.result()[1] == 1
    assert sorted(q.name for q in tmp_path.iterdir()) == ["r.jsonl"]
    monkeypatch.undo()
    assert batch.detect_to_file([str(collection / "astronaut.jpg")], str(out), client) == (1, 0)


@needs_video
def test_names_headers_outputs_and_partials_that_once_broke_a_run(client, tmp_path):
    folder = os.fsencode(tmp_path / "in")
    os.mkdir(folder)
    photo = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    cv2.imwrite(str(tmp_path / "p.jpg"), photo)
    for name in (b"caf\xe9.jpg", "café.jpg".encode()):  # Latin-1 and UTF-8 names
        shutil.copy(tmp_path / "p.jpg", folder + b"/" + name)
    video = cv2.VideoWriter(str(tmp_path / "v.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10, (256, 256))
    for _ in range(3):
        video.write(cv2.resize(photo, (256, 256)))
    video.release()
    shutil.copy(tmp_path / "v.avi", folder + b"/clip\xff.avi")
    # The same three frames under a header claiming 2^31 - 1, without the index to contradict it.
    data = bytearray((tmp_path / "v.avi").read_bytes())
    for chunk, offset in ((b"avih", 24), (b"strh", 40)):
        struct.pack_into("<I", data, data.find(chunk) + offset, 2**31 - 1)
    (Path(os.fsdecode(folder)) / "huge.avi").write_bytes(data[:data.find(b"idx1")])

    out = tmp_path / "r.jsonl"
    assert batch.detect_to_file([os.fsdecode(folder)], str(out), client) == (8, 0)
    lines = out.read_bytes().splitlines()
    records = [json.loads(line) for line in lines]
    assert [(os.fsencode(r["image"])[len(folder) + 1:], r.get("frame"), r.get("time_ms")) for r in records] == \
        [("café.jpg".encode(), None, None), (b"caf\xe9.jpg", None, None)] + \
        [(b"clip\xff.avi", i, 100 * i) for i in range(3)] + [(b"huge.avi", i, 100 * i) for i in range(3)]
    assert all(r["faces"] for r in records)

    # A partial whose last line is torn inside a UTF-8 character is resumed: the record of
    # the name that is not UTF-8 is carried over as it was, the torn one done again.
    partial = Path(str(out) + ".partial")
    lines[1] = re.sub(rb'"ms": [0-9.]+', b'"ms": 12345.67', lines[1])  # marks it as carried
    torn = lines[0][:lines[0].index("é".encode()) + 1]
    partial.write_bytes(lines[1] + b"\n" + torn)
    out.unlink()
    assert batch.detect_to_file([os.fsdecode(folder)], str(out), client, resume=True) == (8, 0)
    resumed = out.read_bytes().splitlines()
    assert resumed[1] == lines[1]
    assert [json.loads(line) | {"ms": 0, "worker": 0} for line in resumed] == \
        [r | {"ms": 0, "worker": 0} for r in records]
    partial.write_bytes(lines[0] + b"\n[1, 2]\n")
    with pytest.raises(ValueError, match=r"r.jsonl.partial, line 2, is not a record"):
        batch.detect_to_file([os.fsdecode(folder)], str(out), client, resume=True)
    assert not Path(str(out) + ".lock").exists(), "a refused run leaves no lock behind"
    partial.unlink()

    # Outputs: a device or a folder is refused before any work; a link is written through.
    for target, message in [("/dev/null", "/dev/null is a device, pipe or socket, not a regular file"),
                            (str(tmp_path), "is a folder, not a regular file")]:
        p = subprocess.run([sys.executable, "-m", "nerova.batch", "--out", target, str(tmp_path / "p.jpg")],
                           capture_output=True, text=True)
        assert p.returncode == 101 and message in p.stderr, p.stderr
    link = tmp_path / "link.jsonl"
    link.symlink_to(tmp_path / "target.jsonl")
    batch.detect_to_file([str(tmp_path / "p.jpg")], str(link), client)
    assert link.is_symlink() and len((tmp_path / "target.jsonl").read_text().splitlines()) == 1


def test_inputs_expand_to_regular_files_and_lists_stay_lists(tmp_path):
    (tmp_path / "a.jpg").write_bytes(b"x")
    os.mkfifo(tmp_path / "pipe.jpg")  # in a folder: not read (it would wait for a writer)
    (tmp_path / "self.txt").write_text("@%s\r\n%s\r\n" % (tmp_path / "self.txt", tmp_path / "a.jpg"))
    assert batch.expand_inputs([str(tmp_path)]) == [str(tmp_path / "a.jpg")]
    assert batch.expand_inputs(["@" + str(tmp_path / "self.txt")]) == \
        ["@" + str(tmp_path / "self.txt"), str(tmp_path / "a.jpg")]
    with pytest.raises(ValueError, match="line 1, is longer than any path"):
        batch.expand_inputs(["@/dev/zero"])
    from nerova._media import read_image
    assert read_image("/dev/zero") is None and read_image(str(tmp_path)) is None
    huge = tmp_path / "huge.jpg"  # sparse: a stray file larger than any photo is not read
    with open(huge, "wb") as f:
        f.truncate((1 << 30) + 1)
    assert read_image(str(huge)) is None


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
# 2x2 tiles at a score of 0.6 give the second look faces to refuse (33 on the samples); with
# it off, every one counts.
@pytest.mark.parametrize("options", [
    {"tiles": "off"}, {"tiles": "auto"},
    {"tiles": "2x2", "score_threshold": 0.6},
    {"tiles": "2x2", "score_threshold": 0.6, "confirm_tile_faces": 0},
], ids=["off", "auto", "second-look", "second-look-off"])
def test_every_host_writes_the_same_lines(client, tmp_path, options):
    """The tool, python -m nerova and nerova-batch on one folder (photos, one with a name that
    is not UTF-8, and a video in a sub-folder): the same bytes but for timings and the
    worker, track ids included."""
    folder = os.fsencode(tmp_path / "in")
    names = mixed_folder(folder)
    flags = [str(x) for k, v in options.items() for x in ("--" + k.replace("_", "-"), v)]
    tool = subprocess.run([TOOL, *flags, folder], capture_output=True, check=True).stdout
    module = subprocess.run([sys.executable, "-m", "nerova", *flags, folder],
                            capture_output=True, check=True).stdout
    out = tmp_path / "batch.jsonl"
    batch.detect_to_file([os.fsdecode(folder)], str(out), client, **options)
    assert untimed(module) == untimed(tool)
    assert untimed(out.read_bytes()) == untimed(tool)
    if options.get("confirm_tile_faces") == 0:
        confirmed = subprocess.run([TOOL, "--tiles", "2x2", "--score-threshold", "0.6", folder],
                                   capture_output=True, check=True).stdout
        assert confirmed.count(b'"score"') < tool.count(b'"score"')
    images = [os.fsencode(json.loads(line)["image"])[len(folder) + 1:] for line in tool.splitlines()]
    assert images == names[:-1] + [names[-1]] * 3
    assert b'"time_ms": 40,' in tool and b'"track": 1' in tool


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
def test_anonymize_writes_what_the_tool_writes(tmp_path):
    """nerova-batch --anonymize beside the tool's: the same masks in an image (PNG, so the
    pixels compare), every frame of a video, the tool's layout of the written files."""
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    photo = cv2.imread(str(ROOT / "models" / "samples" / "group_1897.jpg"))
    cv2.imwrite(str(src / "sub" / "group.png"), photo)
    video = cv2.VideoWriter(str(src / "clip.avi"), cv2.VideoWriter_fourcc(*"MJPG"), 10, (500, 347))
    for i in range(12):
        video.write(np.roll(photo, 4 * i, axis=1))
    video.release()
    subprocess.run([TOOL, "--anonymize", "solid", "--tiles", "auto", "--out-dir",
                    str(tmp_path / "tool"), str(src)], capture_output=True, check=True)
    p = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "1", "--tiles",
                        "auto", "--anonymize", "solid", "--out-dir", str(tmp_path / "batch"),
                        "--out", str(tmp_path / "r.jsonl"), str(src)], capture_output=True, text=True)
    assert p.returncode == 0, p.stderr
    ours, theirs = (cv2.imread(str(tmp_path / d / "sub" / "group.png")) for d in ("batch", "tool"))
    assert np.array_equal(ours, theirs) and not np.array_equal(ours, photo)
    written = cv2.VideoCapture(str(tmp_path / "batch" / "clip.avi"))
    assert int(written.get(cv2.CAP_PROP_FRAME_COUNT)) == 12
    again = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "1",
                            "--anonymize", "solid", "--out-dir", str(tmp_path / "batch"),
                            "--out", str(tmp_path / "r2.jsonl"), str(src)],
                           capture_output=True, text=True)
    assert again.returncode == 2 and "it exists (--overwrite replaces it)" in again.stderr


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@pytest.mark.parametrize("value, accepted", [("0", True), ("256", True), ("257", False),
                                             ("-1", False), ("many", False)])
def test_the_second_look_cap_is_refused_where_the_tool_refuses_it(value, accepted, tmp_path):
    photo = str(ROOT / "models" / "samples" / "no_face_coffee.jpg")
    tool = subprocess.run([TOOL, "--confirm-tile-faces", value, photo], capture_output=True)
    module = subprocess.run([sys.executable, "-m", "nerova", "--confirm-tile-faces", value, photo],
                            capture_output=True)
    batch = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "1",
                            "--confirm-tile-faces", value, "--out", str(tmp_path / "o.jsonl"),
                            photo], capture_output=True)
    assert (tool.returncode, module.returncode, batch.returncode) == \
        ((0, 0, 0) if accepted else (2, 2, 101)), (tool.stderr, module.stderr, batch.stderr)


def cut_video(path):
    """80 frames: the astronaut (0 to 19), a photo without a face (20 to 61), the astronaut
    elsewhere (62 on): cuts at 20 and 62, the second in the segment before the one whose
    record names it."""
    face = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    empty = cv2.resize(cv2.imread(str(ROOT / "models" / "samples" / "no_face_coffee.jpg")), (640, 480))
    video = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25, (640, 480))
    shots = []
    for i in range(80):
        frame = empty.copy() if 20 <= i < 62 else np.zeros((480, 640, 3), np.uint8)
        if i < 20:
            frame[:, 2 * i:2 * i + 512] = face[:480]
        elif i >= 62:
            frame[:, 128 - (i - 62):640 - (i - 62)] = face[:480]
        video.write(frame)
        shots.append(frame)
    video.release()
    return shots


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
def test_no_face_is_followed_across_a_shot_cut_by_any_host(client, tmp_path):
    src = tmp_path / "cuts.avi"
    cut_video(src)
    run = subprocess.run([TOOL, "--every", "5", "--anonymize", "solid", "--out-dir",
                          str(tmp_path / "tool"), str(src)], capture_output=True, check=True)
    records = [json.loads(line) for line in run.stdout.splitlines()]
    assert {r["frame"]: r["cut"] for r in records if "cut" in r} == {20: 20, 65: 62}
    assert b"2 shot cuts" in run.stderr
    assert records[3]["faces"] and not records[4]["faces"], "the face is in the first shot only"
    ids = {f["track"] for r in records for f in r["faces"]}
    assert len(ids) == 2, "the face after the second cut is a track of its own"
    module = subprocess.run([sys.executable, "-m", "nerova", "--every", "5", str(src)],
                            capture_output=True, check=True).stdout
    out = tmp_path / "batch.jsonl"
    batch.detect_to_file([str(src)], str(out), client, every=5)
    assert untimed(module) == untimed(run.stdout)
    assert untimed(out.read_bytes()) == untimed(run.stdout)
    # The face-free shot is written as it came: no mask carried into it, nor back from the
    # next shot's face.
    with nerova.FaceDetector() as det:
        report = nerova.anonymize_video(str(src), str(tmp_path / "py.avi"), det, every=5,
                                        how="solid")
    assert report["cuts"] == [20, 62]
    written, original = (frames(p) for p in (tmp_path / "tool" / "cuts.avi", src))
    assert len(written) == len(original) == 80
    differs = [np.abs(a.astype(int) - b).mean() for a, b in zip(written, original)]
    assert max(differs[20:62]) < 3 and min(differs[:20]) > 3, differs


CHROMIUM = shutil.which("chromium")


def browse(page, *args):
    """What headless Chromium makes of a page (scripts/bootstrap installs it)."""
    return subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu",
                           "--user-data-dir=%s" % (Path(page).parent / "chromium"), *args,
                           Path(page).as_uri()], capture_output=True, timeout=120)


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@pytest.mark.skipif(not CHROMIUM, reason="no chromium to look at the page with")
@needs_video
def test_every_host_writes_the_same_review_page_and_a_browser_shows_it(client, tmp_path):
    src = tmp_path / "in" / "cuts.avi"
    src.parent.mkdir()
    cut_video(src)
    tool_page = tmp_path / "review" / "cuts.avi.html"
    subprocess.run([TOOL, "--every", "5", "--anonymize", "solid", "--out-dir",
                    str(tmp_path / "tool"), "--report", str(tmp_path / "review"), str(src)],
                   capture_output=True, check=True)
    with nerova.FaceDetector() as det:
        nerova.anonymize_video(str(src), str(tmp_path / "py.avi"), det, every=5, how="solid",
                               report=str(tmp_path / "py.html"))
    failed, _ = batch.anonymize_all([str(src.parent)], str(tmp_path / "batch"), client, None, 5,
                                    {}, "solid", "ellipse", 1.3, False,
                                    report_dir=str(tmp_path / "batch-review"))
    assert not failed
    page = tool_page.read_bytes()
    assert (tmp_path / "py.html").read_bytes() == page
    assert (tmp_path / "batch-review" / "cuts.avi.html").read_bytes() == page

    dom = browse(tool_page, "--dump-dom").stdout.decode()
    assert "<h2>Timeline</h2>" in dom
    assert len(re.findall(r'class="row track"', dom)) == 2, "one row per face"
    assert re.findall(r"<li[^>]*>(Cut at frame \d+)", dom) == ["Cut at frame 20",
                                                                "Cut at frame 62"]
    assert {"detected", "interpolated"} <= set(re.findall(r'<rect class="(\w+)" x=', dom))
    shot = tmp_path / "page.png"
    browse(tool_page, "--screenshot=%s" % shot, "--window-size=1000,900")
    picture = cv2.imread(str(shot))
    assert picture is not None and picture.shape[:2] == (900, 1000)
    # Text, bars and pictures on white: far from one colour.
    inked = (picture.min(axis=2) < 200).mean()
    assert 0.02 < inked < 0.9, inked
    assert len(np.unique(picture.reshape(-1, 3), axis=0)) > 50
