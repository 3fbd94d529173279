#!/usr/bin/python3
"""The command-line tool as a user meets it: output shape, options and exit codes."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

TOOL = sys.argv[1]
MODELS = sys.argv[2]  # generated test networks


def not_json(constant):
    raise ValueError(constant + " is not a JSON number")


def run(*args):
    p = subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=300)
    lines = [json.loads(l, parse_constant=not_json) for l in p.stdout.splitlines() if l.strip()]
    return p.returncode, lines, p.stderr


class CliTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp()
        cls.model_dir = os.path.join(cls.tmp, "model")
        os.makedirs(cls.model_dir)
        shutil.copy(os.path.join(MODELS, "fixed_rows_320.onnx"), os.path.join(cls.model_dir, "model.onnx"))
        with open(os.path.join(cls.model_dir, "inference.json"), "w") as f:
            f.write('{"ModelConfig": {"Type": "MODEL_TYPE_ONNX"}, "NetworkConfig": {"DeviceType": "DEVICE_X86"}}')
        cls.model = os.path.join(cls.model_dir, "model.onnx")
        # Frames of the mean colour make the network emit its fixed rows.
        cls.images = os.path.join(cls.tmp, "images")
        os.makedirs(os.path.join(cls.images, "sub"))
        cls.write_ppm(os.path.join(cls.images, "b.ppm"), 320, 320)
        cls.write_ppm(os.path.join(cls.images, "sub", "a.ppm"), 640, 640)
        with open(os.path.join(cls.images, "notes.txt"), "w") as f:
            f.write("not an image")
        cls.broken = os.path.join(cls.tmp, "broken.png")
        with open(cls.broken, "wb") as f:
            f.write(b"\x89PNG but truncated")

    @staticmethod
    def write_ppm(path, w, h):
        with open(path, "wb") as f:
            f.write(b"P6 %d %d 255\n" % (w, h))
            f.write(bytes([123, 117, 104]) * (w * h))  # RGB order in the file

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp)

    def test_json_shape_and_folder_order(self):
        code, out, err = run("--model", self.model, self.images)
        self.assertEqual(code, 0, err)
        self.assertEqual([o["image"] for o in out],
                         [os.path.join(self.images, "b.ppm"), os.path.join(self.images, "sub", "a.ppm")])
        first = out[0]
        self.assertEqual(set(first), {"image", "width", "height", "faces", "ms"})
        self.assertEqual((first["width"], first["height"]), (320, 320))
        self.assertEqual([f["box"] for f in first["faces"]], [[120, 100, 200, 220], [30, 30, 70, 70], [0, 290, 30, 320]])
        self.assertEqual([f["box"] for f in out[1]["faces"]][0], [240, 200, 400, 440])
        self.assertIn("2 images, 6 faces", err)

    def test_options_reach_the_detector(self):
        code, out, _ = run("--model=" + self.model, "--score-threshold=0.97", self.images + "/b.ppm")
        self.assertEqual(code, 0)
        self.assertEqual(len(out[0]["faces"]), 1)
        code, out, _ = run("--model", self.model, "--nms-threshold", "0.95", "--top-k", "2", self.images + "/b.ppm")
        self.assertEqual([f["score"] for f in out[0]["faces"]], [0.99, 0.97])
        for fmt in ("RGB", "BGRA", "RGBA", "GRAY", "NV12", "NV21", "YV12"):
            code, out, err = run("--model", self.model, "--pixel-format", fmt, self.images + "/b.ppm")
            self.assertEqual(code, 0, fmt + err)
            self.assertEqual(len(out), 1, fmt)

    def test_unavailable_device_falls_back_and_says_so(self):
        code, out, err = run("--model", self.model, "--device", "DEVICE_CUDA", "--threads", "2", self.images + "/b.ppm")
        self.assertEqual(code, 0, err)
        self.assertIn("DEVICE_CUDA is not available, running on the CPU", err)
        self.assertEqual(len(out[0]["faces"]), 3)

    def test_draw_writes_annotated_images(self):
        out_dir = os.path.join(self.tmp, "drawn")
        code, _, err = run("--model", self.model, "--draw", out_dir, self.images)
        self.assertEqual(code, 0, err)
        self.assertEqual(sorted(os.listdir(out_dir)), ["b.jpg", "sub_a.jpg"])

    def test_errors(self):
        cases = [
            (["--model", os.path.join(self.tmp, "missing.onnx"), self.images], 3, "cannot load model"),
            (["--model", self.model, "--top-k", "zero", self.images], 2, "--top-k"),
            (["--model", self.model, "--top-k=100001", self.images], 2, "refused: value out of range (0x100B)"),
            (["--model", self.model, "--score-threshold", "nan", self.images], 2, "(0x100B)"),
            (["--model", self.model, "--threads", "65", self.images], 2, "from 1 to 64"),
            (["--model", self.model, "--threads=0", self.images], 2, "from 1 to 64"),
            (["--model", self.model, "--device", "DEVICE_TOASTER", self.images], 2, "unknown device"),
            (["--model", self.model, "--pixel-format", "CMYK", self.images], 2, "unknown pixel format"),
            (["--model", self.model, "--bogus", self.images], 2, "unknown option"),
            (["--model", self.model], 2, "no input"),
        ]
        for args, want, text in cases:
            code, _, err = run(*args)
            self.assertEqual(code, want, args)
            self.assertIn(text, err, args)
            # One reason from the tool (the library may add its own diagnostic lines first).
            own = [l for l in err.splitlines() if l.startswith("nerova-face-detect:")]
            self.assertEqual(len(own), 1, err)
        # An unreadable input fails alone; the others are still processed.
        code, out, err = run("--model", self.model, self.broken, self.images + "/b.ppm")
        self.assertEqual(code, 1)
        self.assertEqual(len(out), 1)
        self.assertIn("cannot read " + self.broken, err)
        p = subprocess.run([TOOL, "--version"], capture_output=True, text=True)
        self.assertRegex(p.stdout, r"^nerova-face-detect \d+\.\d+\.\d+ \(library \d+\.\d+\.\d+\)$")

    def test_video_every_nth_frame(self):
        import cv2
        import numpy as np
        path = os.path.join(self.tmp, "clip.avi")
        writer = cv2.VideoWriter(path, cv2.VideoWriter_fourcc(*"MJPG"), 10, (320, 240))
        for _ in range(7):
            writer.write(np.full((240, 320, 3), (104, 117, 123), np.uint8))
        writer.release()
        code, out, err = run("--model", self.model, "--every", "3", path)
        self.assertEqual(code, 0, err)
        self.assertEqual([o["frame"] for o in out], [0, 3, 6])
        self.assertEqual({o["image"] for o in out}, {path})
        self.assertEqual(out[0]["faces"][0]["box"], [120, 100, 200, 220])

    def test_help_lists_every_default(self):
        p = subprocess.run([TOOL, "--help"], capture_output=True, text=True)
        code, text = p.returncode, p.stdout
        self.assertEqual(code, 0)
        for word in ("--model", "--threads", "--device", "--score-threshold", "0.95", "0.7", "--top-k",
                     "100", "--pixel-format", "--draw", "--every", "Exit status"):
            self.assertIn(word, text)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
