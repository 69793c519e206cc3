"""What a bug report needs to say about this installation: versions of
larkspur, NumPy and Python, the platform, and the kernel variants (the one
that runs, those the CPU supports, those the build has).

    >>> import larkspur_tools
    >>> larkspur_tools.show_config()   # also: larkspur-csv --show-config

The variant is chosen once per process, the widest the CPU supports, unless
LARKSPUR_KERNEL names one or LARKSPUR_DISABLE_KERNELS masks some (see
docs/performance.md); every variant gives the same bits.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
from collections.abc import Sequence
from typing import Any, TextIO

KERNEL_VARIABLES = ("LARKSPUR_KERNEL", "LARKSPUR_DISABLE_KERNELS")


def config_lines() -> list[str]:
    """The lines show_config prints, "label: value" each."""
    import numpy

    import larkspur

    from . import __version__, _batch

    kernels = _batch.kernel_info()
    entries = [
        ("larkspur", f"{__version__} ({larkspur.__file__})"),
        ("NumPy", numpy.__version__),
        ("Python", f"{platform.python_version()} ({platform.python_implementation()}, {sys.executable})"),
        ("platform", f"{platform.platform()} ({platform.machine()})"),
        ("kernel running", str(kernels["running"])),
        ("kernels supported", ", ".join(kernels["supported"])),
        ("kernels compiled", ", ".join(kernels["compiled"])),
    ]
    entries += [(name, os.environ.get(name, "(unset)")) for name in KERNEL_VARIABLES]
    width = max(len(label) for label, _ in entries) + 1
    return [f"{label + ':':<{width}} {value}" for label, value in entries]


def show_config(file: TextIO | None = None) -> None:
    """Prints versions and kernel variants, one per line, for bug reports.

    Parameters
    ----------
    file : text stream, optional
        Where to print (default: standard output).

    Returns
    -------
    None
        The lines are printed: the versions of larkspur, NumPy and Python,
        the platform, the kernel variant running, those the CPU supports and
        those the build has, and the kernel environment variables.

    Examples
    --------
    >>> import io
    >>> from larkspur_tools import show_config
    >>> out = io.StringIO()
    >>> show_config(out)
    >>> "kernel" in out.getvalue()
    True
    """
    print("\n".join(config_lines()), file=sys.stdout if file is None else file)


class ShowConfigAction(argparse.Action):
    """`--show-config` for a command: prints show_config() and exits."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, **kwargs)

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: Any,
        option_string: str | None = None,
    ) -> None:
        show_config()
        parser.exit()
