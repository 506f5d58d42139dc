#!/usr/bin/env python3
"""Installs a repaired velq wheel into a fresh virtual environment and tries
it as a user on another machine would: imports and exercises the module from
a directory outside the checkout (isolated mode, so nothing of the checkout
or the environment variables leaks in), checks that the dynamic loader
resolves every library the module needs either to one the manylinux policy
lets a wheel expect from the system or to a copy inside the wheel, and that
the type stubs were installed beside the module.

    .venv/bin/python scripts/check_wheel.py build/wheel/velq-*.whl

Prints one line per check and "N passed, M failed" at the end; exits non-zero
when any check failed. Needs auditwheel (its policy lists) in the running
interpreter's environment.
"""
import json
import re
import subprocess
import sys
import tempfile
import venv
from importlib import resources
from pathlib import Path

# Runs inside the fresh environment: a database created, written, searched,
# closed, reopened and counted; prints where the module and its stubs live.
EXERCISE = r"""
import json, pathlib, sys, tempfile
import numpy as np
import velq

root = pathlib.Path(tempfile.mkdtemp(prefix="velq-wheel-"))
rng = np.random.default_rng(3)
rows = rng.standard_normal((300, 32)).astype(np.float32)
ids = [f"r{i}" for i in range(len(rows))]
db = velq.Database.open(str(root / "db"), dimension=32, metric="cosine", rerank_precision="f16")
db.insert_batch(ids, rows, metadatas=[{"even": i % 2 == 0} for i in range(len(rows))])
db.create_index()
hit = db.search(rows[7], top_k=1)[0]
assert hit["id"] == "r7", hit
assert db.count({"even": True}) == 150
db.close()
again = velq.Database.open(str(root / "db"))
assert len(again) == 300 and again.get("r299")["metadata"] == {"even": False}
assert velq.VelqorDB is velq.Database
site = pathlib.Path(velq.__file__).parent
print(json.dumps({"module": velq.__file__, "stubs": str(site / "velq-stubs" / "__init__.pyi")}))
"""

# The loader itself and the kernel's shared object are on every system.
ALWAYS_PRESENT = {"linux-vdso.so.1", "ld-linux-x86-64.so.2"}


def policy_libraries(tag):
    """The libraries the manylinux policy of `tag` (manylinux_2_35_x86_64)
    lets a wheel take from the system."""
    match = re.fullmatch(r"(manylinux_\d+_\d+)_\w+", tag)
    if match is None:
        raise SystemExit(f"not a manylinux tag: {tag}")
    policies = json.loads(resources.files("auditwheel.policy").joinpath("manylinux-policy.json").read_text())
    for policy in policies:
        if policy["name"] == match.group(1):
            return set(policy["lib_whitelist"])
    raise SystemExit(f"auditwheel knows no policy {match.group(1)}")


def ldd_entries(library):
    """(name, resolved path or None) for each line of ldd's answer."""
    out = subprocess.run(["ldd", library], check=True, capture_output=True, text=True).stdout
    entries = []
    for line in out.splitlines():
        line = line.strip()
        if "=>" in line:
            name, _, rest = line.partition("=>")
            target = rest.split("(")[0].strip()
            entries.append((name.strip(), None if target in ("", "not found") else target))
        elif line:
            path = line.split("(")[0].strip()
            entries.append((Path(path).name, path))
    return entries


def foreign_libraries(module, allowed):
    """ldd entries that are neither allowed from the system nor resolved to a
    copy in the wheel's velq.libs folder."""
    bundled = Path(module).parent / "velq.libs"
    bad = []
    for name, path in ldd_entries(module):
        if name in allowed or name in ALWAYS_PRESENT:
            continue
        if path is None or Path(path).resolve().parent != bundled.resolve():
            bad.append(f"{name} => {path}")
    return bad


def main():
    wheel = Path(sys.argv[1]).resolve()
    tag = wheel.stem.split("-")[-1]
    results = []

    def check(name, ok, detail=""):
        results.append(ok)
        print(f"{'ok  ' if ok else 'FAIL'} {name}{': ' + detail if detail else ''}")

    with tempfile.TemporaryDirectory(prefix="velq-clean-env-") as scratch:
        env_dir = Path(scratch) / "env"
        venv.create(env_dir, with_pip=True)
        python = str(env_dir / "bin" / "python")
        install = subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(wheel)],
                                 capture_output=True, text=True)
        check("installs into a fresh environment", install.returncode == 0, install.stderr[-2000:])
        if install.returncode != 0:
            return report(results)

        work = Path(scratch) / "elsewhere"
        work.mkdir()
        run = subprocess.run([python, "-I", "-c", EXERCISE], cwd=work, capture_output=True, text=True)
        check("imports and works outside the checkout", run.returncode == 0, run.stderr[-2000:])
        if run.returncode != 0:
            return report(results)
        where = json.loads(run.stdout.strip().splitlines()[-1])
        module = where["module"]
        check("module comes from the fresh environment", Path(module).is_relative_to(env_dir), module)
        check("stubs installed beside the module", Path(where["stubs"]).is_file(), where["stubs"])
        bad = foreign_libraries(module, policy_libraries(tag))
        check(f"ldd names only {tag} policy libraries or bundled copies", not bad, ", ".join(bad))
    return report(results)


def report(results):
    failed = results.count(False)
    print(f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
