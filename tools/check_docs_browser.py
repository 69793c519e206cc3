"""Opens every page of the built documentation site in headless Chromium
(Debian's chromium and chromium-driver, driven by selenium) and fails when a
reader would meet a broken page:

- a console error (a script failing, a resource not found);
- a request for anything but the site's own files (a CDN, a web font, an
  analytics call: the site must work offline);
- an image that does not load;
- TeX left as text (\\( \\[ $$ \\frac ...), a formula not typeset, a KaTeX
  error, or formulas shown later than 2 s after the page starts loading
  (they are typeset at build time: only the fonts remain to load);
- at a 1400 px wide window, a main column narrower than 900 px, a page that
  scrolls sideways, or a code block with a horizontal scroll bar;
- a link to a page or anchor of the site that does not exist;
- the search page finding nothing for "bootstrap" or "p_tilde".

The site is read through file:// URLs, as `open build/docs/index.html` does.
Screenshots at 1400 px of the home page, Getting started, the API pages of
EscancianoLobato and `diagnose`, the theory page and a gallery example go to
--shots.

    python tools/check_docs_browser.py build/docs --shots build/docs-shots
"""

from __future__ import annotations

import argparse
import html.parser
import json
import pathlib
import shutil
import sys
import time
import urllib.parse

WIDTH, HEIGHT = 1400, 900
MIN_CONTENT_WIDTH = 900
MATH_SECONDS = 2.0
SHOTS = {
    "home.png": "index.html",
    "getting_started.png": "getting_started.html",
    "api_escanciano_lobato.png": "api/generated/larkspur.statistical_tests.EscancianoLobato.html",
    "api_diagnose.png": "api/generated/larkspur_tools.diagnose.html",
    "theory.png": "theory.html",
    "gallery_bootstrap.png": "auto_gallery/plot_bootstrap.html",
}
SEARCHES = ("bootstrap", "p_tilde")
# TeX that should have been typeset; checked in the visible text outside code
# (and outside KaTeX's MathML copy for screen readers, which keeps the source).
RAW_TEX = ("\\(", "\\)", "\\[", "\\]", "$$", "\\frac", "\\hat", "\\sum", "\\begin{", "\\sqrt", "\\tau", "\\gamma")
SKIPPED_DIRS = {"_static", "_sources", "_downloads", "_images", "_sphinx_design_static"}

VISIBLE_TEXT = """
const skip = new Set(["PRE", "CODE", "SCRIPT", "STYLE", "NOSCRIPT", "TEXTAREA"]);
const parts = [];
const walk = (node) => {
  if (node.nodeType === Node.TEXT_NODE) { parts.push(node.textContent); return; }
  if (node.nodeType !== Node.ELEMENT_NODE || skip.has(node.tagName)) return;
  if (node.classList.contains("highlight") || node.classList.contains("katex-mathml")) return;
  const style = getComputedStyle(node);
  if (style.display === "none" || style.visibility === "hidden") return;
  for (const child of node.childNodes) walk(child);
};
walk(document.querySelector("main") || document.body);
return parts.join(" ");
"""

BROKEN_IMAGES = """
return Array.from(document.images)
  .filter((img) => !(img.complete && img.naturalWidth > 0))
  .map((img) => img.currentSrc || img.src);
"""

# When the formulas show: they are HTML from the build, so once the page's
# fonts (KaTeX's among them) have loaded. Milliseconds since navigation start.
MATH_READY = """
const done = arguments[arguments.length - 1];
document.fonts.ready.then(() => done({
  ms: performance.now(),
  formulas: document.querySelectorAll("span.math, div.math").length,
  untypeset: Array.from(document.querySelectorAll("span.math, div.math"))
    .filter((m) => !m.querySelector(".katex")).map((m) => m.textContent.slice(0, 60)),
  errors: document.querySelectorAll(".katex-error, merror").length,
}));
"""

# The main column's width, sideways scrolling, and code blocks whose lines are
# hidden behind a scroll bar (their first line too long to show).
LAYOUT = """
const article = document.querySelector(".bd-article") || document.querySelector("main") || document.body;
const scrolled = Array.from(article.querySelectorAll("pre"))
  .filter((pre) => pre.scrollWidth > pre.clientWidth + 1)
  .map((pre) => pre.textContent.split("\\n").reduce((a, b) => (b.length > a.length ? b : a), "").slice(0, 100));
return {
  content: Math.round(article.getBoundingClientRect().width),
  page: document.documentElement.scrollWidth,
  window: document.documentElement.clientWidth,
  scrolled: scrolled,
};
"""


class Page(html.parser.HTMLParser):
    """The ids a page defines and the links it holds."""

    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        for key in ("id", "name"):
            if values.get(key):
                self.ids.add(str(values[key]))
        if tag == "a" and values.get("href"):
            self.links.append(str(values["href"]))


def internal_link_failures(site: pathlib.Path, pages: list[pathlib.Path]) -> list[str]:
    parsed: dict[pathlib.Path, Page] = {}

    def page(path: pathlib.Path) -> Page:
        if path not in parsed:
            parser = Page()
            parser.feed(path.read_text(encoding="utf-8"))
            parsed[path] = parser
        return parsed[path]

    failures = []
    for path in pages:
        for link in page(path).links:
            url = urllib.parse.urlsplit(link)
            if url.scheme or url.netloc:
                continue  # external links are checked as requests, when followed
            target = (path.parent / urllib.parse.unquote(url.path)).resolve() if url.path else path
            if target.is_dir():
                target = target / "index.html"
            where = f"{path.relative_to(site)}: link {link!r}"
            if not target.is_file():
                failures.append(f"{where}: no such file")
            elif url.fragment and target.suffix == ".html" and url.fragment not in page(target).ids:
                failures.append(f"{where}: no anchor #{url.fragment}")
    return failures


def browser(width: int = WIDTH, height: int = HEIGHT):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for argument in (
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        f"--window-size={width},{height}",
        "--hide-scrollbars",
        "--force-device-scale-factor=1",
        "--disable-background-networking",
        "--disable-component-update",
        "--no-first-run",
        "--disable-sync",
        "--disable-default-apps",
        "--allow-file-access-from-files",
    ):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL", "performance": "ALL"})
    service = Service(executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver")
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(60)
    return driver


def requests_of(driver, site_url: str) -> tuple[list[str], list[str]]:
    """(requests that left the site, requests that failed) since the last call."""
    outside, failed, urls = [], [], {}
    for entry in driver.get_log("performance"):
        message = json.loads(entry["message"])["message"]
        params = message.get("params", {})
        if message["method"] == "Network.requestWillBeSent":
            url = params["request"]["url"]
            urls[params["requestId"]] = url
            if not (url.startswith(site_url) or url.split(":", 1)[0] in ("data", "blob", "about")):
                outside.append(url)
        elif message["method"] == "Network.loadingFailed" and not params.get("canceled"):
            failed.append(f"{urls.get(params['requestId'], '?')}: {params.get('errorText')}")
    return outside, failed


def check_page(
    driver, site: pathlib.Path, path: pathlib.Path, site_url: str, math_times: dict[str, float]
) -> list[str]:
    driver.get(path.as_uri())
    where = str(path.relative_to(site))
    problems = []
    math = driver.execute_async_script(MATH_READY)
    if math["formulas"]:
        math_times[where] = math["ms"] / 1000
        if math["ms"] > MATH_SECONDS * 1000:
            problems.append(
                f"{where}: formulas shown {math['ms'] / 1000:.2f} s after load began (over {MATH_SECONDS} s)"
            )
    problems += [f"{where}: formula not typeset: {text!r}" for text in math["untypeset"]]
    layout = driver.execute_script(LAYOUT)
    if layout["content"] < MIN_CONTENT_WIDTH:
        problems.append(f"{where}: main column {layout['content']} px wide at {WIDTH} px (under {MIN_CONTENT_WIDTH})")
    if layout["page"] > layout["window"]:
        problems.append(f"{where}: the page scrolls sideways ({layout['page']} px in a {layout['window']} px window)")
    problems += [f"{where}: code block scrolls sideways: {line!r}" for line in layout["scrolled"]]
    # Lazy images are loaded now, so that every image is checked.
    driver.execute_script("document.querySelectorAll('img[loading=lazy]').forEach((i) => i.loading = 'eager');")
    deadline = time.monotonic() + 15
    while (broken := driver.execute_script(BROKEN_IMAGES)) and time.monotonic() < deadline:
        time.sleep(0.2)
    problems += [f"{where}: image does not load: {src}" for src in broken]
    if math["errors"]:
        problems.append(f"{where}: {math['errors']} KaTeX errors")
    text = driver.execute_script(VISIBLE_TEXT)
    problems += [
        f"{where}: raw TeX {token!r} visible: ...{text[max(0, text.index(token) - 40) : text.index(token) + 40]}..."
        for token in RAW_TEX
        if token in text
    ]
    outside, failed = requests_of(driver, site_url)
    problems += [f"{where}: request leaves the site: {url}" for url in outside]
    problems += [f"{where}: request failed: {text}" for text in failed]
    problems += [
        f"{where}: console {entry['level']}: {entry['message']}"
        for entry in driver.get_log("browser")
        if entry["level"] == "SEVERE"
    ]
    return problems


def check_search(driver, site: pathlib.Path, site_url: str, word: str) -> list[str]:
    driver.get((site / "search.html").as_uri() + "?q=" + urllib.parse.quote(word))
    deadline = time.monotonic() + 30
    count = 0
    while time.monotonic() < deadline:
        count = driver.execute_script("return document.querySelectorAll('#search-results li').length;")
        status = driver.execute_script(
            "const s = document.querySelector('#search-results .search-summary, #search-results p');"
            "return s ? s.textContent : '';"
        )
        if count or "did not match" in status:
            break
        time.sleep(0.2)
    outside, failed = requests_of(driver, site_url)
    problems = [f"search {word!r}: request leaves the site: {url}" for url in outside]
    problems += [f"search {word!r}: request failed: {text}" for text in failed]
    problems += [
        f"search {word!r}: console {e['level']}: {e['message']}"
        for e in driver.get_log("browser")
        if e["level"] == "SEVERE"
    ]
    if not count:
        problems.append(f"search {word!r}: no results")
    else:
        print(f"search {word!r}: {count} results")
    return problems


def screenshot(driver, site: pathlib.Path, page: str, target: pathlib.Path) -> None:
    driver.get((site / page).as_uri())
    driver.execute_async_script(MATH_READY)
    height = min(int(driver.execute_script("return document.documentElement.scrollHeight;")), 5000)
    shot = driver.execute_cdp_cmd(
        "Page.captureScreenshot",
        {
            "format": "png",
            "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": WIDTH, "height": height, "scale": 1},
        },
    )
    import base64

    target.write_bytes(base64.b64decode(shot["data"]))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("site", type=pathlib.Path, help="the built site (build/docs)")
    parser.add_argument("--shots", type=pathlib.Path, default=pathlib.Path("build/docs-shots"))
    arguments = parser.parse_args()
    site = arguments.site.resolve()
    if not (site / "index.html").is_file():
        print(f"{site}: no index.html; run make docs first", file=sys.stderr)
        return 2
    site_url = site.as_uri() + "/"
    pages = sorted(p for p in site.rglob("*.html") if not SKIPPED_DIRS.intersection(p.relative_to(site).parts))
    start = time.monotonic()
    problems = internal_link_failures(site, pages)
    driver = browser()
    math_times: dict[str, float] = {}
    try:
        for path in pages:
            problems += check_page(driver, site, path, site_url, math_times)
        for word in SEARCHES:
            problems += check_search(driver, site, site_url, word)
        arguments.shots.mkdir(parents=True, exist_ok=True)
        for name, page in SHOTS.items():
            screenshot(driver, site, page, arguments.shots / name)
    finally:
        driver.quit()
    for where, seconds in sorted(math_times.items()):
        print(f"{where}: formulas shown {seconds:.2f} s after load began")
    for problem in problems:
        print(problem, file=sys.stderr)
    print(
        f"{len(pages)} pages checked in Chromium, {len(problems)} problems, {time.monotonic() - start:.1f} s; "
        f"screenshots in {arguments.shots}"
    )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
