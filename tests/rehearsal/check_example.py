#!/usr/bin/env python3
"""The JSON example in the docs is what dravlin-sim prints for its command today: same
document, whatever the line breaks. Usage: check_example.py DRAVLIN_SIM EXAMPLE.json ARGS..."""
import json
import subprocess
import sys

sim, example, args = sys.argv[1], sys.argv[2], sys.argv[3:]
run = subprocess.run([sim, *args, "--json"], capture_output=True, check=False)
if run.returncode != 0:
    sys.exit(f"dravlin-sim ended with {run.returncode}: {run.stderr.decode(errors='replace')}")
with open(example, encoding="utf-8") as f:
    kept = json.load(f)
if json.loads(run.stdout) != kept:
    sys.exit(f"{example} is not what the command prints now; print it again with --json")
print(f"{example}: the same document as a fresh run")
