"""The documentation's examples, run as written against the installed package."""

import doctest

import pytest

from conftest import REPO

PAGES = [page for page in sorted((REPO / "docs").glob("*.rst")) if ">>> " in page.read_text()] \
    if (REPO / "docs").exists() else []


@pytest.mark.skipif(not PAGES, reason="needs the source tree")
@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_page_examples_print_what_they_show(page):
    failed, attempted = doctest.testfile(str(page), module_relative=False,
                                         optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    assert attempted and failed == 0
