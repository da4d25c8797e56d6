#!/usr/bin/env python3
"""Runs dravlin-sim --json on the given machines and checks each document against the schema.
An argument ending in .json is a document already written (the documentation's example).

Usage: check_json.py DRAVLIN_SIM SCHEMA MACHINE [OPTIONS...] [-- MACHINE [OPTIONS...]]...
"""
import json
import subprocess
import sys

import jsonschema

sim, schema_path, *rest = sys.argv[1:]
schema = json.load(open(schema_path, encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
runs, current = [], []
for arg in rest + ["--"]:
    if arg == "--":
        runs.append(current)
        current = []
    else:
        current.append(arg)
failed = 0
for args in runs:
    if len(args) == 1 and args[0].endswith(".json"):
        document = json.load(open(args[0], encoding="utf-8"))
        returncode = document["exitStatus"]
    else:
        done = subprocess.run([sim, "--json", *args], capture_output=True, check=False)
        document = json.loads(done.stdout.decode("utf-8"))
        returncode = done.returncode
    errors = sorted(validator.iter_errors(document), key=lambda e: list(e.path))
    for e in errors:
        print(f"{' '.join(args)}: {'/'.join(map(str, e.path))}: {e.message}")
    if document["exitStatus"] != returncode:
        print(f"{' '.join(args)}: exitStatus {document['exitStatus']}, exit {returncode}")
        failed += 1
    failed += len(errors)
    print(f"{' '.join(args)}: {len(errors)} schema errors, {len(document['boots'])} boots")
sys.exit(1 if failed else 0)
