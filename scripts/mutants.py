#!/usr/bin/env python3
"""Generated faults: makes small mutants of the product code mechanically, takes a seeded random
sample of them, and runs on each the tests that cover its file. A benchmark of the tests, not a
gate: it prints each mutant as KILLED, SURVIVED or TIMEOUT (counted as killed), the score per
side and the survivors.

The mutants, one change each, in src/ (C++, the app) and resources/ (Python, the worker):
  op      a comparison, arithmetic or logical operator swapped (== !=, < <=, > >=, + -, * /, && ||)
  const   an integer constant one up or one down
  bool    true/false flipped, a negation removed
  call    a statement that is only a call removed
  return  a return removed (C++: `return;`; Python: any `return ...` becomes `pass`)
  args    the two arguments of a call swapped
The clock helper (src/ptphelper, run only by scripts/check-package.sh) is left out. Comments,
strings and preprocessor lines are left alone. Operators are only those written with a space on
each side, which keeps template brackets, pointers and unary signs out. A C++ mutant that does not
build, or a Python one that does not compile, is skipped and the next one is drawn, so the sample
has N mutants that ran. The same seed on the same source gives the same sample.

Each mutant is made in a scratch copy of the tree (build-mutants/<side>, kept so that later runs
rebuild only what a mutant changes); only the test executables that cover the file are built.
Every group of tests must pass on the unchanged copy first. A failing test is run once more
before a mutant counts as killed, as in scripts/test.sh.

    scripts/mutants.py [--seed S] [-n N] [--side app|worker|both] [--timeout SECONDS]
                       [--only PATH-PREFIX] [--list]
Interrupted (Ctrl-C, SIGTERM), it prints the score of the mutants that ran so far.
"""
import argparse
import io
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import tokenize

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRATCH = ROOT / "build-mutants"  # one copy per side, so that the two can run at once

# The tests that cover each source folder: test executables (all their cases) and plain CTest
# tests. A folder's own tests, and those of the folders that use it.
CAPTURE = ["float_ring_test", "capture_fake_test", "capture_server_test"]
CONTROLLER = ["controller_test", "controller_app_test", "controller_logind_test"]
COVERAGE = {
    "src/base": ["device_functions_test", *CAPTURE, "controller_test"],
    "src/capture": [*CAPTURE, "controller_test"],
    "src/coreaudio": ["device_functions_test", "pulse_backend_test", *CAPTURE, "maintenance_modes_test"],
    "src/sender": CONTROLLER,
    "src/controller": [*CONTROLLER, "ui_view_test"],
    "src/ui": ["ui_view_test", "ui_tray_xembed", "controller_app_test"],
    "src/entry": ["maintenance_modes_test", "controller_app_test"],
    # The clock helper is only run by scripts/check-package.sh, on an installed package.
    "src/ptphelper": None,
    "resources": ["sender_units", "sender_fake_receiver", "sender_ap2_session", "sender_negotiation",
                  "sender_shairport"],
}
SIDES = {"app": ("src", (".cpp", ".c", ".h")), "worker": ("resources", (".py",))}

SWAPS = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">", "+": "-", "-": "+",
         "*": "/", "/": "*", "+=": "-=", "-=": "+=", "&&": "||", "||": "&&", "and": "or", "or": "and",
         "true": "false", "false": "true", "True": "False", "False": "True"}
CXX_TOKEN = re.compile(r"""
    (?P<skip>//[^\n]*|/\*.*?\*/|R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"|"(?:\\.|[^"\\\n])*"
        |'(?:\\.|[^'\\\n])*'|^[ \t]*\#[^\n]*(?:\\\n[^\n]*)*)
  | (?P<number>\b\d[\w.']*)
  | (?P<name>[A-Za-z_]\w*)
  | (?P<op>&&|\|\||==|!=|<=|>=|\+=|-=|<<|>>|->|::|[-+*/%<>!=&|^~?:;,.(){}\[\]])
""", re.S | re.M | re.X)
INTEGER = re.compile(r"(\d+)([uUlL]*)$")
CXX_KEYWORDS = {"return", "if", "while", "for", "switch", "case", "delete", "throw", "sizeof", "co_return",
                "static_assert", "else", "do", "goto", "new"}
CALL_LINE = re.compile(r"^([ \t]*)((?:await |emit )?[A-Za-z_][\w.:>\-\[\]]*\(.*\));?[ \t]*$", re.M)
ARGS = re.compile(r"\b[A-Za-z_]\w*\(([\w.:>\-]+), ([\w.:>\-]+)\)")
PY_RETURN = re.compile(r"^([ \t]*)return\b.*$", re.M)


class Mutant:
    def __init__(self, path, start, end, new, kind, text):
        self.path, self.start, self.end, self.new, self.kind = path, start, end, new, kind
        self.old = text[start:end]
        self.line = text.count("\n", 0, start) + 1

    def apply(self, text):
        return text[:self.start] + self.new + text[self.end:]

    def __str__(self):
        old, new = (" ".join(s.split())[:70] or "(nothing)" for s in (self.old, self.new))
        return f"{self.path}:{self.line} [{self.kind}] {old} -> {new}"


def balanced(code):
    return code.count("(") == code.count(")") and code.count("[") == code.count("]")


def spaced(text, start, end):
    return text[start - 1:start] == " " and text[end:end + 1] in (" ", "\n")


def cxx_mutants(path, text):
    found, code_mask = [], bytearray(b"\x01" * len(text))
    for token in CXX_TOKEN.finditer(text):
        start, end, value = token.start(), token.end(), token.group()
        if token.group("skip"):
            code_mask[start:end] = b"\x00" * (end - start)
        elif token.group("number") and (integer := INTEGER.match(value)):
            number, suffix = int(integer.group(1)), integer.group(2)
            found += [Mutant(path, start, end, f"{n}{suffix}", "const", text) for n in (number + 1, number - 1) if n >= 0]
        elif token.group("name") in ("true", "false"):
            found.append(Mutant(path, start, end, SWAPS[value], "bool", text))
        elif token.group("op") == "!" and text[end:end + 1] != "=":
            found.append(Mutant(path, start, end, "", "bool", text))
        elif token.group("op") in SWAPS and spaced(text, start, end):
            found.append(Mutant(path, start, end, SWAPS[value], "op", text))
    code = lambda m: all(code_mask[m.start():m.end()])  # noqa: E731
    for line in CALL_LINE.finditer(text):
        first = re.match(r"\s*(\w+)", line.group(2)).group(1)
        if code(line) and line.group(0).rstrip().endswith(";") and first not in CXX_KEYWORDS \
                and balanced(line.group(2)):
            found.append(Mutant(path, line.start(2), line.end(), ";", "call", text))
    for match in re.finditer(r"\breturn;", text):
        if code(match):
            found.append(Mutant(path, match.start(), match.end(), ";", "return", text))
    found += args_mutants(path, text, code)
    return found


def args_mutants(path, text, code):
    found = []
    for match in ARGS.finditer(text):
        if code(match) and match.group(1) != match.group(2):
            found.append(Mutant(path, match.start(1), match.end(2), f"{match.group(2)}, {match.group(1)}", "args", text))
    return found


def python_mutants(path, text):
    found, code_mask = [], bytearray(b"\x01" * len(text))
    starts = [0] + [m.end() for m in re.finditer("\n", text)]
    offset = lambda row, col: starts[row - 1] + col  # noqa: E731
    for token in tokenize.generate_tokens(io.StringIO(text).readline):
        start, end, value = offset(*token.start), offset(*token.end), token.string
        if token.type in (tokenize.STRING, tokenize.COMMENT) or token.type == getattr(tokenize, "FSTRING_START", -1):
            code_mask[start:end] = b"\x00" * (end - start)
        elif token.type == tokenize.NUMBER and value.isdigit():
            found += [Mutant(path, start, end, str(n), "const", text) for n in (int(value) + 1, int(value) - 1) if n >= 0]
        elif token.type == tokenize.NAME and value in ("True", "False"):
            found.append(Mutant(path, start, end, SWAPS[value], "bool", text))
        elif token.type == tokenize.NAME and value == "not" and text[start - 4:start] != " is ":
            found.append(Mutant(path, start, end + 1, "", "bool", text))
        elif (token.type == tokenize.OP or value in ("and", "or")) and value in SWAPS and spaced(text, start, end):
            found.append(Mutant(path, start, end, SWAPS[value], "op", text))
    code = lambda m: all(code_mask[m.start():m.end()])  # noqa: E731
    for line in CALL_LINE.finditer(text):
        if code(line) and not line.group(0).rstrip().endswith(";") and balanced(line.group(2)):
            found.append(Mutant(path, line.start(2), line.end(), "pass", "call", text))
    for line in PY_RETURN.finditer(text):
        if code(line) and balanced(line.group(0)) and not line.group(0).rstrip().endswith(("(", ",", "\\")):
            found.append(Mutant(path, line.start() + len(line.group(1)), line.end(), "pass", "return", text))
    found += args_mutants(path, text, code)
    return found


def candidates(side, only):
    folder, suffixes = SIDES[side]
    listing = subprocess.run(["git", "ls-files", "-z", folder], cwd=ROOT, check=True, capture_output=True).stdout
    found = []
    for name in sorted(n for n in listing.decode().split("\0") if n.endswith(suffixes)):
        if (only and not name.startswith(only)) or tests_for(name) is None:
            continue
        text = (ROOT / name).read_text(encoding="utf-8")
        found += (python_mutants if name.endswith(".py") else cxx_mutants)(name, text)
    return found


def tests_for(path):
    for folder, tests in COVERAGE.items():
        if path.startswith(folder + "/"):
            return tests
    raise SystemExit(f"mutants: no tests are known for {path}; add its folder to COVERAGE")


class Tree:
    """A scratch copy of the source with its own build directory."""

    def __init__(self, side):
        self.root = SCRATCH / side
        self.baseline = {}

    def run(self, command, timeout=None):
        return subprocess.run(command, cwd=self.root, timeout=timeout, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)

    def prepare(self):
        """Copies the tracked tree in (changed files only) and configures the build."""
        listing = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=ROOT, check=True,
                                 capture_output=True).stdout
        for name in filter(None, listing.decode().split("\0")):
            source, target = ROOT / name, self.root / name
            if source.is_file() and (not target.exists() or target.read_bytes() != source.read_bytes()):
                target.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(source, target)  # a fresh mtime, so that ninja rebuilds what changed
        subprocess.run(["cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DSONVALE_BENCHMARKS=OFF"], cwd=self.root, check=True, stdout=subprocess.DEVNULL)

    def build(self, tests):
        """Builds the app and the test executables among the tests; the Python tests need nothing built."""
        executables = [t for t in tests if not t.startswith(("sender_", "ui_tray"))]
        return not executables or self.run(["ninja", "-C", "build", "sonvale", *executables]).returncode == 0

    def ctest_regex(self, tests):
        """The CTest names of the tests: an executable stands for the cases it lists."""
        names = []
        for test in tests:
            executable = self.root / "build" / "bin" / test
            if not executable.exists():
                names.append(re.escape(test))
                continue
            suite = ""
            for line in self.run([str(executable), "--gtest_list_tests"]).stdout.splitlines():
                if not line.startswith(" "):
                    suite = line.split("#")[0].strip()
                elif suite:
                    names.append(re.escape(suite + line.split("#")[0].strip()))
        # CTest adds the parameter of a parameterised case to its name after two spaces.
        return "^(" + "|".join(names) + ")( |$)"

    def tests_pass(self, tests, timeout):
        """True when every test passes (a failure gets one more run); None on a timeout. The quick tests
        (label unit) run first, so most mutants are killed without starting a sound server."""
        command = ["ctest", "--test-dir", "build", "-j2", "--timeout", "180", "--stop-on-failure",
                   "--repeat", "until-pass:2", "-R", self.ctest_regex(tests)]
        deadline, found = time.monotonic() + timeout, False
        for labels in (["-L", "^unit$"], ["-LE", "^unit$"]):
            try:
                result = self.run(command + labels, timeout=max(1.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                return None
            if "No tests were found" in result.stdout:
                continue
            found = True
            if result.returncode != 0:
                return False
        if not found:
            raise SystemExit(f"mutants: no test matches {' '.join(tests)}")
        return True

    def check(self, mutant, timeout):
        """KILLED, SURVIVED or TIMEOUT; None when the mutant does not build or compile."""
        path = self.root / mutant.path
        original = path.read_text(encoding="utf-8")
        changed = mutant.apply(original)
        if mutant.path.endswith(".py"):
            try:
                compile(changed, mutant.path, "exec")
            except SyntaxError:
                return None
        tests = tests_for(mutant.path)
        if tuple(tests) not in self.baseline:
            self.baseline[tuple(tests)] = self.build(tests) and self.tests_pass(tests, timeout)
            if not self.baseline[tuple(tests)]:
                raise SystemExit(f"mutants: the tests for {mutant.path} fail without a mutant: {' '.join(tests)}")
        path.write_text(changed, encoding="utf-8")
        try:
            if not self.build(tests):
                return None
            return {True: "SURVIVED", False: "KILLED", None: "TIMEOUT"}[self.tests_pass(tests, timeout)]
        finally:
            path.write_text(original, encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("-n", type=int, default=100, help="mutants per side that build and run (100)")
    parser.add_argument("--side", choices=["app", "worker", "both"], default="both")
    parser.add_argument("--timeout", type=int, default=900, help="seconds for one mutant's tests (900)")
    parser.add_argument("--only", help="only files under this path")
    parser.add_argument("--list", action="store_true", help="print the sample's order, run nothing")
    options = parser.parse_args()
    sides = ["app", "worker"] if options.side == "both" else [options.side]
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    summary = []
    for side in sides:
        pool = candidates(side, options.only)
        random.Random(options.seed).shuffle(pool)
        print(f"== {side}: {len(pool)} mutants, seed {options.seed}, sample of {options.n}", flush=True)
        if options.list:
            for mutant in pool[:options.n]:
                print(mutant)
            continue
        tree = Tree(side)
        tree.prepare()
        counts, survivors, ran, interrupted = {"KILLED": 0, "SURVIVED": 0, "TIMEOUT": 0}, [], 0, False
        try:
            for mutant in pool:
                if ran == options.n:
                    break
                started = time.monotonic()
                verdict = tree.check(mutant, options.timeout)
                if verdict is None:
                    continue
                ran += 1
                counts[verdict] += 1
                if verdict == "SURVIVED":
                    survivors.append(mutant)
                print(f"{verdict:8} {time.monotonic() - started:5.0f}s {mutant}", flush=True)
        except KeyboardInterrupt:  # stopped: the score of the mutants that ran, no further side
            interrupted = True
        killed = counts["KILLED"] + counts["TIMEOUT"]
        summary.append(f"{side}: {killed} of {ran} killed ({100 * killed / max(ran, 1):.0f} %), "
                       f"{counts['TIMEOUT']} of them by a timeout; seed {options.seed}")
        summary += [f"  survivor: {mutant}" for mutant in survivors]
        if interrupted:
            break
    print("\n".join(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
