"""Values a speaker sent, as error and log lines quote them: at most ``LIMIT`` characters, and no more work to
write than that (a reply may hold thousands of references to one long string, or an integer of any size)."""

import reprlib

LIMIT = 200
MOST_FIELDS = 40


class _Bounded(reprlib.Repr):
    def __init__(self) -> None:
        super().__init__()
        self.maxlevel = 3
        self.maxdict = self.maxlist = self.maxtuple = self.maxset = self.maxfrozenset = self.maxdeque = 8
        self.maxstring = self.maxother = self.maxlong = LIMIT

    def repr_int(self, x: int, level: int) -> str:
        # Python refuses to write integers of more than 4,300 digits; a reply has no use for them anyway.
        return "<a %d-bit integer>" % x.bit_length() if x.bit_length() > 4 * LIMIT else repr(x)

    def repr_bytes(self, x: bytes, level: int) -> str:
        return repr(x[:LIMIT])

    repr_bytearray = repr_bytes


_BOUNDED = _Bounded()


def quoted(value: object) -> str:
    """``repr(value)`` cut to ``LIMIT`` characters."""
    text = _BOUNDED.repr(value)
    return text if len(text) <= LIMIT else text[:LIMIT - 1] + "…"


def quoted_fields(fields) -> str:
    """A TXT record or similar mapping as ``key=value`` pairs, each side quoted, the first ``MOST_FIELDS`` only."""
    if not fields:
        return "none"
    items = list(fields.items())
    text = " ".join("%s=%s" % (quoted(k)[1:-1] if isinstance(k, str) else quoted(k), quoted(v))
                    for k, v in items[:MOST_FIELDS])
    return text + (" …(%d more)" % (len(items) - MOST_FIELDS) if len(items) > MOST_FIELDS else "")
