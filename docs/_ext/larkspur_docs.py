"""The site's own Sphinx extension.

- The API reference is generated at every build from the public names:
  `larkspur_tools.__all__` and the extension's class, whose documentation
  is the docstring of its stub (larkspur.pyi; the compiled class carries a
  fixed one-line docstring). A name added to `__all__` gets its page, a
  name removed loses it; nothing lists signatures by hand.
- Every code block of the Markdown pages is given to the doctest builder:
  a ```python block runs as a script in a fresh interpreter (as a reader
  pastes it), beside links to the repository's data/ and examples/; the ```text
  block right after it, if any, is its expected output. A ```sh block
  followed by a ```text block runs in the shell the same way, its output
  compared too. Shell blocks without output (installs) are shown only.
- MathJax 2 is copied from Debian's libjs-mathjax into the site.
"""

from __future__ import annotations

import ast
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from typing import Any

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError

HERE = pathlib.Path(__file__).resolve().parents[1]
ROOT = HERE.parent
API = HERE / "api"
MATHJAX = pathlib.Path("/usr/share/javascript/mathjax")
# What MathJax 2 loads for TeX input and CommonHTML output (the rest of the
# package, 50 MB of other outputs and unpacked sources, is never asked for).
MATHJAX_PARTS = [
    "MathJax.js",
    "config/TeX-AMS_CHTML.js",
    "extensions",
    "jax/input/TeX",
    "jax/element",
    "jax/output/CommonHTML",
    "fonts/HTML-CSS/TeX/woff",
    "localization/en",
]


# --- the API reference ------------------------------------------------------


def _summary(doc: str | None) -> str:
    first = inspect.cleandoc(doc or "").split("\n\n")[0]
    return " ".join(first.split())


def _stub_class() -> tuple[str, str]:
    """(signature, docstring) of EscancianoLobato in larkspur.pyi."""
    tree = ast.parse((ROOT / "larkspur.pyi").read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.ClassDef) and node.name == "EscancianoLobato":
            new = next(f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__new__")
            args = new.args.args[1:]
            defaults = [None] * (len(args) - len(new.args.defaults)) + list(new.args.defaults)
            parameters = [
                a.arg if default is None else f"{a.arg}={ast.unparse(default)}" for a, default in zip(args, defaults)
            ]
            return f"({', '.join(parameters)})", ast.get_docstring(node) or ""
    raise ExtensionError("larkspur.pyi has no class EscancianoLobato")


def _numpydoc(doc: str, what: str, obj: Any, app: Sphinx) -> str:
    from numpydoc.docscrape_sphinx import get_doc_object

    config = {"show_class_members": False, "xref_param_type": False}
    return (
        str(get_doc_object(obj, what=what, doc=doc, config=config, builder=app.builder))
        if obj is not None
        else str(get_doc_object(None, what=what, doc=doc, config=config))
    )


def _title(text: str) -> str:
    return f"{text}\n{'=' * len(text)}\n"


def _data_doc(name: str, value: Any) -> str:
    """A module constant's doc comment (#:) where it is defined."""
    from sphinx.pycode import ModuleAnalyzer

    for module in sorted(n for n in sys.modules if n.startswith("larkspur_tools.")):
        try:
            docs = ModuleAnalyzer.for_module(module).find_attr_docs()
        except Exception:
            continue
        if ("", name) in docs and getattr(sys.modules[module], name, None) is value:
            return "\n".join(docs[("", name)])
    raise ExtensionError(f"larkspur_tools.{name} has no doc comment (#:) where it is defined")


# Pages whose docstring examples use short series on purpose (a failing
# series beside one that succeeds, to show errors="mask" and the exception):
# the SmallSampleWarning such series get is expected there and ignored while
# that page's examples run; anywhere else a warning fails its example
# (doctest_global_setup in conf.py).
SHORT_SERIES_EXAMPLES = {"larkspur_tools.el_many", "larkspur_tools.ElManyMasked"}
IGNORE_SMALL_SAMPLE = (
    "\n.. testsetup:: default\n\n"
    "   from larkspur_tools import SmallSampleWarning\n"
    '   warnings.filterwarnings("ignore", category=SmallSampleWarning)\n'
)


def write_api(app: Sphinx) -> None:
    import larkspur_tools

    from larkspur import statistical_tests

    generated = API / "generated"
    shutil.rmtree(API, ignore_errors=True)
    generated.mkdir(parents=True)
    signature, class_doc = _stub_class()
    rows = [("larkspur.statistical_tests.EscancianoLobato", _summary(class_doc))]
    pages = {
        "larkspur.statistical_tests.EscancianoLobato": (
            _title("larkspur.statistical_tests.EscancianoLobato")
            + "\n.. py:module:: larkspur.statistical_tests\n   :no-index:\n"
            + f"\n.. py:class:: larkspur.statistical_tests.EscancianoLobato{signature}\n   :final:\n\n"
            + _indent(_numpydoc(class_doc, "class", None, app))
        )
    }
    for name in sorted(larkspur_tools.__all__, key=str.lower):
        obj = getattr(larkspur_tools, name)
        full = f"larkspur_tools.{name}"
        if obj is statistical_tests.EscancianoLobato:
            doc = (
                "The extension's result class under a shorter name: the same object as\n"
                ":class:`larkspur.statistical_tests.EscancianoLobato`, importable for annotations.\n\n"
                "Examples\n--------\n>>> from larkspur import statistical_tests\n"
                ">>> from larkspur_tools import EscancianoLobato\n"
                ">>> EscancianoLobato is statistical_tests.EscancianoLobato\nTrue\n"
            )
            body = f".. py:class:: {full}\n   :canonical: larkspur.statistical_tests.EscancianoLobato\n\n" + _indent(
                doc
            )
        elif inspect.isclass(obj):
            own = [m for m, v in vars(obj).items() if not m.startswith("_") and inspect.isfunction(v)]
            members = f"   :members: {', '.join(own)}\n" if own else ""
            doc = obj.__doc__
            body = f".. autoclass:: {full}\n{members}"
        elif inspect.isfunction(obj):
            doc = obj.__doc__
            body = f".. autofunction:: {full}\n"
        else:
            doc = _data_doc(name, obj)
            body = f".. py:data:: {full}\n   :value: {obj!r}\n\n" + _indent(_numpydoc(doc, "data", None, app))
        rows.append((full, _summary(doc)))
        pages[full] = _title(full) + "\n.. currentmodule:: larkspur_tools\n\n" + body
        if full in SHORT_SERIES_EXAMPLES:
            pages[full] += IGNORE_SMALL_SAMPLE
    for full, text in pages.items():
        (generated / f"{full}.rst").write_text(text, encoding="utf-8")
    table = "".join(f"   * - :doc:`{full} <generated/{full}>`\n     - {summary}\n" for full, summary in rows)
    (API / "index.rst").write_text(
        _title("API reference") + "\nGenerated from the docstrings. The extension ``larkspur`` holds one class, whose\n"
        "construction runs the test; the companion package ``larkspur_tools`` (in the same\n"
        "wheel) holds everything else.\n\n"
        ".. list-table::\n   :header-rows: 1\n   :widths: 35 65\n\n   * - name\n     - summary\n"
        + table
        + "\n.. toctree::\n   :hidden:\n\n"
        + "".join(f"   generated/{full}\n" for full in pages),
        encoding="utf-8",
    )


def _indent(text: str, by: str = "   ") -> str:
    return "".join(by + line if line.strip() else line for line in text.splitlines(keepends=True))


# --- code blocks as doctests --------------------------------------------------


def run_block(code: str, shell: bool = False) -> str:
    """Runs one block as a reader would paste it and returns what it printed;
    a failure raises with the block's stderr."""
    with tempfile.TemporaryDirectory(prefix="larkspur-doc-") as directory:
        for name in ("data", "examples"):
            (pathlib.Path(directory) / name).symlink_to(ROOT / name, target_is_directory=True)
        environment = dict(
            os.environ,
            MPLBACKEND="Agg",
            PATH=os.pathsep.join([str(pathlib.Path(sys.executable).parent), os.environ["PATH"]]),
        )
        if shell:
            command = ["bash", "-euo", "pipefail", "-c", code]
        else:
            (pathlib.Path(directory) / "block.py").write_text(code, encoding="utf-8")
            command = [sys.executable, "block.py"]
        result = subprocess.run(command, cwd=directory, env=environment, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        raise RuntimeError(f"the block failed ({result.returncode}):\n{result.stderr[-3000:]}")
    return result.stdout


PYTHON = {"python", "python3", "py"}
SHELL = {"sh", "bash", "shell", "console"}


def mark_code_blocks(app: Sphinx, doctree: nodes.document) -> None:
    docname = app.env.docname
    if app.env.doc2path(docname).suffix != ".md":
        return
    blocks = [b for b in doctree.findall(nodes.literal_block) if "testnodetype" not in b]
    for number, block in enumerate(blocks):
        language = block.get("language", "")
        following = blocks[number + 1] if number + 1 < len(blocks) else None
        output = (
            following
            if following is not None
            and following.get("language") == "text"
            and following.parent is block.parent
            and block.parent.index(following) == block.parent.index(block) + 1
            else None
        )
        if language not in PYTHON and not (language in SHELL and output is not None):
            continue
        group = f"block{number}"
        block["testnodetype"] = "testcode"
        block["groups"] = [group]
        block["options"] = {}
        block["test"] = (
            f"import larkspur_docs\nprint(larkspur_docs.run_block({block.astext()!r}, "
            f"shell={language in SHELL}), end='')\n"
        )
        if output is not None:
            output["testnodetype"] = "testoutput"
            output["groups"] = [group]
            output["options"] = {}


# --- MathJax, offline ---------------------------------------------------------


def copy_mathjax(app: Sphinx, exception: Exception | None) -> None:
    if exception is not None or app.builder.format != "html":
        return
    if not (MATHJAX / "MathJax.js").exists():
        raise ExtensionError(f"MathJax is missing ({MATHJAX}): run tools/docs_setup.sh (Debian's libjs-mathjax)")
    target = pathlib.Path(app.outdir) / "_static" / "mathjax"
    for part in MATHJAX_PARTS:
        source, destination = MATHJAX / part, target / part
        destination.parent.mkdir(parents=True, exist_ok=True)
        if source.is_dir():
            shutil.copytree(source, destination, dirs_exist_ok=True)  # symlinks followed: real files
        else:
            shutil.copyfile(source, destination)


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", write_api, priority=100)
    app.connect("doctree-read", mark_code_blocks)
    app.connect("build-finished", copy_mathjax)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
