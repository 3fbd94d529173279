"""The Python package as a user meets it, on the installed (or NEROVA_LIBRARY) library."""
import json
import math
import os
import shutil
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import nerova

ROOT = Path(__file__).resolve().parents[2]
SAMPLES = sorted((ROOT / "models" / "samples").glob("*.jpg"))
TOOL = os.environ.get("NEROVA_TOOL")


@pytest.fixture(scope="module")
def det():
    with nerova.FaceDetector(top_k=100) as d:
        yield d


def strip_ms(line):
    record = json.loads(line)
    record.pop("ms")
    return record


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
def test_same_records_as_the_tool_on_the_samples():
    tool = subprocess.run([TOOL, *map(str, SAMPLES)], capture_output=True, text=True, check=True)
    module = subprocess.run([sys.executable, "-m", "nerova", *map(str, SAMPLES)],
                            capture_output=True, text=True, check=True)
    assert [strip_ms(l) for l in module.stdout.splitlines()] == \
        [strip_ms(l) for l in tool.stdout.splitlines()]
    assert any(strip_ms(l)["faces"] for l in module.stdout.splitlines())


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
    det.score_threshold, det.nms_threshold, det.top_k = 0.5, 0.3, 7
    assert (det.score_threshold, det.nms_threshold, det.top_k) == (0.5, pytest.approx(0.3), 7)
    for name, bad in [("score_threshold", -0.01), ("score_threshold", 1.01),
                      ("score_threshold", math.nan), ("nms_threshold", "x"), ("top_k", 0),
                      ("top_k", 100001), ("top_k", 2.5), ("top_k", True)]:
        with pytest.raises(ValueError):
            setattr(det, name, bad)
    assert (det.score_threshold, det.top_k) == (0.5, 7), "a refused value changes nothing"
    det.score_threshold, det.nms_threshold, det.top_k = 0.95, 0.7, 100


@pytest.mark.parametrize("image, fmt", [
    (np.zeros((8, 8, 3), np.float32), "BGR"),
    (np.zeros((8, 8), np.uint8), "BGR"),
    (np.zeros((8, 8, 4), np.uint8), "RGB"),
    (np.zeros((0, 8, 3), np.uint8), "BGR"),
    (np.zeros((8, 8, 3), np.uint8), "BGR24"),
    (np.zeros((10, 6), np.uint8), "NV12"),
    (np.zeros((12, 7), np.uint8), "YV12"),
    ([[1, 2, 3]], "GRAY"),
])
def test_bad_arrays_raise_value_error(det, image, fmt):
    with pytest.raises(ValueError):
        det.detect(image, pixel_format=fmt)


def test_library_codes_raise_nerova_error_with_text(tmp_path):
    with pytest.raises(nerova.NerovaError) as e:
        nerova.FaceDetector(tmp_path / "missing.onnx")
    assert e.value.code == 0x3101 and "0x3101" in str(e.value)
    with pytest.raises(ValueError):
        nerova.FaceDetector("no_such_model_name")


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


def test_tiles_find_the_small_faces_of_the_group_photo():
    group = [[92, 116, 111, 139], [161, 91, 183, 112], [264, 81, 287, 105], [353, 98, 376, 118],
             [418, 90, 443, 118]]
    from nerova.tiling import _iou
    image = cv2.imread(str(ROOT / "models" / "samples" / "group_1897.jpg"))
    with nerova.FaceDetector(top_k=100) as det:
        found = {t: sum(any(_iou(f.box, g) >= 0.5 for f in det.detect(image, tiles=t)) for g in group)
                 for t in (None, "auto")}
        assert found[None] <= 2 and found["auto"] >= 4, found
        for bad in ("3", "0x2", "17x1"):
            with pytest.raises(ValueError):
                det.detect(image, tiles=bad)
        with pytest.raises(ValueError):
            det.detect(np.zeros((12, 8), np.uint8), pixel_format="NV12", tiles="2x2")
