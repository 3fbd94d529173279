"""YuNet_n converted from the shared copy, through the C interface: the same faces as a numpy
decode of the source network, the group photo's five men found, and the same faces in int8."""
import os
import subprocess
import sys
from pathlib import Path

import cv2
import numpy as np
import pytest

import nerova

ROOT = Path(__file__).resolve().parents[2]
SOURCE = ROOT.parent / "shared" / "models" / "yunet"
GROUP = [[92, 116, 111, 139], [161, 91, 183, 112], [264, 81, 287, 105], [353, 98, 376, 118],
         [418, 90, 443, 118]]
needs_source = pytest.mark.skipif(not SOURCE.is_dir(),
                                  reason="no YuNet source files in %s (optional data)" % SOURCE)
sys.path.insert(0, str(ROOT / "model_tools"))
CONVERTER = str(ROOT / "model_tools" / "convert_yunet.py")


def test_converter_refuses_bad_sources_and_never_replaces_a_model(tmp_path):
    truncated = tmp_path / "truncated.onnx"
    truncated.write_bytes((ROOT / "models" / "face_detector_front_128" / "model.onnx").read_bytes()[:999])
    existing = tmp_path / "existing"
    existing.mkdir()
    (existing / "model.onnx").write_bytes(b"a model of the user's")
    (tmp_path / "file").write_bytes(b"not a folder")
    (tmp_path / "bad.jpg").write_bytes(b"\xff\xd8 not really a JPEG")
    good = str(ROOT / "models" / "samples" / "astronaut.jpg")
    # Outputs and photos are refused before the source is read, so a broken one will do.
    cases = [  # source, destination, options, message
        (truncated, tmp_path / "a", [], "cannot convert %s: Error parsing" % truncated),
        (tmp_path / "missing.onnx", tmp_path / "b", [], "No such file or directory"),
        (tmp_path, tmp_path / "c", [], "Is a directory"),
        (truncated, existing, [], "already holds a model (model.onnx); --overwrite replaces it"),
        (truncated, tmp_path / "file", [], "%s exists and is not a folder" % (tmp_path / "file")),
        (truncated, tmp_path / "file" / "a" / "b", [],
         "cannot write %s: %s is not a folder" % (tmp_path / "file" / "a" / "b", tmp_path / "file")),
        (truncated, tmp_path / "d", ["--images", good, str(tmp_path / "bad.jpg")],
         "cannot read %s: not an image OpenCV can decode" % (tmp_path / "bad.jpg")),
        (truncated, tmp_path / "e", ["--images", str(tmp_path / "gone.jpg")],
         "cannot read %s: No such file or directory" % (tmp_path / "gone.jpg")),
        (truncated, tmp_path / "f", ["--images", str(tmp_path)],
         "cannot read %s: Is a directory" % tmp_path),
    ]
    for source, destination, options, message in cases:
        p = subprocess.run([sys.executable, CONVERTER, str(source), str(destination), *options],
                           capture_output=True, text=True)
        assert p.returncode == 1 and p.stderr.count("\n") == 1 and message in p.stderr, p.stderr
    assert (existing / "model.onnx").read_bytes() == b"a model of the user's"
    assert sorted(q.name for q in tmp_path.iterdir()) == ["bad.jpg", "existing", "file", "truncated.onnx"]


@needs_source
@pytest.mark.parametrize("size, found_at_least", [(320, 4), (640, 5)])
def test_converted_yunet_matches_its_source_and_finds_the_group(tmp_path, size, found_at_least):
    import convert_yunet as yunet
    src = SOURCE / ("yunet_n_%d_%d.onnx" % (size, size))
    subprocess.run([sys.executable, str(ROOT / "model_tools" / "convert_yunet.py"), str(src),
                    str(tmp_path)], check=True, capture_output=True)
    source_net = cv2.dnn.readNetFromONNX(str(src))
    with nerova.FaceDetector(tmp_path / "model.onnx", top_k=100) as det:
        for photo in sorted((ROOT / "models" / "samples").glob("*.jpg")):
            bgr = cv2.imread(str(photo))
            got = det.detect(bgr)
            want = yunet.detect_reference(source_net, bgr, size, yunet.OPERATING_POINTS[size])
            assert len(got) == len(want), photo.name
            assert det.landmark_names == tuple(yunet.LANDMARKS)
            for g, w in zip(got, want):
                assert g.score == pytest.approx(w[0], abs=1e-4), photo.name
                assert all(abs(a - b) <= 1 for a, b in zip(g.box, w[1:5])), (photo.name, g, w)
                assert np.abs(g.landmarks - w[5]).max() < 0.05, (photo.name, g.landmarks, w[5])
        faces = det.detect(cv2.imread(str(ROOT / "models" / "samples" / "group_1897.jpg")))
    found = sum(any(yunet.iou(f.box, label) >= 0.5 for f in faces) for label in GROUP)
    assert found >= found_at_least


CALIBRATE = os.environ.get("NEROVA_CALIBRATE")


@needs_source
@pytest.mark.skipif(not CALIBRATE, reason="NEROVA_CALIBRATE names no nerova_calibrate_int8")
@pytest.mark.parametrize("size, match_iou, landmark", [(320, 0.75, 0.3), (640, 0.9, 0.15)])
def test_int8_yunet_finds_the_faces_float_finds(tmp_path, size, match_iou, landmark):
    """Calibrated on the sample photos, int8 finds the same faces on them as float, whole and
    tiled, scores within 0.02. The 640 network holds every box at IoU 0.9; on the 320 one two
    faces of 20 px move by a pixel or two (IoU 0.82 and 0.89). Landmarks move by a few per cent
    of the eyes' distance (8-bit features), up to 24 % on a small face."""
    import measure_int8
    src = SOURCE / ("yunet_n_%d_%d.onnx" % (size, size))
    subprocess.run([sys.executable, CONVERTER, str(src), str(tmp_path / "float")], check=True,
                   capture_output=True)
    photos = sorted(str(p) for p in (ROOT / "models" / "samples").glob("*.jpg"))
    model = str(tmp_path / "float" / "model.onnx")
    calibration = str(tmp_path / "calibration.txt")
    measure_int8.calibrate(CALIBRATE, model, calibration, photos)
    quantised = measure_int8.int8_folder(model, calibration, str(tmp_path / "int8"))
    faces = moved = 0
    for tiles in ("off", "auto"):
        with nerova.FaceDetector(model, top_k=100, tiles=tiles) as fp32, \
                nerova.FaceDetector(quantised, top_k=100, tiles=tiles) as int8:
            for photo in photos:
                bgr = cv2.imread(photo)
                want, got = fp32.detect(bgr), int8.detect(bgr)
                faults, worst = measure_int8.same_faces(want, got, match_iou)
                assert [f for f in faults if f[0] != "landmark"] == [], (photo, tiles)
                assert worst["landmark"] <= landmark, (photo, tiles, worst)
                faces += len(want)
                # Matched faces whose numbers int8 changed at all.
                moved += worst["score"] > 0 or worst["iou"] < 1
    assert faces >= 20
    assert moved > 0, "the int8 model gave float's numbers: it did not run in int8"
