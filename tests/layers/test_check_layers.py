#!/usr/bin/env python3
"""The layer check on scratch copies of src/: each planted include must make it fail, and the
includes the layers allow must not.

    test_check_layers.py CHECKER SRC_DIR
"""

import importlib.util
import os
import shutil
import sys
import tempfile
import unittest

CHECKER = None
SRC = None


def load_checker():
    found = importlib.util.spec_from_file_location("check_layers", CHECKER)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class LayerCheckTest(unittest.TestCase):
    def setUp(self):
        self.checker = load_checker()
        self.scratch = tempfile.mkdtemp(prefix="quiver-layers-")
        self.src = os.path.join(self.scratch, "src")
        self.reset()

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def reset(self):
        """A fresh copy of src/."""
        shutil.rmtree(self.src, ignore_errors=True)
        shutil.copytree(SRC, self.src)

    def plant(self, relative, line):
        path = os.path.join(self.src, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "a", encoding="utf-8") as source:
            source.write(line + "\n")

    def faults(self):
        return self.checker.check(self.src)

    def test_the_copy_as_it_is_passes(self):
        self.assertEqual(self.faults(), [])

    def test_upward_includes_fail_with_file_and_line(self):
        cases = [
            ("package/locate.cpp", '#include "device/drive_record.h"', "package", "device"),
            ("worker/parser.cpp", '#include "../app/frm_quiver.h"', "worker", "app"),
            ("device/transport.cpp", "#include <worker/parser.h>", "device", "worker"),
            ("platform/platform.cpp", '#include "sim/machine.h"', "platform", "sim"),
            ("sim/machine.cpp", '#include "platform/platform.h"', "sim", "platform"),
            ("ui/toolkit.cpp", '#include "device/atapi_device.h"', "ui", "device"),
        ]
        for relative, line, unit, target in cases:
            with self.subTest(relative=relative, line=line):
                self.reset()
                self.plant(relative, line)
                faults = self.faults()
                self.assertEqual(len(faults), 1, faults)
                self.assertTrue(faults[0].startswith(f"src/{relative}:"), faults[0])
                self.assertIn(f"{unit} may not include {target}/", faults[0])

    def test_a_seam_does_not_know_its_realisations(self):
        self.plant("ui/toolkit.cpp", '#include "ui/qt/qt_toolkit.h"')
        self.plant("platform/platform.cpp", '#include "platform/linux/linux_drives.h"')
        self.plant("ui/qt/qt_toolkit.cpp", '#include "ui/win32/win32_toolkit.h"')
        self.assertEqual(len(self.faults()), 3, self.faults())

    def test_allowed_includes_pass(self):
        self.plant("app/frm_quiver.cpp", '#include "ui/qt/qt_toolkit.h"')
        self.plant("app/frm_quiver.cpp", '#include "package/locate.h"')
        self.plant("worker/parser.cpp", '#include "package/locate.h"')
        self.plant("device/transport.cpp", '#include "drive_record.h"')
        self.plant("package/locate.cpp", "#include <linux/fs.h>")
        self.plant("simapp/session.cpp", '#include "formats/firmware_image.h"')
        self.assertEqual(self.faults(), [])

    def test_a_folder_in_no_layer_fails(self):
        self.plant("gadgets/gadget.cpp", '#include "platform/platform.h"')
        faults = self.faults()
        self.assertEqual(len(faults), 1, faults)
        self.assertIn("src/gadgets/gadget.cpp: its folder is in no layer", faults[0])

    def test_an_exception_nothing_needs_fails(self):
        if not self.checker.KNOWN_EXCEPTIONS:
            self.skipTest("no known exceptions left")
        unit, header = self.checker.KNOWN_EXCEPTIONS[0]
        for folder, _, files in os.walk(os.path.join(self.src, unit)):
            for name in files:
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8") as source:
                    lines = source.readlines()
                kept = [line for line in lines if f'"{header}"' not in line]
                with open(path, "w", encoding="utf-8") as source:
                    source.writelines(kept)
        faults = self.faults()
        self.assertEqual(len(faults), 1, faults)
        self.assertIn(f"({unit!r}, {header!r}) is no longer needed", faults[0])


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    CHECKER, SRC = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
