"""Sphinx configuration of the larkspur documentation site (make docs).

The pages are the Markdown files of this directory (MyST); the API reference
is generated from the public names of the packages and their docstrings
(_ext/larkspur_docs.py); the gallery runs examples/gallery/plot_*.py. The
site must build and be read with no network: the formulas are typeset at
build time by Debian's KaTeX, whose style sheet and fonts are copied into the
site's _static, and no theme asset comes from elsewhere.
"""

from __future__ import annotations

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

project = "larkspur"
author = "the larkspur developers"
copyright = "the larkspur developers"

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "sphinx_design",
    "larkspur_docs",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "auto_gallery/*.ipynb", "auto_gallery/*.py", "auto_gallery/*.zip"]

# Every reference must resolve. Types named in signatures are left out of
# them (autodoc_typehints = "none"): the numpydoc Parameters and Returns
# sections state them in words, where a third-party type needs no link.
nitpicky = True
# `name` in a docstring: a link to the API page of a public name, code type
# otherwise (larkspur_docs.name_role), never italic text.
default_role = "larkspur-name"
nitpick_ignore: list[tuple[str, str]] = []
autodoc_typehints = "none"
autodoc_member_order = "bysource"
add_module_names = False

numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Every public function and class states its parameters, what it returns and
# an example; a docstring without them fails the build.
numpydoc_validation_checks = {"GL08", "PR01", "PR02", "RT01", "EX01"}
# The result types are made by the functions, not by the reader: their
# fields are documented as Attributes, not as constructor Parameters.
numpydoc_validation_overrides = {
    "PR01": [
        r"What `el_many` returns",
        r"The test on one series with everything",
        r"A wild-bootstrap p-value with what it was made of",
        r"What `gen_spectral_many` returns",
        r"The generalized spectral test on one series, with its bootstrap",
    ]
}
numpydoc_validation_exclude = {
    r"\.__init__$",
    r"\._asdict$",
    r"\._make$",
    r"\._replace$",
    r"\.count$",
    r"\.index$",  # NamedTuple's own methods
    r"\.with_traceback$",
    r"\.add_note$",  # BaseException's own methods
}

myst_enable_extensions = ["dollarmath", "amsmath", "colon_fence", "deflist"]
# Links to sections of another page are checked like links to pages.
myst_heading_anchors = 3

# Formulas are typeset when the site is built (KaTeX, in larkspur_docs): a
# page shows them typeset at once and loads no script for them.
html_math_renderer = "katex_build_time"

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples" / "gallery"),
    "gallery_dirs": str(HERE / "auto_gallery"),
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "write_computation_times": False,
    "show_memory": False,
    "remove_config_comments": True,
    "image_scrapers": ("matplotlib",),
    "within_subsection_order": "FileNameSortKey",
    "copyfile_regex": "",
    "default_thumb_file": None,
    "capture_repr": ("_repr_html_", "__repr__"),
    "show_signature": False,
}

html_theme = "pydata_sphinx_theme"
html_title = "larkspur"
html_static_path = ["_static"]
html_css_files = ["larkspur.css"]
html_show_sourcelink = False
html_copy_source = False
html_theme_options = {
    "navigation_with_keys": False,
    "show_prev_next": True,
    "secondary_sidebar_items": ["page-toc"],
    "footer_start": ["copyright"],
    "footer_end": [],
    "navbar_end": ["theme-switcher", "navbar-icon-links"],
    "icon_links": [],
    "search_bar_text": "Search the docs",
}
html_context = {"default_mode": "light"}

# The doctest builder runs every code block of the pages (larkspur_docs
# marks them) and every >>> example of the docstrings, from the repository's
# root so that data/ is where the examples say.
# A warning an example raises fails it, as in CI: every warning is an error
# while a page's examples run (restored after them, so that Sphinx's own
# code is not affected). The few examples that use short series on purpose
# expect the SmallSampleWarning those get: their pages, and only theirs,
# ignore it (larkspur_docs.SHORT_SERIES_EXAMPLES).
doctest_global_setup = f"""
import os
import warnings
os.chdir({str(ROOT)!r})
import matplotlib
matplotlib.use("Agg")
_warnings_as_errors = warnings.catch_warnings()
_warnings_as_errors.__enter__()
warnings.simplefilter("error")
"""
doctest_global_cleanup = "_warnings_as_errors.__exit__(None, None, None)"
doctest_test_doctest_blocks = "default"
# Whitespace is normalised: pandas pads its header lines with trailing
# blanks, which editors strip from docstrings.
import doctest as _doctest

doctest_default_flags = (
    _doctest.ELLIPSIS
    | _doctest.IGNORE_EXCEPTION_DETAIL
    | _doctest.DONT_ACCEPT_TRUE_FOR_1
    | _doctest.NORMALIZE_WHITESPACE
)
