"""What the tests of run records share: the schema's validator and a
record's values by name."""
import json
import os
import sys


def schema_validator(schema_path, test_name):
    """The validator of the run record's schema. Without jsonschema the test
    is skipped (status 77), unless MEKAL_REQUIRE_SCHEMA=1 makes it fail."""
    try:
        import jsonschema
    except ImportError:
        if os.environ.get("MEKAL_REQUIRE_SCHEMA") == "1":
            raise
        print(f"{test_name}: skipped: this python cannot import jsonschema (python3-jsonschema)")
        sys.exit(77)
    with open(schema_path) as f:
        return jsonschema.Draft202012Validator(json.load(f))


def values(record):
    return {v["name"]: v for v in record["values"]}
