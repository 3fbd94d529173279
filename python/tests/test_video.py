"""Faces followed and hidden in video, from Python as from the tool."""
import os
import subprocess

import cv2
import numpy as np
import pytest

import nerova

from test_nerova import ROOT, TOOL

from conftest import needs_video


def moving_astronaut(path, frames=40):
    """The astronaut walking in from the left edge and out at the right."""
    photo = cv2.imread(str(ROOT / "models" / "samples" / "astronaut.jpg"))
    video = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25, (640, 480))
    for i in range(frames):
        frame = np.zeros((480, 640, 3), np.uint8)
        x = -250 + 24 * i
        left, right = max(0, -x), min(512, 640 - x)
        if right > left:
            frame[:, max(0, x):max(0, x) + right - left] = photo[:480, left:right]
        video.write(frame)
    video.release()


def frames(path):
    video, out = cv2.VideoCapture(str(path)), []
    while True:
        ok, frame = video.read()
        if not ok:
            return out
        out.append(frame)


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
def test_python_hides_the_same_faces_in_the_same_frames_as_the_tool(tmp_path):
    src = tmp_path / "walk.avi"
    moving_astronaut(src)
    run = subprocess.run([TOOL, "--every", "5", "--anonymize", "pixelate", "--out-dir",
                          str(tmp_path / "tool"), str(src)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    with nerova.FaceDetector() as det:
        report = nerova.anonymize_video(str(src), str(tmp_path / "py.avi"), det, every=5,
                                        how="pixelate")
    assert "%d frames, %d face masks" % (report["frames"], report["masks"]) in run.stderr
    ours, theirs, original = (frames(p) for p in (tmp_path / "py.avi", tmp_path / "tool" /
                                                   "walk.avi", src))
    assert len(ours) == len(theirs) == len(original) == 40
    assert all(np.array_equal(a, b) for a, b in zip(ours, theirs))
    assert (tmp_path / "py.avi").read_bytes() == (tmp_path / "tool" / "walk.avi").read_bytes()
    # Every frame with the face partly in view is changed, before the first detection too.
    changed = [np.abs(a.astype(int) - b).max() > 40 for a, b in zip(ours, original)]
    assert all(changed[2:27]), changed


def test_anonymize_hides_in_place_and_refuses_what_it_cannot_hide():
    image = np.full((60, 80, 3), 200, np.uint8)
    image[20:40, 30:50] = 0  # a "face" with texture for the blur to spread
    face = nerova.Face(0.9, 30, 20, 50, 40)
    out = nerova.anonymize(image, [face], how="solid", shape="rect", scale=1.0)
    assert out is image and image[20:40, 30:50].max() == 0 and image[5, 5, 0] == 200
    for args, error in [((np.zeros((8, 8, 3), np.float32), [face]), TypeError),
                        ((np.zeros((8, 8, 2), np.uint8), [face]), ValueError),
                        ((np.zeros((8, 8, 3), np.uint8), [face], "smudge"), ValueError),
                        ((np.zeros((8, 8, 3), np.uint8), [face], "blur", "ellipse", 0.5), ValueError),
                        ((np.zeros((8, 8, 3), np.uint8), [face], "image"), ValueError)]:
        with pytest.raises(error):
            nerova.anonymize(*args)
