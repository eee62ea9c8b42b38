"""What the tests of run records share: the schema's validator and a
record's values by name.

Run as a script, it checks run records against the schema:

    record_checks.py SCHEMA RECORD...

one line per record; status 0 when every record is valid, 1 when one is
not, 77 when this python cannot import jsonschema (see schema_validator)."""
import json
import os
import sys


def schema_validator(schema_path, test_name):
    """The validator of the run record's schema, which is itself checked.
    Without jsonschema the test is skipped (status 77), unless
    MEKAL_REQUIRE_ALL=1 (or MEKAL_REQUIRE_SCHEMA=1) makes it fail."""
    try:
        import jsonschema
    except ImportError:
        reason = f"this python ({sys.executable}) cannot import jsonschema (python3-jsonschema)"
        if "1" in (os.environ.get("MEKAL_REQUIRE_ALL"), os.environ.get("MEKAL_REQUIRE_SCHEMA")):
            sys.exit(f"{test_name}: {reason}")
        print(f"{test_name}: skipped: {reason}")
        sys.exit(77)
    with open(schema_path) as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def values(record):
    return {v["name"]: v for v in record["values"]}


def main(schema_path, record_paths):
    validator = schema_validator(schema_path, "record_checks")
    failed = False
    for path in record_paths:
        try:
            with open(path) as f:
                record = json.load(f)
        except (OSError, ValueError) as error:
            errors = [str(error)]
        else:
            errors = [f"/{'/'.join(map(str, e.absolute_path))}: {e.message}"
                      for e in validator.iter_errors(record)]
        failed = failed or bool(errors)
        print(f"{path}: {'; '.join(errors) if errors else 'valid'}")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: record_checks.py SCHEMA RECORD...")
    sys.exit(main(sys.argv[1], sys.argv[2:]))
