"""The package's adapter models are the library's: ``ycan list --models``
prints the one table the library, ycan and ycan-virtual are built with."""

import os
import re
import subprocess

from can_ycan._settings import MODELS, Model

_ROW = re.compile(r"^(\S+)\s+([0-9a-f]{4}):([0-9a-f]{4})\s+(.+?)\s+(\d+)\s+(?:-|(\d+) MHz)$")


def _library_models():
    lines = subprocess.run([os.environ["YCAN_TOOL"], "list", "--models"], check=True,
                           capture_output=True, text=True).stdout.splitlines()
    assert lines[0].split() == ["TYPES", "ID", "KIND", "CHANNELS", "CLOCK"]
    models = []
    for line in lines[1:]:
        m = _ROW.match(line)
        assert m, line
        types, vendor, product, kind, channels, clock = m.groups()
        models.append(Model(int(vendor, 16), int(product, 16), tuple(int(t) for t in types.split(",")),
                            int(channels), kind, int(clock or 0)))
    return models


def test_the_models_are_the_librarys():
    library = _library_models()
    assert len(library) >= 8
    assert sorted(MODELS) == sorted(library)
