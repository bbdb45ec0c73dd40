"""Sphinx configuration: the user guide and the API reference, generated
from the doc strings of the built module and of the holvane package."""

import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("HOLVANE_BUILD_DIR", ROOT / "build"))
# The built module (HOLVANE_MODULE_DIR, else <build>/python) unless an
# installed one is asked for; the holvane package from the sources.
if os.environ.get("HOLVANE_DOCS_INSTALLED") != "1":
    sys.path.insert(0, os.environ.get("HOLVANE_MODULE_DIR", str(BUILD / "python")))
    sys.path.insert(0, str(ROOT / "Source" / "PythonModule"))

project = "Holvane API"
author = "Vantrel"
release = "1.0.0"

extensions = ["sphinx.ext.autodoc"]
autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "bysource"}
# The module's doc strings carry their typed signatures on the first line.
autodoc_docstring_signature = True
autodoc_typehints = "signature"
nitpicky = False

html_theme = "alabaster"
html_static_path = []
exclude_patterns = ["_build"]
