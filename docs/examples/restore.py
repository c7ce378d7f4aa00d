"""Restores one privacy-masked video with the demosaic package, showing progress on stderr.
    python3 restore.py INPUT KEY          (exit status: the result code)"""
import sys

import demosaic


def show_progress(done, total):
    print(f"\rrestored {done} of {total or '?'} pictures", end="", file=sys.stderr)


result = demosaic.restore(sys.argv[1], sys.argv[2], progress=show_progress)
print(file=sys.stderr)
print(f"code {result.code}: {result.message}")
if result.code == 0:
    print(f"restored: {result.output}")
sys.exit(result.code)
