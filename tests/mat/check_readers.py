"""MAT files written by the library, read back by independent readers:
scipy.io.loadmat and matio's matdump. Arrays are built through the exported
functions of the shared library (ctypes); the structure layout of exported
data comes from the helper program given as the first argument."""
import ctypes
import os
import random
import subprocess
import sys
import tempfile

import numpy as np
import scipy.io

LAYOUT_WRITER = sys.argv[1]
lib = ctypes.CDLL(os.environ["VANTREL_LIB"])

P = ctypes.c_void_p
SIZES = ctypes.POINTER(ctypes.c_size_t)
for name, restype, argtypes in [
    ("matOpen", P, [ctypes.c_char_p, ctypes.c_char_p]),
    ("matClose", ctypes.c_int, [P]),
    ("matPutVariable", ctypes.c_int, [P, ctypes.c_char_p, P]),
    ("matPutVariableAsGlobal", ctypes.c_int, [P, ctypes.c_char_p, P]),
    ("mxCreateStructArray", P, [ctypes.c_size_t, SIZES, ctypes.c_int, ctypes.POINTER(ctypes.c_char_p)]),
    ("mxCreateCellArray", P, [ctypes.c_size_t, SIZES]),
    ("mxCreateCharArray", P, [ctypes.c_size_t, SIZES]),
    ("mxCreateDoubleMatrix", P, [ctypes.c_size_t, ctypes.c_size_t, ctypes.c_int]),
    ("mxCreateNumericArray", P, [ctypes.c_size_t, SIZES, ctypes.c_int, ctypes.c_int]),
    ("mxCreateString", P, [ctypes.c_char_p]),
    ("mxCreateStringW", P, [ctypes.c_wchar_p]),
    ("mxSetFieldByNumber", None, [P, ctypes.c_size_t, ctypes.c_int, P]),
    ("mxSetCell", None, [P, ctypes.c_size_t, P]),
    ("mxGetPr", ctypes.POINTER(ctypes.c_double), [P]),
    ("mxGetM", ctypes.c_size_t, [P]),
    ("mxDestroyArray", None, [P]),
]:
    getattr(lib, name).restype = restype
    getattr(lib, name).argtypes = argtypes

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def sizes(dims):
    return (ctypes.c_size_t * max(len(dims), 1))(*dims)


def written_shape(dims):
    """The shape a reader sees: fewer than 2 dimensions are a column, empty
    two-dimensional arrays are 0 x 0, more dimensions are kept."""
    dims = list(dims)
    if len(dims) == 0:
        dims = [1, 1]
    elif len(dims) == 1:
        dims = [dims[0], 1]
    if len(dims) == 2 and dims[0] * dims[1] == 0:
        return (0, 0)
    return tuple(dims)


def element_count(dims):
    return int(np.prod(dims)) if dims else 1


# Expected content: ("double", dims, values), ("text", string),
# ("chars", dims), ("cell", dims, children), ("struct", dims, fields,
# children element by element), None for an empty element.
def build(node):
    """Makes the library array for an expected node (None stays null)."""
    if node is None:
        return None
    kind = node[0]
    if kind == "double":
        _, dims, values = node
        array = lib.mxCreateNumericArray(len(dims), sizes(dims), 6, 0)
        data = lib.mxGetPr(array)
        for i, value in enumerate(values):
            data[i] = value
        return array
    if kind == "text":
        return lib.mxCreateStringW(node[1])
    if kind == "latin1":
        return lib.mxCreateString(node[1])
    if kind == "chars":
        return lib.mxCreateCharArray(len(node[1]), sizes(node[1]))
    if kind == "cell":
        _, dims, children = node
        array = lib.mxCreateCellArray(len(dims), sizes(dims))
        for i, child in enumerate(children):
            lib.mxSetCell(array, i, build(child))
        return array
    _, dims, fields, children = node
    names = (ctypes.c_char_p * max(len(fields), 1))(*[f.encode() for f in fields])
    array = lib.mxCreateStructArray(len(dims), sizes(dims), len(fields), names)
    for i, element in enumerate(children):
        for f, child in enumerate(element):
            lib.mxSetFieldByNumber(array, i, f, build(child))
    return array


def compare(loaded, node, where):
    """Compares what scipy read with the expected node."""
    if node is None:
        return check(isinstance(loaded, np.ndarray) and loaded.size == 0, f"{where}: empty element read as {loaded!r}")
    kind = node[0]
    if not check(isinstance(loaded, np.ndarray), f"{where}: not an array: {loaded!r}"):
        return False
    if kind == "double":
        _, dims, values = node
        return (check(loaded.dtype == np.float64, f"{where}: class {loaded.dtype}")
                and check(loaded.shape == written_shape(dims), f"{where}: shape {loaded.shape} for {dims}")
                and check(list(loaded.flatten(order="F")) == list(values), f"{where}: values"))
    if kind in ("text", "latin1", "chars"):
        if kind == "chars":
            shape, text = written_shape(node[1]), "\0" * element_count(node[1])
        else:
            text = node[1] if kind == "text" else node[1].decode("latin-1")
            text = "".join(c if ord(c) <= 0xFFFF else "\ufffd" for c in text)
            shape = (1, len(text)) if text else (0, 0)
        return (check(loaded.dtype.kind == "U", f"{where}: class {loaded.dtype}")
                and check(loaded.shape == shape, f"{where}: shape {loaded.shape}, expected {shape}")
                # numpy reads a NUL unit as an empty character.
                and check("".join(loaded.flatten(order="F")) == text.replace("\0", ""),
                          f"{where}: text {loaded!r}, expected {text!r}"))
    if kind == "cell":
        _, dims, children = node
        if not (check(loaded.dtype == object, f"{where}: class {loaded.dtype}")
                and check(loaded.shape == written_shape(dims), f"{where}: shape {loaded.shape}")):
            return False
        return all([compare(item, child, f"{where}{{{i}}}")
                    for i, (item, child) in enumerate(zip(loaded.flatten(order="F"), children))])
    _, dims, fields, children = node
    if not check(loaded.shape == written_shape(dims), f"{where}: struct shape {loaded.shape}"):
        return False
    ok = True
    for i, (element, values) in enumerate(zip(loaded.flatten(order="F"), children)):
        ok = check(list(element._fieldnames) == fields, f"{where}({i}): fields {element._fieldnames}") and ok
        for field, child in zip(fields, values):
            ok = compare(getattr(element, field), child, f"{where}({i}).{field}") and ok
    return ok


def random_node(rng, depth):
    kind = rng.choice(["double", "text", "latin1", "chars", "cell", "struct"] if depth < 3 else
                      ["double", "text", "latin1", "chars"])
    dims = [rng.randrange(4) for _ in range(rng.choice([0, 1, 2, 2, 2, 3]))]
    if kind == "double":
        return ("double", dims, [rng.choice([0.0, -1.5, 2.0 ** 60, 1e-300, rng.uniform(-1e6, 1e6)])
                                 for _ in range(element_count(dims))])
    if kind == "text":
        return ("text", "".join(chr(rng.choice([0x41 + rng.randrange(26), 0xE9, 0x20AC, 0x1F600]))
                                for _ in range(rng.randrange(6))))
    if kind == "latin1":
        return ("latin1", bytes(rng.randrange(1, 256) for _ in range(rng.randrange(6))))
    if kind == "chars":
        return ("chars", dims)
    child = lambda: None if rng.randrange(4) == 0 else random_node(rng, depth + 1)
    if kind == "cell":
        return ("cell", dims, [child() for _ in range(element_count(dims))])
    fields = [f"f{i}_" + "x" * rng.randrange(8) for i in range(rng.randrange(4))]
    return ("struct", dims, fields, [[child() for _ in fields] for _ in range(element_count(dims))])


def matdump_whos(path):
    result = subprocess.run(["matdump", "-f", "whos", path], capture_output=True, text=True, env=plain_env())
    check(result.returncode == 0 and "error" not in result.stderr.lower(),
          f"matdump {path}: rc {result.returncode} {result.stderr}")
    rows = {}
    for line in result.stdout.splitlines()[1:]:
        parts = line.split()
        if len(parts) == 4:
            rows[parts[0]] = (parts[1], parts[3])
    return rows


def matdump_data(path, variable):
    result = subprocess.run(["matdump", "-d", path, variable], capture_output=True, text=True, env=plain_env())
    check(result.returncode == 0, f"matdump -d {path} {variable}: rc {result.returncode} {result.stderr}")
    return result.stdout


def plain_env():
    # The sanitizer runtime preloaded for this interpreter is not for them.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


MATIO_CLASS = {"double": "mxDOUBLE_CLASS", "text": "mxCHAR_CLASS", "latin1": "mxCHAR_CLASS",
               "chars": "mxCHAR_CLASS", "cell": "mxCELL_CLASS", "struct": "mxSTRUCT_CLASS"}


def node_shape(node):
    if node[0] == "text":
        return (1, len(node[1])) if node[1] else (0, 0)
    if node[0] == "latin1":
        return (1, len(node[1])) if node[1] else (0, 0)
    return written_shape(node[1])


def write_variables(path, variables, mode=b"wL"):
    handle = lib.matOpen(path.encode(), mode)
    if not check(handle, f"matOpen {path} {mode}"):
        return
    for name, node, is_global in variables:
        array = build(node)
        put = lib.matPutVariableAsGlobal if is_global else lib.matPutVariable
        check(put(handle, name.encode(), array) == 0, f"put {name}")
        lib.mxDestroyArray(array)
    check(lib.matClose(handle) == 0, f"matClose {path}")


def check_file(path, variables):
    # Character data is UTF-16 code units, little-endian.
    loaded = scipy.io.loadmat(path, struct_as_record=False, squeeze_me=False, chars_as_strings=False,
                            uint16_codec="utf-16-le")
    names = [name for name, _, _ in variables]
    check([n for n, _, _ in scipy.io.whosmat(path)] == names, f"{path}: variable order")
    globals_ = set(str(g) for g in loaded.get("__globals__", []))
    whos = matdump_whos(path)
    for name, node, is_global in variables:
        if not check(name in loaded, f"{path}: {name} missing"):
            continue
        compare(loaded[name], node, name)
        check((name in globals_) == is_global, f"{name}: global flag")
        size = "x".join(str(d) for d in node_shape(node))
        check(whos.get(name) == (size, MATIO_CLASS[node[0]]), f"matdump {name}: {whos.get(name)}, expected {size}")


def check_random_trees(folder):
    rng = random.Random(7)
    for file_number in range(6):
        variables = [(f"v{file_number}_{i}", random_node(rng, 0), rng.random() < 0.5) for i in range(12)]
        path = os.path.join(folder, f"random{file_number}.mat")
        write_variables(path, variables)
        check_file(path, variables)


def check_examples_and_texts(folder):
    path = os.path.join(folder, "examples.mat")
    variables = [
        ("s", ("struct", [1, 1], ["a"], [[("double", [1, 1], [2.0])]]), True),
        ("c", ("cell", [1, 2], [("text", "ab"), ("text", "")]), False),
        ("latin", ("latin1", b"caf\xe9 \xff"), False),
        ("wide", ("text", "x\u20ac\U0001F600y"), False),
        ("nv", ("struct", [1, 1], ["name", "value"], [[("text", "n"), None]]), True),
        ("column", ("double", [4], [1.0, 2.0, 3.0, 4.0]), False),
        ("cube", ("double", [2, 3, 2], [float(i) for i in range(12)]), True),
        ("hollow", ("chars", [2, 0, 3]), False),
        ("nofields", ("struct", [1, 2], [], [[], []]), False),
        ("emptycell", ("cell", [0, 3], []), False),
    ]
    write_variables(path, variables)
    check_file(path, variables)


def check_update_mode(folder):
    path = os.path.join(folder, "update.mat")
    check(not lib.matOpen(path.encode(), b"u"), "mode u on a missing file")
    check(not os.path.exists(path), "mode u created a file")
    first = [("first", ("double", [1, 2], [1.0, 2.0]), True)]
    second = [("second", ("text", "appended"), False)]
    write_variables(path, first)
    write_variables(path, second, mode=b"u")
    check_file(path, first + second)


def check_layout(folder):
    path = os.path.join(folder, "layout.mat")
    result = subprocess.run([LAYOUT_WRITER, path], capture_output=True, text=True, env=plain_env())
    if not check(result.returncode == 0, f"layout writer: {result.returncode} {result.stderr}"):
        return
    d = scipy.io.loadmat(path, struct_as_record=False, squeeze_me=False, chars_as_strings=False,
                         uint16_codec="utf-16-le")
    check([n for n, _, _ in scipy.io.whosmat(path)] == ["header", "speed", "empty_unit", "bare"], "layout order")
    check(sorted(map(str, d["__globals__"])) == ["bare", "empty_unit", "header", "speed"], "layout globals")

    def text(value, expected, where):
        shape = (1, len(expected)) if expected else (0, 0)
        check(value.dtype.kind == "U" and value.shape == shape and "".join(value.flatten()) == expected,
              f"{where}: {value!r} != {expected!r}")

    def scalar(value, expected, where):
        check(value.dtype == np.float64 and value.shape == (1, 1) and value[0, 0] == expected,
              f"{where}: {value!r} != {expected}")

    def empty(value, where):
        check(isinstance(value, np.ndarray) and value.size == 0, f"{where}: not empty: {value!r}")

    check(d["header"].shape == (1, 1), "header shape")
    h = d["header"][0, 0]
    check(h._fieldnames == ["version", "source", "project", "screen", "recorder", "startdate", "starttime",
                            "startevent", "stopdate", "stoptime", "stopevent", "user", "comment", "vehicle",
                            "numchannels", "numdevices", "device"], f"header fields {h._fieldnames}")
    for field, expected in [("version", "orbk Matlab Structure 1.0"), ("source", "Orbisk Lens"), ("project", ""),
                            ("screen", ""), ("recorder", ""), ("startdate", "6/11/2024"), ("starttime", "13:5:7"),
                            ("startevent", "Manual"), ("stopdate", "6/11/2024"), ("stoptime", "13:6:0"),
                            ("stopevent", "Manual"), ("comment", ""), ("vehicle", "")]:
        text(getattr(h, field), expected, f"header.{field}")
    scalar(h.numchannels, 3.0, "header.numchannels")
    scalar(h.numdevices, 1.0, "header.numdevices")
    check(h.user.shape == (1, 10), f"header.user shape {h.user.shape}")
    for i, entry in enumerate(h.user.flatten()):
        check(entry._fieldnames == ["name", "value"], f"user({i}) fields")
        text(entry.name, "", f"user({i}).name")
        empty(entry.value, f"user({i}).value")
    check(h.device.shape == (1, 1), "header.device shape")
    device = h.device[0, 0]
    check(device._fieldnames == ["name", "description", "comment", "strategy", "calibration", "serialnum"],
          f"device fields {device._fieldnames}")
    for field in device._fieldnames:
        empty(getattr(device, field), f"device.{field}")

    channel_fields = ["Channelname", "Channeltype", "unit", "timeunit", "period", "device", "time", "signals",
                      "min", "max"]
    for name, unit, times, values, low, high in [
            ("speed", "km/h", [0.0, 0.5, 1.0], [10.0, -20.25, 30.5], 0.0, 1.0),
            ("empty_unit", "", [], [], sys.float_info.max, -sys.float_info.max),
            ("bare", "\u00b0C", None, None, 1.0, 2.0)]:
        check(d[name].shape == (1, 1), f"{name} shape")
        c = d[name][0, 0]
        check(c._fieldnames == channel_fields, f"{name} fields {c._fieldnames}")
        text(c.Channelname, name, f"{name}.Channelname")
        text(c.Channeltype, "DOUBLE", f"{name}.Channeltype")
        text(c.unit, unit, f"{name}.unit")
        text(c.timeunit, "s", f"{name}.timeunit")
        scalar(c.period, 0.0, f"{name}.period")
        text(c.device, "", f"{name}.device")
        scalar(c.min, low, f"{name}.min")
        scalar(c.max, high, f"{name}.max")
        if times is None:
            empty(c.time, f"{name}.time")
            empty(c.signals, f"{name}.signals")
            continue
        shape = (len(times), 1) if times else (0, 0)
        check(c.time.shape == shape and list(c.time.flatten()) == times, f"{name}.time {c.time!r}")
        signals = c.signals[0, 0]
        check(signals._fieldnames == ["values", "dimensions"], f"{name}.signals fields")
        check(signals.values.shape == shape and list(signals.values.flatten()) == values, f"{name}.values")
        scalar(signals.dimensions, 1.0, f"{name}.signals.dimensions")

    whos = matdump_whos(path)
    for name in ["header", "speed", "empty_unit", "bare"]:
        check(whos.get(name) == ("1x1", "mxSTRUCT_CLASS"), f"matdump {name}: {whos.get(name)}")
    header_dump = matdump_data(path, "header")
    for expected in ["orbk Matlab Structure 1.0", "Orbisk Lens", "Manual", "6/11/2024", "13:5:7", "13:6:0"]:
        check(expected in header_dump, f"matdump header lacks {expected!r}")
    speed_dump = matdump_data(path, "speed")
    for expected in ["km/h", "DOUBLE", "-20.25", "30.5"]:
        check(expected in speed_dump, f"matdump speed lacks {expected!r}")


with tempfile.TemporaryDirectory() as folder:
    check_examples_and_texts(folder)
    check_update_mode(folder)
    check_random_trees(folder)
    check_layout(folder)

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} failures")
sys.exit(1 if failures else 0)
