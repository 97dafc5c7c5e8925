"""The package as a whole: its version, and the modules its description names."""

import importlib
import importlib.metadata
import re

import vendrel


def test_version_is_the_installed_distributions():
    assert vendrel.__version__ == importlib.metadata.version("vendrel")


def test_every_module_the_package_names_imports():
    named = set(re.findall(r"`(vendrel\.\w+)`", vendrel.__doc__))
    assert {"vendrel.jacobian", "vendrel.solve", "vendrel.grouping"} <= named
    for name in sorted(named):
        importlib.import_module(name)
