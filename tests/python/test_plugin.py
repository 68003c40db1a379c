"""The pytest plugin, as a rig's tests use it, on benches of scripted units read by the CLI's code."""

import os
import xml.etree.ElementTree as ElementTree


def bench(*commands):
    """Plugs, unplugs and sends on the scripted bench, for these tests and for those under test."""
    with open(os.environ["SCRIPTED_BENCH"], "a") as file:
        file.write("".join(command + "\n" for command in commands))


def run(pytester, monkeypatch, plugged, tests, *arguments):
    """Runs the tests given through the scripted CLI, on a bench with the units given plugged in."""
    (pytester.path / "bench").write_text("".join(f"plug {unit}\n" for unit in plugged))
    monkeypatch.setenv("SCRIPTED_BENCH", str(pytester.path / "bench"))
    pytester.makepyfile(f"import contextlib, threading, tavrix_zodivo\nfrom test_plugin import bench\n{tests}")
    # One word: pytest takes a path standing on its own for a test path as it settles the rootdir,
    # which then names the tests, and their log files, after a directory above the test's.
    return pytester.runpytest(f"--zodivo-cli={os.environ['SCRIPTED_BENCH_CLI']}", *arguments)


def test_one_unit_through_a_session(pytester, monkeypatch):
    result = run(pytester, monkeypatch, [1], """
def test_self_test(unit):
    bench("send 1 booting", "send 1 SELF-TEST PASS", "send 1 READY", "send 1 still up")
    assert unit.expect(r"SELF-TEST (PASS|FAIL)", timeout=5).group(1) == "PASS"
    unit.expect_exact("still up", timeout=5)
    unit.expect("READY", timeout=0.5)
def test_fault(unit):
    unit.not_expected("FAIL|ERROR")
    bench("send 1 ERROR: brown-out")
    unit.expect("READY", timeout=60)
def test_reboot(unit):
    unit.expect_loss()
    bench("unplug 1", "plug 1")
    # Lines sent before the monitor has the unit open again are lost: one is sent until one comes.
    def back(attempt):
        bench(f"send 1 READY {attempt}")
        with contextlib.suppress(tavrix_zodivo.ExpectTimeout):
            return unit.expect("READY", timeout=0.1)
    assert any(map(back, range(100)))
def test_pulled(unit):
    bench("unplug 1")
    unit.expect("READY", timeout=60)
""", "--junitxml=out.xml", "--zodivo-log-dir=logs")
    result.assert_outcomes(passed=1, failed=3)
    # expect reads forward: a line before the last match is behind; a timeout shows the last lines.
    result.stdout.fnmatch_lines(["*ExpectTimeout: 5441*01: no line matched 'READY' within 0.5 s; the last lines:",
                                 "*  20*booting", "*", "*", "*  20*still up", "*Captured stdout of 5441*01*"])
    # A line that must not come ends the wait for another; a loss fails, but not after expect_loss().
    result.stdout.fnmatch_lines(["*UnexpectedLine: 5441*01: the line 'ERROR: brown-out' matches 'FAIL|ERROR'",
                                 "*UnitLost: unit lost: 5441*01 on /dev/hidraw-1"])
    # The lines of a test that passed, in the JUnit XML and in a file of the test's and the unit's.
    said = ElementTree.parse(pytester.path / "out.xml").find(".//testcase[@name='test_reboot']/system-out").text
    logged = (pytester.path / "logs/test_one_unit_through_a_session.py_test_reboot.544100000000000000000001.log")
    assert logged.read_text() in said and " READY " in logged.read_text()


def test_units_waits_for_every_unit_and_reads_each_apart(pytester, monkeypatch):
    run(pytester, monkeypatch, [1], """
threading.Timer(0.5, bench, ["plug 2"]).start()
def test_both(units):
    assert [unit.identifier[-1] for unit in units] == ["1", "2"]
    bench("send 2 two", "send 1 one")
    units[1].expect("two", timeout=5)
    units[1].expect("one", timeout=0.5)
""", "--zodivo-units=2").stdout.fnmatch_lines(["*ExpectTimeout: 5441*02: no line matched 'one'*", "*  20* two"])


def test_no_unit_is_an_error_that_says_so(pytester, monkeypatch):
    result = run(pytester, monkeypatch, [], "def test_one(unit): pass\ndef test_all(units): pass")
    result.stdout.fnmatch_lines(["*ZodivoError: no Tavrix Omrin M3 is plugged in"] * 2)
