"""Every record written by the capture unit tests must be one valid event
record per line; an empty or missing file is a failure, not a pass."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from event_record import parse_record  # noqa: E402


def main(path):
    with open(path, "rb") as f:
        data = f.read()
    if not data.endswith(b"\n"):
        print("%s: empty or unterminated" % path, file=sys.stderr)
        return 1
    lines = data[:-1].split(b"\n")
    for i, line in enumerate(lines, 1):
        try:
            parse_record(line)
        except AssertionError as e:
            print("%s:%d: %s" % (path, i, e), file=sys.stderr)
            return 1
    print("%d records parsed" % len(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
