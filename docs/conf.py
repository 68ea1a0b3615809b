"""Sphinx configuration of quarn's documentation.

The documentation describes the installed package: build it after
``pip install '.[docs]'`` (``scripts/test.sh`` does both). The gallery
examples and the figures of the guide run at build time.
"""

import quarn

project = "quarn"
author = "the quarn developers"
copyright = "2026, the quarn developers"
release = quarn.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_gallery.gen_gallery",
]

exclude_patterns = ["_build", "examples", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
templates_path: list[str] = []

# Docstrings follow the Google style (Args/Returns/Raises). Attributes become
# fields of the class description, so dataclass fields are not described twice.
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_ivar = True
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True

# Figures of the guide: code in ".. plot::" blocks runs at build time.
plot_include_source = True
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.figsize": (9.0, 3.5)}
plot_pre_code = "import matplotlib\nmatplotlib.use('Agg')\n"

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "reset_modules": ("matplotlib",),
    "min_reported_time": 1000,
}

# ``>>>`` examples in the guide run under the doctest builder.
doctest_global_setup = "import quarn"

html_theme = "furo"
html_title = f"quarn {release}"
html_static_path: list[str] = []
