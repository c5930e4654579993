"""What the benchmarks hold the module to, and how a figure is judged against it."""

PER_CALL_TARGET = 0.85  # per command: the module's cost per call / the Cython build's, at most
IMPORT_RSS_TARGET_KB = 200  # resident memory that `import tolvan` adds to its four imports, at most
E2E_TARGET = 1.02  # end to end against the simulator: time per command / its pauses, at most


def verdict(figure, target):
    return "ok" if figure <= target else "MISSED"
