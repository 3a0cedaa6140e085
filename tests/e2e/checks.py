"""The end-to-end scripts' checks: each prints "ok" or "FAIL" with the detail of a failure;
failures lists what failed, for the script's summary and exit status."""

failures = []


def check(what, condition, detail=""):
    print(("ok   " if condition else "FAIL ") + what + ("" if condition else f": {detail}"))
    if not condition:
        failures.append(what)
