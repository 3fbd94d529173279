"""The inputs every Python host takes, as the command-line tool takes them: files as given,
folders searched recursively for the regular files among their images and videos (sorted
byte for byte, as the tool sorts them), and lists of paths, one per line."""
from __future__ import annotations

import itertools
import os
from pathlib import Path
from typing import BinaryIO, Iterable, List

IMAGE_EXTENSIONS = {".jpg", ".jpeg", ".png", ".bmp", ".ppm", ".pgm", ".pbm", ".tif", ".tiff",
                    ".webp"}
VIDEO_EXTENSIONS = {".mp4", ".avi", ".mkv", ".mov", ".webm", ".mpg", ".mpeg", ".m4v", ".wmv",
                    ".ogv"}
MAX_LIST_LINE = 4096  # a path is never longer (PATH_MAX)


def is_video(path: str) -> bool:
    return Path(path).suffix.lower() in VIDEO_EXTENSIONS


def expand_inputs(inputs: Iterable[str], lists: bool = True) -> List[str]:
    """Files as given, folders searched recursively, and (with lists) @LIST files holding
    one path per line (whose own lines are paths, never further lists)."""
    out: List[str] = []
    for item in inputs:
        if lists and item.startswith("@"):
            out += expand_inputs(list_lines(item[1:]), lists=False)
        elif os.path.isdir(item):
            found = []
            for root, _, files in os.walk(item):
                for name in files:
                    suffix = Path(name).suffix.lower()
                    path = os.path.join(root, name)
                    if (suffix in IMAGE_EXTENSIONS or suffix in VIDEO_EXTENSIONS) and \
                            os.path.isfile(path):
                        found.append(path)
            out += sorted(found, key=os.fsencode)
        else:
            out.append(item)
    return out


def list_lines(path: str) -> List[str]:
    """The paths the list file at path holds (see read_list)."""
    with open(path, "rb") as f:
        return read_list(f, path)


def read_list(f: BinaryIO, name: str) -> List[str]:
    """The paths of a list, one per line, as the tool's --files-from reads them: LF or CRLF,
    empty lines skipped, any other line a path as it is. A line longer than any path means
    the file is no list (/dev/zero, say): ValueError, before it fills memory."""
    lines = []
    for number in itertools.count(1):
        line = f.readline(MAX_LIST_LINE + 2)
        if not line:
            return lines
        if line.endswith(b"\n"):
            line = line[:-1]
        if len(line) > MAX_LIST_LINE + 1:  # a CR may follow the longest path
            raise ValueError("%s, line %d, is longer than any path: not a list of paths"
                             % (name, number))
        if line.endswith(b"\r"):
            line = line[:-1]
        if line:
            lines.append(os.fsdecode(line))
