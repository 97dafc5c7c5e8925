"""Sphinx configuration: numpydoc docstrings, the Furo theme, Markdown for the benchmark tables."""

import vendrel

project = "vendrel"
author = "the vendrel developers"
copyright = "2026, " + author
release = version = "0.1.0"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = "vendrel"

# The reference lists each class's members itself.
numpydoc_show_class_members = False
numpydoc_validation_checks = set()
autodoc_typehints = "none"  # the signatures carry the types; numpydoc lists them again
autodoc_default_options = {"members": True}
# The examples are run by the tests and by `sphinx-build -b doctest`.
doctest_global_setup = "import numpy as np"
myst_heading_anchors = 3
suppress_warnings = ["myst.header"]
assert vendrel.__file__  # documentation of the installed package
