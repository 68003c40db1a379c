"""The pytest plugin, as a rig's tests use it, on benches of scripted units read by the CLI's code."""

import os
import threading
import xml.etree.ElementTree as ElementTree

import pytest

# The tests under test drive the bench with the fixture bench("plug 1", "send 1 READY", ...).
CONFTEST = """
import os, pytest
@pytest.fixture
def bench():
    def command(*lines):
        with open(os.environ["SCRIPTED_BENCH"], "a") as file:
            file.write("".join(line + "\\n" for line in lines))
    return command
"""


@pytest.fixture
def rig(pytester, monkeypatch):
    """Runs the tests given on the bench of units plugged in, through the scripted CLI."""
    pytester.makeconftest(CONFTEST)
    monkeypatch.setenv("SCRIPTED_BENCH", str(pytester.path / "bench"))

    def run(tests, *arguments, plugged=1):
        (pytester.path / "bench").write_text("".join(f"plug {unit}\n" for unit in range(1, plugged + 1)))
        pytester.makepyfile(tests)
        return pytester.runpytest("--zodivo-cli", os.environ["SCRIPTED_BENCH_CLI"], *arguments)

    return run


def test_expect_reads_forward_and_times_out_with_the_last_lines(rig):
    result = rig("""
        def test_self_test(unit, bench):
            bench("send 1 booting", "send 1 SELF-TEST PASS", "send 1 READY", "send 1 still up")
            assert unit.expect(r"SELF-TEST (PASS|FAIL)", timeout=5).group(1) == "PASS"
            assert unit.identifier == "544100000000000000000001"
            unit.expect_exact("still up", timeout=5)
            unit.expect("READY", timeout=0.5)
    """)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines(["*ExpectTimeout: 5441*01: no line matched 'READY' within 0.5 s; the last lines:",
                                 "*  20*booting", "*", "*", "*  20*still up", "*Captured stdout of 5441*01*"])


def test_not_expected_fails_the_test_while_it_waits(rig):
    result = rig("""
        def test_fault(unit, bench):
            unit.not_expected("FAIL|ERROR")
            bench("send 1 ERROR: brown-out")
            unit.expect("READY", timeout=60)
    """)
    result.stdout.fnmatch_lines(["*UnexpectedLine: 5441*01: the line 'ERROR: brown-out' matches 'FAIL|ERROR'"])
    assert result.duration < 30


def test_each_tests_lines_go_to_the_junit_xml_and_the_log_dir(rig, pytester):
    rig("""
        def test_hello(unit, bench):
            bench("send 1 hello")
            unit.expect("hello", timeout=5)
    """, "--junitxml=out.xml", "--zodivo-log-dir=logs").assert_outcomes(passed=1)
    said = ElementTree.parse(pytester.path / "out.xml").find(".//testcase[@name='test_hello']/system-out").text
    logged = (pytester.path / "logs/test_each_tests_lines_go_to_the_junit_xml_and_the_log_dir.py_test_hello"
              ".544100000000000000000001.log").read_text()
    assert logged in said and logged.endswith(" hello\n")


def test_units_waits_for_every_unit_and_reads_each_apart(rig, pytester):
    tests = """
        import pytest
        from tavrix_zodivo import ExpectTimeout
        def test_both(units, bench):
            assert [unit.identifier[-1] for unit in units] == ["1", "2"]
            bench("send 2 two", "send 1 one")
            units[1].expect("two", timeout=5)
            with pytest.raises(ExpectTimeout):
                units[1].expect("one", timeout=0.5)
    """

    def plug_second():
        with (pytester.path / "bench").open("a") as bench:
            bench.write("plug 2\n")

    threading.Timer(0.5, plug_second).start()
    rig(tests, "--zodivo-units=2").assert_outcomes(passed=1)


def test_a_lost_unit_fails_the_test_unless_a_loss_is_expected(rig):
    result = rig("""
        from tavrix_zodivo import ExpectTimeout
        def test_reboot(unit, bench):
            unit.expect_loss()
            bench("unplug 1", "plug 1")
            # The lines sent before the monitor has the unit open again are lost.
            for attempt in range(100):
                bench(f"send 1 READY {attempt}")
                try:
                    unit.expect("READY", timeout=0.1)
                    break
                except ExpectTimeout:
                    pass
            else:
                raise AssertionError("never back")
        def test_pulled(unit, bench):
            bench("unplug 1")
            unit.expect("READY", timeout=60)
    """)
    result.assert_outcomes(passed=1, failed=1)
    result.stdout.fnmatch_lines(["*UnitLost: unit lost: 5441*01 on /dev/hidraw-1"])


def test_a_missing_unit_or_cli_is_an_error_that_names_it(rig):
    tests = "def test_one(unit): pass\ndef test_all(units): pass"
    rig(tests, plugged=0).stdout.fnmatch_lines(["*ZodivoError: no Tavrix Omrin M3 is plugged in"] * 2)
    rig(tests, "--zodivo-cli=/nonexistent").stdout.fnmatch_lines(
        ["*ZodivoError: cannot run /nonexistent (No such file or directory): is tavrix-zodivo-cli installed?"] * 2)
