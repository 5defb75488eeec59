"""Thin command-line modules: argparse, then the package's functions."""
