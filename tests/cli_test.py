#!/usr/bin/python3
"""The command-line tool as a user meets it: output shape, options and exit codes."""
import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import unittest

import cv2
import numpy as np

TOOL = sys.argv[1]
MODELS = sys.argv[2]  # generated test networks
# Makes clips with sound, and probes what a video holds; absent from a build without the
# video library, whose tool refuses videos.
AV_CLIP = sys.argv.pop(3) if len(sys.argv) > 3 else None
with_video = unittest.skipUnless(AV_CLIP, "this build has no video library")


def not_json(constant):
    raise ValueError(constant + " is not a JSON number")


def run(*args):
    p = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=300)
    lines = [json.loads(l, parse_constant=not_json) for l in p.stdout.splitlines() if l.strip()]
    return p.returncode, lines, p.stderr


def iou(a, b):
    w = max(0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0, min(a[3], b[3]) - max(a[1], b[1]))
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - w * h
    return w * h / union if union > 0 else 0.0


class CliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.model, cls.images = os.path.join(cls.tmp, "model", "model.onnx"), os.path.join(cls.tmp, "images")
        cls.write(os.path.join(cls.tmp, "model", "inference.json"), b'{"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": "DEVICE_X86"}}')
        shutil.copy(os.path.join(MODELS, "fixed_rows_320.onnx"), cls.model)
        # Frames of the mean colour make the network emit its fixed rows.
        cls.write_ppm(os.path.join(cls.images, "b.ppm"), 320, 320)
        cls.write_ppm(os.path.join(cls.images, "sub", "a.ppm"), 640, 640)
        cls.write(os.path.join(cls.images, "notes.txt"), b"not an image")
        cls.broken = cls.write(os.path.join(cls.tmp, "broken.png"), b"\x89PNG but truncated")

    @staticmethod
    def write(path, data):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    @classmethod
    def write_ppm(cls, path, w, h):
        cls.write(path, b"P6 %d %d 255\n" % (w, h) + bytes([123, 117, 104]) * (w * h))  # RGB order

    def test_json_shape_and_folder_order(self):
        code, out, err = run("--model", self.model, self.images)
        self.assertEqual(code, 0, err)
        self.assertEqual([o["image"] for o in out],
                         [os.path.join(self.images, "b.ppm"), os.path.join(self.images, "sub", "a.ppm")])
        self.assertEqual((set(out[0]), out[0]["width"], out[0]["height"]), ({"image", "width", "height", "faces", "ms"}, 320, 320))
        self.assertEqual([f["box"] for f in out[0]["faces"]], [[120, 100, 200, 220], [30, 30, 70, 70], [0, 290, 30, 320]])
        self.assertEqual(out[1]["faces"][0]["box"], [240, 200, 400, 440])
        self.assertIn("2 images, 6 faces", err)

    def test_options_reach_the_detector_and_an_unavailable_device_falls_back(self):
        code, out, _ = run("--model=" + self.model, "--score-threshold=0.97", self.images + "/b.ppm")
        self.assertEqual(code, 0)
        self.assertEqual(len(out[0]["faces"]), 1)
        code, out, _ = run("--model", self.model, "--nms-threshold", "0.95", "--top-k", "2", self.images + "/b.ppm")
        self.assertEqual([f["score"] for f in out[0]["faces"]], [0.99, 0.97])
        for fmt in ("RGB", "BGRA", "RGBA", "GRAY", "NV12", "NV21", "YV12"):
            code, out, err = run("--model", self.model, "--pixel-format", fmt, self.images + "/b.ppm")
            self.assertEqual(code, 0, fmt + err)
            self.assertEqual(len(out), 1, fmt)
        code, out, err = run("--model", self.model, "--device", "DEVICE_CUDA", "--threads", "2", self.images + "/b.ppm")
        self.assertEqual(code, 0, err)
        self.assertIn("DEVICE_CUDA is not available, running on the CPU", err)
        self.assertEqual(len(out[0]["faces"]), 3)

    def test_outputs_never_collide_or_vanish(self):
        other = os.path.join(self.tmp, "other")  # b.ppm again, and the same stem as a PNG
        self.write_ppm(os.path.join(other, "b.ppm"), 64, 64)
        shutil.copy(os.path.join(other, "b.ppm"), os.path.join(other, "b.png"))
        out, blocked = os.path.join(self.tmp, "out"), os.path.join(self.tmp, "blocked")
        os.makedirs(os.path.join(blocked, "b.ppm"))  # a folder where a file goes
        open(os.path.join(blocked, "sub"), "w").close()  # a file where a folder goes
        both = [self.images, other]
        every = ["b.png", "b.ppm", "b_1.ppm", "sub/a.ppm"]
        inner = os.path.join(other, "drawn")  # not searched for inputs on the next run
        cases = [  # output folder, options, inputs, exit status, records, files afterwards, message
            (out, [], both, 0, 4, every, "out/b.ppm is taken by another input; writing " + out + "/b_1.ppm"),
            (out, [], both, 1, 4, every, "out/b.ppm: it exists (--overwrite replaces it)"),
            (out, ["--overwrite"], both, 0, 4, every, ""),
            (blocked, ["--overwrite"], both, 1, 4, ["b.png", "b_1.ppm", "sub"], "cannot write " + blocked + "/sub/a.ppm"),
            (other, ["--overwrite"], [other + "/b.ppm"], 1, 1, ["b.png", "b.ppm"], "b.ppm: it is an input"),
            (inner, [], [other], 0, 2, ["b.png", "b.ppm"], ""),
            (inner, ["--overwrite"], [other], 0, 2, ["b.png", "b.ppm"], ""),
        ]
        for out_dir, options, inputs, want, records, files, text in cases:
            before = self.stamps(out_dir)
            code, lines, err = run("--model", self.model, *options, "--draw", out_dir, *inputs)
            self.assertEqual(code, want, err)
            self.assertIn(text, err)
            self.assertEqual(sorted(self.stamps(out_dir)), files)  # and no temporary file left
            self.assertEqual(len(lines), records)
            if want and out_dir != blocked:  # refused outputs are untouched
                self.assertEqual(self.stamps(out_dir), before)

    @staticmethod
    def stamps(folder):
        return {os.path.relpath(os.path.join(root, n), folder): os.stat(os.path.join(root, n)).st_mtime_ns
                for root, _, names in os.walk(folder) for n in names}

    def test_errors(self):
        m = ["--model", self.model]
        cases = [
            (["--model", os.path.join(self.tmp, "missing.onnx"), self.images], 3, "cannot load model"),
            ([*m, "--top-k", "zero", self.images], 2, "--top-k"),
            ([*m, "--top-k=100001", self.images], 2, "refused: value out of range (0x100B)"),
            ([*m, "--score-threshold", "nan", self.images], 2, "(0x100B)"),
            ([*m, "--threads", "65", self.images], 2, "from 1 to 64"),
            ([*m, "--threads=0", self.images], 2, "from 1 to 64"),
            ([*m, "--device", "DEVICE_TOASTER", self.images], 2, "unknown device"),
            ([*m, "--pixel-format", "CMYK", self.images], 2, "unknown pixel format"),
            ([*m, "--bogus", self.images], 2, "unknown option"),
            ([*m, "--anonymize", "blur", self.images], 2, "needs --out-dir"),
            ([*m, "--anonymize", "smudge", "--out-dir", self.tmp, self.images], 2, "blur, pixelate or solid"),
            ([*m, "--out-dir", self.tmp, self.images], 2, "--out-dir is the folder of --anonymize"),
            ([*m, "--mask-scale", "0.9", self.images], 2, "from 1 to 10"),
            ([*m, "--jobs", "0", self.images], 2, "--jobs needs"),
            ([*m, "--files-from", os.path.join(self.tmp, "missing.txt")], 2, "cannot read the list"),
            ([*m, "--files-from", "/dev/zero"], 2, "/dev/zero: line 1 is longer than any path"),
            (m, 2, "no input"),
            ([*m, "--tiles", "0x2", self.images], 2, "--tiles needs"),
            ([*m, "--tiles", "4294967297x1", self.images], 2, "--tiles needs"),
            ([*m, "--confirm-tile-faces", "257", self.images], 2, "--confirm-tile-faces needs"),
            (["--model", "no_such_model", self.images], 3, "no model named no_such_model"),
            ([*m, "--crops", self.tmp, self.images], 2, "--crops needs a model with eye"),
            ([*m, "--crop-size", "8", self.images], 2, "--crop-size needs"),
        ]
        for args, want, text in cases:
            code, _, err = run(*args)
            self.assertEqual(code, want, args)
            self.assertIn(text, err, args)
            # One reason from the tool (the library may add its own diagnostic lines first).
            own = [l for l in err.splitlines() if l.startswith("nerova-face-detect:")]
            self.assertEqual(len(own), 1, err)
        # An unreadable input fails alone; the others are still processed. --quiet leaves
        # only the records and the tool's own errors.
        code, out, err = run(*m, self.broken, self.images + "/b.ppm")
        self.assertEqual(code, 1)
        self.assertEqual(len(out), 1)
        self.assertIn("cannot read " + self.broken, err)
        quiet = run(*m, "--quiet", self.broken, self.images + "/b.ppm")
        self.assertEqual((quiet[0], len(quiet[1]), quiet[2]), (1, 1, "nerova-face-detect: cannot read %s\n" % self.broken))
        code, out, err = run("--quiet", "--model", os.path.join(self.tmp, "missing.onnx"), self.images)
        self.assertEqual((code, err.count("\n"), "E/nerova" in err), (3, 1, False))

    def test_tiles_find_the_small_faces_of_the_group_sample(self):
        # The bundled default by name; the five men of the sample are about 25 px in 500 px.
        men = [[92, 116, 111, 139], [161, 91, 183, 112], [264, 81, 287, 105], [353, 98, 376, 118], [418, 90, 443, 118]]
        group = os.path.join(os.path.dirname(__file__), "..", "models", "samples", "group_1897.jpg")
        found = {}
        for tiles in ("off", "auto"):
            code, out, _ = run("--model", "face_detector_back_256", "--tiles", tiles, group)
            self.assertEqual(code, 0)
            found[tiles] = sum(any(iou(f["box"], m) >= 0.5 for f in out[0]["faces"]) for m in men)
        self.assertLessEqual(found["off"], 2)
        self.assertGreaterEqual(found["auto"], 4)

    @with_video
    def test_video_frames_times_and_input_order(self):
        path = self.write_video(os.path.join(self.tmp, "clip.avi"), np.full((240, 320, 3), (104, 117, 123), np.uint8), 7)
        # The long video is one job and the image after it another: the image finishes first.
        code, out, err = run("--model", self.model, "--every", "3", "--jobs", "2", path, self.images + "/b.ppm")
        self.assertEqual(code, 0, err)
        self.assertEqual([(o["image"], o.get("frame"), o.get("time_ms")) for o in out],
                         [(path, 0, 0), (path, 3, 300), (path, 6, 600), (self.images + "/b.ppm", None, None)])
        self.assertEqual(out[0]["faces"][0]["box"], [120, 100, 200, 220])

    @with_video
    def test_video_anonymised_into_video(self):
        photo = cv2.imread(os.path.join(os.path.dirname(__file__), "..", "models", "samples", "astronaut.jpg"))
        for how, shape, every, ext in [("blur", "ellipse", "1", ".avi"), ("pixelate", "rect", "2", ".mp4"),
                                       ("solid", "ellipse", "1", ".wmv")]:
            source = self.write_video(os.path.join(self.tmp, how + ext), photo, 4)
            out_dir = os.path.join(self.tmp, "hidden-" + how)
            code, before, err = run("--anonymize", how, "--mask-shape", shape, "--every", every, "--out-dir", out_dir, source)
            self.assertEqual(code, 0, err)
            self.assertTrue(all(o["faces"] for o in before), how)
            written = os.path.join(out_dir, how + ext + (".avi" if ext == ".wmv" else ""))
            code, after, err = run(written)  # every frame, at the same size and times, no face left
            self.assertEqual(code, 0, err)
            self.assertEqual([(o["frame"], o["time_ms"], o["width"], o["height"], o["faces"]) for o in after],
                             [(i, 100 * i, 512, 512, []) for i in range(4)], how)

    @with_video
    def test_a_variable_frame_rate_keeps_its_timing_and_its_sound_in_step(self):
        for name in ("vfr.mkv", "vfr.avi"):
            src = os.path.join(self.tmp, name)
            subprocess.run([AV_CLIP, "make", src, "20", "10", "vfr"], check=True)
            out = os.path.join(self.tmp, "vfr-out")
            code, lines, err = run("--model", self.model, "--anonymize", "blur", "--out-dir", out, src)
            self.assertEqual((code, len(lines)), (0, 20), err)
            ends = lambda path: dict(l.split() for l in subprocess.run(
                [AV_CLIP, "ends", path], capture_output=True, text=True, check=True).stdout.splitlines())
            given, written = ends(src), ends(os.path.join(out, name))
            self.assertAlmostEqual(float(written["video"]), float(given["video"]), delta=0.11, msg=name)
            self.assertAlmostEqual(float(written["audio"]), float(given["audio"]), delta=0.11, msg=name)

    @with_video
    def test_the_batch_warns_as_the_tool_of_what_a_written_video_cannot_keep(self):
        src = os.path.join(self.tmp, "titled.mkv")
        subprocess.run([AV_CLIP, "make", src, "6", "10", "subtitles"], check=True)
        build = os.path.dirname(os.path.dirname(os.path.abspath(TOOL)))
        needed = subprocess.run(["readelf", "-d", os.path.join(build, "libnerova_module_face_detector.so")],
                                capture_output=True, text=True).stdout
        if "libasan" in needed:  # Python cannot load a sanitized library; the install test runs it
            self.skipTest("the library is built with AddressSanitizer")
        env = dict(os.environ, NEROVA_LIBRARY=os.path.join(build, "libnerova_module_face_detector.so"),
                   PYTHONPATH=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
        warnings = {}
        for host, command in (("nerova-face-detect", [TOOL]),
                              ("nerova-batch", [sys.executable, "-m", "nerova.batch", "--local-workers", "1",
                                                "--out", os.path.join(self.tmp, "titled.jsonl")])):
            p = subprocess.run(command + ["--model", self.model, "--anonymize", "blur", "--out-dir",
                                          os.path.join(self.tmp, host), src],
                               capture_output=True, text=True, env=env, timeout=300)
            self.assertEqual(p.returncode, 0, p.stderr)
            warnings[host] = [l[len(host) + 2:] for l in p.stderr.splitlines() if l.startswith(host + ": warning: ")]
        self.assertEqual(warnings["nerova-batch"], warnings["nerova-face-detect"])
        self.assertEqual(len(warnings["nerova-batch"]), 1)
        self.assertIn("(subtitle, subrip) is not kept", warnings["nerova-batch"][0])

    @unittest.skipIf(AV_CLIP, "this build has the video library")
    def test_without_the_video_library_videos_are_refused_and_pictures_detected(self):
        clip = self.write_video(os.path.join(self.tmp, "clip.avi"), np.full((120, 160, 3), 128, np.uint8), 3)
        code, out, err = run("--model", self.model, clip, self.images + "/b.ppm")
        self.assertEqual((code, [o["image"] for o in out]), (1, [self.images + "/b.ppm"]), err)
        self.assertIn(clip + ": videos need the video library (libnerova_video)", err)

    @staticmethod
    def write_video(path, frame, count):
        writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*("mp4v" if path.endswith(".mp4") else "MJPG")), 10, (frame.shape[1], frame.shape[0]))
        for _ in range(count):
            writer.write(frame)
        writer.release()
        return path

    @with_video
    def test_written_videos_keep_every_frame_and_the_sound_in_the_chosen_codec(self):
        out = os.path.join(self.tmp, "sound")
        cases = [  # input, options, exit status, video codec, sound kept, warning
            ("clip.avi", [], 0, "mjpeg", True, ""),
            ("clip.mkv", [], 0, "h264", True, ""),
            ("clip.mkv", ["--video-codec", "ffv1", "--video-quality", "5"], 0, "ffv1", True, ""),
            ("clip.mp4", ["--video-codec", "ffv1"], 1, None, False, "cannot hold ffv1"),
        ]
        for name, options, want, codec, sound, warning in cases:
            src = os.path.join(self.tmp, "clips", name)
            os.makedirs(os.path.dirname(src), exist_ok=True)
            if sound:
                subprocess.run([AV_CLIP, "make", src, "30", "10"], check=True)
            else:
                self.write_video(src, np.full((120, 160, 3), 128, np.uint8), 30)
            code, lines, err = run("--model", self.model, "--anonymize", "blur", "--out-dir", out,
                                   "--overwrite", *options, src)
            self.assertEqual((code, len(lines)), (want, 30), err)
            self.assertIn(warning, err)
            if codec is None:
                self.assertFalse(os.path.exists(os.path.join(out, name)))
                continue
            probe = subprocess.run([AV_CLIP, "probe", os.path.join(out, name)], capture_output=True,
                                   text=True, check=True).stdout.split()
            self.assertEqual(probe[:3], ["video", codec, "30"], name)
            if sound:
                self.assertEqual(probe[3:5], ["audio", "pcm_s16le"], name)
                self.assertAlmostEqual(float(probe[5]), 3.0, delta=0.11)
            else:
                self.assertEqual(len(probe), 3, probe)
        self.assertEqual(run("--model", self.model, "--video-codec", "vp9", self.images)[0], 2)

    def test_progress_only_on_a_terminal(self):
        for terminal in (True, False):
            master, slave = pty.openpty() if terminal else os.pipe()
            p = subprocess.Popen([TOOL, "--model", self.model, self.images], stdout=subprocess.PIPE, stderr=slave)
            os.close(slave)
            err = chunk = b"-"
            while chunk:
                try:
                    chunk = os.read(master, 4096)
                except OSError:  # the terminal closes with the tool
                    chunk = b""
                err += chunk
            os.close(master)
            lines = [json.loads(l) for l in p.communicate()[0].splitlines()]
            self.assertEqual(len(lines), 2)
            self.assertEqual(b"2/2 images" in err and b"ETA" in err, terminal, err)
            self.assertEqual(b"\r" in err, terminal, err)

    def test_hosts_hazards_end_cleanly(self):
        # Many undecodable videos opened by two workers at once: every one a clean failure,
        # and no back-end's diagnostics on the terminal.
        stubs = os.path.join(self.tmp, "stubs")
        for i in range(60):
            self.write(os.path.join(stubs, "g%d.avi" % i), b"RIFF\0\0\0\0")
            self.write(os.path.join(stubs, "h%d.mp4" % i), b"RIFF\0\0\0\0")
        code, out, err = run("--model", self.model, "--jobs", "2", stubs)
        self.assertEqual((code, out), (1, []))
        self.assertIn("120 inputs failed", err)
        self.assertEqual([l for l in err.splitlines() if not l.startswith("nerova-face-detect: ")], [])
        # Photos thin enough that letterboxing would leave a side of no pixel.
        thin = [self.write_ppm(os.path.join(self.tmp, "thin", "%dx%d.ppm" % wh), *wh) or wh for wh in ((1, 5000), (5000, 2), (1, 1))]
        code, out, err = run("--model", "face_detector_front_128", os.path.join(self.tmp, "thin"))
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted((o["width"], o["height"]) for o in out), sorted(thin))
        # A list saved with CRLF line ends names the same files.
        listed = self.write(os.path.join(self.tmp, "crlf.txt"), os.fsencode(self.images) + b"/b.ppm\r\n")
        code, out, err = run("--model", self.model, "--files-from", listed)
        self.assertEqual((code, [o["image"] for o in out]), (0, [self.images + "/b.ppm"]), err)
        # Records that cannot be written are a failure, not a success.
        with open("/dev/full", "w") as full:
            p = subprocess.run([TOOL, "--model", self.model, self.images], stdout=full, stderr=subprocess.PIPE, text=True)
        self.assertEqual(p.returncode, 1)
        self.assertIn("cannot write the records to standard output: No space left on device", p.stderr)

    def test_raw_file_names_from_a_list(self):
        raw = os.path.join(os.fsencode(self.tmp), b"caf\xe9-\xff.ppm")  # Latin-1, not UTF-8
        shutil.copy(os.path.join(self.images, "b.ppm"), raw)
        listed = raw + b"\n" + os.fsencode(self.images) + b"/sub/a.ppm\n"
        p = subprocess.run([TOOL, "--model", self.model, "--files-from", "-"], input=listed, capture_output=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        out = [json.loads(l) for l in p.stdout.splitlines()]
        self.assertEqual([os.fsencode(o["image"]) for o in out], listed.splitlines())


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
