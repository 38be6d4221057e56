"""Strict check of one event record as a consumer would parse it, including
validation against the published schema in docs/event.schema.json."""
import json
import os

import jsonschema

_SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "event.schema.json")
with open(_SCHEMA_PATH) as _f:
    _SCHEMA = jsonschema.Draft202012Validator(json.load(_f))

KEYS = ["type", "switch_id", "timestamp_ms", "call_id", "source", "destination",
        "from", "to", "label", "method", "status", "cseq", "raw"]


def _no_duplicates(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("duplicate key in %r" % keys)
    return pairs


def parse_record(line):
    """Parses one record (bytes, without its newline) and returns a dict.

    Raises AssertionError naming the fault: a byte outside 0x20-0x7E,
    invalid JSON, wrong members or member order, or wrong member types."""
    bad = [b for b in line if b < 0x20 or b > 0x7E]
    if bad:
        raise AssertionError("byte 0x%02x in record %r" % (bad[0], line[:200]))
    try:
        pairs = json.loads(line.decode("ascii"), object_pairs_hook=_no_duplicates,
                           parse_constant=lambda c: (_ for _ in ()).throw(ValueError(c)))
    except ValueError as e:
        raise AssertionError("not JSON (%s): %r" % (e, line[:200]))
    keys = [k for k, _ in pairs]
    if keys != KEYS:
        raise AssertionError("members %r" % keys)
    rec = dict(pairs)
    if rec["type"] != "sip.message":
        raise AssertionError("type %r" % rec["type"])
    if type(rec["timestamp_ms"]) is not int:
        raise AssertionError("timestamp_ms %r" % rec["timestamp_ms"])
    for k in KEYS:
        if k != "timestamp_ms" and not isinstance(rec[k], str):
            raise AssertionError("%s is not a string" % k)
    errors = sorted(_SCHEMA.iter_errors(rec), key=str)
    if errors:
        raise AssertionError("schema: %s in %r" % (errors[0].message, line[:200]))
    return rec
