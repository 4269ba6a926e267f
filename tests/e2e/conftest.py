"""pytest fixtures for the end-to-end suite; the harness itself lives in harness.py."""
import hashlib
import re

import pytest

from harness import DEFAULT_MANIFEST, PowerShell, Scenario, Site


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
    made = Scenario(name)
    yield made
    made.stop_stub()

@pytest.fixture
def make_scenario(request):
    """For roots with special names (Cyrillic letters, blanks, apostrophes)."""
    made = []

    def factory(name):
        made.append(Scenario(name))
        return made[-1]

    yield factory
    for item in made:
        item.stop_stub()

