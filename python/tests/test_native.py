"""The package's binding to the C libraries: its ctypes records against the C headers, and
which libraries it loads."""
import ctypes
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from nerova import _native

ROOT = Path(__file__).resolve().parents[2]

# ctypes record: its C type, and its C header when not the detector's.
RECORDS = {
    _native.Frame: ("NerovaFrame", "nerova_face_detector.h"),
    _native.FaceInfo: ("NerovaFaceInfo", "nerova_face_detector.h"),
    _native.FaceDetail: ("NerovaFaceDetail", "nerova_face_detector.h"),
    _native.MaskRegion: ("NerovaMaskRegion", "nerova_face_detector.h"),
    _native.CustomRuntime: ("NerovaCustomRuntime", "nerova_face_detector.h"),
    _native.Track: ("NerovaTrack", "nerova_video.h"),
    _native.TrackerOptions: ("NerovaTrackerOptions", "nerova_video.h"),
}


def c_layout(tmp_path):
    """{C type: (size, {field: (offset, size)})} as the C compiler lays the headers out."""
    compiler = shutil.which("cc")
    if compiler is None:
        pytest.skip("no C compiler to read the headers with")
    # The generated export headers only mark symbols; declarations need them empty.
    (tmp_path / "nerova").mkdir()
    for name in ("face_detector_export.h", "video_export.h"):
        macro = "NEROVA_%s_EXPORT" % name[:-len("_export.h")].upper()
        (tmp_path / "nerova" / name).write_text("#define %s\n" % macro)
    headers = sorted({h for _, h in RECORDS.values()})
    lines = ["#include <stddef.h>", "#include <stdio.h>"] + ['#include "%s"' % h for h in headers]
    lines.append("int main(void) {")
    for record, (ctype, _) in RECORDS.items():
        lines.append('printf("%s - %%zu 0\\n", sizeof(%s));' % (ctype, ctype))
        for field, _ in record._fields_:
            lines.append('printf("%s %s %%zu %%zu\\n", offsetof(%s, %s), sizeof(((%s*)0)->%s));'
                         % (ctype, field, ctype, field, ctype, field))
    lines.append("return 0; }")
    source = tmp_path / "layout.c"
    source.write_text("\n".join(lines) + "\n")
    program = tmp_path / "layout"
    subprocess.run([compiler, "-std=c99", "-Werror", "-I", str(tmp_path), "-I",
                    str(ROOT / "include"), str(source), "-o", str(program)], check=True)
    layout = {}
    for row in subprocess.run([str(program)], capture_output=True, text=True,
                              check=True).stdout.splitlines():
        ctype, field, first, second = row.split()
        size, fields = layout.setdefault(ctype, (None, {}))
        if field == "-":
            layout[ctype] = (int(first), fields)
        else:
            fields[field] = (int(first), int(second))
    return layout


def test_every_record_has_the_headers_size_and_offsets(tmp_path):
    layout = c_layout(tmp_path)
    for record, (ctype, _) in RECORDS.items():
        size, fields = layout[ctype]
        assert ctypes.sizeof(record) == size, ctype
        for field, _ in record._fields_:
            described = getattr(record, field)
            assert (described.offset, described.size) == fields[field], "%s.%s" % (ctype, field)


def run_python(code, **env):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env={**os.environ, **env}, timeout=120)


def copy_libraries(folder, names):
    """The loaded detector library's companions under their SONAMEs, into folder."""
    here = _native.loaded_from.parent
    for name in names:
        found = sorted(here.glob(name + ".so.[0-9]*"), key=lambda p: len(p.name))
        shutil.copy(found[0], folder / found[0].name)
    return folder / sorted(folder.glob("libnerova_module_face_detector.so.*"))[0].name


def test_the_named_library_is_the_one_loaded_and_a_wrong_name_is_an_error(tmp_path):
    library = copy_libraries(tmp_path, ["libnerova_module_face_detector", "libnerova_module_common",
                                        "libnerova_kernel"])
    which = "import nerova._native as n; n.load(); print(n.loaded_from)"
    assert run_python(which, NEROVA_LIBRARY=str(library)).stdout.strip() == str(library.resolve())
    missing = run_python(which, NEROVA_LIBRARY=str(tmp_path / "nothing.so"))
    assert missing.returncode != 0 and "NEROVA_LIBRARY names" in missing.stderr


def test_without_the_video_library_pictures_work_and_video_says_what_is_missing(tmp_path):
    library = copy_libraries(tmp_path, ["libnerova_module_face_detector", "libnerova_module_common",
                                        "libnerova_kernel"])
    code = """
import numpy as np, nerova
picture = np.zeros((64, 64, 3), np.uint8)
with nerova.FaceDetector() as det:
    nerova.anonymize(picture, det.detect(picture))
try:
    nerova.Tracker(64, 64)
except nerova.VideoUnavailable as e:
    print(e)
"""
    done = run_python(code, NEROVA_LIBRARY=str(library), NEROVA_MODELS=str(ROOT / "models"))
    assert done.returncode == 0, done.stderr
    assert "video needs libnerova_video.so." in done.stdout, done.stdout


def test_without_the_video_library_hosts_refuse_videos_as_the_tool_does(tmp_path):
    import cv2
    import numpy as np
    library = copy_libraries(tmp_path, ["libnerova_module_face_detector", "libnerova_module_common",
                                        "libnerova_kernel"])
    clip, photo = str(tmp_path / "clip.avi"), str(ROOT / "models" / "samples" / "astronaut.jpg")
    writer = cv2.VideoWriter(clip, cv2.VideoWriter_fourcc(*"MJPG"), 10, (64, 48))
    for _ in range(3):
        writer.write(np.zeros((48, 64, 3), np.uint8))
    writer.release()
    env = dict(os.environ, NEROVA_LIBRARY=str(library), NEROVA_MODELS=str(ROOT / "models"),
               PYTHONPATH=str(ROOT / "python"))
    refusal = "%s: videos need the video library (libnerova_video)" % clip
    module = subprocess.run([sys.executable, "-m", "nerova", clip, photo], capture_output=True,
                            text=True, env=env, timeout=120)
    assert module.returncode == 1 and refusal in module.stderr, module.stderr
    assert [json.loads(l)["image"] for l in module.stdout.splitlines()] == [photo]
    out = tmp_path / "records.jsonl"
    batch = subprocess.run([sys.executable, "-m", "nerova.batch", "--local-workers", "1", "--out",
                            str(out), clip, photo], capture_output=True, text=True, env=env,
                           timeout=300)
    records = [json.loads(l) for l in out.read_text().splitlines()]
    assert batch.returncode == 1, batch.stderr
    assert [(r["image"], "error" in r) for r in records] == [(clip, True), (photo, False)]
    assert records[0]["error"].startswith("videos need the video library"), records[0]
