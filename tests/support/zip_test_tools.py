"""Helpers of the Python tests: an output stream that cannot seek, and a folder tree as a dict."""
import io
import os


class Unseekable(io.RawIOBase):
    """A write-only stream without a position: Python's zipfile then follows every entry's data
    with a data descriptor, as a streaming archiver does. Writes go to target, or collect in data."""

    def __init__(self, target=None):
        self.target = target
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        if self.target is not None:
            return self.target.write(b)
        self.data += b
        return len(b)


# What the folder extraction keeps of the version it installed: the tool's own file, no entry's.
INSTALL_RECORD = "Quorvane.qvrecord"


def tree_contents(root):
    """Every folder ("name/": None) and file ("name": bytes) below root, by relative path; the
    install record left out."""
    contents = {}
    for folder, folders, files in os.walk(root):
        for sub in folders:
            contents[os.path.relpath(os.path.join(folder, sub), root) + "/"] = None
        for file in files:
            if file == INSTALL_RECORD:
                continue
            with open(os.path.join(folder, file), "rb") as data:
                contents[os.path.relpath(os.path.join(folder, file), root)] = data.read()
    return contents
