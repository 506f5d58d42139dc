"""The README's Python examples run as written: every ```python block, in
order, in one namespace (later blocks use the names earlier ones define), in
a scratch directory (they make their databases by relative paths)."""
import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks(text):
    """(first line number, source) of each ```python block."""
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1))
            for m in re.finditer(r"^```python\n(.*?)^```$", text, re.S | re.M)]


def test_readme_python_blocks_run_in_order(tmp_path, monkeypatch):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 8, "the README's examples were not found"
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    for line, source in blocks:
        # Padded so that a traceback names the README's own line.
        exec(compile("\n" * (line - 1) + source, str(README), "exec"), namespace)
