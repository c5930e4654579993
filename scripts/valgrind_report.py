"""Reads memcheck's XML reports (one per process) and fails on what counts.

Counts: every memory error (invalid read or write, invalid free, use of an
uninitialised value, overlapping copy, bad system call argument) and every
definitely lost block allocated by the module's own code (a frame of the module
below the innermost frame of Python code in the allocation's stack).

Not counted, only tallied: blocks the interpreter itself loses at exit (no
frame of the module where they were allocated), and one known false alarm of
CPython 3.11 under memcheck: an int whose value is 0 (from int.from_bytes or a
bitwise operation) reads its first digit, which it never set, to pick the
cached small int (size 0 times that digit, in maybe_small_long). Such a report
is recognised by its origin, a digit array allocated by _PyLong_New, and by
neither its stack nor its origin touching the module. Also tallied: reads past
the end of a block by glibc's vectorised string routines (such as
__wmemcmp_avx2_movbe, which CPython's str comparison calls), which load whole
aligned words and use only the bytes inside the block; memcheck knows most of
these routines but not every variant. Recognised by the innermost frame, one of
those routines, and by the stack not touching the module.

    python scripts/valgrind_report.py memcheck.*.xml
"""

import sys
import xml.etree.ElementTree as ElementTree


def stacks(error):
    """The error's stack, then (for uninitialised values) the stack where the value was made."""
    return [stack.findall("frame") for stack in error.findall("stack")]


def in_module(frame):
    obj = frame.findtext("obj", "")
    fn = frame.findtext("fn", "")
    return "/tolvan." in obj or fn.startswith("tolvan::")


def module_made(stack):
    """Whether the module's own code is on the stack below the innermost frame of Python code.

    The module also calls Python code (the imports at load, the port's methods); what that code
    does is not the module's, so a module frame further out does not count.
    """
    for frame in stack:
        if in_module(frame):
            return True
        if frame.findtext("fn") == "_PyEval_EvalFrameDefault":
            return False
    return False


def describe(frame):
    where = frame.findtext("fn") or frame.findtext("obj") or frame.findtext("ip")
    if frame.findtext("file"):
        where += f" ({frame.findtext('file')}:{frame.findtext('line')})"
    return where


def text(error):
    return error.findtext("what") or error.findtext("xwhat/text") or error.findtext("kind")


# Name parts of glibc's string routines written for one vector instruction set.
VECTOR_ROUTINES = ("_avx2", "_evex", "_sse2", "_sse4")


def classify(error):
    """'finding', 'interpreter leak', 'interpreter int digit', 'vector read' or None (not of interest)."""
    kind = error.findtext("kind", "")
    touches_module = any(module_made(stack) for stack in stacks(error))
    if kind.startswith("Leak_"):
        if kind != "Leak_DefinitelyLost":
            return None
        return "finding" if touches_module else "interpreter leak"
    if kind.startswith("Uninit") and not touches_module and len(stacks(error)) > 1:
        origin = [frame.findtext("fn", "") for frame in stacks(error)[1]]
        if "_PyLong_New" in origin[:3]:
            return "interpreter int digit"
    if kind == "InvalidRead" and not touches_module and stacks(error):
        innermost = stacks(error)[0][0].findtext("fn", "")
        if innermost.startswith("__") and any(part in innermost for part in VECTOR_ROUTINES):
            return "vector read"
    return "finding"


def main(paths):
    processes = 0
    tally = {"finding": 0, "interpreter leak": 0, "interpreter int digit": 0, "vector read": 0}
    for path in paths:
        try:
            root = ElementTree.parse(path).getroot()
        except ElementTree.ParseError:
            # A process that exec'd a skipped program, or was killed, leaves a cut file.
            continue
        processes += 1
        command = " ".join(arg.text or "" for arg in root.findall("args/argv/arg"))
        for error in root.findall("error"):
            verdict = classify(error)
            if verdict is None:
                continue
            tally[verdict] += 1
            if verdict != "finding":
                continue
            print(f"{path}: {error.findtext('kind')}: {text(error)}\n  process: {command}")
            for number, stack in enumerate(stacks(error)):
                if number:
                    print(f"  {error.findtext('auxwhat') or 'origin'}:")
                for frame in stack[:25]:
                    print(f"    {describe(frame)}")
    print(f"memcheck: {processes} processes, {tally['finding']} findings; not counted: "
          f"{tally['interpreter leak']} blocks the interpreter loses at exit, "
          f"{tally['interpreter int digit']} reads of an unset int digit inside the interpreter, "
          f"{tally['vector read']} word reads of glibc's vectorised string routines")
    if processes == 0:
        print("memcheck: no report was read")
        return 1
    return 1 if tally["finding"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
