"""The Python package as a user meets it, on the installed (or NEROVA_LIBRARY) library."""
import json
import math
import os
import pickle
import re
import shutil
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import nerova
from conftest import needs_video

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = sorted((ROOT / "models" / "samples").glob("*.jpg"))
TOOL = os.environ.get("NEROVA_TOOL")


@pytest.fixture(scope="module")
def det():
    with nerova.FaceDetector(top_k=100) as d:
        yield d


def untimed(data):
    """Record lines as bytes, without what differs between runs (timings, the worker)."""
    return [re.sub(rb', "(ms|worker)": ("[^"]*"|[0-9.]+)', b"", line) for line in data.splitlines()]


def mixed_folder(folder):
    """folder (bytes) with the sample photos, one again under a name that is not UTF-8 and
    holds a quote, and a three-frame video of the group in a sub-folder, also so named.
    Returns the names under folder in the tool's order."""
    os.makedirs(folder + b"/sub")
    for sample in SAMPLES:
        shutil.copy(sample, folder + b"/" + os.fsencode(sample.name))
    shutil.copy(ROOT / "models" / "samples" / "astronaut.jpg", folder + b"/caf\xe9 \"1\".jpg")
    photo = cv2.imread(str(ROOT / "models" / "samples" / "group_1897.jpg"))
    # Written under a plain name: OpenCV's binding takes no other.
    video = cv2.VideoWriter(os.fsdecode(folder + b"/sub/clip.avi"), cv2.VideoWriter_fourcc(*"MJPG"),
                            25, (500, 347))
    for i in range(3):
        video.write(np.roll(photo, 3 * i, axis=1))
    video.release()
    os.rename(folder + b"/sub/clip.avi", folder + b"/sub/clip\xff.avi")
    return sorted([os.fsencode(s.name) for s in SAMPLES] + [b"caf\xe9 \"1\".jpg", b"sub/clip\xff.avi"])


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
def test_same_records_as_the_tool_from_files_and_a_list_of_a_folder_and_a_video(tmp_path):
    folder = os.fsencode(tmp_path / "in")
    names = mixed_folder(folder)
    video = folder + b"/sub/clip\xff.avi"
    # A photo as an argument, then the list: the folder, the video again (CRLF), an empty line.
    args = ["--every", "2", "--files-from", "-", os.fsencode(SAMPLES[0])]
    listed = folder + b"\n" + video + b"\r\n\n"
    tool = subprocess.run([TOOL, *args], input=listed, capture_output=True, check=True).stdout
    module = subprocess.run([sys.executable, "-m", "nerova", *args], input=listed,
                            capture_output=True, check=True).stdout
    assert untimed(module) == untimed(tool)
    frames = [(os.fsencode(json.loads(line)["image"]), json.loads(line).get("frame"))
              for line in tool.splitlines()]
    assert frames == [(os.fsencode(SAMPLES[0]), None)] + \
        [(folder + b"/" + n, f) for n in names for f in ((0, 2) if n.endswith(b".avi") else [None])] + \
        [(video, 0), (video, 2)]
    assert b'"time_ms": 80,' in tool and b'"track": 1' in tool


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
def test_lists_are_read_as_the_tool_reads_them(tmp_path):
    # Paths of no file, so each host names every path it read from the list.
    listed = b"a\r\nb\n\n  \n c \r\r\ncaf\xe9\n" + b"x" * 4097 + b"\n" + b"y" * 4096 + b"\r\nlast"
    want = [b"a", b"b", b"  ", b" c \r", b"caf\xe9", b"x" * 4097, b"y" * 4096, b"last"]
    package = dict(os.environ, PYTHONPATH=str(Path(nerova.__file__).resolve().parents[1]))
    hosts = [([TOOL, "--quiet"], b"nerova-face-detect: cannot read "),
             ([sys.executable, "-m", "nerova"], b"nerova: cannot read ")]
    for command, prefix in hosts:
        run = lambda data: subprocess.run([*command, "--files-from", "-"], input=data,
                                          cwd=tmp_path, env=package, capture_output=True)
        p = run(listed)
        failed = [line[len(prefix):] for line in p.stderr.split(b"\n") if line.startswith(prefix)]
        assert (p.returncode, sorted(failed)) == (1, sorted(want)), p.stderr  # in any order
        p = run(b"z" * 4098)
        assert p.returncode == 2 and b"longer than any path" in p.stderr, p.stderr


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
def test_the_tools_aligned_crops_are_nerova_align(det, tmp_path):
    photo = ROOT / "models" / "samples" / "group_1897.jpg"
    tool = subprocess.run([TOOL, "--tiles", "auto", "--crops", str(tmp_path), "--crop-size", "96",
                           str(photo)], capture_output=True, text=True, check=True)
    faces = json.loads(tool.stdout)["faces"]
    bgr = cv2.imread(str(photo))
    ours = det.detect(bgr, tiles="auto")
    assert len(faces) == len(ours) >= 4
    for k, (record, face) in enumerate(zip(faces, ours)):
        assert record["crop"].endswith("group_1897.jpg.face%d.png" % k)
        assert np.array_equal(cv2.imread(record["crop"]), nerova.align(bgr, face, 96))


def test_landmarks_and_an_aligned_crop_of_a_face_whose_points_were_placed(det):
    bgr = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    face, = det.detect(bgr)
    assert det.landmark_names[:4] == ("right_eye", "left_eye", "nose_tip", "mouth_centre")
    assert face.landmarks.shape == (6, 2)
    assert face.box == tuple(int(v) for v in face.box_float)
    (rx, ry), (lx, ly) = face.landmarks[:2]
    assert face.x1 < rx < lx < face.x2 and face.y1 < ry < face.y2, "the right eye on the left"
    assert np.array_equal(pickle.loads(pickle.dumps(face)).landmarks, face.landmarks)
    # Dots of five colours where a face tilted by 30 degrees at twice the template's size
    # would have its eyes, nose and mouth corners: the crop puts each on its template point.
    template = np.array([[38.29, 51.70], [73.53, 51.50], [56.03, 71.74], [41.55, 92.37],
                         [70.73, 92.20]])
    c, s = 2 * np.cos(np.pi / 6), 2 * np.sin(np.pi / 6)
    placed = template @ np.array([[c, s], [-s, c]]) + [250, 40]
    colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0), (0, 255, 255)]
    image = np.zeros((400, 400, 3), np.uint8)
    for (x, y), colour in zip(placed, colours):
        cv2.circle(image, (int(round(x)), int(round(y))), 5, colour, -1)
    names = ("right_eye", "left_eye", "nose_tip", "right_mouth_corner", "left_mouth_corner")
    synthetic = nerova.Face(0.99, 0, 0, 400, 400, None, placed.astype(np.float32), names)
    crop = nerova.align(image, synthetic)
    assert crop.shape == (112, 112, 3)
    for (x, y), colour in zip(template, colours):
        assert tuple(crop[int(round(y)), int(round(x))]) == colour
    for bad, error in [(nerova.Face(0.9, 0, 0, 9, 9), ValueError), ((0.9, 0, 0, 9, 9), TypeError)]:
        with pytest.raises(error):
            nerova.align(image, bad)


def test_every_pixel_format_gives_the_faces_of_its_bgr_equivalent(det):
    bgr = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))[:480, :400]
    h, w = bgr.shape[:2]
    i420 = cv2.cvtColor(bgr, cv2.COLOR_BGR2YUV_I420)
    u, v = i420[h:h + h // 4].reshape(-1), i420[h + h // 4:].reshape(-1)
    frames = {"BGR": bgr, "RGB": cv2.cvtColor(bgr, cv2.COLOR_BGR2RGB), "BGRA": cv2.cvtColor(bgr, cv2.COLOR_BGR2BGRA),
              "RGBA": cv2.cvtColor(bgr, cv2.COLOR_BGR2RGBA), "GRAY": cv2.cvtColor(bgr, cv2.COLOR_BGR2GRAY),
              "NV12": np.vstack([i420[:h], np.dstack([u, v]).reshape(h // 2, w)]),
              "NV21": np.vstack([i420[:h], np.dstack([v, u]).reshape(h // 2, w)]),
              "YV12": np.vstack([i420[:h], v.reshape(-1, w), u.reshape(-1, w)])}
    to_bgr = {"RGB": cv2.COLOR_RGB2BGR, "BGRA": cv2.COLOR_BGRA2BGR, "RGBA": cv2.COLOR_RGBA2BGR, "GRAY": cv2.COLOR_GRAY2BGR,
              "NV12": cv2.COLOR_YUV2BGR_NV12, "NV21": cv2.COLOR_YUV2BGR_NV21, "YV12": cv2.COLOR_YUV2BGR_YV12}
    for fmt, frame in frames.items():  # against OpenCV's BGR of the same pixels
        equivalent = cv2.cvtColor(frame, to_bgr[fmt]) if fmt in to_bgr else frame
        expected = det.detect(equivalent)
        assert expected, fmt
        assert det.detect(frame, pixel_format=fmt) == expected, fmt
    # Strided views are passed as they are, or copied once; the faces do not change.
    wide = np.zeros((h, w * 2, 3), np.uint8)
    wide[:, :w] = bgr
    assert det.detect(wide[:, :w]) == det.detect(bgr) == det.detect(bgr[::-1][::-1])


def test_settings_round_trip_and_refusals(det):
    names = ("score_threshold", "nms_threshold", "top_k", "candidate_pool", "overlap_merge",
             "confirm_tile_faces")
    model_settings = [getattr(det, n) for n in names]
    assert model_settings[3:] == [1024, "blend", 32], "the bundled model's selection"
    det.score_threshold, det.nms_threshold, det.top_k = 0.5, 0.3, 7
    det.candidate_pool, det.overlap_merge, det.confirm_tile_faces = 0, "drop", 0
    changed = [0.5, pytest.approx(0.3), 7, 0, "drop", 0]
    assert [getattr(det, n) for n in names] == changed
    for name, bad, error in [("score_threshold", -0.01, ValueError),
                             ("score_threshold", 1.01, ValueError),
                             ("score_threshold", math.nan, ValueError),
                             ("score_threshold", 10**400, ValueError),
                             ("score_threshold", "0.5", TypeError),
                             ("score_threshold", True, TypeError),
                             ("nms_threshold", "x", TypeError), ("nms_threshold", None, TypeError),
                             ("top_k", 0, ValueError), ("top_k", 100001, ValueError),
                             ("top_k", 10**400, ValueError), ("top_k", 2.5, TypeError),
                             ("top_k", True, TypeError), ("top_k", "7", TypeError),
                             ("candidate_pool", 4097, ValueError),
                             ("candidate_pool", -1, ValueError),
                             ("confirm_tile_faces", 257, ValueError),
                             ("confirm_tile_faces", 1.0, TypeError),
                             ("overlap_merge", "BLEND", ValueError)]:
        with pytest.raises(error):
            setattr(det, name, bad)
    assert [getattr(det, n) for n in names] == changed, "a refused value changes nothing"
    for name, value in zip(names, model_settings):
        setattr(det, name, value)
    for kwargs, error in [({"threads": "2"}, TypeError), ({"threads": 65}, ValueError),
                          ({"device": 16}, TypeError), ({"device": "DEVICE_TOASTER"}, ValueError)]:
        with pytest.raises(error):
            nerova.FaceDetector(**kwargs)
    with pytest.raises(TypeError):
        nerova.FaceDetector(3)


@pytest.mark.parametrize("image, fmt, error", [
    (np.zeros((8, 8, 3), np.float32), "BGR", TypeError),
    ([[1, 2, 3]], "GRAY", TypeError),
    (np.zeros((8, 8, 3), np.uint8), 1, TypeError),
    (np.zeros((8, 8), np.uint8), "BGR", ValueError),
    (np.zeros((8, 8, 4), np.uint8), "RGB", ValueError),
    (np.zeros((0, 8, 3), np.uint8), "BGR", ValueError),
    (np.zeros((8, 8, 3), np.uint8), "BGR24", ValueError),
    (np.zeros((10, 6), np.uint8), "NV12", ValueError),
    (np.zeros((3, 0), np.uint8), "NV12", ValueError),
    (np.zeros((12, 7), np.uint8), "YV12", ValueError),
])
def test_bad_arrays_raise_type_or_value_error(det, image, fmt, error):
    with pytest.raises(error):
        det.detect(image, pixel_format=fmt)


def test_any_array_layout_is_read_and_a_frame_too_large_says_so(det):
    bgr = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    row = np.ascontiguousarray(bgr[200:201])
    overlapping = np.lib.stride_tricks.as_strided(bgr, (64, 64, 3), (3, 3, 1))  # rows share pixels
    for view, packed in [(np.broadcast_to(row, (128, *row.shape[1:])), np.repeat(row, 128, 0)),
                         (overlapping, overlapping.copy()), (bgr[:, ::2], bgr[:, ::2].copy())]:
        assert det.detect(view) == det.detect(packed)
    for shape in [(40000, 1, 3), (1, 40000, 3), (20000, 20000, 3)]:
        huge = np.broadcast_to(np.zeros(3, np.uint8), shape)
        with pytest.raises(nerova.NerovaError) as e:
            det.detect(huge)
        assert e.value.code == 0x1002 and "larger than the library reads" in str(e.value)


def test_threads_sharing_a_detector_wait_for_each_other(det):
    import threading
    frames = [cv2.resize(cv2.imread(str(p)), (320, 240)) for p in SAMPLES]
    want = [det.detect(f) for f in frames]
    wrong, errors = [], []

    def work(k):
        for i in range(40):
            got = det.detect(frames[(i + k) % len(frames)])
            if got != want[(i + k) % len(frames)]:
                wrong.append((k, i))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert wrong == []
    # A close while others detect: their later calls are refused, none reads freed memory.
    shared = nerova.FaceDetector()

    def until_closed():
        try:
            while True:
                shared.detect(frames[0])
        except ValueError as e:
            errors.append(str(e))

    threads = [threading.Thread(target=until_closed) for _ in range(3)]
    for t in threads:
        t.start()
    shared.close()
    for t in threads:
        t.join()
    assert errors == ["the detector is closed"] * 3


def test_file_names_that_are_not_utf8(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9"
    os.mkdir(raw)
    shutil.copytree(ROOT / "models" / "face_detector_front_128", os.fsdecode(raw + b"/model"))
    shutil.copy(ROOT / "models" / "samples" / "astronaut.jpg", raw + b"/photo.jpg")
    with nerova.FaceDetector(os.fsdecode(raw + b"/model")) as d:
        assert d.input_size == (128, 128)
    p = subprocess.run([sys.executable, "-m", "nerova", os.fsdecode(raw + b"/photo.jpg")],
                       capture_output=True)
    assert p.returncode == 0, p.stderr
    record = json.loads(p.stdout)
    assert os.fsencode(record["image"]) == raw + b"/photo.jpg" and record["faces"]


def test_an_unreadable_models_folder_hides_no_other_model(tmp_path, monkeypatch):
    locked = tmp_path / "locked"
    locked.mkdir()
    real_iterdir = Path.iterdir

    def iterdir(self):  # as a folder of another user's would (root reads every folder)
        if self == locked:
            raise PermissionError(13, "Permission denied", str(self))
        return real_iterdir(self)

    monkeypatch.setenv("NEROVA_MODELS", str(locked))
    monkeypatch.setattr(Path, "iterdir", iterdir)
    with nerova.FaceDetector() as d:
        assert d.input_size == (256, 256)


def test_library_codes_raise_nerova_error_with_text_and_log_through_logging(tmp_path, caplog,
                                                                            capfd):
    with pytest.raises(nerova.NerovaError) as e:
        nerova.FaceDetector(tmp_path / "missing.onnx")
    assert e.value.code == 0x3101 and "0x3101" in str(e.value)
    lines = [r.getMessage() for r in caplog.records if r.name == "nerova"]
    assert len(lines) == 3 and all(line.startswith("E/nerova: [File module/") for line in lines)
    assert lines[0].endswith("] no model file at the path given")
    assert all(r.levelname == "ERROR" for r in caplog.records if r.name == "nerova")
    assert "E/nerova" not in capfd.readouterr().err, "captured, so not also on standard error"
    with pytest.raises(ValueError):
        nerova.FaceDetector("no_such_model_name")


def test_a_detector_made_without_settings_finds_every_face_of_a_crowd():
    # Twenty faces: the library's own ten candidates would hide half of them from anyone
    # anonymising from Python; every host detects with 100.
    face = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))[40:220, 135:315]
    mosaic = np.vstack([np.hstack([face] * 5)] * 4)
    with nerova.FaceDetector() as det:
        assert len(det.detect(mosaic)) == 20


def test_close_is_idempotent_and_a_closed_detector_refuses():
    det = nerova.FaceDetector()
    with det:
        assert det.detect(np.full((64, 64, 3), 128, np.uint8)) == []
    det.close()
    with pytest.raises(ValueError):
        det.detect(np.zeros((8, 8, 3), np.uint8))
    assert "face_detector_back_256" in nerova.models()


def test_missing_library_names_what_was_searched(tmp_path):
    shutil.copytree(Path(nerova.__file__).parent, tmp_path / "pkg" / "nerova")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "pkg"), NEROVA_LIBRARY=str(tmp_path / "none.so"))
    p = subprocess.run([sys.executable, "-c", "import nerova"], capture_output=True, text=True,
                       env=env, cwd=tmp_path)
    assert p.returncode != 0
    assert "ImportError" in p.stderr and "none.so" in p.stderr and "NEROVA_LIBRARY" in p.stderr


def test_memory_stays_flat_over_10000_detections(tmp_path):
    sys.path.insert(0, str(ROOT / "tests"))
    import make_test_models as m  # small networks with known rows
    model = tmp_path / "tiny"
    model.mkdir()
    m.save(m.rows_model(32, 32, [m.row(score=0.99)]), str(model), "model.onnx")
    (model / "inference.json").write_text('{"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}}')
    frame = np.full((48, 64, 3), 90, np.uint8)
    rss = lambda: int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    with nerova.FaceDetector(model / "model.onnx") as det:
        for _ in range(1000):
            assert len(det.detect(frame)) == 1
        before = rss()
        for _ in range(9000):
            det.detect(frame)
        grown = rss() - before
    # A leak of one small block per call (32 bytes) would add 288 kB.
    assert grown < 128 << 10, "resident memory grew by %d bytes" % grown


def iou(a, b):
    w = max(0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0, min(a[3], b[3]) - max(a[1], b[1]))
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - w * h
    return w * h / union if union > 0 else 0.0


def test_tiles_find_the_small_faces_of_the_group_photo_in_any_pixel_format():
    group = [[92, 116, 111, 139], [161, 91, 183, 112], [264, 81, 287, 105], [353, 98, 376, 118],
             [418, 90, 443, 118]]
    image = cv2.imread(str(ROOT / "models" / "samples" / "group_1897.jpg"))[:344]  # height 4n
    i420 = cv2.cvtColor(image, cv2.COLOR_BGR2YUV_I420)
    h, w = image.shape[:2]
    u, v = i420[h:h + h // 4].reshape(-1), i420[h + h // 4:].reshape(-1)
    nv12 = np.vstack([i420[:h], np.dstack([u, v]).reshape(h // 2, w)])
    found = lambda faces: sum(any(iou(f.box, g) >= 0.5 for f in faces) for g in group)
    with nerova.FaceDetector() as det:
        assert found(det.detect(image)) <= 2
        assert found(det.detect(image, tiles="auto")) >= 4
        look = det.confirmation  # the tiles' three faces, confirmed by one second look
        assert (look["candidates"], look["confirmed"], look["forwards"]) == (3, 3, 1)
        assert found(det.detect(nv12, "NV12", tiles=(2, 2))) >= 4
        assert det.tiles == (1, 1), "a call's tiles are the call's only"
        det.tiles = "auto"
        det.detect(image, tiles=(2, 2))
        assert det.tiles == (0, 0), "the automatic tiling is restored after a call's own"
        det.tiles = "2X3"
        assert det.tiles == (2, 3)
        for bad, error in [("0x2", ValueError), ((0, 0), ValueError), (3, TypeError)]:
            with pytest.raises(error):
                det.detect(image, tiles=bad)
        assert det.tiles == (2, 3), "a refused value changes nothing"


@pytest.mark.parametrize("value, text, want", [  # tiles, the tool's --tiles for it, read as
    ("off", "off", (1, 1)), ("auto", "auto", (0, 0)), ("2X3", "2X3", (2, 3)),
    ("3", "3", None), ("0x2", "0x2", None), ("17x1", "17x1", None), (" 2x3", " 2x3", None),
    ("4294967297x1", "4294967297x1", None), ("2x3\0x", None, None),
    ((2, 3), "2x3", (2, 3)), ([16, np.int64(16)], "16x16", (16, 16)),
    ((0, 0), "0x0", None), ((17, 1), "17x1", None), ((-1, 2), "-1x2", None),
    ((True, 2), "Truex2", None), ((1.5, 2), "1.5x2", None), (("a", 1), "ax1", None),
])
def test_tiles_are_refused_where_the_tool_refuses_them(value, text, want):
    from nerova.detector import parse_tiles
    if want is None:
        with pytest.raises(ValueError):
            parse_tiles(value)
    else:
        assert parse_tiles(value) == want
    if TOOL and text is not None:  # (no command line holds a NUL)
        # The tool reads every option before it acts on --version.
        tool = subprocess.run([TOOL, "--tiles", text, "--version"], capture_output=True)
        assert (tool.returncode == 0) == (want is not None), tool.stderr

