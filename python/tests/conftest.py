"""What the tests share: whether this installation has the video library."""
import pytest

from nerova import _native
from nerova.detector import _lib

# Tests that follow or write video; an installation built without FFmpeg has no video library.
needs_video = pytest.mark.skipif(bool(_native.video_missing(_lib)),
                                 reason="this installation has no video library")
