"""Sphinx configuration: the user guide and the API reference, generated
from the doc strings of the built module and of the holvane package.

Build with ``bash scripts/build-docs.sh`` (it builds what it needs first);
the examples are run by Tests/python/test_docs.py.
"""

import doctest
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("HOLVANE_BUILD_DIR", ROOT / "build"))
# The built module (HOLVANE_MODULE_DIR, else <build>/python) and the holvane
# package from the sources, unless an installed wheel is asked for.
if os.environ.get("HOLVANE_DOCS_INSTALLED") != "1":
    sys.path.insert(0, os.environ.get("HOLVANE_MODULE_DIR", str(BUILD / "python")))
    sys.path.insert(0, str(ROOT / "Source" / "PythonModule"))
sys.path.insert(0, str(ROOT / "docs" / "_ext"))

import holvane  # noqa: E402 - importable once the path above is set

project = "Holvane API"
author = "Vantrel"
copyright = "Vantrel"
release = holvane.__version__
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest", "holvane_docs"]

autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "bysource"}
# The module's doc strings carry their typed signatures on the first line.
autodoc_docstring_signature = True
autodoc_typehints = "signature"
autodoc_preserve_defaults = True

# Python examples are doctest blocks or testcode/testoutput pairs: the
# examples test runs every one against a fresh simulator per page.
doctest_global_setup = "from docs_controller import CONTROLLER as _controller\n_controller.fresh()\n"
doctest_global_cleanup = "_controller.stop()\n"
doctest_test_doctest_blocks = "default"
# Exception messages are checked too: a page shows the message a user sees.
doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1
trim_doctest_flags = True

highlight_language = "none"
pygments_style = "friendly"
pygments_dark_style = "monokai"

html_theme = "furo"
html_title = f"Holvane API {release}"
html_static_path = ["_static"]
html_css_files = ["holvane.css"]
html_show_sourcelink = False
html_theme_options = {"navigation_with_keys": True}

exclude_patterns = ["_build", "_ext", "_data", "_static"]
