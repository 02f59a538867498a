"""Counting checks for the peer tests: each prints its result and the run ends with the usual summary."""
import sys

failures = []
passed = [0]


def check(name, condition, detail=""):
    if condition:
        passed[0] += 1
        print("ok:", name)
    else:
        failures.append(name)
        print("FAIL:", name, repr(detail)[:600])


def finish():
    print("%d passed, %d failed" % (passed[0], len(failures)))
    sys.exit(1 if failures else 0)
