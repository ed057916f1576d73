#!/usr/bin/python3
"""Checks event lines against the event schema.

    validate-events.py SCHEMA [FILE...]     (no FILE: standard input)

Every line must be one JSON object that the schema accepts. Prints one line per
violation ("LINE: what is wrong: the line") and exits 1 when there is any; exits 2
when the schema itself is not a valid draft-07 schema or jsonschema is missing
(Debian: python3-jsonschema). Controllers can use it on a saved event stream.
"""
import json
import sys

try:
    import jsonschema
except ImportError:
    print("validate-events: the Python module jsonschema is missing (apt-get install python3-jsonschema)")
    sys.exit(2)


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip())
        return 2
    with open(argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    try:
        jsonschema.Draft7Validator.check_schema(schema)
    except jsonschema.SchemaError as error:
        print(f"validate-events: {argv[1]} is not a valid schema: {error.message}")
        return 2
    validator = jsonschema.Draft7Validator(schema)

    sources = argv[2:] or ["-"]
    bad = 0
    for source in sources:
        stream = sys.stdin if source == "-" else open(source, encoding="utf-8", errors="replace")
        with stream:
            for number, line in enumerate(stream, 1):
                line = line.rstrip("\n")
                where = f"{source}:{number}" if source != "-" else str(number)
                try:
                    event = json.loads(line)
                except ValueError as error:
                    print(f"{where}: not JSON ({error}): {line}")
                    bad += 1
                    continue
                errors = list(validator.iter_errors(event))
                if errors:
                    worst = jsonschema.exceptions.best_match(errors)
                    path = "/".join(str(p) for p in worst.absolute_path)
                    print(f"{where}: {path + ': ' if path else ''}{worst.message}: {line}")
                    bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
