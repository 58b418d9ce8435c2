"""check_readers.py <test_mat>: MAT files written through the exported functions (ctypes) and in the exported
layout (test_mat given a path) read back in scipy.io.loadmat and matio's matdump with their names, classes,
shapes, values, field order and global flags. Walked here, every size word matches its content and children are
unnamed and never global; the header and the Part's two examples come out byte for byte."""
import ctypes
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import scipy.io

lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
P, I, S, T, DIMS = ctypes.c_void_p, ctypes.c_int, ctypes.c_size_t, ctypes.c_char_p, ctypes.POINTER(ctypes.c_size_t)
for name, restype, argtypes in [
        ("matOpen", P, [T, T]), ("matClose", I, [P]), ("matPutVariable", I, [P, T, P]),
        ("matPutVariableAsGlobal", I, [P, T, P]), ("mxCreateStructArray", P, [S, DIMS, I, P]),
        ("mxCreateCellArray", P, [S, DIMS]), ("mxCreateCharArray", P, [S, DIMS]),
        ("mxCreateNumericArray", P, [S, DIMS, I, I]), ("mxCreateString", P, [T]),
        ("mxCreateStringW", P, [ctypes.c_wchar_p]), ("mxSetFieldByNumber", None, [P, S, I, P]),
        ("mxSetCell", None, [P, S, P]), ("mxGetPr", ctypes.POINTER(ctypes.c_double), [P]),
        ("mxDestroyArray", None, [P])]:
    getattr(lib, name).restype, getattr(lib, name).argtypes = restype, argtypes
PLAIN_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}  # not for the tools
MATIO_CLASS = {"double": "mxDOUBLE_CLASS", "cell": "mxCELL_CLASS", "struct": "mxSTRUCT_CLASS"}
rng = random.Random(7)
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


# Nodes: ("double", dims, values), ("text", None, str) through mxCreateStringW, ("latin1", None, bytes) through
# mxCreateString, ("chars", dims, None), ("cell", dims, children), ("struct", dims, (fields, children element by
# element)); None is an empty cell or field.
def text(value):
    return "text", None, value


def column(*values):
    return "double", [len(values)], list(values)


def structure(fields, *elements):
    """A 1 x n structure; texts, numbers and lists of numbers (columns) in the elements stand for their nodes."""
    return "struct", [1, len(elements)], (fields, [[text(v) if isinstance(v, str) else column(v) if isinstance(
        v, float) else column(*v) if isinstance(v, list) else v for v in element] for element in elements])


def read_shape(node):
    """What a reader sees: texts are 1 x n, fewer than 2 dimensions make a column, empty 2-dimensional arrays 0 x 0."""
    kind, dims, content = node
    if kind in ("text", "latin1"):
        return (1, len(content)) if content else (0, 0)
    dims = (list(dims) + [1, 1])[:2] if len(dims) < 2 else list(dims)
    return (0, 0) if len(dims) == 2 and 0 in dims else tuple(dims)


def build(node, scratch):
    if node is None or isinstance(node, int):  # an array made by the caller
        return node
    kind, dims, content = node
    sizes = (S * max(len(dims or []), 1))(*(dims or []))
    if kind in ("text", "latin1"):
        array = (lib.mxCreateStringW if kind == "text" else lib.mxCreateString)(content)
    elif kind == "struct":
        names = (T * max(len(content[0]), 1))(*[f.encode() for f in content[0]])
        array = lib.mxCreateStructArray(len(dims), sizes, len(content[0]), names)
        for i, element in enumerate(content[1]):
            for f, child in enumerate(element):
                lib.mxSetFieldByNumber(array, i, f, build(child, scratch))
    else:
        array = (lib.mxCreateCellArray(len(dims), sizes) if kind == "cell" else lib.mxCreateCharArray(len(dims), sizes)
                 if kind == "chars" else lib.mxCreateNumericArray(len(dims), sizes, 6, 0))
        for i, value in enumerate(content or []):
            if kind == "cell":
                lib.mxSetCell(array, i, build(value, scratch))
            elif value:  # new arrays are zero-filled
                lib.mxGetPr(array)[i] = value
    if rng.random() < 0.3:  # a name of its own, which a child must not carry into the file
        lib.matPutVariable(scratch, b"inner", array)
    return array


def compare(loaded, node, where):
    """Compares what scipy read with the node."""
    if node is None:
        return check(isinstance(loaded, np.ndarray) and loaded.size == 0, "%s: empty read as %r" % (where, loaded))
    kind, dims, content = node
    flat = loaded.flatten(order="F")
    if not check(loaded.shape == read_shape(node), "%s: shape %s for %s" % (where, loaded.shape, node[:2])):
        return False
    if kind in ("text", "latin1", "chars"):
        chars = content if kind == "text" else content.decode("latin-1") if content is not None else ""
        chars = "".join(c if ord(c) <= 0xFFFF else "\ufffd" for c in chars)  # numpy reads a NUL unit as ""
        return check(loaded.dtype.kind == "U" and "".join(flat) == chars, "%s: %r" % (where, loaded))
    if kind == "double":
        return check(loaded.dtype == np.float64 and list(flat) == content, "%s: %r" % (where, loaded))
    if kind == "cell":
        return all([compare(item, child, "%s{%d}" % (where, i)) for i, (item, child) in enumerate(zip(flat, content))])
    return all([check(list(item._fieldnames) == content[0], "%s(%d): fields %s" % (where, i, item._fieldnames)) and
                all([compare(getattr(item, field), child, "%s(%d).%s" % (where, i, field))
                     for field, child in zip(content[0], element)])
                for i, (item, element) in enumerate(zip(flat, content[1]))])


def walk(data, at, child):
    """Checks the element at `at` and everything in it against its size words; returns where it ends."""
    kind, size = struct.unpack_from("<II", data, at)
    end = at + 8 + size
    if not check(kind == 14, "element type %d at %d" % (kind, at)) or size == 0:
        return end
    flags, dims_bytes = struct.unpack_from("<I8xI", data, at + 16)
    p = at + 32 + (dims_bytes + 7) // 8 * 8
    name_length = struct.unpack_from("<I", data, p + 4)[0]
    check(not child or (name_length == 0 and not flags & 0x400), "child at %d named or global" % at)
    p += 8 + (name_length + 7) // 8 * 8
    count = math.prod(struct.unpack_from("<%dI" % (dims_bytes // 4), data, at + 32))
    if flags & 0xFF == 2:  # field-name width and names, then the fields element by element
        width, names = struct.unpack_from("<I4xI", data, p + 4)
        p, count = p + 16 + (names + 7) // 8 * 8, count * (names // width)
    if flags & 0xFF in (1, 2):
        for _ in range(count):
            p = walk(data, p, True)
    else:
        data_bytes = struct.unpack_from("<I", data, p + 4)[0]
        check(data_bytes == count * (8 if flags & 0xFF == 6 else 2), "data of %d bytes at %d" % (data_bytes, p))
        p += 8 + (data_bytes + 7) // 8 * 8
    check(p == end, "element at %d ends at %d, its size word says %d" % (at, p, end))
    return end


def write(path, variables, mode=b"wL"):
    """Some arrays are first put into a scratch file beside path, so that they have a name of their own."""
    handle, scratch = lib.matOpen(path.encode(), mode), lib.matOpen((path + ".scratch").encode(), b"w")
    if check(handle and scratch, "matOpen %s %s" % (path, mode)):
        for name, node, is_global in variables:
            array = build(node, scratch)
            put = lib.matPutVariableAsGlobal if is_global else lib.matPutVariable
            check(put(handle, name.encode(), array) == 0, "put " + name)
            lib.mxDestroyArray(array)
        check(lib.matClose(handle) == 0, "matClose " + path)
    lib.matClose(scratch)


def check_file(path, variables):
    with open(path, "rb") as f:
        data = f.read()
    at = 128
    while at < len(data):
        at = walk(data, at, False)
    check(at == len(data), "%s: the last element ends at %d of %d bytes" % (path, at, len(data)))
    loaded = scipy.io.loadmat(path, struct_as_record=False, chars_as_strings=False, uint16_codec="utf-16-le")
    check([n for n, _, _ in scipy.io.whosmat(path)] == [v[0] for v in variables], path + ": variable order")
    globals_ = {str(g) for g in loaded.get("__globals__", [])}
    result = subprocess.run(["matdump", "-f", "whos", path], capture_output=True, text=True, env=PLAIN_ENV)
    check(result.returncode == 0 and "error" not in result.stderr.lower(), "matdump %s: %s" % (path, result.stderr))
    whos = {p[0]: (p[1], p[3]) for p in map(str.split, result.stdout.splitlines()[1:]) if len(p) == 4}
    for name, node, is_global in variables:
        if check(name in loaded, "%s: %s missing" % (path, name)):
            compare(loaded[name], node, name)
        check((name in globals_) == is_global, name + ": global flag")
        want = ("x".join(map(str, read_shape(node))), MATIO_CLASS.get(node[0], "mxCHAR_CLASS"))
        check(whos.get(name) == want, "matdump %s: %s, expected %s" % (name, whos.get(name), want))
    return data


def random_node(depth):
    kind = rng.choice(["double", "text", "latin1", "chars"] + ["cell", "struct"] * (depth < 3))
    dims = [rng.randrange(4) for _ in range(rng.choice([0, 1, 2, 2, 2, 3]))]
    children = (lambda n: [None if rng.randrange(4) == 0 else random_node(depth + 1) for _ in range(n)])
    if kind == "double":
        return kind, dims, [rng.choice([0.0, -1.5, 2.0 ** 60, 1e-300, rng.uniform(-1e6, 1e6)])
                            for _ in range(math.prod(dims))]
    if kind == "text":
        return text("".join(chr(rng.choice([0xE9, 0x20AC, 0x1F600, rng.randint(0x41, 0x5A)]))
                            for _ in range(rng.randrange(6))))
    if kind == "latin1":
        return kind, None, bytes(rng.randrange(1, 256) for _ in range(rng.randrange(6)))
    if kind == "struct":
        fields = ["f%d_" % i + "x" * rng.randrange(8) for i in range(rng.randrange(4))]
        return kind, dims, (fields, [children(len(fields)) for _ in range(math.prod(dims))])
    return kind, dims, children(math.prod(dims)) if kind == "cell" else None


def main(test_mat):
    words = (lambda *w: struct.pack("<%dI" % len(w), *w))  # noqa: E731
    struct_example = (words(14, 136, 6, 8, 0x402, 0, 5, 8, 1, 1, 1, 1) + b"s" + bytes(7) + words(0x40005, 2, 1, 2) +
                      b"a" + bytes(7) + words(14, 56, 6, 8, 6, 0, 5, 8, 1, 1, 1, 0, 9, 8) + struct.pack("<d", 2.0))
    cell_example = (words(14, 168, 6, 8, 1, 0, 5, 8, 1, 2, 1, 1) + b"c" + bytes(7) + words(14, 56, 6, 8, 4, 0, 5, 8) +
                    words(1, 2, 1, 0, 4, 4) + b"a\0b\0" + bytes(4) + words(14, 48, 6, 8, 4, 0, 5, 8, 0, 0, 1, 0, 4, 0))
    examples = [  # the Part's two examples first; names of 8 and 9 characters
        ("s", structure(["a"], [2.0]), True), ("c", ("cell", [1, 2], [text("ab"), text("")]), False),
        ("column", column(1.0, 2.0, 0.0, 4.0), False), ("cube", ("double", [2, 3, 2], list(range(12))), True),
        ("hollow", ("chars", [2, 0, 3], None), False), ("nofields", structure([], [], []), False),
        ("emptycells", ("cell", [0, 3], []), False)]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "examples.mat")
        before = int(time.time())
        write(path, examples)
        data, after = check_file(path, examples), int(time.time())
        check(data[128:272] == struct_example and data[272:448] == cell_example, "the Part's examples")
        stamp = data[50:116].rstrip(b" ")
        check(data[:50] == b"MATLAB 5.0 MAT-file, Platform: PCWIN, Created on: " and data[50 + len(stamp):124] ==
              b" " * (74 - len(stamp)) and data[124:128] == b"\0\1IM", "header %r" % data[:128])
        check(stamp in {time.strftime("%c", time.gmtime(t)).encode() for t in range(before, after + 1)}, stamp)

        for number in range(6):
            variables = [("v%d_%d" % (number, i), random_node(0), rng.random() < 0.5) for i in range(12)]
            write(os.path.join(folder, "random%d.mat" % number), variables)
            check_file(os.path.join(folder, "random%d.mat" % number), variables)

        path = os.path.join(folder, "update.mat")
        check(not lib.matOpen(path.encode(), b"u") and not os.path.exists(path), "mode u created a missing file")
        write(path, examples[:3])
        write(path, examples[3:], mode=b"u")  # appended after what is there
        check_file(path, examples)
        for name, content, mode in [("notes", b"n" * 300, b"u"), ("short", b"MAT", b"u"), ("r.mat", data[:128], b"r")]:
            with open(os.path.join(folder, name), "wb") as f:
                f.write(content)
            handle = lib.matOpen(f.name.encode(), mode)  # u only behind a v5 header
            with open(f.name, "rb") as f:
                check(bool(handle) == (mode == b"r") and lib.matClose(handle) == 0 and f.read() == content, name)

        # Unsupported classes are refused; nesting beyond 1000 cells is refused, and freed without recursion.
        check(not any(lib.mxCreateNumericArray(2, (S * 2)(2, 2), c, 0) for c in (0, 3, 5, 7, 9, 12, 15, -1)), "class")
        handle, one = lib.matOpen(os.path.join(folder, "deep.mat").encode(), b"wL"), (S * 2)(1, 1)
        root = lib.mxCreateNumericArray(2, one, 6, 0)
        for depth in range(1, 200001):
            holder = lib.mxCreateCellArray(2, one)
            lib.mxSetCell(holder, 0, root)
            root = holder
            if depth in (1000, 1001):
                check(lib.matPutVariable(handle, b"deep", root) == (0 if depth == 1000 else -1), "nesting %d" % depth)
        lib.mxDestroyArray(root)
        check(lib.matClose(handle) == 0, "deep.mat")

        # Setting out of range or into the wrong class is ignored; an array has one holder, so no sharing and no
        # cycles; a held array is freed with its holder; a replaced child goes back to the caller (ASan watches).
        dims, path = (S * 2)(1, 2), os.path.join(folder, "ownership.mat")
        s, cell = lib.mxCreateStructArray(2, dims, 2, (T * 2)(b"a", b"b")), lib.mxCreateCellArray(2, dims)
        inner, first, numbers = lib.mxCreateCellArray(2, dims), lib.mxCreateString(b"1"), build(column(0.0), None)
        for array, index, field in [(s, 2, 0), (s, 0, 2), (s, 0, -1), (cell, 0, 0), (None, 0, 0), (s, 1, 1), (s, 1, 1)]:
            lib.mxSetFieldByNumber(array, index, field, inner)  # only element 1's field b takes it
        for array, index, value in [(cell, 2, inner), (s, 0, inner), (numbers, 0, inner), (None, 0, inner),
                                    (cell, 0, inner), (inner, 0, s), (inner, 1, inner), (cell, 1, first)]:
            lib.mxSetCell(array, index, value)
        lib.mxDestroyArray(first)  # held: left to its holder
        lib.mxSetCell(cell, 1, lib.mxCreateString(b"x"))
        lib.mxDestroyArray(first)
        write(path, [("s", s, False), ("cell", cell, False), ("numbers", numbers, False)])
        check_file(path, [("s", structure(["a", "b"], [None, None], [None, ("cell", [1, 2], [None, None])]), False),
                          ("cell", ("cell", [1, 2], [None, text("x")]), False), ("numbers", column(0.0), False)])

        # The "header" and channel structures; null stop date and time and a null unit are empty texts.
        path = os.path.join(folder, "layout.mat")
        result = subprocess.run([test_mat, path], capture_output=True, text=True, env=PLAIN_ENV)
        check(result.returncode == 0, "test_mat %s: %d %s" % (path, result.returncode, result.stderr))
        variables = [("header", structure(
            ["version", "source", "project", "screen", "recorder", "startdate", "starttime", "startevent", "stopdate",
             "stoptime", "stopevent", "user", "comment", "vehicle", "numchannels", "numdevices", "device"],
            ["orbk Matlab Structure 1.0", "Orbisk Lens", "", "", "", "6/11/2024", "13:5:7", "Manual", "", "", "Manual",
             structure(["name", "value"], *[["", None]] * 10), "", "", 3.0, 1.0,
             structure(["name", "description", "comment", "strategy", "calibration", "serialnum"], [None] * 6)]), True)]
        fields = ["Channelname", "Channeltype", "unit", "timeunit", "period", "device", "time", "signals", "min", "max"]
        for name, unit, times, values, low, high in [
                ("speed", "km/h", [0.0, 0.5, 1.0], [10.0, -20.25, 30.5], 0.0, 1.0),
                ("empty_unit", "", [], [], sys.float_info.max, -sys.float_info.max),
                ("bare", "\u00b0C", None, None, 1.0, 2.0)]:
            signals = structure(["values", "dimensions"], [values, 1.0]) if times is not None else None
            channel = structure(fields, [name, "DOUBLE", unit, "s", 0.0, "", times, signals, low, high])
            variables.append((name, channel, True))
        check_file(path, variables)
        for variable, texts in [("header", ["orbk Matlab Structure 1.0", "Orbisk Lens", "Manual", "13:5:7"]),
                                ("speed", ["km/h", "DOUBLE", "-20.25", "30.5"])]:
            shown = subprocess.run(["matdump", "-d", path, variable], capture_output=True, text=True, env=PLAIN_ENV)
            check(all(t in shown.stdout for t in texts), "matdump -d %s lacks one of %s" % (variable, texts))
    for failure in failures:
        print("FAIL:", failure)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
