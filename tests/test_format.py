"""The buffer format check on its own: exact verdicts, and arbitrary bytes handled safely."""

import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

EXPECTED = {"double", "int", "uint8_t"}
DESCRIPTIONS = ("'char'", "'signed char'", "'unsigned char'", "'short'", "'unsigned short'",
                "'int'", "'unsigned int'", "'long'", "'unsigned long'", "'long long'",
                "'unsigned long long'", "'float'", "'double'", "'long double'",
                "'complex float'", "'complex double'", "'complex long double'",
                "Python object", "a pointer", "a string", "a struct", "end",
                "unparseable format string")
MESSAGES = [
    r"Buffer dtype mismatch, expected ('(double|int|uint8_t)'|end) but got (%s)"
    % "|".join(map(re.escape, DESCRIPTIONS)),
    r"Big-endian buffer not supported on little-endian compiler",
    re.escape("Python does not define a standard format string size for long double ('g').."),
    r"Does not understand character buffer dtype format string \('.'\)",
    r"Unexpected format string character: 'Z'",
    r"Buffer dtype mismatch; next field is at offset \d+ but 0 expected",
    re.escape("Buffer acquisition: Expected '{' after 'T'"),
    r"Expected 0 dimension\(s\), got \d+",
    r"Cannot handle repeated arrays in format string",
    r"Expected a comma in format string, got '.'",
    re.escape("Unexpected end of format string, expected ')'"),
]


def check(harness, cases):
    """The verdict on each (expected, text): "accepted" or "refused <message>"."""
    lines = ["format %s %s" % (expected, text.encode("latin-1").hex()) for expected, text in cases]
    answers = []
    for answer in harness(lines):
        word, _, message = answer.partition(" ")
        answers.append(word + (" " + bytes.fromhex(message).decode() if message else ""))
    return answers


@pytest.mark.parametrize("expected, text, verdict", [
    # Accepted: the one value, with any prefix that keeps native sizes, or in a record.
    ("double", "d", None), ("double", "<d", None), ("double", "=d", None), ("double", "@d", None),
    ("double", "^d", None), ("double", "T{d:x:}", None), ("double", "T{T{<d}}", None),
    ("double", "dx", None), ("double", "()d", None), ("double", "d:name:", None),
    ("int", "i", None), ("int", "<l", None), ("int", "=i", None), ("uint8_t", "B", None),
    ("uint8_t", "c", None), ("uint8_t", "<B", None),
    # Kind or size differs, or no value at all.
    ("double", "f", "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("double", "q", "Buffer dtype mismatch, expected 'double' but got 'long long'"),
    ("double", "l", "Buffer dtype mismatch, expected 'double' but got 'long'"),
    ("double", "g", "Buffer dtype mismatch, expected 'double' but got 'long double'"),
    ("double", "Zd", "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    ("double", "O", "Buffer dtype mismatch, expected 'double' but got Python object"),
    ("double", "P", "Buffer dtype mismatch, expected 'double' but got a pointer"),
    ("double", "8s", "Buffer dtype mismatch, expected 'double' but got a string"),
    ("double", "", "Buffer dtype mismatch, expected 'double' but got end"),
    ("double", "T{", "Buffer dtype mismatch, expected 'double' but got end"),
    ("int", "l", "Buffer dtype mismatch, expected 'int' but got 'long'"),
    ("int", "I", "Buffer dtype mismatch, expected 'int' but got 'unsigned int'"),
    ("uint8_t", "b", "Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'"),
    # More than one value.
    ("double", "2d", "Buffer dtype mismatch, expected end but got 'double'"),
    ("double", "dd", "Buffer dtype mismatch, expected end but got 'double'"),
    ("double", "T{d:a:i:b:}", "Buffer dtype mismatch, expected end but got 'int'"),
    ("double", "2T{d}", "Buffer dtype mismatch, expected end but got 'double'"),
    # The table's other refusals.
    ("double", ">d", "Big-endian buffer not supported on little-endian compiler"),
    ("double", "!d", "Big-endian buffer not supported on little-endian compiler"),
    ("double", "<g", "Python does not define a standard format string size for long double ('g').."),
    ("double", "?", "Does not understand character buffer dtype format string ('?')"),
    ("double", "e", "Does not understand character buffer dtype format string ('e')"),
    ("double", "}", "Does not understand character buffer dtype format string ('}')"),
    ("double", "Zi", "Unexpected format string character: 'Z'"),
    ("double", "xd", "Buffer dtype mismatch; next field is at offset 8 but 0 expected"),
    ("double", "=xd", "Buffer dtype mismatch; next field is at offset 1 but 0 expected"),
    ("double", "Td", "Buffer acquisition: Expected '{' after 'T'"),
    ("double", "(2)d", "Expected 0 dimension(s), got 1"),
    ("double", "(2,3)d", "Expected 0 dimension(s), got 2"),
    ("double", "2(3)d", "Cannot handle repeated arrays in format string"),
    ("double", "(2;3)d", "Expected a comma in format string, got ';'"),
    ("double", "(2", "Unexpected end of format string, expected ')'"),
    ("double", "(", "Unexpected end of format string, expected ')'"),
])
def test_verdicts(pure_harness, expected, text, verdict):
    (answer,) = check(pure_harness, [(expected, text)])
    assert answer == ("accepted" if verdict is None else "refused " + verdict)


@pytest.mark.parametrize("text", [
    ":unterminated", "T{" * 500, "(" + "1," * 1000, "1000000000T{x}d", "99999999999999999999d",
])
def test_hostile_texts_end_in_a_fixed_message(pure_harness, text):
    (answer,) = check(pure_harness, [("double", text)])
    assert answer == "accepted" or any(re.fullmatch(m, answer[len("refused "):]) for m in MESSAGES)


FORMAT_CHARS = "<>=@^!Tt{}():xXZdfgilqhbBcsSpPO?e0123456789 ,;\n"


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(sorted(EXPECTED)),
                          st.one_of(st.text(alphabet=FORMAT_CHARS, max_size=24),
                                    st.binary(max_size=16).map(lambda b: b.decode("latin-1")))),
                min_size=50, max_size=50))
def test_any_text_is_answered_with_a_fixed_message(pure_harness, cases):
    cases = [(expected, text.replace("\x00", "")) for expected, text in cases]
    for answer in check(pure_harness, cases):
        assert answer == "accepted" or any(
            re.fullmatch(m, answer[len("refused "):], re.S) for m in MESSAGES), answer


@pytest.mark.parametrize("text, verdict", [
    ("3.11.7 (main, Oct  1 2024)", "match 3.11"),
    ("3.1", "mismatch 3.1"),  # 3.1 is not 3.11: the whole minor number counts
    ("3.110", "mismatch 3.110"),
    ("4.11.0", "mismatch 4.11"),
    ("xyz", "mismatch xyz"),
    ("", "mismatch "),
])
def test_version_text(pure_harness, text, verdict):
    (answer,) = pure_harness(["version %s 3 11" % text.encode().hex()])
    assert answer == verdict


# NumPy's own release table as its 2.4 headers give it: 2.1 and 2.2 share a level.
RELEASES = "2.0=18,2.1=19,2.2=19,2.3=20,2.4=21"


@pytest.mark.parametrize("text, releases, level", [
    ("1.26.4", RELEASES, 0),           # older than every row: the 1.x layouts
    ("2.0.2", RELEASES, 18),
    ("2.2.6", RELEASES, 19),
    ("2.3.0rc1", RELEASES, 20),
    ("2.4.0", RELEASES, 21),
    ("2.10.0", RELEASES, 21),          # minor 10 comes after 4, not between 1 and 2
    ("2.5.0.dev0+git20260101", RELEASES, 21),  # newer than the headers: their newest
    ("3.0.0", RELEASES, 21),
    ("2", RELEASES, 18),
    ("unknown", RELEASES, 0),
    ("", RELEASES, 0),
    ("2.2.6", "0.0=0", 0),             # headers of NumPy 1.x name no 2.x release
])
def test_numpy_feature_level(pure_harness, text, releases, level):
    (answer,) = pure_harness(["numpy %s %s" % (releases, text.encode().hex())])
    assert answer == str(level)
