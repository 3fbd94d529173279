"""Checks of the bundled face models as committed.

Run: /usr/bin/python3 -m unittest discover -s tests/model_check -v
"""

import os
import sys
import unittest

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(REPO, "model_tools"))
import blazeface_ref as ref  # noqa: E402

MODELS = {"face_detector_front_128": 128, "face_detector_back_256": 256}
# Ops that OpenCV 4.6's importer was seen to run correctly in this layout.
ALLOWED_OPS = {"Conv", "Relu", "Add", "Sub", "Mul", "MaxPool", "Concat", "ConstantOfShape",
               "Transpose", "Reshape", "Slice", "Log", "Sigmoid"}


def model_path(name):
    return os.path.join(REPO, "models", name, "model.onnx")


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

    def test_no_face_sample_stays_empty(self):
        for name in MODELS:
            rows, _, _ = run_converted(name, "models/samples/no_face_coffee.jpg")
            self.assertFalse(np.any(rows[0, :, 5] >= ref.SCORE_THRESHOLD), name)


if __name__ == "__main__":
    unittest.main()
