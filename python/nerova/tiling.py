"""Tiled detection of large frames, for any model.

The detector letterboxes the whole frame into its network input, so a face of f pixels in
a frame whose longer side is L reaches a network of input side S at f * S / L pixels: on a
500 px group photo and a 256 px network, a 25 px face is 13 px, below what face networks
find. Tiling runs the detector on the whole frame and on overlapping tiles (views into the
frame's memory: no copy), maps the tiles' boxes back and merges everything with one greedy
suppression.

"auto" picks tiles so that a face of about 1/40 of the frame's longer side reaches about
24 px in the network input, but never magnifies a tile beyond the network's own size (no
tiles when the whole frame already fits the input). Cost: 1 + rows * cols passes per frame
(auto: 1 + 4 on a 500 px photo with a 256 px network, 1 + 12 on 1920x1080).

Edge rule: a tile's box that touches one of the tile's inner edges (not the frame's) is a
cut face and is dropped: the overlap between tiles is twice the face size aimed at, so any
such face lies whole inside a neighbouring tile, and larger faces come from the whole-frame
pass.
"""
from __future__ import annotations

import math
from typing import List, Tuple, Union

import numpy as np

AIM_FRACTION = 1.0 / 40.0   # face size aimed at, as a share of the frame's longer side
AIM_PIXELS = 24.0           # what such a face should measure in the network input
EDGE_PIXELS = 2             # a box this close to an inner tile edge is cut


def grid(width: int, height: int, input_size: Tuple[int, int],
         tiles: Union[str, Tuple[int, int]]) -> List[Tuple[int, int, int, int]]:
    """Tiles (x, y, w, h) covering the frame with overlap; empty for no tiling."""
    longer = max(width, height)
    face = longer * AIM_FRACTION
    if tiles == "auto":
        side = max(face * min(input_size) / AIM_PIXELS, max(input_size))
        if side >= longer:
            return []
        rows, cols = math.ceil(height / side), math.ceil(width / side)
    else:
        rows, cols = _parse(tiles)
    if rows * cols <= 1:
        return []
    margin = int(math.ceil(face))  # each tile reaches this far into its neighbours
    out = []
    for r in range(rows):
        for c in range(cols):
            x0, x1 = c * width // cols, (c + 1) * width // cols
            y0, y1 = r * height // rows, (r + 1) * height // rows
            x0, y0 = max(0, x0 - margin), max(0, y0 - margin)
            x1, y1 = min(width, x1 + margin), min(height, y1 + margin)
            out.append((x0, y0, x1 - x0, y1 - y0))
    return out


def _parse(tiles) -> Tuple[int, int]:
    if isinstance(tiles, str):
        parts = tiles.lower().split("x")
        if len(parts) != 2 or not all(p.isdigit() and p.isascii() for p in parts):
            raise ValueError("tiles must be 'auto', 'off' or 'RxC', not %r" % tiles)
        rows, cols = (int(p) for p in parts)
    elif (isinstance(tiles, (tuple, list)) and len(tiles) == 2 and
          all(isinstance(n, (int, np.integer)) and not isinstance(n, bool) for n in tiles)):
        rows, cols = (int(n) for n in tiles)
    else:
        raise TypeError("tiles must be 'auto', 'off', 'RxC' or (rows, cols), not %r" % (tiles,))
    if not (1 <= rows <= 16 and 1 <= cols <= 16):
        raise ValueError("tiles must have 1 to 16 rows and columns, not %r" % (tiles,))
    return rows, cols


def _iou(a, b) -> float:
    w = max(0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = w * h
    union = (a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter
    return inter / union if union > 0 else 0.0


def merge(candidates, threshold: float):
    """Greedy suppression over all passes: best score first, a box overlapping a kept one
    by more than threshold (IoU) is dropped."""
    kept = []
    for f in sorted(candidates, key=lambda f: -f.score):
        if all(_iou(f.box, k.box) <= threshold for k in kept):
            kept.append(f)
    return kept


def detect_tiled(det, image: np.ndarray, pixel_format: str, tiles) -> list:
    from .detector import Face, _INTERLEAVED
    if pixel_format not in _INTERLEAVED and pixel_format != "GRAY":
        raise ValueError("tiling needs an interleaved or GRAY frame, not %s" % pixel_format)
    faces = det._detect_one(image, pixel_format)
    if not isinstance(image, np.ndarray) or image.ndim < 2:
        return faces
    height, width = image.shape[:2]
    for x, y, w, h in grid(width, height, det.input_size, tiles):
        for f in det._detect_one(image[y:y + h, x:x + w], pixel_format):
            cut = ((x > 0 and f.x1 <= EDGE_PIXELS) or (y > 0 and f.y1 <= EDGE_PIXELS) or
                   (x + w < width and f.x2 >= w - EDGE_PIXELS) or
                   (y + h < height and f.y2 >= h - EDGE_PIXELS))
            if not cut:
                faces.append(Face(f.score, f.x1 + x, f.y1 + y, f.x2 + x, f.y2 + y))
    return merge(faces, det.nms_threshold)
