"""Runs a test module's unittest cases and closes with the summary line
that scripts/test and CI read: "N passed, N failed"."""
import os
import sys
import time
import unittest


class _TimedResult(unittest.TextTestResult):
    """Prints each case's seconds after its verdict: CI's time is a budget,
    and the slow cases are the ones to look at first."""

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def stopTest(self, test):
        if self.showAll:
            self.stream.writeln("    %.1f s" % (time.monotonic() - self._started))
        super().stopTest(test)


def run(module_name):
    return _run(unittest.defaultTestLoader.loadTestsFromModule(sys.modules[module_name]))


def run_cases(case_class):
    return _run(unittest.defaultTestLoader.loadTestsFromTestCase(case_class))


def _run(suite):
    result = unittest.TextTestRunner(verbosity=2, resultclass=_TimedResult).run(suite)
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    if result.skipped:
        print("%d skipped" % len(result.skipped))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def run_with_programs(module_name, doc, programs):
    """The e2e scripts' entry: PATH_TO_CORVEL_PUBLISH PATH_TO_CORVEL_UPDATE
    first on the command line, set as programs.PUBLISH and programs.UPDATE."""
    if len(sys.argv) < 3:
        print(doc)
        return 2
    programs.PUBLISH = os.path.abspath(sys.argv.pop(1))
    programs.UPDATE = os.path.abspath(sys.argv.pop(1))
    return run(module_name)
