#!/usr/bin/python3
"""Cross-check of jsonxx against python3's json module.

Documents generated here with json.dumps (several layouts and escaping
modes) are parsed and written by jsonxx through the json_roundtrip helper.
For every document:
  * json.loads of the written text gives back the generated values;
  * the written bytes equal the layout computed here independently: tabs,
    members in byte order of their UTF-8 names, the blank after each last
    line, the escape table, and numbers as %.19Lg of the nearest long double
    (80-bit, 64-bit significand) computed with exact fractions.
Usage: json_crosscheck.py <json_roundtrip executable>
"""
import json
import math
import os
import random
import subprocess
import sys
import tempfile
from decimal import Decimal, Context, ROUND_HALF_EVEN
from fractions import Fraction

HELPER = sys.argv[1]
rng = random.Random(4711)
failures = []


def fail(message):
    failures.append(message)
    print("FAIL:", message)


# ---- generation -------------------------------------------------------

def random_char(raw_latin1):
    pick = rng.random()
    if pick < 0.55:
        return chr(rng.randint(0x20, 0x7E))
    if pick < 0.65:
        return chr(rng.choice([0, 1, 8, 9, 10, 12, 13, 0x1B, 0x1F, 0x7F, 0x22, 0x5C, 0x2F]))
    if pick < 0.75 and raw_latin1:
        return chr(rng.randint(0x80, 0xFF))
    if pick < 0.9:
        while True:
            c = rng.randint(0x100, 0xFFFF)
            if not 0xD800 <= c <= 0xDFFF:
                return chr(c)
    return chr(rng.randint(0x10000, 0x10FFFF))


def random_string(raw_latin1):
    return "".join(random_char(raw_latin1) for _ in range(rng.randint(0, 12)))


def random_number():
    pick = rng.random()
    if pick < 0.3:
        return rng.randint(-1000, 1000)
    if pick < 0.45:
        return rng.randint(-(10 ** 19) + 1, 10 ** 19 - 1)
    if pick < 0.6:
        return round(rng.uniform(-1000, 1000), rng.randint(0, 6))
    if pick < 0.9:
        return rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randint(-320, 308)
    return rng.choice([0.1, 2.5, 1e-5, 1e19, -0.0, 5e-324, 1.7976931348623157e308, 123456789.125])


def random_value(depth, raw_latin1):
    kinds = ["string", "number", "true", "false", "null"]
    if depth < 6:
        kinds += ["array", "object"] * 2
    kind = rng.choice(kinds)
    if kind == "string":
        return random_string(raw_latin1)
    if kind == "number":
        return random_number()
    if kind == "true":
        return True
    if kind == "false":
        return False
    if kind == "null":
        return None
    if kind == "array":
        return [random_value(depth + 1, raw_latin1) for _ in range(rng.randint(0, 5))]
    return {random_string(raw_latin1): random_value(depth + 1, raw_latin1) for _ in range(rng.randint(0, 5))}


def random_document():
    raw = rng.random() < 0.5  # raw UTF-8, or every non-ASCII character as \u escapes
    root = {random_string(raw): random_value(1, raw) for _ in range(rng.randint(0, 6))}
    if rng.random() < 0.2:
        root = [random_value(1, raw) for _ in range(rng.randint(0, 6))]
    indent = rng.choice([None, 0, 2, "\t"])
    separators = rng.choice([None, (",", ":"), (" , ", " : ")])
    text = json.dumps(root, ensure_ascii=not raw, indent=indent, separators=separators,
                      sort_keys=rng.random() < 0.3)
    return root, text


# ---- the expected layout ----------------------------------------------

def escape(text):
    table = {0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r",
             0x22: b'\\"', 0x2F: b"\\/", 0x5C: b"\\\\"}
    out = bytearray()
    for byte in text.encode("utf-8"):
        if byte in table:
            out += table[byte]
        elif byte < 0x20:
            out += b"\\u%04x" % byte
        else:
            out.append(byte)
    return bytes(out)


def nearest_long_double(value):
    """The 80-bit long double nearest to value (a Fraction), ties to even."""
    if value == 0:
        return value
    sign = -1 if value < 0 else 1
    magnitude = abs(value)
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    if Fraction(2) ** exponent > magnitude:
        exponent -= 1
    scaled = magnitude * Fraction(2) ** (63 - exponent)  # in [2^63, 2^64)
    significand = round(scaled)  # Fraction rounds half to even
    return sign * significand * Fraction(2) ** (exponent - 63)


def percent_19lg(value, negative_zero):
    """C's %.19Lg of an exactly known value."""
    if value == 0:
        return "-0" if negative_zero else "0"
    context = Context(prec=19, rounding=ROUND_HALF_EVEN, Emax=999999, Emin=-999999)
    rounded = context.divide(Decimal(value.numerator), Decimal(value.denominator))
    exponent = rounded.adjusted()
    sign, digits, _ = rounded.as_tuple()
    digits = "".join(map(str, digits)).ljust(19, "0")
    if -4 <= exponent < 19:
        if exponent >= 0:
            text = digits[:exponent + 1] + "." + digits[exponent + 1:]
        else:
            text = "0." + "0" * (-exponent - 1) + digits
        text = text.rstrip("0").rstrip(".")
    else:
        mantissa = (digits[0] + "." + digits[1:]).rstrip("0").rstrip(".")
        text = "%se%s%02d" % (mantissa, "-" if exponent < 0 else "+", abs(exponent))
    return ("-" if sign else "") + text


def number_text(number):
    # json.dumps writes a float as repr() and an int as str(): the decimal
    # text jsonxx reads.
    source = repr(number) if isinstance(number, float) else str(number)
    return percent_19lg(nearest_long_double(Fraction(source)), source.startswith("-"))


def tag(out, depth, name, value):
    out += b"\t" * depth
    if name is not None:
        out += b'"' + escape(name) + b'": '
    if isinstance(value, bool):
        out += b"true,\n" if value else b"false,\n"
    elif value is None:
        out += b"null,\n"
    elif isinstance(value, (int, float)):
        out += number_text(value).encode() + b",\n"
    elif isinstance(value, str):
        out += b'"' + escape(value) + b'",\n'
    else:
        start = len(out)
        if isinstance(value, list):
            out += b"[\n"
            for element in value:
                tag(out, depth + 1, None, element)
            close = b"]"
        else:
            out += b"{\n"
            for key in sorted(value, key=lambda k: k.encode("utf-8")):
                tag(out, depth + 1, key, value[key])
            close = b"}"
        last_comma_rule(out, start)
        out += b"\t" * depth + close + b",\n"


def last_comma_rule(out, start):
    if len(out) - start > 2 and out[-2:-1] == b",":
        out[-2:-1] = b" "


def expected_layout(root):
    out = bytearray()
    tag(out, 0, None, root)
    last_comma_rule(out, 0)
    return bytes(out)


# ---- comparison --------------------------------------------------------

def difference(a, b, path="$"):
    """Where two loaded documents differ (None when they are equal)."""
    if isinstance(a, bool) or isinstance(b, bool) or a is None or b is None:
        return None if a is b else path
    if isinstance(a, (int, float)) and isinstance(b, (int, float)):
        # A float may come back written as an integer (%.19Lg writes
        # 4.515227258743057e+17 as 451522725874305700): compare as floats.
        if isinstance(a, float) or isinstance(b, float):
            a, b = float(a), float(b)
        return None if a == b else "%s: %r != %r" % (path, a, b)
    if isinstance(a, str) and isinstance(b, str):
        return None if a == b else "%s: %r != %r" % (path, a, b)
    if isinstance(a, list) and isinstance(b, list):
        if len(a) != len(b):
            return path + ": lengths differ"
        for index, (x, y) in enumerate(zip(a, b)):
            found = difference(x, y, "%s[%d]" % (path, index))
            if found:
                return found
        return None
    if isinstance(a, dict) and isinstance(b, dict):
        if a.keys() != b.keys():
            return "%s: names differ: %r" % (path, sorted(set(a) ^ set(b)))
        for key in a:
            found = difference(a[key], b[key], "%s[%r]" % (path, key))
            if found:
                return found
        return None
    return path + ": kinds differ"


def helper_env():
    env = dict(os.environ)
    # The helper has the sanitizers linked in; it needs no preloading, and
    # leak checking stays on for it.
    env.pop("LD_PRELOAD", None)
    env.pop("ASAN_OPTIONS", None)
    return env


def run_helper(paths):
    result = subprocess.run([HELPER] + paths, capture_output=True, env=helper_env())
    failed = set(line[len("failed "):] for line in result.stdout.decode().splitlines() if line.startswith("failed "))
    if result.stderr:
        fail("helper wrote to standard error: " + result.stderr.decode(errors="replace")[:2000])
    return failed


def main():
    with tempfile.TemporaryDirectory() as folder:
        cases = []
        for index in range(400):
            root, text = random_document()
            path = os.path.join(folder, "doc%03d.json" % index)
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            cases.append((path, root, text))

        fixed = {
            "latin1": ('{"a": "\\u00e9\\u20ac\\ud83d\\ude00"}', b'{\n\t"a": "\xe9\xe2\x82\xac\xf0\x9f\x98\x80" \n} \n'),
            "duplicate": ('{"a": 1, "a": [2]}', b'{\n\t"a": [\n\t\t2 \n\t] \n} \n'),
        }
        fixed_paths = {}
        for name, (text, _) in fixed.items():
            fixed_paths[name] = os.path.join(folder, name + ".json")
            with open(fixed_paths[name], "w", encoding="ascii") as f:
                f.write(text)
        bad_paths = []
        for index, text in enumerate([json.dumps({"x": float("nan")}), json.dumps({"x": float("inf")}),
                                      json.dumps([float("-inf")])]):
            bad_paths.append(os.path.join(folder, "bad%d.json" % index))
            with open(bad_paths[-1], "w") as f:
                f.write(text)

        failed = run_helper([c[0] for c in cases] + list(fixed_paths.values()) + bad_paths)

        for path, root, text in cases:
            if path in failed:
                fail("jsonxx did not parse %s: %r" % (path, text[:300]))
                continue
            with open(path + ".out", "rb") as f:
                written = f.read()
            try:
                loaded = json.loads(written.decode("utf-8"))
            except ValueError as error:
                fail("python cannot read what jsonxx wrote for %s: %s" % (path, error))
                continue
            where = difference(loaded, root)
            if where:
                fail("values differ for %s: %s" % (path, where))
            expected = expected_layout(root)
            if written != expected:
                at = next((i for i in range(min(len(written), len(expected))) if written[i] != expected[i]),
                          min(len(written), len(expected)))
                fail("layout differs for %s at byte %d\n  expected: %r\n  written:  %r"
                     % (path, at, expected[max(0, at - 60):at + 60], written[max(0, at - 60):at + 60]))

        for name, (text, expected) in fixed.items():
            with open(fixed_paths[name] + ".out", "rb") as f:
                written = f.read()
            if fixed_paths[name] in failed or written != expected:
                fail("%s: expected %r, written %r" % (name, expected, written))
        for path in bad_paths:
            if path not in failed:
                fail("jsonxx accepted a non-finite number in %s" % path)

    print("%d passed, %d failed" % (len(cases) + len(fixed) + len(bad_paths) - len(failures), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
