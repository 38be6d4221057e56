"""One readable line per event record, shared by the demo's subscriber and
its upstream server."""

import datetime
import json


def show(text):
    """The value as a terminal can print it: control characters as escapes."""
    return "".join(c if " " <= c < "\x7f" or c > "\x9f" else "\\x%02x" % ord(c) for c in text)


def summary(line):
    try:
        e = json.loads(line)
        when = datetime.datetime.fromtimestamp(e["timestamp_ms"] / 1000).strftime("%H:%M:%S.%f")[:-3]
        return "%s  %s \u2192 %s  %-10s %-26s %s \u2192 %s" % (
            when, e["source"], e["destination"], show(e["label"]), show(e["call_id"]),
            show(e["from"]) or "-", show(e["to"]) or "-")
    except (ValueError, KeyError, TypeError) as err:
        return "unreadable event (%s): %.80r" % (err, line)
