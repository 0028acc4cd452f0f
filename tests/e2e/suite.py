"""Runs a test module's unittest cases and closes with the summary line
that scripts/test and CI read: "N passed, N failed"."""
import sys
import unittest


def run(module_name):
    return _run(unittest.defaultTestLoader.loadTestsFromModule(sys.modules[module_name]))


def run_cases(case_class):
    return _run(unittest.defaultTestLoader.loadTestsFromTestCase(case_class))


def _run(suite):
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    if result.skipped:
        print("%d skipped" % len(result.skipped))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1
