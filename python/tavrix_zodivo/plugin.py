"""pytest plugin: the fixtures `unit` and `units`, each unit read from the test's start to its end,
and each test's lines of its units in the test's report."""

import contextlib
import pathlib
import re

import pytest

import tavrix_zodivo

# The units of the test that is running, which fail it together.
_BENCH = pytest.StashKey()


class _Bench:
    def __init__(self):
        self.watch = tavrix_zodivo.Watch()
        self.units = []


def pytest_addoption(parser):
    group = parser.getgroup("zodivo", "Tavrix Omrin M3 units")
    group.addoption("--zodivo-cli", default=tavrix_zodivo.CLI, metavar="PROGRAM",
                    help="the program that reads the units (default: $TAVRIX_ZODIVO_CLI, or tavrix-zodivo-cli)")
    group.addoption("--zodivo-unit", action="append", metavar="NODE|SERIAL|IDENTIFIER",
                    help="the unit of the fixture unit (default: the first listed); given more than once, "
                         "each test that uses unit runs once for each")
    group.addoption("--zodivo-units", type=int, metavar="N",
                    help="the fixture units waits until N units are plugged in (default: those present)")
    group.addoption("--zodivo-wait", type=float, default=10, metavar="SECONDS",
                    help="how long the fixtures wait for units to be plugged in and to answer (default: 10)")
    group.addoption("--zodivo-log-dir", metavar="DIR", help="write each test's lines to DIR, a file per test and unit")


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config):
    # The units' lines are each test's system-out in the JUnit XML, which pytest leaves out unless
    # junit_logging says otherwise; an ini file or -o that sets it still decides. Before the
    # JUnit plugin reads it.
    config.inicfg.setdefault("junit_logging", "system-out")


def pytest_generate_tests(metafunc):
    chosen = metafunc.config.getoption("zodivo_unit")
    if "unit" in metafunc.fixturenames and chosen:
        metafunc.parametrize("unit", chosen, indirect=True)


@contextlib.contextmanager
def _reading(request, listed):
    """Each unit listed, read until the test ends, when its lines go to the log directory."""
    options = request.config.option
    bench = request.node.stash.setdefault(_BENCH, _Bench())
    opened = []
    try:
        for one in listed:
            opened.append(tavrix_zodivo.Unit(one, options.zodivo_cli, options.zodivo_wait, bench.watch))
            bench.units.append(opened[-1])
        yield opened
    finally:
        for one in opened:
            one.close()
        if options.zodivo_log_dir:
            for one in opened:
                name = re.sub(r"[^\w.-]+", "_", f"{request.node.nodeid}.{one.name}")
                path = pathlib.Path(options.zodivo_log_dir, f"{name}.log")
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(one.record(), encoding="utf-8")


@pytest.fixture
def unit(request):
    """A Tavrix Omrin M3: the one --zodivo-unit names, or the first listed."""
    options = request.config.option
    chosen = tavrix_zodivo.choose(tavrix_zodivo.units(options.zodivo_cli), getattr(request, "param", None))
    with _reading(request, [chosen]) as (one,):
        yield one


@pytest.fixture
def units(request):
    """Every Tavrix Omrin M3 plugged in, each a unit of its own; with --zodivo-units N, once N are."""
    options = request.config.option
    if options.zodivo_units:
        listed = tavrix_zodivo.wait_for_units(options.zodivo_units, options.zodivo_cli, options.zodivo_wait)
    else:
        listed = tavrix_zodivo.units(options.zodivo_cli)
        if not listed:
            raise tavrix_zodivo.ZodivoError("no Tavrix Omrin M3 is plugged in")
    with _reading(request, listed) as opened:
        yield opened


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    bench = item.stash.get(_BENCH, None)
    if bench is None or call.when != "call":
        yield
        return
    for one in bench.units:
        item.add_report_section("call", f"stdout of {one.name}", f"{one.name} on {one.node}:\n{one.record()}")
    report = (yield).get_result()
    # A loss or a line that must not come, after the test's last wait on its units.
    if report.passed and bench.watch.failure:
        report.outcome = "failed"
        report.longrepr = str(bench.watch.failure)
