#!/usr/bin/env python3
"""Counts test results for scripts/test: every GoogleTest case from the XML
files the test programs write, and every other ctest test (Python end-to-end
tests, fuzz replays) as one. Prints "N passed, N failed"."""
import os
import sys
import xml.etree.ElementTree as ET


def count(results_dir):
    passed = failed = 0
    ctest = os.path.join(results_dir, "ctest.xml")
    if not os.path.isfile(ctest):
        return passed, failed, [f"{results_dir}: no test results (the build or ctest failed)"]
    problems = []
    for case in ET.parse(ctest).getroot().iter("testcase"):
        name = case.get("name")
        ctest_failed = case.find("failure") is not None or case.get("status") == "fail"
        gtest = os.path.join(results_dir, name + ".xml")
        if os.path.isfile(gtest):
            cases_failed = 0
            try:
                root = ET.parse(gtest).getroot()
                for g in root.iter("testcase"):
                    if g.get("status") == "notrun" or g.get("result") == "skipped":
                        continue
                    if g.find("failure") is not None:
                        cases_failed += 1
                        problems.append(f"{name}: {g.get('classname')}.{g.get('name')}")
                    else:
                        passed += 1
            except ET.ParseError:
                ctest_failed = True
            failed += cases_failed
            # Every case passed but the program still failed (a sanitizer
            # report at exit, a crash after the results were written).
            if ctest_failed and cases_failed == 0:
                failed += 1
                problems.append(f"{name}: the program failed")
        elif ctest_failed:
            failed += 1
            problems.append(name)
        else:
            passed += 1
    return passed, failed, problems


def main():
    total_passed = total_failed = 0
    for d in sys.argv[1:]:
        p, f, problems = count(d)
        total_passed += p
        total_failed += f
        for line in problems:
            print(f"FAILED {line}")
        if problems and p == 0 and f == 0:
            total_failed += 1
    print(f"{total_passed} passed, {total_failed} failed")
    return 1 if total_failed else 0


if __name__ == "__main__":
    sys.exit(main())
