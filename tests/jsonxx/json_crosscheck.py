#!/usr/bin/python3
"""json_crosscheck.py <json_roundtrip>: documents made with json.dumps, parsed and written by jsonxx in the "C"
locale and under a decimal comma, must come out as the layout computed here from the Part (tabs, names in
UTF-8 byte order, a blank for each last comma, the escape table, %.19Lg of the nearest 80-bit long double),
read back in python as the values generated, and parse in jsonxx to the same text again."""
import json
import os
import random
import subprocess
import sys
import tempfile
from decimal import Decimal, Context, ROUND_HALF_EVEN
from fractions import Fraction

rng = random.Random(4711)
ESCAPES = {0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r", 0x22: b'\\"', 0x2F: b"\\/",
           0x5C: b"\\\\"}


def random_string(latin1):
    """Printable ASCII, JSON's special characters, the BMP and beyond; raw Latin-1 only in raw UTF-8
    documents (jsonxx takes a \\u00XX escape as one byte)."""
    ranges = [(0x20, 0x7E)] * 5 + [(0x100, 0xD7FF), (0xE000, 0xFFFF), (0x10000, 0x10FFFF)] + [(0x80, 0xFF)] * latin1
    return "".join(rng.choice("\0\1\b\t\n\v\f\r\x1b\x1f\x7f\"\\/") if rng.random() < 0.1
                   else chr(rng.randint(*rng.choice(ranges))) for _ in range(rng.randint(0, 12)))


def random_value(depth, latin1):
    kind = rng.randrange(9 if depth < 6 else 5)
    if kind < 3:
        return [True, False, None][kind]
    if kind == 3:
        return random_string(latin1)
    if kind == 4:
        return rng.choice([rng.randint(-1000, 1000), rng.randint(-(10 ** 19) + 1, 10 ** 19 - 1),
                           round(rng.uniform(-1000, 1000), rng.randint(0, 6)),
                           rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randint(-320, 308),
                           rng.choice([0.1, 2.5, 1e-5, 1e19, -0.0, 5e-324, 1.7976931348623157e308, 123456789.125])])
    if kind < 7:
        return [random_value(depth + 1, latin1) for _ in range(rng.randint(0, 5))]
    return {random_string(latin1): random_value(depth + 1, latin1) for _ in range(rng.randint(0, 5))}


def escape(data):
    return b"".join(ESCAPES.get(b, b"\\u%04x" % b if b < 0x20 else bytes([b])) for b in data)


def percent_19lg(source):
    """C's %.19Lg of the long double (64-bit significand) nearest to a decimal text."""
    value = Fraction(source)
    if value == 0:
        return "-0" if source.startswith("-") else "0"
    magnitude = abs(value)
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    exponent -= Fraction(2) ** exponent > magnitude
    nearest = round(magnitude * Fraction(2) ** (63 - exponent)) * Fraction(2) ** (exponent - 63)  # ties to even
    rounded = Context(prec=19, rounding=ROUND_HALF_EVEN, Emax=999999, Emin=-999999).divide(
        Decimal(nearest.numerator), Decimal(nearest.denominator))
    at = rounded.adjusted()
    digits = "".join(map(str, rounded.as_tuple().digits)).ljust(19, "0")
    if -4 <= at < 19:
        text = digits[:at + 1] + "." + digits[at + 1:] if at >= 0 else "0." + "0" * (-at - 1) + digits
        text = text.rstrip("0").rstrip(".")
    else:
        text = "%se%+03d" % ((digits[0] + "." + digits[1:]).rstrip("0").rstrip("."), at)
    return ("-" if value < 0 else "") + text


def last_comma(text):
    return text[:-2] + b" \n" if len(text) > 2 and text[-2:-1] == b"," else text


def layout(value, depth=0, name=None):
    out = b"\t" * depth + (b'"' + escape(name.encode("utf-8")) + b'": ' if name is not None else b"")
    if isinstance(value, bool) or value is None:
        return out + json.dumps(value).encode() + b",\n"
    if isinstance(value, (int, float)):  # json.dumps writes repr() of a float, str() of an int
        return out + percent_19lg(repr(value) if isinstance(value, float) else str(value)).encode() + b",\n"
    if isinstance(value, str):
        return out + b'"' + escape(value.encode("utf-8")) + b'",\n'
    if isinstance(value, list):
        body, close = b"[\n" + b"".join(layout(v, depth + 1) for v in value), b"]"
    else:
        keys = sorted(value, key=lambda k: k.encode("utf-8"))
        body, close = b"{\n" + b"".join(layout(value[k], depth + 1, k) for k in keys), b"}"
    return out + last_comma(body) + b"\t" * depth + close + b",\n"


def run_helper(helper, paths, settings):
    # The helper has the sanitizers linked in: no preloading, leak checks on.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    result = subprocess.run([helper] + paths, capture_output=True, env=dict(env, **settings))
    failed = {line[len("failed "):] for line in result.stdout.decode().splitlines()}
    return failed, ["helper wrote to standard error: %r" % result.stderr[:2000]] if result.stderr else []


def check(helper, paths, cases, generated, settings):
    failed, failures = run_helper(helper, paths, settings)
    for index, (path, (text, expected)) in enumerate(zip(paths, cases)):
        with open(path + ".out", "rb") as f:
            out = f.read()
        if (expected is None) != (path in failed):
            failures.append("%s: parse result wrong for %r" % (path, text[:300]))
        elif expected is not None and out != expected:
            at = next((i for i, (a, b) in enumerate(zip(out, expected)) if a != b), len(expected))
            failures.append("%s: at byte %d expected %r, written %r" % (path, at, expected[at:][:80], out[at:][:80]))
        # %.19Lg may write a float as an integer: python reads numbers as floats on both sides.
        elif index < generated and json.loads(out, parse_int=float) != json.loads(text, parse_int=float):
            failures.append("%s: python reads other values back" % path)
    again = [path + ".out" for path, (_, expected) in zip(paths, cases) if expected is not None]
    failures += run_helper(helper, again, settings)[1]
    for path in again:
        with open(path, "rb") as first, open(path + ".out", "rb") as second:
            if first.read() != second.read():
                failures.append("%s: the written text parses to another text" % path)
    return failures


def main(helper):
    cases = []
    for _ in range(400):
        raw = rng.random() < 0.5  # raw UTF-8, or every non-ASCII character as \u escapes
        root = {random_string(raw): random_value(1, raw) for _ in range(rng.randint(0, 6))}
        if rng.random() < 0.2:
            root = [random_value(1, raw) for _ in range(rng.randint(0, 6))]
        cases.append((json.dumps(root, ensure_ascii=not raw, indent=rng.choice([None, 0, 2, "\t"]),
                                 separators=rng.choice([None, (",", ":"), (" , ", " : ")]),
                                 sort_keys=rng.random() < 0.3), last_comma(layout(root))))
    generated = len(cases)
    cases += [  # the Part's example after bytes up to 0x20; an empty name; numbers beyond a double; the last name wins
        (' \x01\t{"Channels": [{"name": "a"}]}', b'{\n\t"Channels": [\n\t\t{\n\t\t\t"name": "a" \n\t\t} \n\t] \n} \n'),
        ('{"": 1.000}', b'{\n\t"": 1 \n} \n'),
        ('{"a": 1.189731495357231765e+4932, "b": -0, "c": 1e-4, "d": 1e18}',
         b'{\n\t"a": 1.189731495357231765e+4932,\n\t"b": -0,\n\t"c": 0.0001,\n\t"d": 1000000000000000000 \n} \n'),
        ('{"a": 1, "a": [2]}', b'{\n\t"a": [\n\t\t2 \n\t] \n} \n'),
        ('{"s": "%s"}' % "".join(map("\\u{:04x}".format, range(256))),  # \u00XX is one byte: all bytes escaped
         b'{\n\t"s": "%s" \n} \n' % escape(bytes(range(256)))),
        ('{"a": "\\u00e9\\u20ac\\ud83d\\ude00"}', b'{\n\t"a": "\xe9\xe2\x82\xac\xf0\x9f\x98\x80" \n} \n')]
    cases += [(json.dumps(v), None) for v in ({"x": float("nan")}, {"x": float("inf")}, [float("-inf")])]
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, "doc%03d.json" % i) for i in range(len(cases))]
        for path, (text, _) in zip(paths, cases):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        failures = check(helper, paths, cases, generated, {})
        # A decimal comma in the host's locale changes neither direction.
        subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(folder, "de")], capture_output=True)
        with open(os.path.join(folder, "lsan"), "w") as f:
            f.write("leak:__argz_add_sep\n")  # glibc's setlocale keeps a copy of LOCPATH
        comma = {"LOCPATH": folder, "LC_ALL": "de", "LSAN_OPTIONS": "print_suppressions=0:suppressions=" + f.name}
        if 'decimal_point=","' in subprocess.run(["locale", "-k", "decimal_point"], capture_output=True, text=True,
                                                  env=dict(os.environ, **comma)).stdout:
            failures += ["decimal comma: " + f for f in check(helper, paths, cases, generated, comma)]
        else:
            print("SKIP: localedef could not compile de_DE for the decimal comma")
    for failure in failures:
        print("FAIL:", failure)
    print("%d documents, %d failures" % (len(cases), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
