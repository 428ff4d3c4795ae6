"""The tarn language server (``tarn lsp``): diagnostics, outline, folding,
selection, semantic highlighting, navigation, renaming and completion for
editors that speak the Language Server Protocol.

Importing this package is cheap; the server and pygls load when it starts.
"""
from __future__ import annotations

import argparse


def add_command(commands: argparse._SubParsersAction) -> None:
    """Adds the ``lsp`` subcommand to the ``tarn`` command line."""
    command = commands.add_parser(
        "lsp", help="run the language server",
        description="Serve the Language Server Protocol on stdin/stdout (for editors).")
    command.add_argument("--tcp", metavar="HOST:PORT",
                         help="listen on HOST:PORT for one client instead of stdio (for debugging)")
    command.add_argument("--log-file", metavar="PATH", help="write the log there instead of stderr")
    command.add_argument("-v", "--verbose", action="store_true", help="log every message")
    command.set_defaults(run=_run)


def _run(args: argparse.Namespace) -> int:
    from tarn.lsp.server import start

    return start(tcp=args.tcp, log_file=args.log_file, verbose=args.verbose)
