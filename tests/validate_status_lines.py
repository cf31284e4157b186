#!/usr/bin/env python3
"""Holds every status line that the agent wrote during the test run against the published
schema of the status events.

    validate_status_lines.py SCHEMA LOG
"""
import json
import sys

import jsonschema


def main():
    schema_path, log_path = sys.argv[1:3]
    with open(schema_path) as schema_file:
        validator = jsonschema.Draft202012Validator(json.load(schema_file))
    try:
        with open(log_path, "rb") as log:
            raw = log.read()
    except FileNotFoundError:
        raw = b""
    lines = raw.decode("utf-8").splitlines()
    if not lines:
        sys.exit("no status line was recorded: the end-to-end tests did not run or did not log")
    failures = 0
    for number, line in enumerate(lines, 1):
        try:
            errors = sorted(validator.iter_errors(json.loads(line)), key=str)
        except json.JSONDecodeError as error:
            errors = [error]
        for error in errors:
            failures += 1
            print(f"line {number}: {line}\n  {getattr(error, 'message', error)}")
    kinds = sorted({json.loads(line)["event"] for line in lines if line.startswith("{")})
    print(f"{len(lines)} status lines checked ({', '.join(kinds)}), {failures} problems")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
