#!/usr/bin/env python3
"""Runs one build step: silent when it succeeds; when it fails, its whole output goes to stderr
and its exit status becomes the step's."""
import subprocess
import sys

if len(sys.argv) < 2:
    sys.exit("usage: run-quiet.py program [arguments...]")
try:
    step = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=False)
except OSError as error:
    sys.exit(f"{sys.argv[1]}: {error}")
if step.returncode != 0:
    sys.stderr.buffer.write(step.stdout)
    sys.stderr.flush()
    # A step killed by a signal reports a negative status; the build still sees a failure.
    sys.exit(step.returncode if step.returncode > 0 else 1)
