"""Nothing left behind after thousands of calls; threads agree with one thread."""

import json
import os

from conftest import SUPPORT_DIR, needs_support_modules, run_python


@needs_support_modules
def test_repeated_calls_and_threads_leave_nothing_behind():
    result = run_python(
        "import sys, runpy; sys.argv = ['stress_driver', '3000', '150']\n"
        f"sys.path.insert(0, {str(SUPPORT_DIR.parents[2] / 'tests' / 'python')!r})\n"
        "runpy.run_module('stress_driver', run_name='__main__')"
    )
    assert result.returncode == 0, result.stderr
    figures = json.loads(result.stdout.strip().splitlines()[-1])
    leaks, threads = figures["leaks"], figures["threads"]
    assert leaks["calls"] >= 60_000
    assert leaks["refcounts_changed"] == []
    assert leaks["item_refcount_delta"] == 0 and leaks["class_refcount_delta"] == 0
    assert abs(leaks["allocated_blocks_delta"]) < 50
    if "ASAN_OPTIONS" not in os.environ:  # ASan's quarantine holds freed memory on purpose
        assert leaks["rss_growth_bytes"] < 2 * 1024 * 1024
    assert leaks["registry_entries"] == 0
    assert threads["mismatches"] == 0 and threads["errors"] == []
    assert threads["registry_entries"] == 0
