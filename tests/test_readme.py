"""The README's example, run as written, prints what the README shows."""

import re

import pytest

from conftest import REPO, run_python


@pytest.mark.parametrize("heading", ["## Change one import", "## Solving at scale",
                                     "### Grouping columns at scale"])
def test_readme_example_prints_what_it_shows(heading):
    readme = REPO / "README.md"
    if not readme.exists():
        pytest.skip("needs the source tree")
    text = readme.read_text()
    section = text[text.index(heading):]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    shown = re.search(r"```text\n(.*?)```", section, re.S).group(1)
    done = run_python(code)
    assert done.returncode == 0, done.stderr
    assert done.stdout == shown
