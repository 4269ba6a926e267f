"""pytest fixtures for the end-to-end suite; the harness itself lives in harness.py."""
import hashlib
import os
import re

import pytest
from _pytest.runner import runtestprotocol

from harness import DEFAULT_MANIFEST, PowerShell, Scenario, Site, end_leftover_processes

# How long a scenario's own processes get to end after its stubs are told to stop.
GRACE_SECONDS = 5

# Under heavy load, Wine sometimes loses a new process while it starts; the parent's
# CreateProcessW then fails with ERROR_INTERNAL_ERROR (1359), whose text is "Internal error."
# This one failure, seen by the launcher (its dialog text) or by the dialog driver starting the
# launcher, and no other, repeats its scenario once; every repeat is printed in the summary, so a
# launcher fault that happened to produce it would show as a repeat every time.
WINE_START_TRANSIENTS = ("Не удалось запустить процесс: Internal error.",
                         "the driver could not start the launcher: error 1359")
repeated = []


def pytest_runtest_protocol(item, nextitem):
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    reports = runtestprotocol(item, nextitem=nextitem, log=False)
    if any(report.failed and any(text in str(report.longrepr) for text in WINE_START_TRANSIENTS)
           for report in reports):
        repeated.append(item.nodeid)
        item._initrequest()
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
    for report in reports:
        item.ihook.pytest_runtest_logreport(report=report)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_configure(config):
    config.addinivalue_line("markers", "heavy: a scenario of half a minute, dealt out to the parts "
                                       "apart from the others so that no part gets two")


def pytest_collection_modifyitems(config, items):
    """VARNIX_E2E_SHARD=I/N keeps every Nth scenario from the Ith on: the bench runs the parts
    side by side, each on a Wine prefix and site of its own. The heavy scenarios are dealt out
    first, one to each part in turn, and the others after them in the same way."""
    shard = os.environ.get("VARNIX_E2E_SHARD")
    if not shard:
        return
    index, count = map(int, shard.split("/"))
    heavy = [item for item in items if item.get_closest_marker("heavy")]
    light = [item for item in items if not item.get_closest_marker("heavy")]
    kept = [item for group in (heavy, light)
            for number, item in enumerate(group) if number % count == index]
    config.hook.pytest_deselected(items=[item for item in items if item not in kept])
    items[:] = kept


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(f"scenarios repeated after Wine lost a starting process: {len(repeated)}")
    for nodeid in repeated:
        terminalreporter.write_line(f"  repeated: {nodeid}")


@pytest.fixture(scope="session", autouse=True)
def no_processes_of_an_earlier_run():
    end_leftover_processes(0)


@pytest.fixture(autouse=True)
def ends_every_process_it_started():
    """Isolation: a scenario ends with every Windows process it started ended, and fails itself
    if it left one running, so that no later scenario takes the already-running road."""
    Scenario.created.clear()
    yield
    for scenario in Scenario.created:
        scenario.stop_stub()
    Scenario.created.clear()
    left = end_leftover_processes(GRACE_SECONDS)
    if left:
        pytest.fail("left running, ended by process id: " + ", ".join(f"{pid} {image}" for pid, image in left))


@pytest.fixture
def site():
    """A site with one optional package, reset for every test."""
    made = Site()
    made.write(DEFAULT_MANIFEST)
    yield made


@pytest.fixture(autouse=True)
def default_site(site):
    yield


@pytest.fixture
def powershell():
    made = PowerShell()
    yield made
    made.reset()


@pytest.fixture
def scenario(request):
    name = re.sub(r"[^A-Za-z0-9_]", "_", request.node.name)
    if len(name) > 60:  # parametrised names: keep them short and distinct
        name = name[:50] + "_" + hashlib.sha1(request.node.name.encode()).hexdigest()[:8]
    return Scenario(name)


@pytest.fixture
def make_scenario():
    """For roots with special names (Cyrillic letters, blanks, apostrophes)."""
    return Scenario
