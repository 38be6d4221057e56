"""Prometheus text files as a Prometheus server reads them: through
python3-prometheus-client's own parser, with every family required to
carry HELP and a counter or gauge TYPE (an untyped or undocumented family
parses, but is misread by the server)."""

import prometheus_client.parser


def samples(path):
    """[(family type, family help, sample)] of the file at path, in order."""
    with open(path) as f:
        text = f.read()
    out = []
    for family in prometheus_client.parser.text_string_to_metric_families(text):
        if family.type not in ("counter", "gauge") or not family.documentation:
            raise AssertionError("untyped or undocumented %r in:\n%s" % (family.name, text))
        out.extend((family.type, family.documentation, s) for s in family.samples)
    return out
