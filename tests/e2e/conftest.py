"""pytest fixtures for the end-to-end suite; the harness itself lives in harness.py."""
import hashlib
import os
import re

import pytest
from _pytest.runner import runtestprotocol

from harness import DEFAULT_MANIFEST, DRIVER_LOST, DRIVER_SERVICE, WINE_USER, PowerShell, Scenario, Site, end_leftover_processes

# How long a scenario's own processes get to end after its stubs are told to stop.
GRACE_SECONDS = 5

# Under heavy load, Wine sometimes loses a new process while it starts; the parent's
# CreateProcessW then fails with ERROR_INTERNAL_ERROR (1359), whose text is "Internal error."
# This one failure, seen by the launcher (its dialog text, or its log line where a launcher runs
# outside the driver), by the dialog driver starting the launcher, or as a driver that never wrote
# its first record, and no other, repeats its scenario once; every repeat is printed in the
# summary, so a launcher fault that happened to produce it would show as a repeat every time.
WINE_START_TRANSIENTS = ("Не удалось запустить процесс: Internal error.", "CreateProcess failed: Internal error.",
                         "the driver could not start the launcher: error 1359", DRIVER_LOST)
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
    config.addinivalue_line("markers", "heavy: a scenario of half a minute, started before the "
                                       "others so that no part of the suite ends with one")
    config.addinivalue_line("markers", "nonroot: a scenario that needs Wine to refuse writes to "
                                       "read-only files and unwritable directories; it runs only in "
                                       "the bench's part whose Wine runs as an unprivileged user")


def pytest_collection_modifyitems(config, items):
    """The user part (VARNIX_WINE_USER set) runs the scenarios marked nonroot, every other run the
    rest. The heavy scenarios come first (see pytest_runtestloop)."""
    elsewhere = [item for item in items if bool(item.get_closest_marker("nonroot")) != bool(WINE_USER)]
    if elsewhere:
        config.hook.pytest_deselected(items=elsewhere)
        items[:] = [item for item in items if item not in elsewhere]
    items.sort(key=lambda item: not item.get_closest_marker("heavy"))


def claim(claims, item):
    """True for the one part that creates the scenario's claim file first."""
    name = hashlib.sha1(item.nodeid.encode("utf-8")).hexdigest()
    try:
        os.close(os.open(os.path.join(claims, name), os.O_CREAT | os.O_EXCL | os.O_WRONLY))
        return True
    except FileExistsError:
        return False


def pytest_runtestloop(session):
    """VARNIX_E2E_CLAIMS=DIR: this run is one of the parts that the bench runs side by side, each
    on a Wine prefix and site of its own. The parts take the scenarios from one list in turn: each
    runs the next one no part has claimed yet, so they end together whatever the scenarios cost.
    A part claims its next scenario before it runs the current one (pytest needs to know it)."""
    claims = os.environ.get("VARNIX_E2E_CLAIMS")
    if not claims or session.config.option.collectonly:
        return None
    items = session.items

    def next_claimed(start):
        return next((index for index in range(start, len(items)) if claim(claims, items[index])), None)

    current = next_claimed(0)
    while current is not None:
        following = next_claimed(current + 1)
        item = items[current]
        item.config.hook.pytest_runtest_protocol(
            item=item, nextitem=items[following] if following is not None else None)
        if session.shouldfail or session.shouldstop:
            break
        current = following
    return True


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(f"scenarios repeated after Wine lost a starting process: {len(repeated)}")
    for nodeid in repeated:
        terminalreporter.write_line(f"  repeated: {nodeid}")


@pytest.fixture(scope="session", autouse=True)
def no_processes_of_an_earlier_run():
    end_leftover_processes(0)
    yield
    DRIVER_SERVICE.close()


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
