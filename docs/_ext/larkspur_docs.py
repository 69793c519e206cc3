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
- The mathematics is typeset at build time: every formula is rendered to
  HTML (with MathML for screen readers) by Debian's KaTeX under Debian's
  Node.js, in one call per page, so a page shows it typeset on first paint
  and runs no script for it. Only KaTeX's style sheet and fonts are copied
  into the site. A formula KaTeX cannot read fails the build.
- A page whose section has no other pages (Getting started, Theory) gets no
  left sidebar, which would be an empty "Section Navigation" column.
"""

from __future__ import annotations

import ast
import inspect
import json
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
KATEX = pathlib.Path("/usr/share/javascript/katex")


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


def _api_title(text: str) -> str:
    """An API page's title, styled as one (larkspur.css, api-page). The page
    holds one entry, so it has no "On this page" column, which would only
    repeat the title: the content takes its room."""
    return ":html_theme.sidebar_secondary.remove: true\n\n.. rst-class:: api-page\n\n" + _title(text)


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
            _api_title("larkspur.statistical_tests.EscancianoLobato")
            + "\n.. py:module:: larkspur.statistical_tests\n   :no-index:\n"
            + f"\n.. py:class:: EscancianoLobato{signature}\n   :final:\n\n"
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
            body = f".. py:class:: {name}\n   :canonical: larkspur.statistical_tests.EscancianoLobato\n\n" + _indent(
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
            body = f".. py:data:: {name}\n   :value: {obj!r}\n\n" + _indent(_numpydoc(doc, "data", None, app))
        rows.append((full, _summary(doc)))
        pages[full] = _api_title(full) + "\n.. currentmodule:: larkspur_tools\n\n" + body
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
        # The sidebar lists each module's names without their module, under
        # the module's name: short entries, none broken across lines.
        + "".join(
            f"\n.. toctree::\n   :hidden:\n   :caption: {module}\n\n"
            + "".join(
                f"   {full.rsplit('.', 1)[1]} <generated/{full}>\n"
                for full in pages
                if full.rsplit(".", 1)[0] == module
            )
            for module in ("larkspur.statistical_tests", "larkspur_tools")
        ),
        encoding="utf-8",
    )


def _indent(text: str, by: str = "   ") -> str:
    return "".join(by + line if line.strip() else line for line in text.splitlines(keepends=True))


# --- names in running text link to their API page -----------------------------


def api_names() -> dict[str, str]:
    """Every way a public name is written in running text -> its full name:
    `read_series`, `larkspur_tools.read_series`, `read_series()`;
    `EscancianoLobato` and `statistical_tests.EscancianoLobato` name the class."""
    import larkspur_tools

    names = {"larkspur.statistical_tests.EscancianoLobato": "larkspur.statistical_tests.EscancianoLobato"}
    names["statistical_tests.EscancianoLobato"] = names["EscancianoLobato"] = next(iter(names.values()))
    for name in larkspur_tools.__all__:
        if name != "EscancianoLobato":
            names[name] = names[f"larkspur_tools.{name}"] = f"larkspur_tools.{name}"
    return {**names, **{f"{written}()": full for written, full in names.items()}}


def _xref(text: str, full: str, content: nodes.Node) -> nodes.Node:
    from sphinx import addnodes

    reference = addnodes.pending_xref(
        text, refdomain="py", reftype="obj", reftarget=full, refexplicit=True, refwarn=True
    )
    reference += content
    return reference


def name_role(name, rawtext, text, lineno, inliner, options=None, content=None):  # type: ignore[no-untyped-def]
    """The default role (`name` in a docstring or a page): a public name
    becomes a link to its API page, in code type; anything else (a
    parameter, a value) is shown in code type, not italic."""
    literal = nodes.literal(rawtext, text, classes=["xref", "py", "py-obj"])
    full = api_names().get(text.strip())
    return [_xref(text, full, literal) if full else nodes.literal(rawtext, text)], []


def link_code_names(app: Sphinx, doctree: nodes.document) -> None:
    """In the Markdown pages, inline code that is exactly a public name
    (`read_series`, `EscancianoLobato`) links to its API page."""
    if app.env.doc2path(app.env.docname).suffix != ".md":
        return
    names = api_names()
    for literal in list(doctree.findall(nodes.literal)):
        full = names.get(literal.astext())
        if full is None or any(isinstance(a, (nodes.reference, nodes.literal_block)) for a in _ancestors(literal)):
            continue
        if any(getattr(a, "tagname", "") in ("pending_xref", "title") for a in _ancestors(literal)):
            continue
        literal.parent.replace(literal, _xref(literal.astext(), full, literal.deepcopy()))


def _ancestors(node: nodes.Node):  # type: ignore[no-untyped-def]
    while node.parent is not None:
        node = node.parent
        yield node


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


# --- mathematics, typeset at build time ---------------------------------------

# Reads [[tex, display], ...] as JSON on stdin, writes the HTML of each.
RENDER = """
const katex = require(process.argv[1]);
let input = "";
process.stdin.on("data", (chunk) => (input += chunk));
process.stdin.on("end", () => {
  const out = JSON.parse(input).map(([tex, display]) => {
    try {
      return katex.renderToString(tex, { displayMode: display, throwOnError: true, output: "htmlAndMathml" });
    } catch (error) {
      process.stderr.write(`${error.message}\\nin: ${tex}\\n`);
      process.exit(1);
    }
  });
  process.stdout.write(JSON.stringify(out));
});
"""


def _display_tex(node: nodes.math_block) -> str:
    """A displayed block's TeX, its equations (blank-line separated) aligned."""
    if node.get("no-wrap", node.get("nowrap", False)):
        return node.astext()
    parts = [part for part in node.astext().split("\n\n") if part.strip()]
    return parts[0] if len(parts) == 1 else "\\begin{aligned}" + " \\\\ ".join(parts) + "\\end{aligned}"


def render_math(app: Sphinx, doctree: nodes.document, docname: str) -> None:
    if app.builder.format != "html":
        return
    found = [n for n in doctree.findall(lambda n: isinstance(n, (nodes.math, nodes.math_block)))]
    if not found:
        return
    formulas = [[_display_tex(n), True] if isinstance(n, nodes.math_block) else [n.astext(), False] for n in found]
    node_js = shutil.which("node") or shutil.which("nodejs")
    if node_js is None or not (KATEX / "katex.js").exists():
        raise ExtensionError("KaTeX or Node.js is missing: run tools/docs_setup.sh (Debian's libjs-katex, nodejs)")
    result = subprocess.run(
        [node_js, "-e", RENDER, str(KATEX / "katex.js")],
        input=json.dumps(formulas),
        capture_output=True,
        text=True,
        timeout=120,
    )
    if result.returncode != 0:
        raise ExtensionError(f"{docname}: KaTeX cannot typeset a formula: {result.stderr.strip()}")
    for n, html in zip(found, json.loads(result.stdout), strict=True):
        n["katex"] = html


def visit_math(self: Any, node: nodes.math) -> None:
    self.body.append(self.starttag(node, "span", "", CLASS="math notranslate nohighlight") + node["katex"] + "</span>")
    raise nodes.SkipNode


def visit_math_block(self: Any, node: nodes.math_block) -> None:
    from sphinx.locale import _
    from sphinx.util.math import get_node_equation_number

    self.body.append(self.starttag(node, "div", CLASS="math notranslate nohighlight"))
    if node["number"]:
        self.body.append(f'<span class="eqno">({get_node_equation_number(self, node)})')
        self.add_permalink_ref(node, _("Link to this equation"))
        self.body.append("</span>")
    self.body.append(node["katex"] + "</div>\n")
    raise nodes.SkipNode


def add_katex_style(app: Sphinx, pagename: str, templatename: str, context: dict[str, Any], doctree: Any) -> None:
    if app.builder.format == "html" and context.get("has_maths_elements"):
        app.add_css_file("katex/katex.min.css")


def copy_katex(app: Sphinx, exception: Exception | None) -> None:
    """KaTeX's style sheet and the fonts it names first (woff2, which every
    browser that reads the site loads; the woff and ttf fallbacks are never
    asked for)."""
    if exception is not None or app.builder.format != "html":
        return
    target = pathlib.Path(app.outdir) / "_static" / "katex"
    (target / "fonts").mkdir(parents=True, exist_ok=True)
    shutil.copyfile(KATEX / "katex.min.css", target / "katex.min.css")
    for font in (KATEX / "fonts").glob("*.woff2"):
        shutil.copyfile(font, target / "fonts" / font.name)


# --- sidebars -------------------------------------------------------------------


def drop_empty_sidebar(app: Sphinx, pagename: str, templatename: str, context: dict[str, Any], doctree: Any) -> None:
    """The left sidebar lists the pages of the page's top-level section; a
    section of one page (no toctree below it) has nothing to list."""
    env = app.env
    parents = {child: parent for parent, children in env.toctree_includes.items() for child in children}
    top = pagename
    while parents.get(top, app.config.root_doc) != app.config.root_doc:
        top = parents[top]
    if top == app.config.root_doc or not env.toctree_includes.get(top):
        # The section's navigation and its collapse button (as the theme does
        # for the home page); a sidebar left with nothing is hidden on wide screens.
        unused = ("sidebar-nav-bs", "sidebar-collapse")
        context["sidebars"] = [s for s in context.get("sidebars", []) if s.removesuffix(".html") not in unused]


def setup(app: Sphinx) -> dict[str, Any]:
    app.connect("builder-inited", write_api, priority=100)
    app.connect("doctree-read", mark_code_blocks)
    app.connect("doctree-read", link_code_names)
    app.add_role("larkspur-name", name_role)
    app.add_html_math_renderer("katex_build_time", (visit_math, None), (visit_math_block, None))
    app.connect("doctree-resolved", render_math)
    app.connect("html-page-context", add_katex_style)
    app.connect("html-page-context", drop_empty_sidebar)
    app.connect("build-finished", copy_katex)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
