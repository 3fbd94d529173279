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


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@needs_video
@pytest.mark.parametrize("source", ["pipe", "url"])
def test_a_stream_is_hidden_as_the_whole_file_is(source, tmp_path):
    """The walk played into the tool's standard input at 25 frames a second, or read from a
    URL, written to its standard output as it comes: with 15 frames of look-ahead every
    frame is hidden as the two-pass writer hides it, and the face is covered before its
    first detection too."""
    import functools
    import http.server
    import threading
    import time
    src = tmp_path / "walk.avi"
    moving_astronaut(src)
    common = [TOOL, "--every", "5", "--anonymize", "solid", "--video-codec", "ffv1"]
    subprocess.run(common + ["--out-dir", str(tmp_path / "off"), str(src)], check=True,
                   capture_output=True)
    data = src.read_bytes()

    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    if source == "url":
        server = http.server.ThreadingHTTPServer(
            ("127.0.0.1", 0), functools.partial(Quiet, directory=str(tmp_path)))
        player = threading.Thread(target=server.serve_forever)
        name = "http://127.0.0.1:%d/walk.avi" % server.server_address[1]
    else:
        name = "-"

        def play():
            step = len(data) // 40 + 1
            for at in range(0, len(data), step):
                live.stdin.write(data[at:at + step])
                live.stdin.flush()
                time.sleep(1 / 25)
            live.stdin.close()
        player = threading.Thread(target=play)
    live = subprocess.Popen(common + ["--live-out", "-", name],
                            stdin=subprocess.PIPE if source == "pipe" else subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    player.start()
    out = live.stdout.read()
    err = live.stderr.read().decode()
    if source == "url":
        server.shutdown()
        server.server_close()
    player.join()
    assert live.wait() == 0, err
    assert out[:4] == b"\x1a\x45\xdf\xa3", "Matroska, no records mixed in"
    assert "written 15 frames (0.60 s) behind the input" in err
    (tmp_path / "live.mkv").write_bytes(out)
    ours, offline, original = (frames(p) for p in (tmp_path / "live.mkv",
                                                   tmp_path / "off" / "walk.avi", src))
    assert len(ours) == len(offline) == 40
    assert all(np.array_equal(a, b) for a, b in zip(ours, offline))
    # Without look-ahead a face is hidden only from its first detection on.
    subprocess.run(common + ["--latency", "0", "--live-out", str(tmp_path / "now.mkv"), str(src)],
                   check=True, capture_output=True)
    now = frames(tmp_path / "now.mkv")
    changed = [[np.abs(a.astype(int) - b).max() > 40 for a, b in zip(v, original)]
               for v in (now, ours)]
    assert sum(changed[0]) < sum(changed[1]), changed


@pytest.mark.skipif(not TOOL, reason="NEROVA_TOOL names no command-line tool to compare with")
@pytest.mark.parametrize("args", [["--live-out", "x.mkv", "a.avi", "b.avi"],
                                  ["--live-out", "x.mkv", "--out-dir", "o", "a.avi"],
                                  ["--live-out", "x.mkv", "--report", "r", "a.avi"],
                                  ["--latency", "1001", "--live-out", "x.mkv", "a.avi"]])
def test_live_output_is_refused_where_it_cannot_be(args, tmp_path):
    for name in ("a.avi", "b.avi"):
        moving_astronaut(tmp_path / name, frames=2)
    run = subprocess.run([TOOL, "--anonymize", "blur"] + args, cwd=tmp_path, capture_output=True)
    assert run.returncode == 2, run.stderr
    assert not (tmp_path / "x.mkv").exists()


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
